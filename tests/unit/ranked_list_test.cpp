// The ranked lists of sources and targets and the statistics record they
// belong to.

#include <gtest/gtest.h>

#include <thread>

#include "stats/ranked_list.h"
#include "stats/record.h"

namespace {

using Entries = std::vector<std::pair<std::string, int>>;

class RankedList : public ::testing::Test {
protected:
    void TearDown() override { ReportClearList(&list); }

    Entries InNameOrder()
    {
        Entries entries;
        for (const reportItem& entry : list.EntriesInNameOrder())
            entries.emplace_back(entry.name, entry.count);
        return entries;
    }

    void Add(std::initializer_list<std::pair<const char*, int>> additions)
    {
        for (const auto& [name, count] : additions)
            ReportAddItem(&list, name, count);
    }

    reportObject list;
};

// NumberedName - "n" and the number (built in steps: g++ 12 warns wrongly about "n" + to_string).
std::string NumberedName(int number)
{
    std::string name = "n";
    name += std::to_string(number);
    return name;
}

}  // namespace

TEST_F(RankedList, FirstAddedNameKeepsTheCountsOfItsEqualsAndTheTotal)
{
    Add({{"a@b.c", 1}, {"a@b.c", 1}, {"zero", 0}});
    // Names differing only in the fourth number in brackets merge under the first one.
    Add({{"mx.example.org [192.0.2.7]", 2}, {"mx.example.org [192.0.2.200]", 3}, {"mx.example.net [192.0.2.7]", 1}});
    EXPECT_EQ(InNameOrder(), (Entries{{"a@b.c", 2}, {"mx.example.net [192.0.2.7]", 1},
                                      {"mx.example.org [192.0.2.7]", 5}, {"zero", 0}}));
    EXPECT_EQ(list.total, 8);
    ReportClearList(&list);
    EXPECT_EQ(list.nItems(), 0);
    EXPECT_EQ(list.total, 0);
    Add({{"a@b.c", 1}});
    EXPECT_EQ(InNameOrder(), (Entries{{"a@b.c", 1}}));
}

TEST(ReportItemCmp, NumbersInBracketsAtTheSamePlaceCompareAsNumbers)
{
    const std::tuple<const char*, const char*, int> table[] = {
        {"h [9.0.0.1]", "h [10.0.0.1]", -1}, {"h [10.0.0.1]", "h [9.0.0.1]", 1}, {"h [1.2.3]", "h [1.2.4]", -1},
        {"h [1.2.3.4]", "h [1.2.3.99]", 0},  {"h [1.2]", "h [1.2.0]", 0},
        // Elsewhere bytes compare, unsigned and with their case.
        {"ab [9.0.0.1]", "a [10.0.0.1]", 1}, {"a [9]", "ab [10]", -1}, {"a[10]", "a10", 1},
        {"Zed", "abe", -1}, {"abe", "ABE", 1}, {"\xe9t\xe9", "zed", 1},
    };
    for (const auto& [a, b, sign] : table) {
        const int result = reportItemCmp(a, b);
        EXPECT_EQ((result > 0) - (result < 0), sign) << a << " / " << b;
    }
}

TEST_F(RankedList, NameOrderIsNumericInBracketsAndRankOrderIsCountThenName)
{
    Add({{"h [10.0.0.1]", 1}, {"b@x", 3}, {"h [9.0.0.1]", 1}, {"h [8.0.0.1]", 5}, {"A@x", 3}});
    EXPECT_EQ(InNameOrder(),
              (Entries{{"A@x", 3}, {"b@x", 3}, {"h [8.0.0.1]", 5}, {"h [9.0.0.1]", 1}, {"h [10.0.0.1]", 1}}));
    ReportSortList(&list);
    Entries ranked;
    for (const reportItem& entry : list.Entries())
        ranked.emplace_back(entry.name, entry.count);
    EXPECT_EQ(ranked, (Entries{{"h [8.0.0.1]", 5}, {"A@x", 3}, {"b@x", 3}, {"h [9.0.0.1]", 1}, {"h [10.0.0.1]", 1}}));
    Add({{"b@x", 4}});  // additions after ranking still merge
    EXPECT_EQ(InNameOrder()[1], (std::pair<std::string, int>{"b@x", 7}));
}

TEST_F(RankedList, GrowsPastTwoHundredFiftySixEntriesAndKeepsManyNamesApart)
{
    for (int i = 0; i < 300; i++)
        ReportAddItem(&list, NumberedName(1000 + i), i);
    ReportAddItem(&list, "n1000", 7);
    const auto& entries = list.EntriesInNameOrder();
    ASSERT_EQ(entries.size(), 300u);
    for (int i = 0; i < 300; i++) {
        EXPECT_EQ(entries[static_cast<size_t>(i)].name, NumberedName(1000 + i));
        EXPECT_EQ(entries[static_cast<size_t>(i)].count, i == 0 ? 7 : i);
    }
    ReportClearList(&list);
    constexpr int kNames = 200000;
    for (int i = 0; i < kNames; i++)
        ReportAddItem(&list, NumberedName(i), 1);
    ReportAddItem(&list, NumberedName(123456), 1);
    EXPECT_EQ(list.nItems(), kNames);
    EXPECT_EQ(list.total, kNames + 1);
    EXPECT_EQ(list.Entries()[123456].count, 2);
}

TEST_F(RankedList, ConcurrentAdditionsLoseNothing)
{
    constexpr int kThreads = 8, kEach = 5000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kEach; i++)
                ReportAddItem(&list, "src [10.0." + std::to_string((i + t) % 50) + ".1]", 1 + t);
        });
    for (auto& thread : threads)
        thread.join();
    int sum = 0;
    for (const reportItem& entry : list.EntriesInNameOrder())
        sum += entry.count;
    EXPECT_EQ(list.nItems(), 50);
    EXPECT_EQ(list.total, kEach * (1 + 2 + 3 + 4 + 5 + 6 + 7 + 8));
    EXPECT_EQ(sum, list.total);
}

TEST(StatisticsRecord, TenThreadsLoseNoUpdateAndZeroMillisecondsAreNoMinimum)
{
    ResetStatistics();
    CountHandledRequest(0);
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
    EXPECT_EQ(nScannedMessagesTotal, kThreads * kEach + 1);
    EXPECT_EQ(scanTimeTotal, static_cast<uint64_t>(kEach * (1 + 2 + 3 + 4 + 5 + 6 + 7 + 8 + 9 + 10)));
    EXPECT_EQ(scanTimeMin, 1u);
    EXPECT_EQ(scanTimeMax, 10u);
    EXPECT_EQ(msgStat[100], kThreads * kEach);
}
