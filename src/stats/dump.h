// dump - the statistics dump file that carries the day's statistics across a
// restart on the same day
//
// DumpReportData  write the dump when due (force: at once); main thread only
// ReadReportData  restore a dump of today at start-up (before other threads)
//
// The dump is written under a temporary name and renamed over the old one
// when complete, so a crash or a full disk never leaves a truncated dump.
#pragma once

#include <ctime>

extern time_t prevDumpTime;

void DumpReportData(bool force);
void ReadReportData();
