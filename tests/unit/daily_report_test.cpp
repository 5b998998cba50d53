// The daily activity report: when it is made, every line of its body, and
// the new period that follows it.

#include "report_fixture.h"

#include <cstdio>
#include <thread>

#include "reports/events.h"

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
    return ProcessorTimes{userMs.load(), systemMs.load()};
}

void SetRatings(std::initializer_list<std::pair<int, int>> counts, int32_t messages)
{
    PluginLock lock(reportMutex);
    for (const auto& [rating, count] : counts)
        msgStat[rating] = count;
    nScannedMessagesTotal = messages;
}

void SetRecord(uint64_t min, uint64_t total, uint64_t max, int64_t threadsTotal, int64_t threadChecks)
{
    PluginLock lock(reportMutex);
    scanTimeMin = min;
    scanTimeTotal = total;
    scanTimeMax = max;
    nActiveThreadsTotal = threadsTotal;
    nActiveThreadsChecks = threadChecks;
}

void SetRestartTime(time_t t)
{
    PluginLock lock(reportMutex);
    restartTime = t;
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
        SetRecord(0, 0, 0, 0, 1);
    }

    // Report - force a report now and return the message (empty when none).
    std::string Report()
    {
        ClearSubmitted();
        GenerateDailyReport(true);
        return Messages().empty() ? std::string() : OnlyMessage();
    }
};

TEST_F(DailyReport, WorkedExampleIsWrittenLineByLine)
{
    startupTime.store(GetNow() - 93784);
    prevReportTime.store(GetNow() - 86400);
    SetRatings({{0, 5}, {20, 1200}, {50, 300}, {80, 50}, {88, 19}, {95, 9}, {100, 3}}, 1586);
    SetRecord(123, 2537600, 45012, 120960, 86400);
    userMs.store(512340);
    systemMs.store(40020);
    ReportAddItem(&reportSourceList, "Unknown", 250);
    ReportAddItem(&reportSourceList, "[10.0.0.1]", 1750);
    ReportAddItem(&reportTargetList, "a@example.org", 1);
    ReportAddItem(&reportTargetList, "b@example.org", 2);
    PlanDraws({4711});

    GenerateDailyReport(true);

    EXPECT_EQ(output.Take(), "* Generating daily report message\n");
    EXPECT_EQ(Messages(), std::vector<std::string>{"reportSA_4711.sub"});
    EXPECT_EQ(ModeOf("reportSA_4711.sub"), 0666u);
    EXPECT_TRUE(readUnderReportLock.load());
    EXPECT_EQ(OnlyMessage(),
              "Return-Path: <>\nFrom: spam-report@example.org\nTo: postmaster\n"
              "Subject: Daily spam report Sun, 8 Mar 2026 12:00:00\nX-Auto-Generated: report\n\n"
              "Velmora SpamAssassin plugin activity report.\n\n"
              "Period start: Sun, 8 Mar 2026 12:00:00\nPeriod end: Mon, 9 Mar 2026 12:00:00\n\n"
              "Uptime: 1d 02h 03m 04s\n\n"
              "Spam Scores:\n\n"
              "Range   Messages\n"
              "    0          5\n"
              " 1-39       1200\n"
              "40-76        300\n"
              "77-84         50\n"
              "85-90         19\n"
              "91-99          9\n"
              "  100          3\n"
              "-----------------\n"
              "            1586 messages rated\n\n"
              "Scanning time:\nMin:   0.123 sec.\nAvg:   1.600 sec.\nMax:  45.012 sec.\n\n"
              "Resource usage:\nUser:   512.340 sec.    0.592% \nSystem:  40.020 sec.    0.046%\n\n"
              "Average concurrent scans: 1.400\n\n\n\n"
              "Spam Sources:\n\n"
              "      #       %  Source\n"
              "   1750  87.50%  [10.0.0.1]\n"
              "    250  12.50%  Unknown\n"
              "-----------------\n"
              "   2000 sources total\n\n\n\n"
              "Spam Targets:\n\n"
              "      #       %  Target\n"
              "      2  66.66%  b@example.org\n"
              "      1  33.33%  a@example.org\n"
              "-----------------\n"
              "      3 targets total\n\n");
}

TEST_F(DailyReport, ReportAndNoticesAreWellFormedInternetMessages)
{
    UseSettings(std::string(kDaily) + "EventsReports = { From = \"spam-plugin@example.org\"; To = postmaster; "
                                      "Started = { Subject = \"Plugin started ^1\"; }; };\n");
    PlanDraws({1, 2, 3});
    SetRatings({{0, 1}}, 1);
    ReportAddItem(&reportSourceList, "[10.0.0.1]", 1);
    GenerateDailyReport(true);
    EventReportStarted();
    EventReportProblem("Timed-out (>%d sec) while scanning %s\n", 1200, "/q/m");
    ASSERT_EQ(Messages().size(), 3u);
    // Python's email package must read each as a message with these headers and a body.
    std::string command = "python3 -c 'import email,sys\n"
                          "for path, sender in zip(sys.argv[1::2], sys.argv[2::2]):\n"
                          "  m = email.message_from_file(open(path))\n"
                          "  assert not m.defects, (path, m.defects)\n"
                          "  assert m[\"From\"] == sender and m[\"To\"] == \"postmaster\", path\n"
                          "  assert m[\"Return-Path\"] == \"<>\", path\n"
                          "  assert m[\"Subject\"] and not m.is_multipart() and m.get_payload().strip(), path\n'";
    for (const std::string& name : Messages())
        command += " '" + SubmittedDir() + "/" + name + "' " +
                   (name == "reportSA_1.sub" ? "spam-report@example.org" : "spam-plugin@example.org");
    std::string said;
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    char buffer[512];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        said.append(buffer, n);
    EXPECT_EQ(pclose(pipe), 0) << said;
}

TEST_F(DailyReport, CustomRangesShowFirstMiddleSingleAndLastLines)
{
    const std::tuple<std::vector<int>, std::vector<std::pair<int, int>>, std::string> table[] = {
        {{10, 50, 100},
         {{3, 7}, {10, 0}, {11, 1}, {50, 1}, {51, 6}, {100, 7}},
         "Range   Messages\n 0-   10          7\n11-50          2\n51-100         13\n-----------------\n"},
        {{5, 6, 100}, {{6, 4}, {7, 1}}, " 0-    5          0\n    6          4\n 7-100          1\n"},
    };
    for (const auto& [ranges, counts, expected] : table) {
        UseSettings(kDaily, [&](Settings& s) { s.scoreRange = ranges; });
        ResetStatistics();
        int32_t total = 0;
        for (const auto& [rating, count] : counts) {
            msgStat[rating] = count;
            total += count;
        }
        nScannedMessagesTotal = total;
        const std::string report = Report();
        EXPECT_TRUE(Contains(report, expected)) << report;
    }
}

TEST_F(DailyReport, ProcessorTimeIsThatSinceTheReportBeforeAsAShareOfThePeriod)
{
    startupTime.store(GetNow() - 1000);
    const std::tuple<time_t, int64_t, int64_t, const char*> table[] = {
        {0, 1500, 300, "\nUser:     1.500 sec.    0.150% \nSystem:   0.300 sec.    0.030%\n\n"},
        {1000, 2000, 310, "\nUser:     0.500 sec.    0.050% \nSystem:   0.010 sec.    0.001%\n\n"},
        {3600, 1802000, 310, "\nUser:   1800.000 sec.   50.000% \nSystem:   0.000 sec.    0.000%\n\n"},
        {0, 1803000, 330, "\nUser:     1.000 sec.  100.000% \nSystem:   0.020 sec.    2.000%\n\n"},  // as one second
    };
    for (const auto& [later, user, system, expected] : table) {
        SetNow(GetNow() + later);
        userMs.store(user);
        systemMs.store(system);
        SetRatings({}, 1);
        const std::string report = Report();
        EXPECT_TRUE(Contains(report, expected)) << report;
    }
}

TEST_F(DailyReport, QuietPeriodHasNoScanningTimesAndZeroShares)
{
    startupTime.store(GetNow() - (3 * 86400 + 5 * 3600 + 7 * 60 + 9));
    SetRecord(0, 0, 0, 0, 0);
    ReportAddItem(&reportSourceList, "Unknown", 0);
    const std::string report = Report();
    EXPECT_TRUE(Contains(report, "\nUptime: 3d 05h 07m 09s\n\n")) << report;
    EXPECT_TRUE(Contains(report, "-----------------\n               0 messages rated\n\nResource usage:\n"));
    EXPECT_FALSE(Contains(report, "Scanning time:"));
    EXPECT_TRUE(Contains(report, "\nAverage concurrent scans: 0.000\n\n"));
    EXPECT_TRUE(Contains(report, "      0   0.00%  Unknown\n-----------------\n      0 sources total\n"));
}

TEST_F(DailyReport, ListedEntriesAreLimitedToAtLeastThree)
{
    UseSettings(DailyWith("ReportSourcesMax = 1; ReportTargetsMax = lots;"));
    SetRatings({}, 1);
    for (int i = 1; i <= 5; i++) {
        ReportAddItem(&reportSourceList, FormatText("source%d", i).c_str(), i);
        ReportAddItem(&reportTargetList, FormatText("t%d@example.org", i).c_str(), 1);
    }
    const std::string report = Report();
    EXPECT_TRUE(Contains(report, "      #       %  Source\n"
                                 "      5  33.33%  source5\n"
                                 "      4  26.66%  source4\n"
                                 "      3  20.00%  source3\n"
                                 "      (... 2 sources truncated)\n"
                                 "-----------------\n"
                                 "     15 sources total\n\n"))
        << report;
    EXPECT_TRUE(Contains(report, "      (... 2 targets truncated)\n")) << report;
}

TEST_F(DailyReport, WithoutAMaximumUpTo1000EntriesAreListed)
{
    SetRatings({}, 1);
    for (int i = 0; i < 1002; i++)
        ReportAddItem(&reportSourceList, FormatText("host%d", 10000 + i).c_str(), 1);
    const std::string report = Report();
    EXPECT_TRUE(Contains(report, "      1   0.09%  host10999\n      (... 2 sources truncated)\n"
                                 "-----------------\n   1002 sources total\n"));
    EXPECT_FALSE(Contains(report, "host11000"));
}

TEST_F(DailyReport, SwitchedOffSectionsAreAbsentButTheirListsEmptied)
{
    UseSettings(DailyWith("ReportSources = No; ReportTargets = yes;"));
    SetRatings({}, 1);
    ReportAddItem(&reportSourceList, "[10.0.0.1]", 3);
    ReportAddItem(&reportTargetList, "a@example.org", 3);
    const std::string report = Report();
    EXPECT_FALSE(Contains(report, "Spam Sources:"));
    EXPECT_TRUE(Contains(report, "Spam Targets:"));
    EXPECT_EQ(reportSourceList.nItems(), 0);
    EXPECT_EQ(reportSourceList.total, 0);

    UseSettings(DailyWith("ReportTargets = no;"));
    SetRatings({}, 1);
    const std::string next = Report();
    EXPECT_TRUE(next.ends_with("Average concurrent scans: 0.000\n\n\n\nSpam Sources:\n\n      #       %  Source\n"
                               "-----------------\n      0 sources total\n\n"))
        << next;
}

TEST_F(DailyReport, StatisticsStartAfreshAfterAReport)
{
    SetRatings({{5, 2}, {99, 1}}, 3);
    SetRecord(10, 60, 30, 50, 10);
    ReportAddItem(&reportSourceList, "[10.0.0.1]", 3);
    ReportAddItem(&reportTargetList, "a@example.org", 3);
    ASSERT_FALSE(Report().empty());
    {
        PluginLock lock(reportMutex);
        EXPECT_EQ(std::count(msgStat, msgStat + kRatings, 0), kRatings);
        EXPECT_EQ(nScannedMessagesTotal, 0);
        EXPECT_EQ(scanTimeMin + scanTimeMax + scanTimeTotal, 0u);
        EXPECT_EQ(nActiveThreadsTotal + nActiveThreadsChecks, 0);
        EXPECT_EQ(reportSourceList.nItems() + reportTargetList.nItems() + reportTargetList.total, 0);
    }
    EXPECT_EQ(prevReportTime.load(), GetNow());

    SetNow(GetNow() + 7200);
    const std::string next = Report();
    EXPECT_TRUE(Contains(next, "Period start: Mon, 9 Mar 2026 12:00:00\nPeriod end: Mon, 9 Mar 2026 14:00:00\n"));
    EXPECT_TRUE(Contains(next, "               0 messages rated\n"));
    EXPECT_TRUE(Contains(next, "-----------------\n      0 sources total\n"));
}

TEST_F(DailyReport, RestartInThePeriodIsWarnedOf)
{
    const std::string warning =
        "\n\nWarning: the daily statistics may be inaccurate because the plugin\nwas restarted ";
    const std::tuple<time_t, time_t, time_t, std::string> table[] = {
        {7200, 3600, 0, warning + "during the reporting period.\n\nSpam Scores:\n"},
        {7200, 3600, LocalSecond(2026, 3, 9, 10, 30, 0),
         warning + "somewhere around Mon, 9 Mar 2026 10:30:00\n\nSpam Scores:\n"},
        {3600, 7200, 0, ""},  // the period began in this run
    };
    for (const auto& [periodAge, runAge, restart, expected] : table) {
        prevReportTime.store(GetNow() - periodAge);
        startupTime.store(GetNow() - runAge);
        SetRestartTime(restart);
        SetRatings({}, 1);
        const std::string report = Report();
        EXPECT_TRUE(expected.empty() ? !Contains(report, "Warning") : Contains(report, expected)) << report;
    }
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

    UseSettings("DailyReport = (1, 2);\n");
    SetRatings({}, 1);
    EXPECT_FALSE(Report().empty());
    const std::string said = output.Take();
    EXPECT_TRUE(said.starts_with("* Error in test.cfg line 1 \n* incorrect value type; expected Dictionary got "
                                 "Array\n"))
        << said;
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
    EXPECT_EQ(prevReportTime.load(), LocalSecond(2026, 3, 9, 23, 30, 0)) << "an unset period starts with the run";
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
    Pass(10, 1, 0);
    Pass(10, 23, 59, 59);
    EXPECT_TRUE(Messages().empty());
    Pass(11, 0, 0, 0);
    EXPECT_EQ(Messages().size(), 1u);
}

TEST_F(DailySchedule, QuietPeriodIsReportedAtMidnightOnlyWhenItLastedAnHour)
{
    StartAt(9, 23, 30);
    Pass(9, 23, 45);
    Pass(10, 0, 0, 0);
    EXPECT_TRUE(Messages().empty());
    EXPECT_EQ(prevReportTime.load(), LocalSecond(2026, 3, 9, 23, 30, 0)) << "the period goes on";
    CountHandledRequest(20);
    Pass(10, 0, 0, 5);
    EXPECT_TRUE(Messages().empty()) << "the night's chance is spent";
    Pass(10, 1, 0);
    Pass(11, 0, 0, 0);
    EXPECT_EQ(Messages().size(), 1u);

    ClearSubmitted();
    Pass(11, 23, 0);
    Pass(12, 0, 0, 0);
    EXPECT_EQ(Messages().size(), 1u) << "a quiet day is reported too";
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

TEST_F(DailySchedule, OnlyTheReportInTheHourZeroClearsTheRestartTime)
{
    StartAt(9, 22, 0);
    prevReportTime.store(LocalSecond(2026, 3, 9, 8, 0, 0));
    SetRestartTime(LocalSecond(2026, 3, 9, 21, 0, 0));
    SetRatings({}, 1);
    GenerateDailyReport(true);
    EXPECT_EQ(Messages().size(), 1u);
    EXPECT_EQ(restartTime, LocalSecond(2026, 3, 9, 21, 0, 0)) << "the shutdown report leaves it";

    ClearSubmitted();
    prevReportTime.store(LocalSecond(2026, 3, 9, 8, 0, 0));
    SetRatings({}, 1);
    Pass(9, 22, 0);
    Pass(10, 0, 0, 0);
    EXPECT_TRUE(Contains(OnlyMessage(), "was restarted somewhere around Mon, 9 Mar 2026 21:00:00\n"));
    EXPECT_EQ(restartTime, 0);
}

TEST_F(DailySchedule, SwitchedOffReportMovesThePeriodStartButKeepsTheStatistics)
{
    UseSettings(DailyWith("Enabled = no;"));
    StartAt(9, 23, 0);
    SetRatings({{1, 1}}, 1);
    ReportAddItem(&reportSourceList, "[10.0.0.1]", 2);
    Pass(9, 23, 0);
    Pass(10, 0, 0, 0);
    EXPECT_EQ(prevReportTime.load(), LocalSecond(2026, 3, 10, 0, 0, 0));
    CountRating(1);
    Pass(10, 12, 0);
    Pass(11, 0, 0, 0);
    EXPECT_EQ(prevReportTime.load(), LocalSecond(2026, 3, 11, 0, 0, 0));
    SetNow(GetNow() + 60);
    GenerateDailyReport(true);
    EXPECT_EQ(prevReportTime.load(), GetNow());
    EXPECT_TRUE(Messages().empty());
    EXPECT_EQ(output.Take(), "");
    EXPECT_EQ(msgStat[1], 2);
    EXPECT_EQ(reportSourceList.total, 2);
}
