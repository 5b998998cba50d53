#include "reports/daily.h"
// placeholder: the daily report is built with the reports
void GenerateDailyReport(bool) {}
void DoWriteDailyReport(const cfgfItem*) {}
void ResetDailyReportState() {}
