// daily - the daily activity report, mailed after local midnight and at shutdown
//
// GenerateDailyReport  decide whether the report is due: the controller asks
//                      once a second, the first pass in the local hour 0 after
//                      a pass in a later hour makes the night's report; the
//                      main thread forces it at shutdown
// WriteDailyReport     the body of a report for a period's statistics (pure
//                      apart from the processor-time source); with a farm of
//                      spamd hosts it lists each host's figures
// CheckDailyReportSettings     look up what the report looks up, so that the
//                              check reports the same errors
// ResetDailyReportState        forget arming and processor-time marks (tests)
// SetProcessorTimesForTesting  replace getrusage in the resource lines (tests)
//
// The report takes the period's statistics in one step (counting goes on into
// the next period at once) and sorts and writes them without holding any
// lock.  A report that cannot be created is reported ("* Can't make the daily
// report: ...") and its statistics run on into the next period; one whose
// writing fails is removed (see drop).  Reports come from the controller and
// the shutdown; a lock of this module keeps them one at a time.
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>

#include "config/settings.h"
#include "stats/statistics.h"

void GenerateDailyReport(Statistics& statistics, bool force);
void WriteDailyReport(FILE* f, const Settings& settings, const cfgfItem* dict, StatisticsSnapshot& period,
                      time_t now);

void CheckDailyReportSettings(const cfgfItem* conf);
void ResetDailyReportState();

// ProcessorTimes - the process's user and system processor time in ms.
struct ProcessorTimes {
    int64_t userMs = 0;
    int64_t systemMs = 0;
};
// SetProcessorTimesForTesting - null restores getrusage.
void SetProcessorTimesForTesting(ProcessorTimes (*source)());
