// Ranked lists, the statistics object and the dump that carries them over a restart.
#include <gtest/gtest.h>

#include <climits>
#include <thread>
#include <tuple>

#include "base/system.h"
#include "output_capture.h"
#include "plugin_process.h"
#include "stats/dump.h"
#include "stats/ranked_list.h"
#include "stats/statistics.h"

static std::string Listing(reportObject& list, bool ranked)
{
    if (ranked)
        ReportSortList(&list);
    std::string text;
    for (const reportItem& item : ranked ? list.Entries() : list.EntriesInNameOrder())
        text += item.name + "=" + std::to_string(item.count) + " ";
    return text;
}

static time_t LocalNoon()
{
    time_t now = time(nullptr);
    tm local{};
    localtime_r(&now, &local);
    local.tm_hour = 12;
    local.tm_min = local.tm_sec = 0;
    return mktime(&local);
}

TEST(RankedList, EqualNamesShareAnEntryAndOrdersAreNumericInBrackets)
{
    reportObject list;
    ReportAddItem(&list, "host [10.0.9.1]", 1);
    ReportAddItem(&list, "host [10.0.10.1]", 2);
    ReportAddItem(&list, "host [10.0.9.77]", 1);  // differs from the fourth number on: the same entry
    ReportAddItem(&list, "b@x", 3);
    ReportAddItem(&list, std::string_view("a@x\0hidden", 10), 1);
    EXPECT_EQ(list.nItems(), 4);
    EXPECT_EQ(list.total, 8);
    EXPECT_EQ(Listing(list, false), "a@x=1 b@x=3 host [10.0.9.1]=2 host [10.0.10.1]=2 ");
    EXPECT_EQ(Listing(list, true), "b@x=3 host [10.0.9.1]=2 host [10.0.10.1]=2 a@x=1 ");
    EXPECT_LT(reportItemCmp("x [2.0.0.1]", "x [10.0.0.1]"), 0);
    EXPECT_LT(reportItemCmp("x [2.0.0.1]", "xy [10.0.0.1]"), 0);  // brackets elsewhere: bytes decide
    EXPECT_GT(reportItemCmp("x [2.0.0.1]", "x [1.9.9.1]"), 0);
    ReportAddItem(&list, "b@x", INT32_MAX);
    EXPECT_EQ(list.total, INT32_MAX);  // counts stop instead of wrapping
    for (int i = 0; i < 5000; i++)
        ReportAddItem(&list, "n" + std::to_string(i), 1);
    EXPECT_EQ(list.nItems(), 5004);
    ReportClearList(&list);
    EXPECT_EQ(list.nItems(), 0);
    EXPECT_EQ(list.total, 0);
}

TEST(StatisticsObject, RecordsFromManyThreadsAreAllCountedAndAPeriodIsTakenWhole)
{
    Statistics statistics;
    std::vector<std::string_view> sources{"src"}, targets{"t1", "t2"};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; t++)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 500; i++) {
                statistics.RecordMessage({.rating = t == 0 ? MessageRecord::kNotRated : 100,
                                          .milliseconds = static_cast<uint64_t>(i % 3), .spam = t == 1,
                                          .sources = &sources, .targets = &targets});
                statistics.SampleConcurrency(2);
            }
        });
    for (std::thread& thread : threads)
        thread.join();
    statistics.BeginPeriod(900);
    StatisticsSnapshot period = statistics.TakePeriod(1000, false);
    EXPECT_EQ(period.nScannedMessagesTotal, 4000);
    EXPECT_EQ(period.msgStat[100], 3500);
    EXPECT_EQ(period.scanTimeMin, 1u);  // 0 ms is no minimum
    EXPECT_EQ(period.scanTimeMax, 2u);
    EXPECT_EQ(period.scanTimeTotal, 8u * 499);
    EXPECT_EQ(period.nActiveThreadsTotal, 8000);
    EXPECT_EQ(period.sources.total, 500);
    EXPECT_EQ(period.targets.total, 1000);
    const StatisticsSnapshot next = statistics.Snapshot();
    EXPECT_EQ(std::tuple(next.nScannedMessagesTotal, next.periodStart, next.nActiveThreadsChecks, next.sources.nItems()),
              std::tuple(0, 1000, 0, 0));

    StatisticsSnapshot full;
    full.nScannedMessagesTotal = INT32_MAX;
    full.msgStat[5] = INT32_MAX;
    full.scanTimeTotal = kMaxScanTime - 1;
    statistics.Restore(full);
    statistics.RecordMessage({.rating = 5, .milliseconds = 10});
    const StatisticsSnapshot saturated = statistics.Snapshot();
    EXPECT_EQ(std::tuple(saturated.nScannedMessagesTotal, saturated.msgStat[5], saturated.scanTimeTotal),
              std::tuple(INT32_MAX, INT32_MAX, kMaxScanTime));
}

TEST(StatDump, ADumpReadsBackAsTheStatisticsItWasWrittenFrom)
{
    const time_t noon = LocalNoon();
    StatisticsSnapshot s;
    s.periodStart = noon - 3600;
    s.restartTime = noon - 60;
    s.nScannedMessagesTotal = 3;
    s.nGivenUpMessages = 1;
    s.scanTimeMin = 5;
    s.scanTimeMax = 50;
    s.scanTimeTotal = 70;
    s.msgStat[0] = 1;
    s.msgStat[100] = 2;
    ReportAddItem(&s.sources, "host [192.0.2.1]", 2);
    ReportAddItem(&s.targets, "we\"ird\\name;={}\n", 1);
    const std::string text = FormatDump(s, noon, true);
    EXPECT_NE(text.find("MessagesTotal=3;\nGivenUp=1;\nScanTimeMin=5;\nScanTimeMax=50;\nScanTimeTotal=70;\nNormalShutdown=YES;\n"
                        "Scores={\n\"0\"=1;\n\"100\"=2;\n};\nSources={\n\"host [192.0.2.1]\"=2;\n};\n"), std::string::npos) << text;
    OutputCapture capture;
    std::unique_ptr<cfgfItem> tree = cfgfReadConfigText(text, "statistics.dat");
    std::string why;
    std::optional<StatisticsSnapshot> back = ParseDump(tree.get(), noon + 60, why);
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(FormatDump(*back, noon, true), text);
    EXPECT_EQ(capture.Text(), "");
}

TEST(StatDump, DumpsOfAnotherDayOrWithImpossibleValuesAreRefused)
{
    const time_t noon = LocalNoon();
    const std::string start = "StatStart=" + std::to_string(noon - 100) + ";\n";
    const std::string end = "StatEnd=" + std::to_string(noon) + ";\n";
    const struct {
        std::string text;
        const char* why;
    } refused[] = {
        {start + "StatEnd=" + std::to_string(noon - 86400) + ";\n", "The found data is obsolete\n"},
        {"StatStart=" + std::to_string(noon + 1) + ";\n" + end, "The found data is unusable\n"},
        {start + end + "MessagesTotal=4294967295;\n", "The found data is unusable\n"},
        {start + end + "MessagesTotal=-1;\n", "The found data is unusable\n"},
        {start + end + "MessagesTotal=5;\nScanTimeTotal=9223372036854775808;\n", "The found data is unusable\n"},
        {start + end + "Scores={\"7\"=2147483648;};\n", "The found data is unusable\n"},
        {start + end + "Sources={\"x\"=-3;};\n", "The found data is unusable\n"},
        {start + "StatEnd=-5;\n", "The found data is unusable\n"},
        {start, ""},
    };
    OutputCapture capture;
    for (const auto& row : refused) {
        std::unique_ptr<cfgfItem> tree = cfgfReadConfigText(row.text, "statistics.dat");
        ASSERT_NE(tree, nullptr) << row.text;
        std::string why;
        EXPECT_FALSE(ParseDump(tree.get(), noon, why).has_value()) << row.text;
        EXPECT_EQ(why, row.why) << row.text;
    }
    // An unorderly end: the restart time is the last dump's end; a period of an earlier day goes on.
    std::unique_ptr<cfgfItem> tree =
        cfgfReadConfigText("StatStart=" + std::to_string(noon - 86400) + ";\n" + end + "MessagesTotal=2;\n", "s.dat");
    std::string why;
    std::optional<StatisticsSnapshot> restored = ParseDump(tree.get(), noon, why);
    ASSERT_TRUE(restored.has_value());
    EXPECT_EQ(std::tuple(restored->restartTime, restored->periodStart, restored->nScannedMessagesTotal, restored->scanTimeTotal),
              std::tuple(noon, noon - 86400, 2, 0u));
}

TEST(StatDump, TheFileIsReplacedWholeAndRestoredAtStartUp)
{
    TempDir dir;
    SetWorkPath(dir.Path() + "/");
    Settings settings;
    settings.statDumpFileName = "stats.dat";
    Statistics statistics;
    statistics.BeginPeriod(Now());
    const MessageRecord record{.rating = 42, .milliseconds = 7};
    statistics.RecordMessage(record);
    StatisticsSnapshot snapshot = statistics.Snapshot();
    EXPECT_TRUE(DumpReportData(settings, snapshot, Now(), false));
    EXPECT_NE(ReadFileText(dir.File("stats.dat")).find("\"42\"=1;"), std::string::npos);
    statistics.RecordMessage(record);
    snapshot = statistics.Snapshot();
    EXPECT_TRUE(DumpReportData(settings, snapshot, Now(), true));
    EXPECT_NE(ReadFileText(dir.File("stats.dat")).find("\"42\"=2;"), std::string::npos);
    EXPECT_EQ(ListDirectory(dir.Path()), std::vector<std::string>{"stats.dat"});
    {
        OutputCapture capture;
        Settings unwritable = settings;
        unwritable.statDumpFileName = "missing/stats.dat";
        EXPECT_FALSE(DumpReportData(unwritable, snapshot, Now(), false));
        EXPECT_NE(capture.Text().find("* unable create " + dir.File("missing/stats.dat.")), std::string::npos);
    }

    Statistics restarted;
    ReadReportData(settings, restarted);
    EXPECT_EQ(restarted.Snapshot().msgStat[42], 2);
    WriteFile(dir.File("stats.dat"), "MessagesTotal=4294967295;");
    ReadReportData(settings, restarted);
    EXPECT_FALSE(FileExists(dir.File("stats.dat")));  // an unusable dump is deleted
}
