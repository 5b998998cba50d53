// The host's request line: its fields, and the replies and log lines that carry them.
#include <cstring>

#include "../fuzz_support.h"
#include "protocol/replies.h"
#include "protocol/request.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    TakeChannel();
    // The command loop hands over a line without its line feed.
    const std::string_view input = InputText(data, size), line = input.substr(0, input.find('\n'));
    const RequestLine request = ParseRequestLine(line);
    FUZZ_CHECK(Inside(request.id, line) && Inside(request.command, line) && Inside(request.path, line));
    FUZZ_CHECK(request.id.find(' ') == std::string_view::npos);
    FUZZ_CHECK((request.kind == RequestKind::File) == !request.path.empty());
    FileRequest file;
    file.Assign(request.id, request.path);
    FUZZ_CHECK(strlen(file.Id()) < kRequestIdSize && strlen(file.Path()) < kFileNameSize);
    std::string reply;
    for (int kind = 0; kind <= static_cast<int>(ReplyKind::Unavailable); kind++) {
        FormatReply(reply, file.Id(), Reply(static_cast<ReplyKind>(kind), request.command, 2));
        CheckChannel(reply, {file.Id()});
    }
    AnswerRequest(file, {ReplyKind::Unreachable, file.Path(), 2});
    AnswerRequest(file, {ReplyKind::UnknownCommand, request.command});  // goes out as "* ..."
    PrintMsg("* crashed while scanning %s\n", file.Path());
    DebugMsg("enqueued %.*s\n", static_cast<int>(line.size()), line.data());
    CheckChannel(TakeChannel(), {file.Id()});
    return 0;
}
