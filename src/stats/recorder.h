// recorder - the one place where what the plugin did is counted, both in
// the statistics of the period (dump, daily report) and in the counters of
// the process (metrics)
//
// Recorder::RecordExchange  one exchange with an engine host
// Recorder::RecordRequest   a FILE request answered after its scan
// Recorder::RecordAnswer    a FILE request answered without a scan (a
//                           FAILURE of the command loop, a REJECTED of the
//                           shutdown or the crash reaction)
// Recorder::RecordGivenUp   a FILE request the watchdog answered REJECTED:
//                           a handled message of the period all the same
// Recorder::RecordCrash, RecordStuckScan, RecordReload
//
// Called by every scanning thread, the controller, the crash thread and the
// thread that reloads; the statistics and the counters have locks of their own.
#pragma once

#include <cstdint>
#include <string_view>

#include "stats/counters.h"
#include "stats/outcomes.h"
#include "stats/statistics.h"

class Recorder {
public:
    Recorder(Statistics& statistics, Counters& counters) : statistics(statistics), counters(counters) {}

    void RecordExchange(std::string_view host, ExchangeOutcome outcome, double seconds);
    // RecordRequest - record: what the statistics count of a message whose
    // file existed (null: none, the request only counts in the metrics).
    void RecordRequest(RequestOutcome outcome, const MessageRecord* record, double seconds);
    void RecordAnswer(RequestOutcome outcome) { counters.CountRequest(outcome); }
    void RecordGivenUp(double seconds);
    void RecordCrash() { counters.CountCrash(); }
    void RecordStuckScan() { counters.CountStuckScan(); }
    void RecordReload() { counters.CountReload(); }

    Statistics& statistics;
    Counters& counters;
};
