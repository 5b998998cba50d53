// daily - the daily activity report, mailed after local midnight and at shutdown
//
// DailyReporter::Offer  make the report when it is due: the controller offers
//                       it every pass, the first pass in the local hour 0
//                       after a pass in a later hour makes the night's
//                       report; the shutdown forces it
// WriteDailyReport      the body of a report for a period's statistics
//                       (pure); with a farm of spamd hosts it lists each
//                       host's figures and whether it is up
// CheckDailyReportSettings  look up what the report looks up, so that the
//                       check reports the same errors
// OwnProcessorTimes     the process's own user and system processor time
//
// The report takes the period's statistics in one step (counting goes on
// into the next period at once) and writes them without holding the
// statistics' lock.  Only a report that was released starts a new period:
// one that cannot be created ("* Can't make the daily report: ...") or whose
// writing fails (see drop) gives its statistics back, and the next report
// covers its period too.  Reports come from the controller and the
// shutdown; a lock of the object keeps them one at a time.
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <string>
#include <vector>

#include "config/settings.h"
#include "stats/statistics.h"

// ProcessorTimes - the process's user and system processor time in ms.
struct ProcessorTimes {
    int64_t userMs = 0;
    int64_t systemMs = 0;
};
ProcessorTimes OwnProcessorTimes();

// HostStatus - an engine host as the report shows it.
struct HostStatus {
    std::string name;
    bool up = true;
};

class DailyReporter {
public:
    explicit DailyReporter(ProcessorTimes (*processorTimes)() = OwnProcessorTimes) : processorTimes(processorTimes) {}

    // Offer - hosts: the engine hosts in force and whether each is up.
    void Offer(Statistics& statistics, const Settings& settings, time_t now, bool force,
               const std::vector<HostStatus>& hosts = {});

private:
    ProcessorTimes (*const processorTimes)();
    std::mutex mutex;            // one report at a time; guards what follows
    bool canMakeReport = false;  // armed by any pass outside the hour 0
    ProcessorTimes previous;     // at the last report released
};

// WriteDailyReport - used: the processor time spent in the period.
void WriteDailyReport(FILE* f, const Settings& settings, const cfgfItem* dict, StatisticsSnapshot& period,
                      time_t now, ProcessorTimes used, const std::vector<HostStatus>& hosts = {});

void CheckDailyReportSettings(const cfgfItem* conf);
