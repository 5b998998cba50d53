// statistics - the statistics of the current reporting period
//
// Statistics::RecordMessage      one handled request: its rating, its handling
//                                time and, for spam, its source and recipients
//                                (CountRating, CountHandledRequest and the
//                                ranked lists, under one lock)
// Statistics::SampleConcurrency  add one sample of the busy-thread count
// Statistics::RecordExchange     one exchange with an engine host: its
//                                outcome and its time
// Statistics::Snapshot           a copy of everything (the dump)
// Statistics::MessagesTotal      the handled requests of the period
//
// The object is the one owner of the reporting period, which every other
// module only reads:
// Statistics::Restore            (start-up) take over the period of an
//                                earlier run that its dump carried
// Statistics::BeginPeriod        (start-up) without a restored period, one
//                                begins at the start-up
// Statistics::TakePeriod         a copy of the period for its report, and a
//                                new period that begins at once: counters
//                                zero, lists empty
// Statistics::GiveBack           the report of a taken period failed: its
//                                figures join the period under way, which
//                                starts where the given one started again
// Statistics::MovePeriodStart    the report is switched off: the period
//                                starts anew, its figures run on
// Statistics::PeriodStart        when the period under way began
//
// Called by every scanning thread, the controller and the main thread; one
// lock of the object guards all of it and is held only to copy or to count.
// Every counter stops at its largest value instead of wrapping.
#pragma once

#include <array>
#include <cstdint>
#include <ctime>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "base/system.h"
#include "stats/outcomes.h"
#include "stats/ranked_list.h"

constexpr int kRatings = 101;
// Handling times are summed in a uint64 but never beyond what int64 holds,
// so every reader may treat them as signed.
constexpr uint64_t kMaxScanTime = INT64_MAX;

// EngineHostFigures - one engine host's exchanges in the period.  The dump
// does not carry them: after a restart they begin again at zero.
struct EngineHostFigures {
    int64_t exchanges = 0;  // answered about the message, with a verdict or without
    int64_t failures = 0;   // no connection, an answer of a host in trouble, no complete reply
    int64_t timeouts = 0;
    uint64_t milliseconds = 0;  // spent in every exchange with it, failed ones included
};

struct StatisticsSnapshot {
    std::array<int32_t, kRatings> msgStat{};
    int32_t nScannedMessagesTotal = 0;
    int32_t nUnratedMessages = 0;  // answered without an engine's verdict (not in msgStat)
    int32_t nGivenUpMessages = 0;  // REJECTED by the watchdog after a stuck scan (not in msgStat)
    uint64_t scanTimeMin = 0;  // ms; 0: no value yet
    uint64_t scanTimeMax = 0;
    uint64_t scanTimeTotal = 0;
    time_t restartTime = 0;
    time_t periodStart = 0;    // 0 until first used
    int64_t nActiveThreadsTotal = 0;
    int64_t nActiveThreadsChecks = 1;
    reportObject sources;
    reportObject targets;
    std::map<std::string, EngineHostFigures, std::less<>> spamdHosts;  // by the host's name
};

// MessageRecord - what one handled request adds.
struct MessageRecord {
    static constexpr int kNotRated = -1;
    int rating = kNotRated;             // counted in the histogram when 0..100
    bool unrated = false;               // no engine gave a verdict
    bool givenUp = false;               // the watchdog gave the scan up
    uint64_t milliseconds = 0;          // the handling time (the recorder sets it)
    bool spam = false;                  // count sources and targets
    const std::vector<std::string_view>* sources = nullptr;  // none: "Unknown"
    const std::vector<std::string_view>* targets = nullptr;
};

class Statistics {
public:
    void RecordMessage(const MessageRecord& record);
    void SampleConcurrency(int busyThreads);
    void RecordExchange(std::string_view host, ExchangeOutcome outcome, uint64_t milliseconds);
    StatisticsSnapshot Snapshot() const;
    int32_t MessagesTotal() const;

    void Restore(StatisticsSnapshot restored);
    void BeginPeriod(time_t startup);
    // TakePeriod - the new period begins at now; nightly: the mark of an
    // earlier run's restart is spent with the taken period.  Concurrency
    // samples start again from 0 samples.
    StatisticsSnapshot TakePeriod(time_t now, bool nightly);
    void GiveBack(StatisticsSnapshot period);
    void MovePeriodStart(time_t now);
    time_t PeriodStart() const;

private:
    mutable GuardedMutex mutex;
    StatisticsSnapshot data;  // guarded by mutex
};
