#include <gtest/gtest.h>

#include <thread>

#include "stats/ranked_list.h"
#include "stats/record.h"

namespace {

class RankedList : public ::testing::Test {
protected:
    void TearDown() override { ReportClearList(&list); }

    std::vector<std::pair<std::string, int>> InNameOrder()
    {
        std::vector<std::pair<std::string, int>> entries;
        for (const reportItem& entry : list.EntriesInNameOrder())
            entries.emplace_back(entry.name, entry.count);
        return entries;
    }

    std::vector<std::pair<std::string, int>> AsTheyStand() const
    {
        std::vector<std::pair<std::string, int>> entries;
        for (const reportItem& entry : list.Entries())
            entries.emplace_back(entry.name, entry.count);
        return entries;
    }

    reportObject list;
};

using Entries = std::vector<std::pair<std::string, int>>;

// NumberedName - "n" and the number (built in steps: g++ 12 warns wrongly about "n" + to_string).
std::string NumberedName(int number)
{
    std::string name = "n";
    name += std::to_string(number);
    return name;
}

int Sign(int value) { return (value > 0) - (value < 0); }

}  // namespace

TEST_F(RankedList, SameNameTwiceIsOneEntry)
{
    ReportAddItem(&list, "a@b.c", 1);
    ReportAddItem(&list, "a@b.c", 1);
    EXPECT_EQ(InNameOrder(), (Entries{{"a@b.c", 2}}));
    EXPECT_EQ(list.total, 2);
}

TEST_F(RankedList, NamesDifferingInTheFourthNumberMergeUnderTheFirstName)
{
    ReportAddItem(&list, "mx.example.org [192.0.2.7]", 2);
    ReportAddItem(&list, "mx.example.org [192.0.2.200]", 3);
    EXPECT_EQ(InNameOrder(), (Entries{{"mx.example.org [192.0.2.7]", 5}}));
    EXPECT_EQ(list.total, 5);
}

TEST_F(RankedList, DifferentTextBeforeTheBracketKeepsNamesApart)
{
    ReportAddItem(&list, "mx.example.org [192.0.2.7]", 1);
    ReportAddItem(&list, "mx.example.net [192.0.2.7]", 1);
    EXPECT_EQ(list.nItems(), 2);
}

TEST(ReportItemCmp, NumbersInBracketsCompareAsNumbers)
{
    EXPECT_LT(reportItemCmp("h [9.0.0.1]", "h [10.0.0.1]"), 0);
    EXPECT_GT(reportItemCmp("h [10.0.0.1]", "h [9.0.0.1]"), 0);
    EXPECT_LT(reportItemCmp("h [1.2.3]", "h [1.2.4]"), 0);
    EXPECT_EQ(reportItemCmp("h [1.2.3.4]", "h [1.2.3.99]"), 0);
    EXPECT_EQ(reportItemCmp("h [1.2]", "h [1.2.0]"), 0);
}

TEST(ReportItemCmp, BracketsAtDifferentPlacesCompareByBytes)
{
    EXPECT_GT(Sign(reportItemCmp("ab [9.0.0.1]", "a [10.0.0.1]")), 0);
    EXPECT_EQ(Sign(reportItemCmp("a [9]", "ab [10]")), Sign(strcmp("a [9]", "ab [10]")));
    EXPECT_EQ(Sign(reportItemCmp("a[10]", "a10")), Sign(strcmp("a[10]", "a10")));
}

TEST(ReportItemCmp, NamesWithoutBracketCompareByBytesWithCase)
{
    EXPECT_LT(reportItemCmp("Zed", "abe"), 0);
    EXPECT_NE(reportItemCmp("abe", "ABE"), 0);
    EXPECT_GT(reportItemCmp("\xe9t\xe9", "zed"), 0);  // bytes count as unsigned
}

TEST_F(RankedList, NameOrderPutsNumbersInNumericOrder)
{
    for (const char* name : {"h [10.0.0.1]", "b@x", "h [9.0.0.1]", "h [8.0.0.1]", "A@x"})
        ReportAddItem(&list, name, 1);
    EXPECT_EQ(InNameOrder(),
              (Entries{{"A@x", 1}, {"b@x", 1}, {"h [8.0.0.1]", 1}, {"h [9.0.0.1]", 1}, {"h [10.0.0.1]", 1}}));
}

TEST_F(RankedList, GrowsPastTwoHundredFiftySixEntries)
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
}

TEST_F(RankedList, RankOrderIsCountThenName)
{
    ReportAddItem(&list, "b", 3);
    ReportAddItem(&list, "c", 5);
    ReportAddItem(&list, "a", 3);
    ReportAddItem(&list, "d", 1);
    ReportSortList(&list);
    EXPECT_EQ(AsTheyStand(), (Entries{{"c", 5}, {"a", 3}, {"b", 3}, {"d", 1}}));
}

TEST_F(RankedList, AdditionsAfterRankingStillMerge)
{
    ReportAddItem(&list, "b", 1);
    ReportAddItem(&list, "a", 2);
    ReportSortList(&list);
    ReportAddItem(&list, "b", 4);
    EXPECT_EQ(InNameOrder(), (Entries{{"a", 2}, {"b", 5}}));
}

TEST_F(RankedList, ClearedListIsEmptyAndTakesNewNames)
{
    ReportAddItem(&list, "a", 2);
    ReportClearList(&list);
    EXPECT_EQ(list.nItems(), 0);
    EXPECT_EQ(list.total, 0);
    ReportAddItem(&list, "a", 1);
    EXPECT_EQ(InNameOrder(), (Entries{{"a", 1}}));
}

TEST_F(RankedList, ZeroCountCreatesAnEntry)
{
    ReportAddItem(&list, "a", 0);
    EXPECT_EQ(InNameOrder(), (Entries{{"a", 0}}));
}

TEST_F(RankedList, MillionDistinctNamesAreKeptApart)
{
    constexpr int kNames = 1000000;
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
