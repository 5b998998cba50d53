#include "protocol/request.h"

#include <cstring>

namespace {

size_t CopyField(char* field, size_t size, std::string_view text)
{
    const size_t n = text.size() < size - 1 ? text.size() : size - 1;
    // An empty view may have no data at all, which memcpy must not be given.
    if (n > 0)
        memcpy(field, text.data(), n);
    field[n] = '\0';
    return n;
}

}  // namespace

RequestLine ParseRequestLine(std::string_view line)
{
    RequestLine request;
    const size_t space = line.find(' ');
    if (space == std::string_view::npos) {
        request.id = line;
        return request;
    }
    request.id = line.substr(0, space);
    const size_t start = line.find_first_not_of(' ', space);
    request.command = start == std::string_view::npos ? std::string_view() : line.substr(start);
    const std::string_view command = request.command;
    if (command.starts_with("FILE ")) {
        const std::string_view rest = command.substr(5);
        const size_t pathStart = rest.find_first_not_of(' ');
        request.path = pathStart == std::string_view::npos ? std::string_view() : rest.substr(pathStart);
        request.kind = request.path.empty() ? RequestKind::MissingFileName : RequestKind::File;
    } else if (command.starts_with("INTF")) {
        request.kind = RequestKind::Intf;
    } else if (command.starts_with("QUIT")) {
        request.kind = RequestKind::Quit;
    } else {
        request.kind = RequestKind::Unknown;
    }
    return request;
}

void FileRequest::Assign(std::string_view id, std::string_view path)
{
    CopyField(requestId, sizeof requestId, id);
    CopyField(fileName, sizeof fileName, path);
    answered.store(false, std::memory_order_relaxed);
}

bool ClaimAnswer(FileRequest& request)
{
    return !request.answered.exchange(true, std::memory_order_acq_rel);
}

