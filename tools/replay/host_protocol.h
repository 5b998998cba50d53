// host_protocol - the replay tool's side of the host protocol: reading the
// plugin's output lines and checking that every request is answered once
//
// ParseOutputLine     split a line into diagnostic or reply, id and kind
// RatingOfHeaderText  the rating that a verdict header text shows
// ReplyTracker        the exactly-once bookkeeping of request ids
//
// Pure; used by the session loop on one thread.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace replay {

enum class ReplyKind { AddHeader, Rejected, Failure, Ok, Intf, Other };

// ReplyKindName - "ADDHEADER", "REJECTED", "FAILURE", "OK", "INTF", "other".
const char* ReplyKindName(ReplyKind kind);

struct OutputLine {
    bool diagnostic = false;  // "* ..." lines carry no request id
    std::string id;
    ReplyKind kind = ReplyKind::Other;
    std::string text;        // everything after "<id> "
    std::string headerText;  // ADDHEADER: the text between the quotation marks
};

OutputLine ParseOutputLine(std::string_view line);

// RatingOfHeaderText - the first number after the first ':' ("X-Junk-Score:
// 45 [XX]..." gives 45), or nothing when the template shows no number.
std::optional<int> RatingOfHeaderText(std::string_view headerText);

class ReplyTracker {
public:
    enum class Outcome { First, Duplicate, Unknown };

    // Sent - a request went out with this id; false when the id is in use.
    // A command other than FILE is named in the problems ("request 4 (QUIT)").
    bool Sent(const std::string& id, const std::string& command = "");
    Outcome Answer(const std::string& id);

    size_t SentCount() const { return order.size(); }
    size_t Outstanding() const { return outstanding; }
    size_t Duplicates() const { return duplicates.size(); }
    size_t UnknownAnswers() const { return unknown.size(); }
    // Unanswered - ids without an answer, in the order they were sent.
    std::vector<std::string> Unanswered() const;
    // Problems - one line per fault: duplicates, unknown ids, missing answers.
    std::vector<std::string> Problems() const;
    bool Clean() const { return outstanding == 0 && duplicates.empty() && unknown.empty(); }

private:
    std::string Name(const std::string& id) const;

    std::unordered_map<std::string, int> answers;  // id -> answers seen
    std::unordered_map<std::string, std::string> commands;
    std::vector<std::string> order;
    std::vector<std::string> duplicates;
    std::vector<std::string> unknown;
    size_t outstanding = 0;
};

}  // namespace replay
