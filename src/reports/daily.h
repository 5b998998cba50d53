// daily - the daily activity report, mailed after local midnight and at shutdown
//
// GenerateDailyReport  decide whether the report is due: the controller asks
//                      once a second, the first pass in the local hour 0 after
//                      a pass in a later hour makes the night's report; the
//                      main thread forces it at shutdown.  Takes reportMutex.
// DoWriteDailyReport   write the report with the DailyReport dictionary and
//                      start a new period; the caller holds reportMutex
// ResetDailyReportState        forget arming, settings and processor-time marks (tests)
// SetProcessorTimesForTesting  replace getrusage in the resource lines (tests)
//
// reportMutex is held from the settings of a report to the reset of the
// statistics, so no count changes under a report; PrintMsg and cfgfError take
// printMutex inside it.  ReportAddItem takes reportMutex and is never called
// from here.  A report that cannot be created is reported ("* Can't make the
// daily report: ...") and its statistics run on into the next period.
#pragma once

#include <cstdint>

#include "config/dictionary.h"

void GenerateDailyReport(bool force);
void DoWriteDailyReport(const cfgfItem* dict);

void ResetDailyReportState();

// ProcessorTimes - the process's user and system processor time in ms.
struct ProcessorTimes {
    int64_t userMs = 0;
    int64_t systemMs = 0;
};
// SetProcessorTimesForTesting - null restores getrusage.
void SetProcessorTimesForTesting(ProcessorTimes (*source)());
