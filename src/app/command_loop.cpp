#include "app/command_loop.h"

#include <unistd.h>

#include <cerrno>

#include "app/answers.h"
#include "app/plugin.h"
#include "app/reload.h"
#include "base/output.h"
#include "base/text.h"
#include "protocol/replies.h"
#include "protocol/request.h"

namespace {

constexpr int kLineBufferSize = 1044;  // lines carry at most 1043 characters

// HandleRequestLine - answer one line; true when it was QUIT (its id is kept).
// cut: the line was longer than the buffer; closing: the shutdown has begun,
// so a FILE request is rejected, not queued.
bool HandleRequestLine(Plugin& plugin, const char* text, bool cut, bool closing, std::vector<std::string>& quitIds)
{
    const RequestLine request = ParseRequestLine(text);
    switch (request.kind) {
    case RequestKind::MissingCommand:
        SendReply(request.id, {ReplyKind::MissingCommand});
        return false;
    case RequestKind::MissingFileName:
        AnswerRefused(plugin.recorder, request.id, {ReplyKind::MissingFileName});
        return false;
    case RequestKind::Intf:
        SendReply(request.id, {ReplyKind::Intf});
        return false;
    case RequestKind::Quit:
        PrintMsg("* quit accepted\n");
        quitIds.emplace_back(request.id);
        return true;
    case RequestKind::Unknown:
        SendReply(request.id, {ReplyKind::UnknownCommand, request.command});
        return false;
    case RequestKind::File:
        break;
    }
    // A path cut short may name another file, which must not be rated for this one.
    if (request.id.size() >= static_cast<size_t>(kRequestIdSize))
        AnswerRefused(plugin.recorder, request.id, {ReplyKind::IdTooLong});
    else if (cut || request.path.size() >= static_cast<size_t>(kFileNameSize))
        AnswerRefused(plugin.recorder, request.id, {ReplyKind::Unreachable, request.path, ENAMETOOLONG});
    else if (closing)
        AnswerRefused(plugin.recorder, request.id, {ReplyKind::TryLater});
    else if (!plugin.pool.EnqueueFile(request.id, request.path))
        AnswerRefused(plugin.recorder, request.id, {ReplyKind::NoMemory, {}, ENOMEM});
    else
        DebugMsg("enqueued %.*s %.*s\n", static_cast<int>(request.id.size()), request.id.data(),
                 static_cast<int>(request.path.size()), request.path.data());
    return false;
}

}  // namespace

std::vector<std::string> CommandLoop(Plugin& plugin)
{
    char line[kLineBufferSize];
    std::vector<std::string> quitIds;
    int64_t lastMarkerCheck = -1;
    for (;;) {
        if (plugin.ShutdownRequested())
            break;
        bool waited = false, cut = false;
        if (xfgetsFd(line, sizeof line, STDIN_FILENO, &waited, &cut) == nullptr) {
            if (!plugin.ShutdownRequested())
                PrintMsg("* Quit request accepted.\n");
            break;
        }
        const int64_t now = MonotonicSeconds();
        if (waited || now != lastMarkerCheck) {
            lastMarkerCheck = now;
            CheckConfigUpdate(plugin);
        }
        if (HandleRequestLine(plugin, line, cut, false, quitIds))
            break;
    }
    // Every line that was read gets its answer, also after the loop's end.
    bool cut = false;
    while (xfgetsBuffered(line, sizeof line, &cut) != nullptr)
        HandleRequestLine(plugin, line, cut, true, quitIds);
    return quitIds;
}
