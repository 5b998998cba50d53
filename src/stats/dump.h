// dump - the statistics dump file that carries the day's statistics across a
// restart on the same day
//
// DumpReportData     write the dump when more than StatDumpInterval seconds
//                    have passed since the last one (force: at once, with the
//                    orderly-shutdown mark); main thread only
// ReadReportData     restore a dump of today at start-up (before other threads)
// StatDumpFilePath   workPath + the StatDumpFile setting
// ResetDumpState     forget the last dump's time (tests)
//
// The file is in the dictionary syntax and read back with the dictionary
// reader; names are quoted so that any name reads back unchanged.  It is
// written under a temporary name ("<file>.tmp") and renamed over the old one
// only when complete, so a crash or a full disk never leaves a truncated dump.
// The record is read under reportMutex; the restore takes it only for its
// assignments and never around ReportAddItem.
// Diagnostics: "* unable create <path>: <error>" when the dump cannot be
// written (the next call retries); with -debug the restore says why it
// discarded a dump, which it then deletes.
#pragma once

#include <ctime>
#include <string>

struct Settings;

extern time_t prevDumpTime;

void DumpReportData(bool force);
void ReadReportData();
std::string StatDumpFilePath(const Settings& settings);
void ResetDumpState();
