#include "replay/host_protocol.h"

#include <cctype>

namespace replay {

const char* ReplyKindName(ReplyKind kind)
{
    switch (kind) {
    case ReplyKind::AddHeader: return "ADDHEADER";
    case ReplyKind::Rejected: return "REJECTED";
    case ReplyKind::Failure: return "FAILURE";
    case ReplyKind::Ok: return "OK";
    case ReplyKind::Intf: return "INTF";
    case ReplyKind::Other: return "other";
    }
    return "other";
}

OutputLine ParseOutputLine(std::string_view line)
{
    OutputLine parsed;
    if (line.starts_with("* ") || line == "*") {
        parsed.diagnostic = true;
        parsed.text = line;
        return parsed;
    }
    size_t space = line.find(' ');
    parsed.id = line.substr(0, space);
    parsed.text = space == std::string_view::npos ? std::string() : std::string(line.substr(space + 1));
    std::string_view rest = parsed.text;
    auto word = [&](std::string_view w) { return rest == w || rest.starts_with(std::string(w) + " "); };
    if (word("ADDHEADER")) {
        parsed.kind = ReplyKind::AddHeader;
        std::string_view payload = rest.substr(9);
        if (payload.starts_with(" "))
            payload.remove_prefix(1);
        if (payload.size() >= 2 && payload.front() == '"' && payload.back() == '"')
            payload = payload.substr(1, payload.size() - 2);
        parsed.headerText = payload;
    } else if (word("REJECTED")) {
        parsed.kind = ReplyKind::Rejected;
    } else if (word("FAILURE")) {
        parsed.kind = ReplyKind::Failure;
    } else if (word("OK")) {
        parsed.kind = ReplyKind::Ok;
    } else if (word("INTF")) {
        parsed.kind = ReplyKind::Intf;
    }
    return parsed;
}

std::optional<int> RatingOfHeaderText(std::string_view headerText)
{
    size_t colon = headerText.find(':');
    if (colon == std::string_view::npos)
        return std::nullopt;
    size_t pos = colon + 1;
    while (pos < headerText.size() && headerText[pos] == ' ')
        pos++;
    if (pos >= headerText.size() || !std::isdigit(static_cast<unsigned char>(headerText[pos])))
        return std::nullopt;
    int value = 0;
    while (pos < headerText.size() && std::isdigit(static_cast<unsigned char>(headerText[pos])) && value < 1000)
        value = value * 10 + (headerText[pos++] - '0');
    return value;
}

bool ReplyTracker::Sent(const std::string& id, const std::string& command)
{
    if (!answers.emplace(id, 0).second)
        return false;
    if (!command.empty())
        commands.emplace(id, command);
    order.push_back(id);
    outstanding++;
    return true;
}

ReplyTracker::Outcome ReplyTracker::Answer(const std::string& id)
{
    auto found = answers.find(id);
    if (found == answers.end()) {
        unknown.push_back(id);
        return Outcome::Unknown;
    }
    if (found->second++ > 0) {
        duplicates.push_back(id);
        return Outcome::Duplicate;
    }
    outstanding--;
    return Outcome::First;
}

std::vector<std::string> ReplyTracker::Unanswered() const
{
    std::vector<std::string> ids;
    for (const std::string& id : order)
        if (answers.at(id) == 0)
            ids.push_back(id);
    return ids;
}

std::string ReplyTracker::Name(const std::string& id) const
{
    auto command = commands.find(id);
    return command == commands.end() ? "request " + id : "request " + id + " (" + command->second + ")";
}

std::vector<std::string> ReplyTracker::Problems() const
{
    std::vector<std::string> lines;
    for (const std::string& id : duplicates)
        lines.push_back(Name(id) + " was answered more than once");
    for (const std::string& id : unknown)
        lines.push_back("a reply came for the unknown request id \"" + id + "\"");
    for (const std::string& id : Unanswered())
        lines.push_back(Name(id) + " got no answer");
    return lines;
}

}  // namespace replay
