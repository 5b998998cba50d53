// dump - the statistics dump file that carries the day's statistics across a
// restart on the same day
//
// DumpReportData    write the dump when more than StatDumpInterval seconds
//                   have passed since the last one (force: at once, with the
//                   orderly-shutdown mark); the controller offers it once a
//                   second, the shutdown forces it
// ReadReportData    restore a dump of today at start-up (before other threads)
// FormatDump        the text of a dump (pure)
// ParseDump         the statistics of a dump tree, or why it is unusable (pure)
// StatDumpFilePath  the working directory + the StatDumpFile setting
// ResetDumpState    forget the last dump's time (tests)
//
// The file is in the dictionary syntax and read back with the dictionary
// reader; names are quoted so that any name reads back unchanged.  It is
// written under a temporary name ("<file>.tmp"), flushed and renamed over the
// old one only when complete, so a crash or a full disk never leaves a
// truncated dump.  The statistics are copied under their lock; formatting and
// writing happen outside it, so rating never waits for the disk.  A dump
// holding a value that cannot be what it names (a negative count, a number
// beyond its range) is unusable as a whole, like one that cannot be parsed.
// Diagnostics: "* unable create <path>: <error>" when the dump cannot be
// written (the next call retries); with -debug the restore says why it
// discarded a dump, which it then deletes.
#pragma once

#include <ctime>
#include <optional>
#include <string>

#include "config/settings.h"
#include "stats/statistics.h"

void DumpReportData(Statistics& statistics, bool force);
void ReadReportData(Statistics& statistics);
std::string FormatDump(StatisticsSnapshot& snapshot, time_t now, bool normalShutdown);
// ParseDump - why receives the debug text of a refusal (may stay empty).
std::optional<StatisticsSnapshot> ParseDump(const cfgfItem* tree, time_t now, std::string& why);
std::string StatDumpFilePath(const Settings& settings);
void ResetDumpState();
