#include "rating/engine_farm.h"

#include <algorithm>
#include <cstring>
#include <mutex>

#include "base/output.h"
#include "base/text.h"
#include "rating/engine.h"
#include "rating/engine_connection.h"

namespace {

// A PING at start-up, at a reload and in a probe waits at most this long.
constexpr int kPingTimeout = 10;
// A host that fails this many messages in a row is taken out even when it
// answers a PING: one that holds every message until the reply time-out would
// otherwise cost each message the whole wait.
constexpr int kFailuresInRowForDown = 3;

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

// Reach - resolve the host (addresses filled) and PING it within the limits.
PingOutcome Reach(const EngineHost& host, EngineAddresses& addresses, const TlsClient* tls, int connectSeconds,
                  int replySeconds)
{
    PingOutcome ping;
    if (!ResolveEngineHost(host, addresses, ping.why)) {
        ping.failure.failure = ExchangeOutcome::Unreachable;
        ping.failure.why = ping.why;
        return ping;
    }
    thread_local std::string request, reply;
    const EngineProtocol& protocol = ProtocolOf(host.engine);
    protocol.buildPing(request, host);
    ping.failure = ExchangeWithHost(host, addresses, tls, {request}, reply, protocol.pingFraming,
                                    ExchangeLimits{connectSeconds, replySeconds});
    if (!ping.failure.answered)
        ping.why = ping.failure.why;
    else
        ping.answered = protocol.readPing(reply, ping.word, ping.why);
    return ping;
}

// Ask - one message to one host in its engine's protocol, and its verdict.
ExchangeOutcome Ask(const EngineHost& host, const EngineAddresses& addresses, const TlsClient* tls,
                    const std::string& user, const ExchangeLimits& limits, const MessageToRate& message,
                    ExchangeBuffers& buffers, FarmAnswer& answer, ExchangeResult& result)
{
    const EngineProtocol& protocol = ProtocolOf(host.engine);
    CheckRequest request;
    request.size = message.body.size();
    request.wantRules = message.wantRules;
    request.spamdUser = message.spamdUser;
    if (protocol.needsEnvelope) {
        EnvelopeAddresses& envelope = buffers.envelope;
        ReadEnvelopeAddresses(message.text, message.envelopeLength, envelope);
        const std::string_view deliverTo =
            user == "recipient" && envelope.recipients.size() == 1 ? envelope.recipients[0] : std::string_view();
        request.envelope = {envelope.sender, envelope.recipients, envelope.sourceIp, message.requestId, deliverTo};
    }
    protocol.buildCheck(buffers.head, host, request);
    ReplyFraming framing = protocol.checkFraming;
    framing.flag = message.wantRules;
    result = ExchangeWithHost(host, addresses, tls, {buffers.head, message.body, protocol.checkTail}, buffers.reply,
                              framing, limits);
    if (!result.answered) {
        answer.why = result.why;
        return result.failure;
    }
    request.deadline = result.deadline;
    const ExchangeOutcome outcome = protocol.readCheck(buffers.reply, request, answer, answer.why);
    if (outcome == ExchangeOutcome::Rated && answer.rulesLeftOut != 0)
        PrintMsg("* rspamd host %s: %zu symbols beyond the first %zu left out\n", host.name.c_str(),
                 answer.rulesLeftOut, kRspamdSymbolLimit);
    return outcome;
}

// PingLimits - a PING within the host's connect time and at most kPingTimeout in all.
ExchangeLimits PingLimits(const SpamdSettings& settings)
{
    const int reply = settings.replyTimeout > 0 ? std::min(settings.replyTimeout, kPingTimeout) : kPingTimeout;
    return ExchangeLimits{settings.connectTimeout, reply};
}

}  // namespace

struct EngineFarm::Host {
    EngineHost config;                                 // fixed once started
    std::shared_ptr<const EngineAddresses> addresses;  // never null once started
    bool up = false;
    int64_t downSince = 0;  // monotonic seconds
    int inProgress = 0;
    int failuresInRow = 0;  // messages failed since its last verdict
};

struct EngineFarm::Hosts {
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

EngineFarm::EngineFarm() = default;
EngineFarm::~EngineFarm() = default;

bool EngineFarm::Start(const SpamdSettings& settings)
{
    auto next = std::make_shared<Hosts>();
    next->settings = settings;
    std::string why;
    const bool tlsWanted = std::any_of(settings.hosts.begin(), settings.hosts.end(),
                                       [](const EngineHost& host) { return host.transport == EngineTransport::Tls; });
    if (tlsWanted && !(next->tls = TlsClient::Create(settings.tls, why)))
        PrintMsg("* TLS to spamd cannot be used: %s\n", why.c_str());
    const ExchangeLimits limits = PingLimits(settings);
    bool anyUp = false;
    for (const EngineHost& config : settings.hosts) {
        Host& host = next->list.emplace_back();
        host.config = config;
        const char* name = config.name.c_str();
        if (settings.single)
            PrintMsg("* Connecting to socket %s\n", name);
        else
            PrintMsg("* Connecting to %s host %s\n", EngineName(config.engine), name);
        auto addresses = std::make_shared<EngineAddresses>();
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
                PrintMsg("* %s host %s is down: %s\n", EngineName(config.engine), name, ping.why.c_str());
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
        PrintMsg("* no %s host answered\n", FarmEngineWord(settings));
    return anyUp;
}

void EngineFarm::MarkDown(Host& host, bool single, const std::string& why, int error)
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
        PrintMsg("* %s host %s is down: %s\n", EngineName(host.config.engine), host.config.name.c_str(),
                 why.c_str());
}

ExchangeOutcome EngineFarm::Attempt(Hosts& current, Host& host, const EngineAddresses& addresses,
                                   const MessageToRate& message, Recorder& recorder, ExchangeBuffers& buffers,
                                   FarmAnswer& answer)
{
    const MonotonicClock::time_point start = Monotonic();
    const SpamdSettings& settings = current.settings;
    const ExchangeLimits limits{settings.connectTimeout, settings.replyTimeout, Until(settings, message)};
    ExchangeResult result;
    answer.host = host.config.name;
    answer.engine = host.config.engine;
    ExchangeOutcome outcome =
        Ask(host.config, addresses, current.tls.get(), settings.user, limits, message, buffers, answer, result);
    // A threshold of 0 or less makes every score meaningless: the rating would
    // be 0 or 100 whatever the message, so it is no verdict.
    if (outcome == ExchangeOutcome::Rated && !(answer.threshold > 0)) {
        answer.why = "no usable threshold: " + (answer.thresholdText.empty() ? "none" : answer.thresholdText);
        outcome = ExchangeOutcome::Unrated;
    }
    recorder.RecordExchange(host.config.name, outcome, SecondsSince(start));
    if (!result.answered && outcome == ExchangeOutcome::Unreachable)
        MarkDown(host, settings.single, result.why, result.error);
    return outcome;
}

void EngineFarm::Exchange(const MessageToRate& message, Recorder& recorder, ExchangeBuffers& buffers,
                         FarmAnswer& answer)
{
    answer.kind = FarmAnswer::Kind::Unavailable;
    answer.why.clear();
    answer.host.clear();
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
        std::shared_ptr<const EngineAddresses> addresses;  // a probe may replace the host's meanwhile
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
        const bool messageFailure = !IsHostTrouble(outcome) && outcome != ExchangeOutcome::Rated;
        bool failingEveryMessage = false;
        {
            std::lock_guard lock(mutex);
            host->inProgress--;
            // The one socket is up whenever it rates.
            if (outcome == ExchangeOutcome::Rated && settings.single)
                host->up = true;
            if (outcome == ExchangeOutcome::Rated)
                host->failuresInRow = 0;
            else if (messageFailure && ++host->failuresInRow >= kFailuresInRowForDown) {
                host->failuresInRow = 0;
                failingEveryMessage = !settings.single;
            }
        }
        if (outcome == ExchangeOutcome::Rated) {
            answer.kind = FarmAnswer::Kind::Rated;
            return;
        }
        // The one spamd's error statuses rate the message 0, as they always did.
        if (IsHostTrouble(outcome) && !(settings.single && outcome == ExchangeOutcome::HostError)) {
            if (outcome == ExchangeOutcome::HostError)
                MarkDown(*host, false, answer.why, 0);
            // A host that could not be asked does not use up the one other
            // host a failed message may try.
            if (retriesLeft-- == 0)
                break;
            continue;
        }
        if (settings.single) {
            messageFailed = true;
            break;
        }
        // A cut or a time-out may be this message's doing or the host's: a
        // host that still answers a PING stays up for the other messages,
        // unless it has failed every message of late.
        if (failingEveryMessage) {
            MarkDown(*host, false,
                     FormatText("%d messages in a row failed, the last: %s", kFailuresInRowForDown, answer.why.c_str()),
                     0);
        } else if (outcome == ExchangeOutcome::Cut || outcome == ExchangeOutcome::TimedOut) {
            EngineAddresses addresses;
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

void EngineFarm::ProbeDownHosts(int64_t now)
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
    auto addresses = std::make_shared<EngineAddresses>();
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
        PrintMsg("* %s host %s is up again\n", EngineName(due->config.engine), due->config.name.c_str());
    else if (!ping.answered)
        DebugMsg("%s host %s is still down: %s\n", EngineName(due->config.engine), due->config.name.c_str(),
                 ping.why.c_str());
}

std::vector<EngineFarm::HostState> EngineFarm::HostStates() const
{
    std::vector<HostState> states;
    std::lock_guard lock(mutex);
    if (hosts)
        for (const Host& host : hosts->list)
            states.push_back({host.config.name, host.config.engine, host.up, host.inProgress});
    return states;
}

std::vector<PingResult> PingEngineHosts(const SpamdSettings& settings)
{
    std::vector<PingResult> results;
    std::string tlsProblem;
    std::shared_ptr<const TlsClient> tls;
    for (const EngineHost& host : settings.hosts)
        if (host.transport == EngineTransport::Tls && !tls && tlsProblem.empty())
            tls = TlsClient::Create(settings.tls, tlsProblem);
    const ExchangeLimits limits = PingLimits(settings);
    for (const EngineHost& host : settings.hosts) {
        PingResult& result = results.emplace_back();
        const MonotonicClock::time_point start = Monotonic();
        EngineAddresses addresses;
        const PingOutcome ping = Reach(host, addresses, tls.get(), limits.connectSeconds, limits.replySeconds);
        result.answered = ping.answered;
        result.word = ping.word;
        result.problem = ping.why;
        result.seconds = SecondsSince(start);
        if (!result.answered && host.transport == EngineTransport::Tls && !tls)
            result.problem = tlsProblem;
    }
    return results;
}
