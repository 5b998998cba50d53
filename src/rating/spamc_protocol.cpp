#include "rating/spamc_protocol.h"

#include <cctype>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "base/text.h"

namespace {

// StatusCode - the number after the protocol word of the status line, -1 when unreadable.
int StatusCode(std::string_view reply)
{
    const size_t blank = reply.find(' ');
    if (blank == std::string_view::npos || blank + 1 >= reply.size())
        return -1;
    const char c = reply[blank + 1];
    if (c < '0' || c > '9')
        return -1;
    return atoi(std::string(reply.substr(blank + 1, 8)).c_str());
}

// ContentLength - the value of a Content-length header among the headers, -1 when none.
long ContentLength(std::string_view headers)
{
    static constexpr std::string_view kName = "\ncontent-length:";
    for (size_t at = headers.find('\n'); at != std::string_view::npos; at = headers.find('\n', at + 1))
        if (headers.size() - at > kName.size() && strncasecmp(headers.data() + at, kName.data(), kName.size()) == 0)
            return strtol(std::string(headers.substr(at + kName.size(), 24)).c_str(), nullptr, 10);
    return -1;
}

}  // namespace

ReplyState SpamcReplyState(std::string_view reply, bool symbols, bool closed)
{
    // Once spamd has closed, a reply whose headers are all there stands.
    if (closed)
        symbols = false;
    const size_t lineEnd = reply.find('\n');
    if (lineEnd == std::string_view::npos)
        return ReplyState::Incomplete;
    const std::string_view status = reply.substr(0, lineEnd);
    if (StatusCode(status) != 0 || status.find("PONG") != std::string_view::npos)
        return ReplyState::Complete;
    const size_t headersEnd = reply.find("\r\n\r\n");
    if (headersEnd == std::string_view::npos)
        return ReplyState::Incomplete;
    const long length = ContentLength(reply.substr(0, headersEnd + 2));
    bool complete;
    if (length < 0)
        complete = !symbols || reply.find('\n', headersEnd + 4) != std::string_view::npos;
    else
        complete = reply.size() - (headersEnd + 4) >= static_cast<size_t>(length);
    return complete ? ReplyState::Complete : ReplyState::Incomplete;
}

SpamdAnswer ParseSpamdReply(std::string_view reply)
{
    SpamdAnswer answer;
    answer.status = StatusCode(reply.substr(0, reply.find('\n')));
    size_t headersEnd = reply.find("\r\n\r\n");
    size_t bodyStart = headersEnd + 4;
    if (headersEnd == std::string_view::npos) {
        headersEnd = reply.find("\n\n");
        bodyStart = headersEnd + 2;
    }
    if (headersEnd == std::string_view::npos)
        headersEnd = bodyStart = reply.size();
    // Every header, the first included, follows a line feed.
    const std::string_view headers = reply.substr(0, headersEnd + (headersEnd < reply.size() ? 1 : 0));

    answer.body = reply.substr(bodyStart);
    const long length = ContentLength(headers);
    if (length >= 0 && static_cast<size_t>(length) < answer.body.size())
        answer.body = answer.body.substr(0, static_cast<size_t>(length));
    while (!answer.body.empty() && (answer.body.back() == '\n' || answer.body.back() == '\r'))
        answer.body.remove_suffix(1);

    static constexpr std::string_view kSpam = "\nspam:";
    size_t at = 0;
    while ((at = headers.find('\n', at)) != std::string_view::npos &&
           (headers.size() - at < kSpam.size() || strncasecmp(headers.data() + at, kSpam.data(), kSpam.size()) != 0))
        at++;
    if (at == std::string_view::npos)
        return answer;
    // "Spam: True ; 1000.0 / 5.0", with Yes/No in some replies.
    std::string_view value = headers.substr(at + kSpam.size());
    value = value.substr(0, value.find_first_of("\r\n"));
    const auto trim = [](std::string_view text) {
        const size_t first = text.find_first_not_of(' ');
        return first == std::string_view::npos ? std::string_view() : text.substr(first);
    };
    const auto token = [](std::string_view text) { return text.substr(0, text.find_first_of(" ;/")); };
    const std::string_view word = token(trim(value));
    answer.spam = (word.size() == 4 && strncasecmp(word.data(), "True", 4) == 0) ||
                  (word.size() == 3 && strncasecmp(word.data(), "Yes", 3) == 0);
    const size_t semicolon = value.find(';');
    if (semicolon == std::string_view::npos)
        return answer;
    const std::string_view afterSemicolon = trim(value.substr(semicolon + 1));
    answer.scoreText = token(afterSemicolon);
    const size_t slash = afterSemicolon.find('/');
    if (slash != std::string_view::npos)
        answer.thresholdText = token(trim(afterSemicolon.substr(slash + 1)));
    const auto number = [](std::string_view text, double& out) {
        const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), out);
        return !text.empty() && error == std::errc() && end == text.data() + text.size();
    };
    const bool scoreRead = number(answer.scoreText, answer.score);
    const bool thresholdRead = number(answer.thresholdText, answer.threshold);
    answer.rated = answer.status == 0 && scoreRead && thresholdRead;
    if (!answer.rated) {
        answer.scoreText = answer.thresholdText = {};
        if (!scoreRead)
            answer.score = 0;
        if (!thresholdRead)
            answer.threshold = 0;
    }
    return answer;
}

ExchangeOutcome SpamcOutcome(const SpamdAnswer& answer)
{
    if (answer.rated)
        return ExchangeOutcome::Rated;
    switch (answer.status) {
    case 69:  // EX_UNAVAILABLE: spamd cannot read the user's preferences
    case 71:  // EX_OSERR
    case 75:  // EX_TEMPFAIL
        return ExchangeOutcome::HostError;
    default:
        return ExchangeOutcome::Unrated;
    }
}

bool ParsePong(std::string_view reply, std::string& word, std::string& why)
{
    const std::string_view line = reply.substr(0, reply.find_first_of("\r\n"));
    if (line.empty()) {
        why = "closed the connection without a reply";
        return false;
    }
    if (StatusCode(line) != 0 || line.find("PONG") == std::string_view::npos) {
        why = "answered \"" + ClipText(line, 80) + "\" instead of PONG";
        return false;
    }
    word = ClipText(line.substr(0, line.find(' ')), 40);
    return true;
}

void BuildRequestHeader(std::string& header, bool symbols, size_t contentLength, std::string_view user)
{
    header.assign(symbols ? "SYMBOLS SPAMC/1.5\r\nContent-length: " : "CHECK SPAMC/1.2\r\nContent-length: ");
    char digits[24];
    header.append(digits, std::to_chars(digits, digits + sizeof digits, contentLength).ptr);
    header += "\r\n";
    if (!user.empty()) {
        header += "User: ";
        header += user;
        header += "\r\n";
    }
    header += "\r\n";
}

void BuildTellHeader(std::string& header, LearnClass what, size_t contentLength)
{
    header = "TELL SPAMC/1.5\r\n";
    if (what == LearnClass::Forget) {
        header += "Remove: local\r\n";
    } else {
        header += "Message-class: ";
        header += LearnClassName(what);
        header += "\r\nSet: local\r\n";
    }
    header += "Content-length: " + std::to_string(contentLength) + "\r\n\r\n";
}

LearnOutcome ReadTellReply(std::string_view reply, LearnClass what)
{
    LearnOutcome outcome;
    const std::string_view status = reply.substr(0, reply.find_first_of("\r\n"));
    const int code = StatusCode(status);
    if (code < 0 || !status.starts_with("SPAMD/")) {
        outcome.why = reply.empty() ? "empty reply" : "no SPAMD status line: " + ClipText(status, 80);
        return outcome;
    }
    if (code != 0) {
        outcome.kind = LearnOutcome::Kind::Refused;
        outcome.why = ClipText(status, 160);
        return outcome;
    }
    const size_t headersEnd = reply.find("\r\n\r\n");
    const std::string_view headers = reply.substr(0, headersEnd);
    const std::string_view did = what == LearnClass::Forget ? "\ndidremove:" : "\ndidset:";
    std::string lower(headers);
    for (char& c : lower)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    outcome.kind = lower.find(did) != std::string::npos ? LearnOutcome::Kind::Learned : LearnOutcome::Kind::Known;
    return outcome;
}
