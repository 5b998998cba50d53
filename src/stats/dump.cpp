#include "stats/dump.h"
// placeholder: the dump is built with the reports
time_t prevDumpTime = 0;
void DumpReportData(bool) {}
void ReadReportData() {}
