// counters - what the plugin has done since its process started, for the
// metrics file
//
// Counters::CountRequest   one answered FILE request by its outcome
// Counters::CountMessage   one scanned request: its outcome, the rating spamd
//                          gave it (or none) and its handling time, in one lock
// Counters::CountExchange  one exchange with an engine host: its outcome and duration
// Counters::CountCrash, CountStuckScan, CountReload
// Counters::Snapshot       a copy of everything (the metrics writer)
// Counters::HostSample     the figures of one spamd host
//
// Unlike the statistics, nothing here starts again with a new period: only a
// restart of the process sets the counters back to zero, which is what a
// metrics consumer expects.  The scanning threads count requests, ratings,
// handling times and exchanges; the crash thread, the controller and the
// thread that reloads count the rest.  One lock of the object guards it all,
// held only to count or to copy.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "base/system.h"
#include "stats/outcomes.h"
#include "stats/statistics.h"

// Upper bounds in seconds of the handling-time histogram; the last bucket
// holds what lies above them.
inline constexpr std::array<double, 14> kHandlingBounds = {0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5,
                                                           1,     2.5,  5,     10,   30,  120, 1200};

// EngineHostSample - one engine host as the metrics show it.
struct EngineHostSample {
    std::string name;
    std::string engine = "spamd";  // "spamd" or "rspamd"
    bool up = true;      // as the farm sees it
    std::array<uint64_t, kExchangeOutcomes> exchanges{};  // by ExchangeOutcome
    double seconds = 0;                          // time spent in exchanges
};

struct CountersSnapshot {
    std::array<uint64_t, kRequestOutcomes> requests{};
    std::array<uint64_t, kRatings> ratings{};                  // per rating 0..100
    std::array<uint64_t, kHandlingBounds.size() + 1> handling{};  // per bucket, not cumulative
    double handlingSeconds = 0;
    uint64_t crashes = 0;
    uint64_t stuckScans = 0;
    uint64_t reloads = 0;
    std::map<std::string, EngineHostSample, std::less<>> hosts;  // every host exchanged with, by name
};

class Counters {
public:
    void CountRequest(RequestOutcome outcome);
    // CountMessage - rating < 0: spamd gave none.
    void CountMessage(RequestOutcome outcome, int rating, double seconds);
    void CountExchange(std::string_view host, ExchangeOutcome outcome, double seconds);
    void CountCrash();
    void CountStuckScan();
    void CountReload();
    CountersSnapshot Snapshot() const;
    // HostSample - the host's figures (none yet for a host not exchanged with).
    EngineHostSample HostSample(const std::string& host) const;

private:
    mutable GuardedMutex mutex;
    CountersSnapshot data;  // guarded by mutex
};
