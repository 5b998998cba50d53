#include "rating/rspamd_protocol.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <exception>
#include <utility>

#include <nlohmann/json.hpp>

#include "base/text.h"

namespace {

constexpr std::string_view kLineEnd = "\r\n";

// SafeHeaderValue - no byte that could end the header line early or smuggle
// another header into the request.
bool SafeHeaderValue(std::string_view value)
{
    return std::none_of(value.begin(), value.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte < 0x20 || byte == 0x7f;
    });
}

void AppendHeader(std::string& head, std::string_view name, std::string_view value)
{
    if (value.empty() || !SafeHeaderValue(value))
        return;
    head += name;
    head += ": ";
    head += value;
    head += kLineEnd;
}

bool EqualNoCase(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
               return lower(x) == lower(y);
           });
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

std::string_view TrimBlanks(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

// HeaderNameChar - the characters of an HTTP token; a blank here would be a
// folded continuation line, which rspamd never writes.
bool HeaderNameChar(char c)
{
    const auto byte = static_cast<unsigned char>(c);
    return byte > 0x20 && byte < 0x7f && std::string_view("\"(),/:;<=>?@[\\]{}").find(c) == std::string_view::npos;
}

// Printable - outside text made fit for one log line.
std::string Printable(std::string_view text)
{
    std::string shown = ClipText(text, 80);
    for (char& c : shown)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            c = '?';
    return shown;
}

// HeadScan - what the bytes so far tell of a reply.  problem and detail stay
// plain pointers and views so that the check after every read allocates nothing.
struct HeadScan {
    HttpReplyState state = HttpReplyState::Incomplete;
    const char* problem = "";  // when Invalid
    std::string_view detail;   // outside text that shows the problem
    size_t headLength = 0;     // through the empty line, once it has come
    int status = 0;
    std::string_view server;
    size_t contentLength = 0;
};

HeadScan Refuse(const char* problem, std::string_view detail = {})
{
    HeadScan scan;
    scan.state = HttpReplyState::Invalid;
    scan.problem = problem;
    scan.detail = detail;
    return scan;
}

// NextLine - the line that starts at start, without its line end (CRLF or a
// bare LF); false while its line feed has not come.  next is where the
// following line starts.
bool NextLine(std::string_view head, size_t start, std::string_view& line, size_t& next)
{
    const size_t feed = head.find('\n', start);
    if (feed == std::string_view::npos)
        return false;
    line = head.substr(start, feed - start);
    if (!line.empty() && line.back() == '\r')
        line.remove_suffix(1);
    next = feed + 1;
    return true;
}

// StatusLinePrefixFits - can the bytes so far still begin "HTTP/1.x NNN"
// followed by a blank or the line end.
bool StatusLinePrefixFits(std::string_view bytes)
{
    constexpr std::string_view kPattern = "HTTP/1.d dddE";
    const size_t checked = std::min(bytes.size(), kPattern.size());
    for (size_t i = 0; i < checked; i++) {
        const char want = kPattern[i];
        const char c = bytes[i];
        if (want == 'd' ? !IsDigit(c) : want == 'E' ? (c != ' ' && c != '\r' && c != '\n') : c != want)
            return false;
    }
    return true;
}

// ContentLengthOf - the decimal value, or false when it is not one or exceeds
// the body bound (digits stop counting there, so no value can overflow).
bool ContentLengthOf(std::string_view value, size_t& length)
{
    if (value.empty())
        return false;
    length = 0;
    for (char c : value) {
        if (!IsDigit(c))
            return false;
        length = length * 10 + static_cast<size_t>(c - '0');
        if (length > kRspamdBodyLimit)
            return false;
    }
    return true;
}

HeadScan ScanReply(std::string_view bytes)
{
    if (!StatusLinePrefixFits(bytes))
        return Refuse("status line is not HTTP/1.x", bytes.substr(0, bytes.find('\n')));
    const std::string_view head = bytes.substr(0, kRspamdHeadLimit);
    const auto headTooLong = [&]() {
        return bytes.size() >= kRspamdHeadLimit ? Refuse("reply head longer than 16384 bytes") : HeadScan{};
    };
    std::string_view line;
    size_t next = 0;
    if (!NextLine(head, 0, line, next))
        return headTooLong();
    if (line.find('\r') != std::string_view::npos)
        return Refuse("status line holds a CR", line);
    HeadScan scan;
    scan.status = (line[9] - '0') * 100 + (line[10] - '0') * 10 + (line[11] - '0');
    if (scan.status < 100 || scan.status > 599)
        return Refuse("status code out of range", line);

    bool lengthSeen = false;
    for (;;) {
        const size_t start = next;
        if (!NextLine(head, start, line, next))
            return headTooLong();
        if (line.empty())
            break;
        const size_t colon = line.find(':');
        const std::string_view name = line.substr(0, colon);
        if (colon == std::string_view::npos || name.empty() || !std::all_of(name.begin(), name.end(), HeaderNameChar))
            return Refuse("malformed header line", line);
        const std::string_view value = TrimBlanks(line.substr(colon + 1));
        if (value.find('\r') != std::string_view::npos)
            return Refuse("header line holds a CR", line);
        if (EqualNoCase(name, "Content-Length")) {
            size_t length = 0;
            if (!ContentLengthOf(value, length))
                return Refuse("Content-Length not a number up to 4194304", value);
            if (lengthSeen && length != scan.contentLength)
                return Refuse("Content-Length given twice with different values", value);
            lengthSeen = true;
            scan.contentLength = length;
        } else if (EqualNoCase(name, "Transfer-Encoding")) {
            // rspamd always announces its reply's length and never sends it
            // chunked; a chunked reply comes from something else, so it is refused
            // rather than decoded.
            if (!EqualNoCase(value, "identity"))
                return Refuse("Transfer-Encoding refused", value);
        } else if (EqualNoCase(name, "Server") && scan.server.empty()) {
            scan.server = value;
        }
    }
    // Without a length only the close of the connection would end the body,
    // and a close cannot be told from a reply cut short.
    if (!lengthSeen)
        return Refuse("reply without Content-Length");
    scan.headLength = next;
    const size_t bodyBytes = bytes.size() - scan.headLength;
    if (bodyBytes > scan.contentLength)
        return Refuse("reply longer than its Content-Length");
    scan.state = bodyBytes == scan.contentLength ? HttpReplyState::Complete : HttpReplyState::Incomplete;
    return scan;
}

// Fixed2 - as rspamd writes scores; a number too large for that (which no
// rule set gives) in the short exponent form, so that no header grows long.
std::string Fixed2(double value)
{
    char text[64];
    std::snprintf(text, sizeof text, std::fabs(value) < 1e12 ? "%.2f" : "%.6g", value);
    return text;
}

// VerdictReader - the verdict gathered in one pass over the JSON, as the
// parser reports it (SAX): nothing is built but what the verdict needs, so
// the time grows with the reply's length and nothing else.  Of duplicate
// keys the last counts.  Depth 1 is the reply object, 2 the symbols, 3 a
// symbol's fields.
class VerdictReader final : public nlohmann::json_sax<nlohmann::json> {
public:
    VerdictReader(RspamdVerdict& verdict, MonotonicClock::time_point deadline) : verdict(verdict), deadline(deadline)
    {
    }

    bool null() override { return Value(Kind::Other); }
    bool boolean(bool) override { return Value(Kind::Other); }
    bool number_integer(number_integer_t value) override { return Number(static_cast<double>(value)); }
    bool number_unsigned(number_unsigned_t value) override { return Number(static_cast<double>(value)); }
    bool number_float(number_float_t value, const string_t&) override { return Number(value); }
    bool string(string_t& value) override
    {
        if (depth == 1 && field == Field::Action)
            action = std::move(value);
        return Value(Kind::String);
    }
    bool binary(binary_t&) override { return Value(Kind::Other); }
    bool start_object(std::size_t) override { return Open(true); }
    bool start_array(std::size_t) override { return Open(false); }
    bool end_object() override { return Close(); }
    bool end_array() override { return Close(); }
    bool key(string_t& name) override
    {
        if (depth == 1) {
            field = name == "score" ? Field::Score
                    : name == "required_score" ? Field::Required
                    : name == "action" ? Field::Action
                    : name == "symbols" ? Field::Symbols
                    : Field::None;
        } else if (depth == 2 && inSymbols) {
            symbolKept = symbols.size() < kRspamdSymbolLimit;
            if (symbolKept)
                symbols.emplace_back(0.0, std::move(name));
            else
                verdict.symbolsLeftOut++;
        } else if (depth == 3 && inSymbols) {
            symbolScore = name == "score";
        }
        return Tick();
    }
    bool parse_error(std::size_t position, const std::string&, const nlohmann::detail::exception& error) override
    {
        if (why.empty())
            why = error.id == 406 ? "number out of range" : "not JSON, error at byte " + std::to_string(position);
        return false;
    }

    // Finish - the verdict, once the parse has run through.
    void Finish()
    {
        if (!why.empty()) {
            verdict.why = why;
            return;
        }
        if (!isObject)
            verdict.why = "JSON reply is not an object";
        else if (!std::isfinite(score))
            verdict.why = "no finite number as score";
        else if (!std::isfinite(required))
            verdict.why = "no finite number as required_score";
        else if (actionKind != Kind::None && actionKind != Kind::String)
            verdict.why = "action is not a string";
        if (!verdict.why.empty())
            return;
        verdict.score = score;
        verdict.requiredScore = required;
        verdict.action = actionKind == Kind::String ? std::move(action) : std::string();
        std::stable_sort(symbols.begin(), symbols.end(), [](const auto& a, const auto& b) {
            return a.first != b.first ? a.first > b.first : a.second < b.second;
        });
        verdict.rules.reserve(symbols.size());
        for (auto& [symbolScore, name] : symbols)
            verdict.rules.push_back(std::move(name));
        verdict.scoreText = Fixed2(score);
        verdict.thresholdText = Fixed2(required);
        verdict.rated = true;
    }

private:
    enum class Field { None, Score, Required, Action, Symbols };
    enum class Kind { None, Number, String, Other };

    // Tick - give up once the exchange's time is spent (looked at now and then).
    bool Tick()
    {
        if ((++events & 0xfff) == 0 && Monotonic() > deadline) {
            why = "reply not parsed within the exchange's time";
            return false;
        }
        return true;
    }
    bool Number(double value)
    {
        if (depth == 3 && inSymbols && symbolScore && symbolKept)
            symbols.back().first = std::isfinite(value) ? value : 0;
        else if (depth == 1 && field == Field::Score)
            score = value;
        else if (depth == 1 && field == Field::Required)
            required = value;
        return Value(Kind::Number);
    }
    // Value - a value at the current depth (a container counts at its opening).
    bool Value(Kind kind)
    {
        if (depth == 1) {
            if (field == Field::Score && kind != Kind::Number)
                score = NAN;
            else if (field == Field::Required && kind != Kind::Number)
                required = NAN;
            else if (field == Field::Action)
                actionKind = kind;
            else if (field == Field::Symbols && kind != Kind::None)
                ForgetSymbols();
        } else if (depth == 3 && inSymbols && symbolScore && symbolKept && kind != Kind::Number) {
            symbols.back().first = 0;
        }
        if (depth == 3)
            symbolScore = false;
        return Tick();
    }
    bool Open(bool object)
    {
        if (depth == 0) {
            isObject = object;
        } else if (depth == 1 && field == Field::Symbols) {
            // A later "symbols" replaces an earlier one.
            ForgetSymbols();
            inSymbols = object;
        } else if (!Value(Kind::Other)) {
            return false;
        }
        if (++depth > kRspamdJsonDepthLimit) {
            why = "JSON nested deeper than " + std::to_string(kRspamdJsonDepthLimit) + " levels";
            return false;
        }
        return Tick();
    }
    bool Close()
    {
        if (--depth == 1) {
            field = Field::None;
            inSymbols = false;
        }
        return Tick();
    }
    void ForgetSymbols()
    {
        inSymbols = false;
        symbols.clear();
        verdict.symbolsLeftOut = 0;
    }

    RspamdVerdict& verdict;
    const MonotonicClock::time_point deadline;
    std::string why;
    int depth = 0;
    unsigned events = 0;
    bool isObject = false;
    Field field = Field::None;
    double score = NAN;
    double required = NAN;
    Kind actionKind = Kind::None;
    std::string action;
    bool inSymbols = false;
    bool symbolKept = false;
    bool symbolScore = false;
    std::vector<std::pair<double, std::string>> symbols;
};

RspamdVerdict ReadVerdict(std::string_view text, MonotonicClock::time_point deadline)
{
    RspamdVerdict verdict;
    VerdictReader reader(verdict, deadline);
    nlohmann::json::sax_parse(text.begin(), text.end(), &reader);
    reader.Finish();
    return verdict;
}

}  // namespace

void BuildRspamdCheckHead(std::string& head, std::string_view host, size_t contentLength,
                          const RspamdEnvelope& envelope)
{
    head.clear();
    head += "POST /checkv2 HTTP/1.1\r\n";
    AppendHeader(head, "Host", host);
    head += "Connection: close\r\nContent-Length: ";
    head += std::to_string(contentLength);
    head += kLineEnd;
    // No User header: rspamd takes it for an SMTP-authenticated sender and
    // scores the message as submitted by one of the host's own users.
    AppendHeader(head, "From", envelope.from);
    for (std::string_view rcpt : envelope.rcpts)
        AppendHeader(head, "Rcpt", rcpt);
    AppendHeader(head, "IP", envelope.ip);
    AppendHeader(head, "Queue-Id", envelope.queueId);
    AppendHeader(head, "Deliver-To", envelope.deliverTo);
    head += kLineEnd;
}

std::string RspamdPingRequest(std::string_view host)
{
    std::string request = "GET /ping HTTP/1.1\r\n";
    AppendHeader(request, "Host", host);
    request += "Connection: close\r\n\r\n";
    return request;
}

HttpReplyState RspamdReplyState(std::string_view bytes)
{
    return ScanReply(bytes).state;
}

HttpReply ParseHttpReply(std::string_view bytes)
{
    HttpReply reply;
    const HeadScan scan = ScanReply(bytes);
    switch (scan.state) {
    case HttpReplyState::Incomplete:
        reply.why = "reply incomplete after " + std::to_string(bytes.size()) + " bytes";
        break;
    case HttpReplyState::Invalid:
        reply.why = scan.problem;
        if (!scan.detail.empty())
            reply.why += ": " + Printable(scan.detail);
        break;
    case HttpReplyState::Complete:
        reply.valid = true;
        reply.status = scan.status;
        reply.server = scan.server;
        reply.body = bytes.substr(scan.headLength);
        break;
    }
    return reply;
}

bool IsRspamdPong(const HttpReply& reply)
{
    return reply.valid && reply.status == 200 &&
           (reply.body == "pong" || reply.body == "pong\r\n" || reply.body == "pong\n");
}

std::string RspamdVersionOf(const HttpReply& reply)
{
    return Printable(reply.server);
}

RspamdVerdict ParseRspamdVerdict(std::string_view json, MonotonicClock::time_point deadline)
{
    try {
        return ReadVerdict(json, deadline);
    } catch (const std::exception& error) {
        // Only running out of memory is left to throw.
        RspamdVerdict verdict;
        verdict.why = std::string("JSON reply unusable: ") + error.what();
        return verdict;
    }
}

void BuildRspamdLearnHead(std::string& head, std::string_view host, LearnClass what, size_t contentLength,
                          std::string_view password)
{
    head.clear();
    head += what == LearnClass::Ham ? "POST /learnham HTTP/1.1\r\n" : "POST /learnspam HTTP/1.1\r\n";
    AppendHeader(head, "Host", host);
    AppendHeader(head, "Password", password);
    head += "Connection: close\r\nContent-Length: ";
    head += std::to_string(contentLength);
    head += kLineEnd;
    head += kLineEnd;
}

LearnOutcome ReadRspamdLearnReply(std::string_view bytes)
{
    LearnOutcome outcome;
    const HttpReply reply = ParseHttpReply(bytes);
    if (!reply.valid) {
        outcome.why = reply.why;
        return outcome;
    }
    switch (reply.status) {
    case 200: outcome.kind = LearnOutcome::Kind::Learned; return outcome;
    case 208: outcome.kind = LearnOutcome::Kind::Known; return outcome;
    case 401:
    case 403: outcome.kind = LearnOutcome::Kind::Refused; break;
    default: break;
    }
    outcome.why = "HTTP " + std::to_string(reply.status) + " " + Printable(ClipText(reply.body, 160));
    return outcome;
}
