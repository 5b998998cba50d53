#include "rating/spamd_farm.h"

#include <algorithm>
#include <cstring>
#include <mutex>

#include "base/output.h"
#include "base/text.h"
#include "rating/headers.h"
#include "rating/rspamd_protocol.h"
#include "rating/spamd_connection.h"

namespace {

// A PING at start-up, at a reload and in a probe waits at most this long.
constexpr int kPingTimeout = 10;
constexpr size_t kPingReplyCapacity = 512;

struct PingOutcome {
    bool answered = false;
    std::string word;  // spamd's protocol word, rspamd's name and version
    std::string why;
    ExchangeResult failure;  // when the PING was not answered at all
};

// Until - when a message's exchanges must end: hosts without a reply time
// limit (the one spamd of SocketPath) are left to the scan's watchdog.
MonotonicClock::time_point Until(const SpamdSettings& settings, const MessageToRate& message)
{
    return settings.replyTimeout > 0 ? message.until : MonotonicClock::time_point::max();
}

// FirstLine - the start of a reply as a log line may show it.
std::string FirstLine(std::string_view reply)
{
    if (reply.empty())
        return "empty reply";
    return ClipText(reply.substr(0, reply.find_first_of("\r\n")));
}

// HttpFraming - rspamd's replies are complete when their Content-Length has come.
ReplyState HttpFraming(std::string_view reply, bool, bool)
{
    switch (RspamdReplyState(reply)) {
    case HttpReplyState::Complete: return ReplyState::Complete;
    case HttpReplyState::Invalid: return ReplyState::Invalid;
    default: return ReplyState::Incomplete;
    }
}
constexpr size_t kRspamdReplyCapacity = kRspamdHeadLimit + kRspamdBodyLimit;

// HttpHostOf - the Host header of a request to an rspamd host.
std::string HttpHostOf(const SpamdHost& host)
{
    if (host.transport == SpamdTransport::Unix)
        return "localhost";
    const bool v6 = host.address.find(':') != std::string::npos;
    return (v6 ? "[" + host.address + "]" : host.address) + ":" + host.port;
}

// Reach - resolve the host (addresses filled) and PING it within the limits.
PingOutcome Reach(const SpamdHost& host, SpamdAddresses& addresses, const TlsClient* tls, int connectSeconds,
                  int replySeconds)
{
    PingOutcome ping;
    if (!ResolveSpamdHost(host, addresses, ping.why)) {
        ping.failure.failure = ExchangeOutcome::Unreachable;
        ping.failure.why = ping.why;
        return ping;
    }
    thread_local std::string reply;
    const ExchangeLimits limits{connectSeconds, replySeconds};
    if (host.engine == SpamdEngine::Rspamd) {
        const std::string request = RspamdPingRequest(HttpHostOf(host));
        ping.failure = ExchangeWithHost(host, addresses, tls, {request}, reply, {HttpFraming, false, 4096}, limits);
        const HttpReply http = ParseHttpReply(reply);
        if (!ping.failure.answered)
            ping.why = ping.failure.why;
        else if (!IsRspamdPong(http))
            ping.why = http.valid ? "no pong to /ping: HTTP " + std::to_string(http.status) : http.why;
        else
            ping.word = RspamdVersionOf(http);
        ping.answered = ping.why.empty();
        if (ping.answered && ping.word.empty())
            ping.word = "rspamd";
        return ping;
    }
    const ReplyFraming framing{SpamcReplyState, false, kPingReplyCapacity};
    ping.failure = ExchangeWithHost(host, addresses, tls, {kPingRequest}, reply, framing, limits);
    if (!ping.failure.answered)
        ping.why = ping.failure.why;
    else
        ping.answered = ParsePong(reply, ping.word, ping.why);
    return ping;
}

// AskSpamd - CHECK (or SYMBOLS for the rule names) and its verdict.
ExchangeOutcome AskSpamd(const SpamdHost& host, const SpamdAddresses& addresses, const TlsClient* tls,
                         const ExchangeLimits& limits, const MessageToRate& message, ExchangeBuffers& buffers,
                         FarmAnswer& answer, ExchangeResult& result)
{
    BuildRequestHeader(buffers.head, message.wantRules, message.body.size() + 1, message.spamdUser);
    const ReplyFraming framing{SpamcReplyState, message.wantRules, kSpamcReplyCapacity};
    result = ExchangeWithHost(host, addresses, tls, {buffers.head, message.body, "\n"}, buffers.reply, framing,
                              limits);
    if (!result.answered) {
        answer.why = result.why;
        return result.failure;
    }
    const SpamdAnswer parsed = ParseSpamdReply(buffers.reply);
    const ExchangeOutcome outcome = SpamcOutcome(parsed);
    if (outcome != ExchangeOutcome::Rated) {
        answer.why = FirstLine(buffers.reply);
        return outcome;
    }
    answer.score = parsed.score;
    answer.threshold = parsed.threshold;
    answer.scoreText.assign(parsed.scoreText);
    answer.thresholdText.assign(parsed.thresholdText);
    answer.rules.clear();
    answer.action.clear();
    if (message.wantRules)
        RuleNamesText(parsed.body, answer.rules);
    return outcome;
}

// AskRspamd - POST /checkv2 with the envelope, and its verdict: an HTTP 5xx
// says the host is in trouble, any other reply without a verdict fails this
// message only.
ExchangeOutcome AskRspamd(const SpamdHost& host, const std::string& httpHost, const SpamdAddresses& addresses,
                          const std::string& user, const ExchangeLimits& limits, const MessageToRate& message,
                          ExchangeBuffers& buffers, FarmAnswer& answer, ExchangeResult& result)
{
    EnvelopeAddresses& envelope = buffers.envelope;
    ReadEnvelopeAddresses(message.text, message.envelopeLength, envelope);
    const std::string_view deliverTo =
        user == "recipient" && envelope.recipients.size() == 1 ? envelope.recipients[0] : std::string_view();
    BuildRspamdCheckHead(buffers.head, httpHost, message.body.size(),
                         {envelope.sender, envelope.recipients, envelope.sourceIp, message.requestId, deliverTo});
    result = ExchangeWithHost(host, addresses, nullptr, {buffers.head, message.body}, buffers.reply,
                              {HttpFraming, false, kRspamdReplyCapacity}, limits);
    if (!result.answered) {
        answer.why = result.why;
        return result.failure;
    }
    const HttpReply http = ParseHttpReply(buffers.reply);
    if (!http.valid || http.status != 200) {
        answer.why = http.valid ? "HTTP " + std::to_string(http.status) + " " + ClipText(http.body, 120) : http.why;
        return http.valid && http.status >= 500 ? ExchangeOutcome::HostError : ExchangeOutcome::Unrated;
    }
    const RspamdVerdict verdict = ParseRspamdVerdict(http.body, result.deadline);
    if (!verdict.rated) {
        answer.why = verdict.why;
        return Monotonic() >= result.deadline ? ExchangeOutcome::TimedOut : ExchangeOutcome::Unrated;
    }
    if (verdict.symbolsLeftOut != 0)
        PrintMsg("* rspamd host %s: %zu symbols beyond the first %zu left out\n", host.name.c_str(),
                 verdict.symbolsLeftOut, kRspamdSymbolLimit);
    answer.score = verdict.score;
    answer.threshold = verdict.requiredScore;
    answer.scoreText = verdict.scoreText;
    answer.thresholdText = verdict.thresholdText;
    std::string joined;
    for (const std::string& rule : verdict.rules)
        joined += (joined.empty() ? "" : ",") + rule;
    RuleNamesText(joined, answer.rules);
    ActionText(verdict.action, answer.action);
    return ExchangeOutcome::Rated;
}

// PingLimits - a PING within the host's connect time and at most kPingTimeout in all.
ExchangeLimits PingLimits(const SpamdSettings& settings)
{
    const int reply = settings.replyTimeout > 0 ? std::min(settings.replyTimeout, kPingTimeout) : kPingTimeout;
    return ExchangeLimits{settings.connectTimeout, reply};
}

}  // namespace

struct SpamdFarm::Host {
    SpamdHost config;                                 // fixed once started
    std::string httpHost;                             // rspamd's Host header
    std::shared_ptr<const SpamdAddresses> addresses;  // never null once started
    bool up = false;
    int64_t downSince = 0;  // monotonic seconds
    int inProgress = 0;
};

struct SpamdFarm::Hosts {
    SpamdSettings settings;
    std::shared_ptr<const TlsClient> tls;
    std::vector<Host> list;  // fixed in size once started
    size_t rotor = 0;        // where the search for the least busy host begins

    // Pick - the up host not yet tried with the fewest exchanges in progress,
    // ties going round; -1 when there is none.  The one spamd of SocketPath
    // is tried whether up or not.  Caller holds the mutex.
    int Pick(uint64_t tried)
    {
        int best = -1;
        const size_t n = list.size();
        for (size_t k = 0; k < n; k++) {
            const size_t i = (rotor + k) % n;
            const bool eligible = (list[i].up || settings.single) && (tried >> i & 1) == 0;
            if (eligible && (best < 0 || list[i].inProgress < list[static_cast<size_t>(best)].inProgress))
                best = static_cast<int>(i);
        }
        // The next search begins behind the host picked, so equal hosts take turns.
        if (best >= 0)
            rotor = (static_cast<size_t>(best) + 1) % n;
        return best;
    }
};

SpamdFarm::SpamdFarm() = default;
SpamdFarm::~SpamdFarm() = default;

bool SpamdFarm::Start(const SpamdSettings& settings)
{
    auto next = std::make_shared<Hosts>();
    next->settings = settings;
    std::string why;
    const bool tlsWanted = std::any_of(settings.hosts.begin(), settings.hosts.end(),
                                       [](const SpamdHost& host) { return host.transport == SpamdTransport::Tls; });
    if (tlsWanted && !(next->tls = TlsClient::Create(settings.tls, why)))
        PrintMsg("* TLS to spamd cannot be used: %s\n", why.c_str());
    const ExchangeLimits limits = PingLimits(settings);
    bool anyUp = false;
    for (const SpamdHost& config : settings.hosts) {
        Host& host = next->list.emplace_back();
        host.config = config;
        host.httpHost = HttpHostOf(config);
        const char* name = config.name.c_str();
        if (settings.single)
            PrintMsg("* Connecting to socket %s\n", name);
        else
            PrintMsg("* Connecting to spamd host %s\n", name);
        auto addresses = std::make_shared<SpamdAddresses>();
        const PingOutcome ping = Reach(config, *addresses, next->tls.get(), limits.connectSeconds, limits.replySeconds);
        host.addresses = std::move(addresses);
        host.up = ping.answered;
        anyUp |= host.up;
        if (!host.up)
            host.downSince = MonotonicSeconds();
        if (!settings.single) {
            if (host.up)
                PrintMsg("* engine: %s at %s\n", ping.word.c_str(), name);
            else
                PrintMsg("* spamd host %s is down: %s\n", name, ping.why.c_str());
        } else if (host.up) {
            PrintMsg("* engine: %s\n", ping.word.c_str());
        } else if (!ping.failure.answered && ping.failure.failure == ExchangeOutcome::Unreachable &&
                   ping.failure.error != 0) {
            PrintMsg("* failed to connect to socket %s: %s\n", name, strerror(ping.failure.error));
        } else {
            PrintMsg("* failed to read from socket %s\n", name);
        }
    }
    {
        std::lock_guard lock(mutex);
        hosts = std::move(next);
    }
    if (!anyUp && !settings.single)
        PrintMsg("* no spamd host answered\n");
    return anyUp;
}

void SpamdFarm::MarkDown(Host& host, bool single, const std::string& why, int error)
{
    bool wasUp;
    {
        std::lock_guard lock(mutex);
        wasUp = host.up;
        if (wasUp) {
            host.up = false;
            host.downSince = MonotonicSeconds();
        }
    }
    // The one socket's failure is told for every message it fails, as it always was.
    if (single)
        PrintMsg("* failed to connect to socket %s: %s\n", host.config.name.c_str(),
                 error != 0 ? strerror(error) : why.c_str());
    else if (wasUp)
        PrintMsg("* spamd host %s is down: %s\n", host.config.name.c_str(), why.c_str());
}

ExchangeOutcome SpamdFarm::Attempt(Hosts& current, Host& host, const SpamdAddresses& addresses,
                                   const MessageToRate& message, Recorder& recorder, ExchangeBuffers& buffers,
                                   FarmAnswer& answer)
{
    const MonotonicClock::time_point start = Monotonic();
    const SpamdSettings& settings = current.settings;
    const ExchangeLimits limits{settings.connectTimeout, settings.replyTimeout, Until(settings, message)};
    ExchangeResult result;
    const ExchangeOutcome outcome =
        host.config.engine == SpamdEngine::Rspamd
            ? AskRspamd(host.config, host.httpHost, addresses, settings.user, limits, message, buffers, answer, result)
            : AskSpamd(host.config, addresses, current.tls.get(), limits, message, buffers, answer, result);
    recorder.RecordExchange(host.config.name, outcome, SecondsSince(start));
    if (!result.answered && outcome == ExchangeOutcome::Unreachable)
        MarkDown(host, settings.single, result.why, result.error);
    return outcome;
}

void SpamdFarm::Exchange(const MessageToRate& message, Recorder& recorder, ExchangeBuffers& buffers,
                         FarmAnswer& answer)
{
    answer.kind = FarmAnswer::Kind::Unavailable;
    answer.why.clear();
    std::shared_ptr<Hosts> current;
    {
        std::lock_guard lock(mutex);
        current = hosts;
    }
    if (!current)
        return;
    const SpamdSettings& settings = current->settings;
    uint64_t tried = 0;
    int retriesLeft = settings.retries;
    bool messageFailed = false;
    while (Monotonic() < Until(settings, message)) {
        Host* host = nullptr;
        std::shared_ptr<const SpamdAddresses> addresses;  // a probe may replace the host's meanwhile
        {
            std::lock_guard lock(mutex);
            const int index = current->Pick(tried);
            if (index < 0)
                break;
            tried |= uint64_t{1} << index;
            host = &current->list[static_cast<size_t>(index)];
            host->inProgress++;
            addresses = host->addresses;
        }
        const ExchangeOutcome outcome = Attempt(*current, *host, *addresses, message, recorder, buffers, answer);
        {
            std::lock_guard lock(mutex);
            host->inProgress--;
            // The one socket is up whenever it rates.
            if (outcome == ExchangeOutcome::Rated && settings.single)
                host->up = true;
        }
        if (outcome == ExchangeOutcome::Rated) {
            answer.kind = FarmAnswer::Kind::Rated;
            return;
        }
        // The one spamd's error statuses rate the message 0, as they always did.
        if (IsHostTrouble(outcome) && !(settings.single && outcome == ExchangeOutcome::HostError)) {
            if (outcome == ExchangeOutcome::HostError)
                MarkDown(*host, false, answer.why, 0);
            if (messageFailed || retriesLeft-- == 0)
                break;
            continue;
        }
        if (settings.single) {
            messageFailed = true;
            break;
        }
        // A cut or a time-out may be this message's doing or the host's: a
        // host that still answers a PING stays up for the other messages.
        if (outcome == ExchangeOutcome::Cut || outcome == ExchangeOutcome::TimedOut) {
            SpamdAddresses addresses;
            const PingOutcome ping = Reach(host->config, addresses, current->tls.get(), settings.connectTimeout,
                                           settings.connectTimeout);
            if (!ping.answered)
                MarkDown(*host, false, answer.why + "; no answer to PING: " + ping.why, 0);
        }
        if (messageFailed)
            break;
        messageFailed = true;
    }
    if (messageFailed)
        answer.kind = FarmAnswer::Kind::Unrated;
}

void SpamdFarm::ProbeDownHosts(int64_t now)
{
    // One probe a pass, of the host down longest: a silent host holds the
    // controller's pass for a PING's time limit, never for one per host.
    std::shared_ptr<Hosts> current;
    Host* due = nullptr;
    {
        std::lock_guard lock(mutex);
        if (!(current = hosts))
            return;
        for (Host& host : current->list) {
            const bool rested = now - host.downSince >= current->settings.downTime;
            if (!host.up && rested && (due == nullptr || host.downSince < due->downSince))
                due = &host;
        }
    }
    if (due == nullptr)
        return;
    auto addresses = std::make_shared<SpamdAddresses>();
    const ExchangeLimits limits = PingLimits(current->settings);
    const PingOutcome ping =
        Reach(due->config, *addresses, current->tls.get(), limits.connectSeconds, limits.replySeconds);
    bool cameBack = false;
    {
        std::lock_guard lock(mutex);
        if (ping.answered) {
            cameBack = !due->up;
            due->up = true;
            due->addresses = std::move(addresses);
        } else {
            due->downSince = now;
        }
    }
    if (cameBack && !current->settings.single)
        PrintMsg("* spamd host %s is up again\n", due->config.name.c_str());
    else if (!ping.answered)
        DebugMsg("spamd host %s is still down: %s\n", due->config.name.c_str(), ping.why.c_str());
}

std::vector<SpamdFarm::HostState> SpamdFarm::HostStates() const
{
    std::vector<HostState> states;
    std::lock_guard lock(mutex);
    if (hosts)
        for (const Host& host : hosts->list)
            states.push_back({host.config.name, host.config.engine, host.up, host.inProgress});
    return states;
}

std::vector<PingResult> PingSpamdHosts(const SpamdSettings& settings)
{
    std::vector<PingResult> results;
    std::string tlsProblem;
    std::shared_ptr<const TlsClient> tls;
    for (const SpamdHost& host : settings.hosts)
        if (host.transport == SpamdTransport::Tls && !tls && tlsProblem.empty())
            tls = TlsClient::Create(settings.tls, tlsProblem);
    const ExchangeLimits limits = PingLimits(settings);
    for (const SpamdHost& host : settings.hosts) {
        PingResult& result = results.emplace_back();
        const MonotonicClock::time_point start = Monotonic();
        SpamdAddresses addresses;
        const PingOutcome ping = Reach(host, addresses, tls.get(), limits.connectSeconds, limits.replySeconds);
        result.answered = ping.answered;
        result.word = ping.word;
        result.problem = ping.why;
        result.seconds = SecondsSince(start);
        if (!result.answered && host.transport == SpamdTransport::Tls && !tls)
            result.problem = tlsProblem;
    }
    return results;
}
