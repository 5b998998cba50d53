// dump - the statistics dump file that carries the day's statistics across a
// restart on the same day
//
// DumpReportData    write the dump of a snapshot (normalShutdown: with the
//                   orderly-shutdown mark); the controller runs it every
//                   StatDumpInterval seconds, the shutdown once more
// ReadReportData    restore a dump written today at start-up (before other
//                   threads), whatever day its period began on
// FormatDump        the text of a dump (pure)
// ParseDump         the statistics of a dump tree, or why it is unusable (pure)
// StatDumpFilePath  the working directory + the StatDumpFile setting
//
// The file is in the dictionary syntax and read back with the dictionary
// reader; names are quoted so that any name reads back unchanged.  It is
// written under a temporary name ("<file>.tmp"), flushed and renamed over the
// old one only when complete, so a crash or a full disk never leaves a
// truncated dump.  The caller hands over a copy of the statistics, so rating
// never waits for the disk.  One thread at a time writes it.  A dump
// holding a value that cannot be what it names (a negative count, a number
// beyond its range) is unusable as a whole, like one that cannot be parsed.
// Diagnostics: "* unable create <path>: <error>" when the dump cannot be
// written (the caller tries again at its next pass); with -debug the restore
// says why it discarded a dump, which it then deletes.
#pragma once

#include <ctime>
#include <optional>
#include <string>

#include "config/settings.h"
#include "stats/statistics.h"

// DumpReportData - true when the dump was written, or dumping is off
// (StatDumpInterval 0).
bool DumpReportData(const Settings& settings, StatisticsSnapshot& snapshot, time_t now, bool normalShutdown);
void ReadReportData(const Settings& settings, Statistics& statistics);
std::string FormatDump(StatisticsSnapshot& snapshot, time_t now, bool normalShutdown);
// ParseDump - why receives the debug text of a refusal (may stay empty).
std::optional<StatisticsSnapshot> ParseDump(const cfgfItem* tree, time_t now, std::string& why);
std::string StatDumpFilePath(const Settings& settings);
