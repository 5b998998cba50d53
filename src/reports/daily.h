// daily - the daily activity report, mailed after local midnight and at shutdown
//
// GenerateDailyReport  decide whether the report is due (controller, once a
//                      second; main thread at shutdown with force)
// DoWriteDailyReport   write the report and start a new period (reportMutex held)
#pragma once

#include "config/dictionary.h"

void GenerateDailyReport(bool force);
void DoWriteDailyReport(const cfgfItem* dict);

// ResetDailyReportState - forget arming and processor-time marks (tests).
void ResetDailyReportState();
