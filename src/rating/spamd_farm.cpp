#include "rating/spamd_farm.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <mutex>

#include "base/output.h"
#include "base/text.h"
#include "rating/spamd_client.h"
#include "rating/spamd_connection.h"

namespace {

const char kPingRequest[] = "PING SPAMC/1.0\r\n";

struct Host {
    SpamdHost config;                                 // fixed once started
    std::shared_ptr<const SpamdAddresses> addresses;  // never null once started
    bool up = false;
    time_t downSince = 0;
    int inProgress = 0;
};

// Reach - resolve the host and PING it; spamd's protocol word in engine, or why not.
bool Reach(const SpamdHost& host, SpamdAddresses& addresses, const TlsClient* tls, const SpamdSettings& settings,
           std::string& engine, std::string& why)
{
    if (!ResolveSpamdHost(host, addresses, why))
        return false;
    char reply[kPingReplyCapacity + 1];
    const int replySeconds = settings.replyTimeout > 0 ? std::min(settings.replyTimeout, kPingTimeout) : kPingTimeout;
    const ExchangeLimits limits{settings.connectTimeout, replySeconds};
    const ExchangeResult result =
        ExchangeWithHost(host, addresses, tls, {kPingRequest}, reply, kPingReplyCapacity, false, limits);
    const std::string_view text(reply, result.got);
    if (result.status != ExchangeStatus::Answered) {
        why = result.why;
        return false;
    }
    if (text.find("PONG") == std::string_view::npos) {
        why = "no PONG: " + ClipText(text.substr(0, text.find_first_of("\r\n")));
        return false;
    }
    engine = ClipText(text.substr(0, text.find(' ')));
    return true;
}

SpamdOutcome OutcomeOf(ExchangeStatus status)
{
    switch (status) {
    case ExchangeStatus::Answered: return SpamdOutcome::Answered;
    case ExchangeStatus::TimedOut: return SpamdOutcome::TimedOut;
    default: return SpamdOutcome::Failed;
    }
}

// CounterOutcome - as the metrics tell an exchange: a verdict, an error status, no answer.
ExchangeOutcome CounterOutcome(const ExchangeResult& result, const SpamdAnswer& verdict)
{
    if (result.status != ExchangeStatus::Answered)
        return ExchangeOutcome::Failed;
    return verdict.rated ? ExchangeOutcome::Ok : ExchangeOutcome::Error;
}

}  // namespace

struct SpamdFarm::Hosts {
    SpamdSettings settings;
    std::shared_ptr<const TlsClient> tls;
    std::vector<Host> list;  // fixed in size once started
    size_t rotor = 0;        // where the search for the least busy host begins

    // Pick - the up host not yet tried with the fewest exchanges in progress,
    // ties going round; -1 when there is none.  Caller holds the mutex.
    int Pick(uint64_t tried)
    {
        int best = -1;
        const size_t n = list.size();
        for (size_t k = 0; k < n; k++) {
            const size_t i = (rotor + k) % n;
            const bool eligible = list[i].up && (tried >> i & 1) == 0;
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
    bool anyUp = false;
    for (const SpamdHost& config : settings.hosts) {
        Host& host = next->list.emplace_back();
        host.config = config;
        PrintMsg("* Connecting to spamd host %s\n", config.name.c_str());
        auto addresses = std::make_shared<SpamdAddresses>();
        std::string engine;
        host.up = Reach(config, *addresses, next->tls.get(), settings, engine, why);
        host.addresses = std::move(addresses);
        if (host.up) {
            PrintMsg("* engine: %s at %s\n", engine.c_str(), config.name.c_str());
            anyUp = true;
        } else {
            host.downSince = Now();
            PrintMsg("* spamd host %s is down: %s\n", config.name.c_str(), why.c_str());
        }
    }
    {
        std::lock_guard lock(mutex);
        hosts = std::move(next);
    }
    if (!anyUp)
        PrintMsg("* no spamd host answered\n");
    return anyUp;
}

void SpamdFarm::Clear()
{
    std::lock_guard lock(mutex);
    hosts.reset();
}

SpamdFarm::Outcome SpamdFarm::Exchange(std::initializer_list<std::string_view> request, char* reply,
                                       unsigned long capacity, bool symbols, Statistics& statistics,
                                       Counters& counters)
{
    using Clock = std::chrono::steady_clock;
    reply[0] = '\0';
    std::shared_ptr<Hosts> current;
    {
        std::lock_guard lock(mutex);
        current = hosts;
    }
    Outcome outcome;
    if (!current)
        return outcome;
    const SpamdSettings& settings = current->settings;
    uint64_t tried = 0;
    for (int attempt = 0; attempt <= settings.retries; attempt++) {
        Host* host = nullptr;
        std::shared_ptr<const SpamdAddresses> addresses;
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
        const Clock::time_point start = Clock::now();
        const ExchangeLimits limits{settings.connectTimeout, settings.replyTimeout};
        const ExchangeResult result =
            ExchangeWithHost(host->config, *addresses, current->tls.get(), request, reply, capacity, symbols, limits);
        const std::chrono::duration<double> spent = Clock::now() - start;
        statistics.RecordSpamdExchange(host->config.name, OutcomeOf(result.status),
                                       static_cast<uint64_t>(spent.count() * 1000));
        if (result.status == ExchangeStatus::Answered)
            outcome.verdict = ParseSpamdReply(std::string_view(reply, result.got));
        counters.CountExchange(host->config.name, CounterOutcome(result, outcome.verdict), spent.count());
        bool wentDown = false;
        {
            std::lock_guard lock(mutex);
            host->inProgress--;
            if (result.status != ExchangeStatus::Answered && host->up) {
                host->up = false;
                host->downSince = Now();
                wentDown = true;
            }
        }
        if (result.status == ExchangeStatus::Answered) {
            outcome.answered = true;
            outcome.got = result.got;
            return outcome;
        }
        if (wentDown)
            PrintMsg("* spamd host %s is down: %s\n", host->config.name.c_str(), result.why.c_str());
    }
    reply[0] = '\0';
    return outcome;
}

void SpamdFarm::ProbeDownHosts(time_t now)
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
            // A clock set back is no reason to wait longer.
            const bool rested = now < host.downSince || now - host.downSince >= current->settings.downTime;
            if (!host.up && rested && (due == nullptr || host.downSince < due->downSince))
                due = &host;
        }
    }
    if (due == nullptr)
        return;
    auto addresses = std::make_shared<SpamdAddresses>();
    std::string engine, why;
    const bool up = Reach(due->config, *addresses, current->tls.get(), current->settings, engine, why);
    {
        std::lock_guard lock(mutex);
        due->up = up;
        if (up)
            due->addresses = std::move(addresses);
        else
            due->downSince = now;
    }
    if (up)
        PrintMsg("* spamd host %s is up again\n", due->config.name.c_str());
    else
        DebugMsg("spamd host %s is still down: %s\n", due->config.name.c_str(), why.c_str());
}

std::vector<SpamdFarm::HostState> SpamdFarm::HostStates() const
{
    std::vector<HostState> states;
    std::lock_guard lock(mutex);
    if (hosts)
        for (const Host& host : hosts->list)
            states.push_back({host.config.name, host.up, host.inProgress});
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
    for (const SpamdHost& host : settings.hosts) {
        PingResult& result = results.emplace_back();
        const auto start = std::chrono::steady_clock::now();
        SpamdAddresses addresses;
        result.answered = Reach(host, addresses, tls.get(), settings, result.word, result.problem);
        result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (!result.answered && host.transport == SpamdTransport::Tls && !tls)
            result.problem = tlsProblem;
    }
    return results;
}
