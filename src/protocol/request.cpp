#include "protocol/request.h"

#include <string>

#include "protocol/output.h"

bool ClaimAnswer(queueItem_t& item)
{
    return !item.answered.exchange(true, std::memory_order_acq_rel);
}

bool AnswerRequest(queueItem_t& item, const char* format, ...)
{
    const bool first = ClaimAnswer(item);
    std::string line = first ? std::string(item.requestId) : std::string("*");
    line += ' ';
    va_list args;
    va_start(args, format);
    line += FormatTextV(format, args);
    va_end(args);
    PrintRaw(line);
    return first;
}

RequestLine SplitRequestLine(std::string_view line)
{
    RequestLine request;
    size_t space = line.find(' ');
    if (space == std::string_view::npos) {
        request.id = line;
        return request;
    }
    request.hasSpace = true;
    request.id = line.substr(0, space);
    size_t start = line.find_first_not_of(' ', space);
    request.command = start == std::string_view::npos ? std::string_view() : line.substr(start);
    return request;
}

std::string_view FilePathOf(std::string_view command)
{
    std::string_view rest = command.substr(5);  // "FILE "
    size_t start = rest.find_first_not_of(' ');
    return start == std::string_view::npos ? std::string_view() : rest.substr(start);
}
