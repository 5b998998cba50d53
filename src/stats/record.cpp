#include "stats/record.h"

#include <algorithm>

PluginMutex reportMutex;

int32_t msgStat[kRatings];
int32_t nScannedMessagesTotal = 0;
uint64_t scanTimeMin = 0;
uint64_t scanTimeMax = 0;
uint64_t scanTimeTotal = 0;
time_t restartTime = 0;
std::atomic<time_t> prevReportTime{0};
int64_t nActiveThreadsTotal = 0;
int64_t nActiveThreadsChecks = 1;

void CountRating(int rating)
{
    rating = std::clamp(rating, 0, kRatings - 1);
    PluginLock lock(reportMutex);
    msgStat[rating]++;
}

void CountHandledRequest(uint64_t milliseconds)
{
    PluginLock lock(reportMutex);
    nScannedMessagesTotal++;
    // 0 means "no value yet", so a handling time of 0 ms is replaced by the next one.
    if (milliseconds < scanTimeMin || scanTimeMin == 0)
        scanTimeMin = milliseconds;
    if (milliseconds > scanTimeMax || scanTimeMax == 0)
        scanTimeMax = milliseconds;
    scanTimeTotal += milliseconds;
}

void SampleConcurrency(int busyThreads)
{
    PluginLock lock(reportMutex);
    nActiveThreadsTotal += busyThreads;
    nActiveThreadsChecks += 1;
}

void ResetStatistics()
{
    PluginLock lock(reportMutex);
    std::fill(std::begin(msgStat), std::end(msgStat), 0);
    nScannedMessagesTotal = 0;
    scanTimeMin = scanTimeMax = scanTimeTotal = 0;
    restartTime = 0;
    nActiveThreadsTotal = 0;
    nActiveThreadsChecks = 1;
    prevReportTime = 0;
}
