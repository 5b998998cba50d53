#include "rating/engine.h"

#include "base/text.h"
#include "rating/headers.h"
#include "rating/spamc_protocol.h"

namespace {

// A learn reply is a status line and a header or two, or a short JSON object.
constexpr size_t kLearnReplyCapacity = 16 * 1024;
constexpr size_t kPingReplyCapacity = 512;
constexpr size_t kRspamdReplyCapacity = kRspamdHeadLimit + kRspamdBodyLimit;

// FirstLine - the start of a reply as a log line may show it.
std::string FirstLine(std::string_view reply)
{
    if (reply.empty())
        return "empty reply";
    return ClipText(reply.substr(0, reply.find_first_of("\r\n")));
}

void BuildSpamdPing(std::string& request, const EngineHost&) { request = kPingRequest; }

void BuildSpamdCheck(std::string& head, const EngineHost&, const CheckRequest& request)
{
    // spamd gets a line feed after the message, as it always has.
    BuildRequestHeader(head, request.wantRules, request.size + 1, request.spamdUser);
}

// ReadSpamdCheck - spamd's verdict; its error statuses say what they mean
// for the host (SpamcOutcome).
ExchangeOutcome ReadSpamdCheck(std::string_view reply, const CheckRequest& request, EngineVerdict& verdict,
                               std::string& why)
{
    const SpamdAnswer parsed = ParseSpamdReply(reply);
    const ExchangeOutcome outcome = SpamcOutcome(parsed);
    if (outcome != ExchangeOutcome::Rated) {
        why = FirstLine(reply);
        return outcome;
    }
    verdict.score = parsed.score;
    verdict.threshold = parsed.threshold;
    verdict.scoreText.assign(parsed.scoreText);
    verdict.thresholdText.assign(parsed.thresholdText);
    verdict.rules.clear();
    verdict.rulesLeftOut = 0;
    verdict.action.clear();
    if (request.wantRules)
        RuleNamesText(parsed.body, verdict.rules);
    return outcome;
}

void BuildRspamdPing(std::string& request, const EngineHost& host) { request = RspamdPingRequest(HttpHostOf(host)); }

bool ReadRspamdPing(std::string_view reply, std::string& word, std::string& why)
{
    const HttpReply http = ParseHttpReply(reply);
    if (!IsRspamdPong(http)) {
        why = http.valid ? "no pong to /ping: HTTP " + std::to_string(http.status) : http.why;
        return false;
    }
    word = RspamdVersionOf(http);
    if (word.empty())
        word = "rspamd";
    return true;
}

void BuildRspamdCheck(std::string& head, const EngineHost& host, const CheckRequest& request)
{
    BuildRspamdCheckHead(head, HttpHostOf(host), request.size, request.envelope);
}

// ReadRspamdCheck - an HTTP 5xx says the host is in trouble, any other reply
// without a verdict fails this message only.
ExchangeOutcome ReadRspamdCheck(std::string_view reply, const CheckRequest& request, EngineVerdict& verdict,
                                std::string& why)
{
    const HttpReply http = ParseHttpReply(reply);
    if (!http.valid || http.status != 200) {
        why = http.valid ? "HTTP " + std::to_string(http.status) + " " + ClipText(http.body, 120) : http.why;
        return http.valid && http.status >= 500 ? ExchangeOutcome::HostError : ExchangeOutcome::Unrated;
    }
    const RspamdVerdict parsed = ParseRspamdVerdict(http.body, request.deadline);
    if (!parsed.rated) {
        why = parsed.why;
        return Monotonic() >= request.deadline ? ExchangeOutcome::TimedOut : ExchangeOutcome::Unrated;
    }
    verdict.rulesLeftOut = parsed.symbolsLeftOut;
    verdict.score = parsed.score;
    verdict.threshold = parsed.requiredScore;
    verdict.scoreText = parsed.scoreText;
    verdict.thresholdText = parsed.thresholdText;
    std::string joined;
    for (const std::string& rule : parsed.rules)
        joined += (joined.empty() ? "" : ",") + rule;
    RuleNamesText(joined, verdict.rules);
    ActionText(parsed.action, verdict.action);
    return ExchangeOutcome::Rated;
}

void BuildSpamdLearn(std::string& head, const EngineHost&, LearnClass what, size_t size, std::string_view)
{
    BuildTellHeader(head, what, size);
}

void BuildRspamdLearn(std::string& head, const EngineHost& host, LearnClass what, size_t size,
                      std::string_view password)
{
    BuildRspamdLearnHead(head, HttpHostOf(host), what, size, password);
}

LearnOutcome ReadRspamdLearn(std::string_view reply, LearnClass) { return ReadRspamdLearnReply(reply); }

const EngineProtocol kSpamd{BuildSpamdPing,
                            ParsePong,
                            {SpamcReplyState, false, kPingReplyCapacity},
                            BuildSpamdCheck,
                            "\n",
                            ReadSpamdCheck,
                            {SpamcReplyState, false, kSpamcReplyCapacity},
                            false,
                            BuildSpamdLearn,
                            ReadTellReply,
                            {SpamcReplyState, false, kLearnReplyCapacity},
                            true};
const EngineProtocol kRspamd{BuildRspamdPing,
                             ReadRspamdPing,
                             {HttpFraming, false, 4096},
                             BuildRspamdCheck,
                             "",
                             ReadRspamdCheck,
                             {HttpFraming, false, kRspamdReplyCapacity},
                             true,
                             BuildRspamdLearn,
                             ReadRspamdLearn,
                             {HttpFraming, false, kLearnReplyCapacity},
                             false};

}  // namespace

const EngineProtocol& ProtocolOf(EngineKind engine) { return engine == EngineKind::Rspamd ? kRspamd : kSpamd; }

std::string HttpHostOf(const EngineHost& host)
{
    if (host.transport == EngineTransport::Unix)
        return "localhost";
    const bool v6 = host.address.find(':') != std::string::npos;
    return (v6 ? "[" + host.address + "]" : host.address) + ":" + host.port;
}

ReplyState HttpFraming(std::string_view reply, bool, bool)
{
    switch (RspamdReplyState(reply)) {
    case HttpReplyState::Complete: return ReplyState::Complete;
    case HttpReplyState::Invalid: return ReplyState::Invalid;
    default: return ReplyState::Incomplete;
    }
}

LearnOutcome LearnAtHost(const EngineHost& host, const EngineAddresses& addresses, const TlsClient* tls,
                         LearnClass what, std::string_view message, std::string_view password,
                         const ExchangeLimits& limits, std::string& head, std::string& reply)
{
    const EngineProtocol& protocol = ProtocolOf(host.engine);
    if (what == LearnClass::Forget && !protocol.canForget)
        return {LearnOutcome::Kind::Unsupported, std::string(EngineName(host.engine)) + " cannot forget"};
    protocol.buildLearn(head, host, what, message.size(), password);
    const ExchangeResult result =
        ExchangeWithHost(host, addresses, tls, {head, message}, reply, protocol.learnFraming, limits);
    if (!result.answered) {
        // A host that cannot be reached takes no further message either.
        const bool down = result.failure == ExchangeOutcome::Unreachable;
        return {down ? LearnOutcome::Kind::Refused : LearnOutcome::Kind::Failed, result.why};
    }
    return protocol.readLearn(reply, what);
}
