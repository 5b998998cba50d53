// record - the statistics of the current reporting period
//
// All fields are guarded by reportMutex, which the daily report holds for a
// whole report; printMutex may be taken inside it, never the other way round.
//
// CountRating        +1 in the rating histogram
// CountHandledRequest +1 handled request and its handling time in ms
// SampleConcurrency  add one sample of the busy-thread count (controller)
// ResetStatistics    zero every field for tests (not the lists)
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>

#include "protocol/system.h"

extern PluginMutex reportMutex;

constexpr int kRatings = 101;
extern int32_t msgStat[kRatings];
extern int32_t nScannedMessagesTotal;
extern uint64_t scanTimeMin;
extern uint64_t scanTimeMax;
extern uint64_t scanTimeTotal;
extern time_t restartTime;

// Start of the current period; 0 until first used (then startupTime).  Read
// and set by the dump (main thread) and the daily report, hence atomic.
extern std::atomic<time_t> prevReportTime;

// Concurrency samples of the controller; the daily report shows their quotient.
extern int64_t nActiveThreadsTotal;
extern int64_t nActiveThreadsChecks;  // starts at 1

void CountRating(int rating);
void CountHandledRequest(uint64_t milliseconds);
void SampleConcurrency(int busyThreads);
void ResetStatistics();
