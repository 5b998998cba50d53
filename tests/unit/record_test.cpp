#include <gtest/gtest.h>

#include <thread>

#include "stats/record.h"

TEST(StatisticsRecord, TenThreadsLoseNoUpdate)
{
    ResetStatistics();
    constexpr int kThreads = 10, kEach = 2000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++)
        threads.emplace_back([t] {
            for (int i = 0; i < kEach; i++) {
                CountHandledRequest(static_cast<uint64_t>(t + 1));
                CountRating(100);
            }
        });
    for (auto& thread : threads)
        thread.join();
    PluginLock lock(reportMutex);
    EXPECT_EQ(nScannedMessagesTotal, kThreads * kEach);
    EXPECT_EQ(scanTimeTotal, static_cast<uint64_t>(kEach * (1 + 2 + 3 + 4 + 5 + 6 + 7 + 8 + 9 + 10)));
    EXPECT_EQ(scanTimeMin, 1u);
    EXPECT_EQ(scanTimeMax, 10u);
    EXPECT_EQ(msgStat[100], kThreads * kEach);
}

TEST(StatisticsRecord, ZeroMillisecondsIsReplacedByTheNextTime)
{
    ResetStatistics();
    CountHandledRequest(0);
    CountHandledRequest(5);
    PluginLock lock(reportMutex);
    EXPECT_EQ(scanTimeMin, 5u);
    EXPECT_EQ(scanTimeMax, 5u);
}
