// The daily activity report: when it is made, every line of its body, and
// the new period that follows it.

#include "report_fixture.h"

#include <set>
#include <thread>

#include "protocol/text.h"

namespace {

const char* const kDaily =
    "DailyReport = { Enabled = YES; From = \"spam-report@example.org\"; To = postmaster; "
    "Subject = \"Daily spam report ^1\"; ExtraHeaders = \"X-Auto-Generated: report\"; };\n";

std::string DailyWith(const std::string& keys)
{
    return "DailyReport = { From = \"spam-report@example.org\"; To = postmaster; Subject = s; "
           "ExtraHeaders = \"X-Auto-Generated: report\"; " +
           keys + " };\n";
}

std::atomic<int64_t> userMs{0};
std::atomic<int64_t> systemMs{0};
std::atomic<bool> readUnderReportLock{false};
ProcessorTimes TestProcessorTimes()
{
    readUnderReportLock.store(reportMutex.HeldByCurrentThread());
    ProcessorTimes times;
    times.userMs = userMs.load();
    times.systemMs = systemMs.load();
    return times;
}

void SetRatings(std::initializer_list<std::pair<int, int>> counts, int32_t messages)
{
    PluginLock lock(reportMutex);
    for (const auto& [rating, count] : counts)
        msgStat[rating] = count;
    nScannedMessagesTotal = messages;
}

void SetScanTimes(uint64_t min, uint64_t total, uint64_t max)
{
    PluginLock lock(reportMutex);
    scanTimeMin = min;
    scanTimeTotal = total;
    scanTimeMax = max;
}

void SetConcurrency(int64_t total, int64_t checks)
{
    PluginLock lock(reportMutex);
    nActiveThreadsTotal = total;
    nActiveThreadsChecks = checks;
}

// Body - the message without its header section.
std::string Body(const std::string& message)
{
    const size_t end = message.find("\n\n");
    return end == std::string::npos ? std::string() : message.substr(end + 2);
}

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

}  // namespace

class DailyReport : public ReportTest {
protected:
    void SetUp() override
    {
        ReportTest::SetUp();
        userMs.store(0);
        systemMs.store(0);
        SetProcessorTimesForTesting(TestProcessorTimes);
        UseSettings(kDaily);
        SetConcurrency(0, 1);
    }

    // Report - force a report now and return the message (empty when none).
    std::string Report()
    {
        const size_t before = Messages().size();
        GenerateDailyReport(true);
        const std::vector<std::string> names = Messages();
        if (names.size() == before)
            return std::string();
        std::string newest;
        for (const std::string& name : names) {
            const std::string text = ReadFileText(SubmittedDir() + "/" + name);
            if (seen.insert(name).second)
                newest = text;
        }
        return newest;
    }

    std::set<std::string> seen;
};

TEST_F(DailyReport, WorkedExampleIsWrittenLineByLine)
{
    const time_t now = GetNow();
    startupTime.store(now - 93784);
    prevReportTime.store(now - 86400);
    SetRatings({{0, 5}, {20, 1200}, {50, 300}, {80, 50}, {88, 19}, {95, 9}, {100, 3}}, 1586);
    SetScanTimes(123, 2537600, 45012);
    userMs.store(512340);
    systemMs.store(40020);
    SetConcurrency(120960, 86400);
    ReportAddItem(&reportSourceList, "Unknown", 250);
    ReportAddItem(&reportSourceList, "[10.0.0.1]", 1750);
    ReportAddItem(&reportTargetList, "a@example.org", 1);
    ReportAddItem(&reportTargetList, "b@example.org", 2);
    PlanDraws({4711});

    GenerateDailyReport(true);

    EXPECT_EQ(output.Take(), "* Generating daily report message\n");
    EXPECT_EQ(Messages(), std::vector<std::string>{"reportSA_4711.sub"});
    EXPECT_TRUE(Leftovers().empty());
    EXPECT_EQ(ModeOf("reportSA_4711.sub"), 0666u);
    EXPECT_EQ(OnlyMessage(),
              "Return-Path: <>\n"
              "From: spam-report@example.org\n"
              "To: postmaster\n"
              "Subject: Daily spam report Sun, 8 Mar 2026 12:00:00\n"
              "X-Auto-Generated: report\n"
              "\n"
              "Velmora SpamAssassin plugin activity report.\n"
              "\n"
              "Period start: Sun, 8 Mar 2026 12:00:00\n"
              "Period end: Mon, 9 Mar 2026 12:00:00\n"
              "\n"
              "Uptime: 1d 02h 03m 04s\n"
              "\n"
              "Spam Scores:\n"
              "\n"
              "Range   Messages\n"
              "    0          5\n"
              " 1-39       1200\n"
              "40-76        300\n"
              "77-84         50\n"
              "85-90         19\n"
              "91-99          9\n"
              "  100          3\n"
              "-----------------\n"
              "            1586 messages rated\n"
              "\n"
              "Scanning time:\n"
              "Min:   0.123 sec.\n"
              "Avg:   1.600 sec.\n"
              "Max:  45.012 sec.\n"
              "\n"
              "Resource usage:\n"
              "User:   512.340 sec.    0.592% \n"
              "System:  40.020 sec.    0.046%\n"
              "\n"
              "Average concurrent scans: 1.400\n"
              "\n"
              "\n"
              "\n"
              "Spam Sources:\n"
              "\n"
              "      #       %  Source\n"
              "   1750  87.50%  [10.0.0.1]\n"
              "    250  12.50%  Unknown\n"
              "-----------------\n"
              "   2000 sources total\n"
              "\n"
              "\n"
              "\n"
              "Spam Targets:\n"
              "\n"
              "      #       %  Target\n"
              "      2  66.66%  b@example.org\n"
              "      1  33.33%  a@example.org\n"
              "-----------------\n"
              "      3 targets total\n"
              "\n");
}

TEST_F(DailyReport, IsAWellFormedInternetMessage)
{
    SetRatings({{0, 1}}, 1);
    ReportAddItem(&reportSourceList, "[10.0.0.1]", 1);
    GenerateDailyReport(true);
    const std::vector<std::string> names = Messages();
    ASSERT_EQ(names.size(), 1u);
    EXPECT_EQ(CheckWithPythonEmail(SubmittedDir() + "/" + names[0], "spam-report@example.org", "postmaster"), "");
}

TEST_F(DailyReport, CustomRangesShowFirstMiddleAndWideLastLines)
{
    UseSettings(kDaily, [](Settings& s) { s.scoreRange = {10, 50, 100}; });
    SetRatings({{3, 7}, {10, 0}, {11, 1}, {50, 1}, {51, 6}, {100, 7}}, 22);
    const std::string body = Body(Report());
    EXPECT_TRUE(Contains(body, "Range   Messages\n"
                               " 0-   10          7\n"
                               "11-50          2\n"
                               "51-100         13\n"
                               "-----------------\n"
                               "              22 messages rated\n\n"))
        << body;
}

TEST_F(DailyReport, BoundOneAboveThePreviousIsASingleRating)
{
    UseSettings(kDaily, [](Settings& s) { s.scoreRange = {5, 6, 100}; });
    SetRatings({{6, 4}, {7, 1}}, 5);
    const std::string body = Body(Report());
    EXPECT_TRUE(Contains(body, " 0-    5          0\n    6          4\n 7-100          1\n")) << body;
}

TEST_F(DailyReport, HalfAnHourOfOneProcessorInAnHourIsFiftyPerCent)
{
    startupTime.store(GetNow() - 3600);
    userMs.store(1800000);
    SetRatings({}, 1);
    EXPECT_TRUE(Contains(Report(), "\nUser:   1800.000 sec.   50.000% \nSystem:   0.000 sec.    0.000%\n\n"));
}

TEST_F(DailyReport, LaterReportsShowOnlyTheProcessorTimeSinceTheReportBefore)
{
    startupTime.store(GetNow() - 1000);
    userMs.store(1500);
    systemMs.store(300);
    SetRatings({}, 1);
    EXPECT_TRUE(Contains(Report(), "User:     1.500 sec.    0.150% \nSystem:   0.300 sec.    0.030%\n"));

    SetNow(GetNow() + 1000);
    userMs.store(2000);
    systemMs.store(310);
    SetRatings({}, 1);
    EXPECT_TRUE(Contains(Report(), "User:     0.500 sec.    0.050% \nSystem:   0.010 sec.    0.001%\n"));
}

TEST_F(DailyReport, PeriodOfZeroSecondsCountsAsOneSecond)
{
    prevReportTime.store(GetNow());
    startupTime.store(GetNow());
    userMs.store(1000);
    systemMs.store(20);
    SetRatings({{0, 1}}, 1);
    const std::string report = Report();
    EXPECT_TRUE(Contains(report, "User:     1.000 sec.  100.000% \nSystem:   0.020 sec.    2.000%\n")) << report;
}

TEST_F(DailyReport, NoConcurrencySampleGivesZero)
{
    SetConcurrency(0, 0);
    SetRatings({}, 1);
    EXPECT_TRUE(Contains(Report(), "\nAverage concurrent scans: 0.000\n\n"));
}

TEST_F(DailyReport, ProcessorTimesAreReadUnderTheReportLock)
{
    SetRatings({}, 1);
    ASSERT_FALSE(Report().empty());
    EXPECT_TRUE(readUnderReportLock.load());
}

TEST_F(DailyReport, ScanningTimeSectionIsAbsentWithoutMessages)
{
    startupTime.store(GetNow() - 7200);
    const std::string body = Body(Report());
    EXPECT_TRUE(Contains(body, "-----------------\n               0 messages rated\n\nResource usage:\n")) << body;
    EXPECT_FALSE(Contains(body, "Scanning time:"));
}

TEST_F(DailyReport, UptimeCountsFromTheProcessStart)
{
    startupTime.store(GetNow() - (3 * 86400 + 5 * 3600 + 7 * 60 + 9));
    prevReportTime.store(GetNow() - 60);
    SetRatings({}, 1);
    EXPECT_TRUE(Contains(Report(), "\nUptime: 3d 05h 07m 09s\n\n"));
}

TEST_F(DailyReport, ListedEntriesAreLimitedToAtLeastThree)
{
    UseSettings(DailyWith("ReportSourcesMax = 1;"));
    SetRatings({}, 1);
    for (int i = 1; i <= 5; i++)
        ReportAddItem(&reportSourceList, FormatText("source%d", i).c_str(), i);
    const std::string body = Body(Report());
    EXPECT_TRUE(Contains(body, "      #       %  Source\n"
                               "      5  33.33%  source5\n"
                               "      4  26.66%  source4\n"
                               "      3  20.00%  source3\n"
                               "      (... 2 sources truncated)\n"
                               "-----------------\n"
                               "     15 sources total\n\n"))
        << body;
}

TEST_F(DailyReport, NonNumericMaximumCountsAsThree)
{
    UseSettings(DailyWith("ReportTargetsMax = lots;"));
    SetRatings({}, 1);
    for (int i = 1; i <= 4; i++)
        ReportAddItem(&reportTargetList, FormatText("t%d@example.org", i).c_str(), 1);
    EXPECT_TRUE(Contains(Report(), "      (... 1 targets truncated)\n"));
}

TEST_F(DailyReport, WithoutAMaximumUpTo1000EntriesAreListed)
{
    SetRatings({}, 1);
    for (int i = 0; i < 1002; i++)
        ReportAddItem(&reportSourceList, FormatText("host%d", 10000 + i).c_str(), 1);
    const std::string body = Body(Report());
    EXPECT_TRUE(Contains(body, "      1   0.09%  host10999\n      (... 2 sources truncated)\n"
                               "-----------------\n   1002 sources total\n"))
        << body.substr(body.size() > 400 ? body.size() - 400 : 0);
    EXPECT_FALSE(Contains(body, "host11000"));
}

TEST_F(DailyReport, EntriesWithoutATotalShowAZeroShare)
{
    SetRatings({}, 1);
    ReportAddItem(&reportSourceList, "Unknown", 0);
    EXPECT_TRUE(Contains(Report(), "      0   0.00%  Unknown\n-----------------\n      0 sources total\n"));
}

TEST_F(DailyReport, SwitchedOffSectionsAreAbsentButTheirListsEmptied)
{
    UseSettings(DailyWith("ReportSources = No; ReportTargets = yes;"));
    SetRatings({}, 1);
    ReportAddItem(&reportSourceList, "[10.0.0.1]", 3);
    ReportAddItem(&reportTargetList, "a@example.org", 3);
    const std::string body = Body(Report());
    EXPECT_FALSE(Contains(body, "Spam Sources:"));
    EXPECT_TRUE(Contains(body, "Spam Targets:"));
    EXPECT_EQ(reportSourceList.nItems(), 0);
    EXPECT_EQ(reportSourceList.total, 0);

    UseSettings(DailyWith("ReportTargets = no;"));
    SetRatings({}, 1);
    const std::string next = Body(Report());
    EXPECT_TRUE(Contains(next, "Spam Sources:\n\n      #       %  Source\n-----------------\n      0 sources total\n\n"))
        << next;
    EXPECT_FALSE(Contains(next, "Spam Targets:"));
    EXPECT_TRUE(next.ends_with("Average concurrent scans: 0.000\n\n\n\nSpam Sources:\n\n      #       %  Source\n"
                               "-----------------\n      0 sources total\n\n"))
        << next;
}

TEST_F(DailyReport, StatisticsStartAfreshAfterAReport)
{
    SetRatings({{5, 2}, {99, 1}}, 3);
    SetScanTimes(10, 60, 30);
    SetConcurrency(50, 10);
    ReportAddItem(&reportSourceList, "[10.0.0.1]", 3);
    ReportAddItem(&reportTargetList, "a@example.org", 3);
    ASSERT_FALSE(Report().empty());

    {
        PluginLock lock(reportMutex);
        for (int i = 0; i < kRatings; i++)
            EXPECT_EQ(msgStat[i], 0) << i;
        EXPECT_EQ(nScannedMessagesTotal, 0);
        EXPECT_EQ(scanTimeMin, 0u);
        EXPECT_EQ(scanTimeMax, 0u);
        EXPECT_EQ(scanTimeTotal, 0u);
        EXPECT_EQ(nActiveThreadsTotal, 0);
        EXPECT_EQ(nActiveThreadsChecks, 0);
        EXPECT_EQ(reportSourceList.nItems(), 0);
        EXPECT_EQ(reportTargetList.nItems(), 0);
        EXPECT_EQ(reportTargetList.total, 0);
    }
    EXPECT_EQ(prevReportTime.load(), GetNow());

    SetNow(GetNow() + 7200);
    const std::string next = Body(Report());
    EXPECT_TRUE(Contains(next, "Period start: Mon, 9 Mar 2026 12:00:00\nPeriod end: Mon, 9 Mar 2026 14:00:00\n"));
    EXPECT_TRUE(Contains(next, "               0 messages rated\n"));
    EXPECT_TRUE(Contains(next, "-----------------\n      0 sources total\n"));
}

TEST_F(DailyReport, RestartWithoutRecordedTimeSaysDuringThePeriod)
{
    prevReportTime.store(GetNow() - 7200);
    startupTime.store(GetNow() - 3600);
    SetRatings({}, 1);
    EXPECT_TRUE(Contains(Report(), "\n\nWarning: the daily statistics may be inaccurate because the plugin\n"
                                   "was restarted during the reporting period.\n\nSpam Scores:\n"));
}

TEST_F(DailyReport, RecordedRestartTimeIsNamedInTheWarning)
{
    prevReportTime.store(GetNow() - 7200);
    startupTime.store(GetNow() - 3600);
    {
        PluginLock lock(reportMutex);
        restartTime = LocalSecond(2026, 3, 9, 10, 30, 0);
    }
    SetRatings({}, 1);
    EXPECT_TRUE(Contains(Report(), "Warning: the daily statistics may be inaccurate because the plugin\n"
                                   "was restarted somewhere around Mon, 9 Mar 2026 10:30:00\n\nSpam Scores:\n"));
}

TEST_F(DailyReport, PeriodBegunByThisRunHasNoWarning)
{
    startupTime.store(GetNow() - 7200);
    prevReportTime.store(GetNow() - 3600);
    SetRatings({}, 1);
    EXPECT_FALSE(Contains(Report(), "Warning"));
}

TEST_F(DailyReport, MissingDictionaryUsesDefaultHeaders)
{
    UseSettings("AlertLevel = 5;\n");
    SetRatings({}, 1);
    const std::string report = Report();
    EXPECT_TRUE(report.starts_with("Return-Path: <>\nFrom: MAILER-DAEMON\nTo: postmaster\nSubject: \n"
                                   "X-Auto-Generated: report\n\nVelmora SpamAssassin plugin activity report.\n"))
        << report;
    EXPECT_EQ(output.Take(), "* Generating daily report message\n");
}

TEST_F(DailyReport, DictionaryOfTheWrongTypeIsReportedAndTreatedAsEmpty)
{
    UseSettings("DailyReport = (1, 2);\n");
    SetRatings({}, 1);
    EXPECT_FALSE(Report().empty());
    const std::string said = output.Take();
    EXPECT_TRUE(said.starts_with("* Error in test.cfg line 1 \n* incorrect value type; expected Dictionary got "
                                 "Array\n"))
        << said;
}

TEST_F(DailyReport, SwitchedOffMovesThePeriodStartButKeepsTheStatistics)
{
    UseSettings(DailyWith("Enabled = No;"));
    SetRatings({{7, 2}}, 2);
    ReportAddItem(&reportSourceList, "[10.0.0.1]", 2);
    GenerateDailyReport(true);
    EXPECT_TRUE(ListDirectory(SubmittedDir()).empty());
    EXPECT_EQ(output.Take(), "");
    EXPECT_EQ(prevReportTime.load(), GetNow());
    EXPECT_EQ(nScannedMessagesTotal, 2);
    EXPECT_EQ(msgStat[7], 2);
    EXPECT_EQ(reportSourceList.total, 2);
}

TEST_F(DailyReport, UncreatableFileKeepsTheStatisticsAndMovesThePeriodStart)
{
    UseSettings(kDaily, [&](Settings& s) { s.submittedDirName = work.File("gone"); });
    PlanDraws({99});
    SetRatings({{7, 2}}, 2);
    userMs.store(5000);
    GenerateDailyReport(true);
    EXPECT_EQ(output.Take(), "* Generating daily report message\n* Can't make the daily report: failed to "
                             "create file " + work.File("gone") + "/reportSA_99.tmp\n");
    EXPECT_EQ(nScannedMessagesTotal, 2);
    EXPECT_EQ(msgStat[7], 2);
    EXPECT_EQ(prevReportTime.load(), GetNow());

    // The processor time of the lost report is still counted in the next one.
    UseSettings(kDaily);
    SetNow(GetNow() + 100);
    EXPECT_TRUE(Contains(Report(), "User:     5.000 sec."));
}

class DailySchedule : public DailyReport {
protected:
    void Pass(int day, int hour, int minute, int second = 0)
    {
        SetNow(LocalSecond(2026, 3, day, hour, minute, second));
        GenerateDailyReport(false);
    }
    void StartAt(int day, int hour, int minute)
    {
        SetNow(LocalSecond(2026, 3, day, hour, minute, 0));
        startupTime.store(GetNow());
    }
};

TEST_F(DailySchedule, StartedBeforeMidnightReportsAtTheFirstPassAfterIt)
{
    StartAt(9, 23, 30);
    SetRatings({}, 1);
    Pass(9, 23, 30);
    Pass(9, 23, 59, 59);
    EXPECT_TRUE(Messages().empty());
    Pass(10, 0, 0, 0);
    EXPECT_EQ(Messages().size(), 1u);
    EXPECT_EQ(prevReportTime.load(), LocalSecond(2026, 3, 10, 0, 0, 0));

    SetRatings({}, 1);
    Pass(10, 0, 0, 1);
    Pass(10, 0, 59, 59);
    EXPECT_EQ(Messages().size(), 1u) << "one report a night";
}

TEST_F(DailySchedule, StartedInTheHourZeroMakesNoReportThatNight)
{
    StartAt(10, 0, 10);
    SetRatings({}, 1);
    Pass(10, 0, 10);
    Pass(10, 0, 59, 59);
    EXPECT_TRUE(Messages().empty());
    Pass(10, 1, 0);
    Pass(10, 23, 59, 59);
    EXPECT_TRUE(Messages().empty());
    Pass(11, 0, 0, 0);
    EXPECT_EQ(Messages().size(), 1u);
}

TEST_F(DailySchedule, QuietShortPeriodAtMidnightSpendsTheNightsChance)
{
    StartAt(9, 23, 30);
    Pass(9, 23, 45);
    Pass(10, 0, 0, 0);
    EXPECT_TRUE(Messages().empty());
    EXPECT_EQ(prevReportTime.load(), LocalSecond(2026, 3, 9, 23, 30, 0)) << "the period goes on";
    CountHandledRequest(20);
    Pass(10, 0, 0, 5);
    EXPECT_TRUE(Messages().empty());
    Pass(10, 1, 0);
    Pass(11, 0, 0, 0);
    EXPECT_EQ(Messages().size(), 1u);
}

TEST_F(DailySchedule, QuietPeriodOfAnHourIsReportedAtMidnight)
{
    StartAt(9, 23, 0);
    Pass(9, 23, 0);
    Pass(10, 0, 0, 0);
    EXPECT_EQ(Messages().size(), 1u);
}

TEST_F(DailySchedule, ShutdownReportNeedsAMessageOrAnHour)
{
    StartAt(9, 12, 0);
    SetNow(GetNow() + 600);
    GenerateDailyReport(true);
    EXPECT_TRUE(Messages().empty());
    EXPECT_EQ(output.Take(), "");

    CountHandledRequest(20);
    GenerateDailyReport(true);
    EXPECT_EQ(Messages().size(), 1u);
}

TEST_F(DailySchedule, ShutdownReportIgnoresTheHourAndLeavesTheRestartTime)
{
    StartAt(9, 12, 0);
    prevReportTime.store(LocalSecond(2026, 3, 9, 8, 0, 0));
    {
        PluginLock lock(reportMutex);
        restartTime = LocalSecond(2026, 3, 9, 11, 0, 0);
    }
    SetRatings({}, 1);
    GenerateDailyReport(true);
    EXPECT_EQ(Messages().size(), 1u);
    EXPECT_EQ(restartTime, LocalSecond(2026, 3, 9, 11, 0, 0));
}

TEST_F(DailySchedule, ReportInTheHourZeroClearsTheRestartTime)
{
    StartAt(9, 22, 0);
    prevReportTime.store(LocalSecond(2026, 3, 9, 8, 0, 0));
    {
        PluginLock lock(reportMutex);
        restartTime = LocalSecond(2026, 3, 9, 21, 0, 0);
    }
    SetRatings({}, 1);
    Pass(9, 22, 0);
    Pass(10, 0, 0, 0);
    ASSERT_EQ(Messages().size(), 1u);
    EXPECT_TRUE(Contains(OnlyMessage(), "was restarted somewhere around Mon, 9 Mar 2026 21:00:00\n"));
    EXPECT_EQ(restartTime, 0);
}

TEST_F(DailySchedule, SwitchedOffReportMovesThePeriodStartEveryNight)
{
    UseSettings(DailyWith("Enabled = no;"));
    StartAt(9, 23, 0);
    SetRatings({{1, 1}}, 1);
    Pass(9, 23, 0);
    Pass(10, 0, 0, 0);
    EXPECT_EQ(prevReportTime.load(), LocalSecond(2026, 3, 10, 0, 0, 0));
    CountRating(1);
    Pass(10, 12, 0);
    Pass(11, 0, 0, 0);
    EXPECT_EQ(prevReportTime.load(), LocalSecond(2026, 3, 11, 0, 0, 0));
    EXPECT_TRUE(Messages().empty());
    EXPECT_EQ(msgStat[1], 2);
}

TEST_F(DailySchedule, UnsetPeriodStartBecomesTheStartupTime)
{
    StartAt(9, 10, 0);
    Pass(9, 10, 5);
    EXPECT_EQ(prevReportTime.load(), LocalSecond(2026, 3, 9, 10, 0, 0));
}

TEST_F(DailyReport, CountsArrivingDuringReportsAreNeitherLostNorCountedTwice)
{
    constexpr int kMessages = 3000;
    std::atomic<bool> done{false};
    std::thread scanner([&] {
        for (int i = 0; i < kMessages; i++) {
            ReportAddItem(&reportSourceList, FormatText("[10.0.%d.1]", i % 7).c_str(), 1);
            CountRating(i % 101);
            CountHandledRequest(5);
        }
        done.store(true);
    });
    std::string reports;
    while (!done.load()) {
        SetNow(GetNow() + 1);
        reports += Report();
    }
    scanner.join();
    SetNow(GetNow() + 1);
    reports += Report();

    long rated = 0, sources = 0;
    for (size_t at = 0; (at = reports.find(" messages rated\n", at)) != std::string::npos; at++)
        rated += atol(reports.c_str() + reports.rfind('\n', at) + 1);
    for (size_t at = 0; (at = reports.find(" sources total\n", at)) != std::string::npos; at++)
        sources += atol(reports.c_str() + reports.rfind('\n', at) + 1);
    EXPECT_EQ(rated, kMessages);
    EXPECT_EQ(sources, kMessages);
}
