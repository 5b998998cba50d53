// Report messages: the drop into the submission directory, the daily report
// and its schedule (with an injected clock), and the event notices.
#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>

#include <gtest/gtest.h>

#include <atomic>

#include "base/system.h"
#include "config/settings.h"
#include "output_capture.h"
#include "plugin_process.h"
#include "reports/daily.h"
#include "reports/drop.h"
#include "reports/events.h"

namespace {

std::atomic<time_t> now{0};
std::atomic<int> draw{0};
time_t TestClock() { return now.load(); }
int TestRandom() { return draw.fetch_add(1); }
ProcessorTimes TestTimes() { return {512340, 40020}; }

time_t Utc(int year, int month, int day, int hour, int minute = 0, int second = 0)
{
    tm t{second, minute, hour, day, month - 1, year - 1900, 0, 0, 0, 0, nullptr};  // seconds first
    return timegm(&t);
}

class Reports : public ::testing::Test {
protected:
    void SetUp() override
    {
        setenv("TZ", "UTC", 1);
        tzset();
        mkdir(dir.File("Submitted").c_str(), 0700);
        SetClockForTesting(TestClock);
        SetRandomSourceForTesting(TestRandom);
        UseSettings("DailyReport = { From = spam-report@example.org; Subject = \"Daily spam report ^1\"; };\n"
                    "EventsReports = { From = \"spam-plugin@example.org\"; To = postmaster;\n"
                    "  Started = { Subject = \"Plugin started ^1\"; }; Stopped = { Subject = \"Plugin stopped ^1\"; };\n"
                    "  ProblemOccured = { Subject = \"Problem ^1\"; }; };\n");
    }
    void TearDown() override
    {
        SetClockForTesting(nullptr);
        SetRandomSourceForTesting(nullptr);
    }
    void UseSettings(const std::string& text)
    {
        settings.submittedDirName = dir.File("Submitted");
        settings.pConf = cfgfReadConfigText(text, "test.cfg");
    }
    // Messages - the released messages, in name order; each is removed once read.
    std::vector<std::string> Messages()
    {
        std::vector<std::string> texts;
        for (const std::string& name : ListDirectory(dir.File("Submitted"))) {
            EXPECT_TRUE(name.ends_with(".sub")) << name;
            texts.push_back(ReadFileText(dir.File("Submitted/" + name)));
            unlink(dir.File("Submitted/" + name).c_str());
        }
        return texts;
    }
    TempDir dir;
    OutputCapture output;
    Settings settings;
    DailyReporter reporter{TestTimes};
};

}  // namespace

TEST_F(Reports, TheDailyReportShowsThePeriodLineByLine)
{
    now = Utc(2026, 3, 9, 12);
    SetStartupTime(now - 93784);
    StatisticsSnapshot s;
    s.periodStart = now - 86400;
    for (auto [rating, count] : {std::pair{0, 5}, {20, 1200}, {50, 300}, {80, 50}, {88, 19}, {95, 9}, {100, 3}})
        s.msgStat[static_cast<size_t>(rating)] = count;
    s.nScannedMessagesTotal = 1586;
    s.scanTimeMin = 123;
    s.scanTimeMax = 45012;
    s.scanTimeTotal = 2537600;
    s.nActiveThreadsTotal = 120960;
    s.nActiveThreadsChecks = 86400;
    s.nUnratedMessages = 4;  // no spamd gave them a verdict: not in the ranges
    ReportAddItem(&s.sources, "Unknown", 250);
    ReportAddItem(&s.sources, "[10.0.0.1]", 1750);
    ReportAddItem(&s.targets, "a@example.org", 1);
    ReportAddItem(&s.targets, "b@example.org", 2);
    Statistics statistics;
    statistics.Restore(s);
    draw = 4711;

    reporter.Offer(statistics, settings, now, true);

    EXPECT_EQ(output.Take(), "* Generating daily report message\n");
    struct stat status;
    ASSERT_EQ(stat(dir.File("Submitted/reportSA_4711.sub").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0644u);  // the host reads it; nobody else may change it
    EXPECT_EQ(Messages(), std::vector<std::string>{
        "Return-Path: <>\nFrom: spam-report@example.org\nTo: postmaster\n"
        "Subject: Daily spam report Sun, 8 Mar 2026 12:00:00\nX-Auto-Generated: report\n\n"
        "Velmora SpamAssassin plugin activity report.\n\n"
        "Period start: Sun, 8 Mar 2026 12:00:00\nPeriod end: Mon, 9 Mar 2026 12:00:00\n\n"
        "Uptime: 1d 02h 03m 04s\n\n"
        "Spam Scores:\n\nRange   Messages\n    0          5\n 1-39       1200\n40-76        300\n"
        "77-84         50\n85-90         19\n91-99          9\n  100          3\nunrated        4\n-----------------\n"
        "            1586 messages rated\n\n"
        "Scanning time:\nMin:   0.123 sec.\nAvg:   1.600 sec.\nMax:  45.012 sec.\n\n"
        "Resource usage:\nUser:   512.340 sec.    0.592% \nSystem:  40.020 sec.    0.046%\n\n"
        "Average concurrent scans: 1.400\n\n\n\n"
        "Spam Sources:\n\n      #       %  Source\n   1750  87.50%  [10.0.0.1]\n    250  12.50%  Unknown\n"
        "-----------------\n   2000 sources total\n\n\n\n"
        "Spam Targets:\n\n      #       %  Target\n      2  66.66%  b@example.org\n      1  33.33%  a@example.org\n"
        "-----------------\n      3 targets total\n\n"});
    const StatisticsSnapshot after = statistics.Snapshot();
    EXPECT_EQ(after.nScannedMessagesTotal, 0);
    EXPECT_EQ(after.periodStart, now.load());
    EXPECT_EQ(after.sources.nItems(), 0);
}

TEST_F(Reports, TheNightsReportComesOnceAfterMidnightAndOnlyWhenWorthAMail)
{
    Statistics statistics;
    now = Utc(2026, 3, 9, 0, 30);
    SetStartupTime(now);
    statistics.RecordMessage({.rating = 10, .milliseconds = 5});
    reporter.Offer(statistics, settings, now, false);  // started in the hour 0: no report that night
    EXPECT_TRUE(Messages().empty());
    reporter.Offer(statistics, settings, now = Utc(2026, 3, 9, 23, 59, 59), false);
    EXPECT_TRUE(Messages().empty());
    reporter.Offer(statistics, settings, now = Utc(2026, 3, 10, 0, 0, 1), false);
    std::vector<std::string> reports = Messages();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_NE(reports[0].find("Period start: Mon, 9 Mar 2026 00:30:00\nPeriod end: Tue, 10 Mar 2026 00:00:01\n"),
              std::string::npos);
    EXPECT_NE(reports[0].find(" 1-39          1\n"), std::string::npos) << reports[0];
    reporter.Offer(statistics, settings, now = Utc(2026, 3, 10, 0, 0, 2), false);  // once a night
    // Quiet for less than an hour: no mail at shutdown.
    reporter.Offer(statistics, settings, now = Utc(2026, 3, 10, 0, 20), true);
    EXPECT_TRUE(Messages().empty());

    // Switched off: the period moves on, the statistics stay.
    UseSettings("DailyReport = { Enabled = no; };\n");
    statistics.RecordMessage({.rating = 10, .milliseconds = 5});
    reporter.Offer(statistics, settings, now, true);
    EXPECT_TRUE(Messages().empty());
    EXPECT_EQ(statistics.Snapshot().nScannedMessagesTotal, 1);
    EXPECT_EQ(statistics.Snapshot().periodStart, now.load());

    // A report that cannot be created keeps the statistics and the period
    // for the next one.
    UseSettings("DailyReport = { };\n");
    rmdir(dir.File("Submitted").c_str());
    output.Take();
    const time_t periodStart = now;
    reporter.Offer(statistics, settings, now = Utc(2026, 3, 10, 0, 30), true);
    EXPECT_EQ(output.Take(), "* Generating daily report message\n* Can't make the daily report: failed to create file " +
                                 dir.File("Submitted") + "/reportSA_" + std::to_string(draw.load() - 1) + ".tmp\n");
    EXPECT_EQ(statistics.Snapshot().nScannedMessagesTotal, 1);
    EXPECT_EQ(statistics.Snapshot().periodStart, periodStart);

    // A report whose writing fails (a full disk) is not released and gives
    // its statistics back: the next report covers its period too.
    mkdir(dir.File("Submitted").c_str(), 0700);
    signal(SIGXFSZ, SIG_IGN);
    rlimit saved;
    getrlimit(RLIMIT_FSIZE, &saved);
    const rlimit full{100, saved.rlim_max};
    setrlimit(RLIMIT_FSIZE, &full);
    reporter.Offer(statistics, settings, now, true);
    setrlimit(RLIMIT_FSIZE, &saved);
    EXPECT_NE(output.Take().find("* failed writing "), std::string::npos);
    EXPECT_TRUE(ListDirectory(dir.File("Submitted")).empty());  // neither released nor left behind
    statistics.RecordMessage({.rating = 95, .milliseconds = 5});
    reporter.Offer(statistics, settings, now = Utc(2026, 3, 10, 1, 0), true);
    reports = Messages();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_NE(reports[0].find("Period start: Tue, 10 Mar 2026 00:20:00\n"), std::string::npos) << reports[0];
    EXPECT_NE(reports[0].find("               2 messages rated"), std::string::npos) << reports[0];
}

TEST_F(Reports, NoticesAreDeliveredByteExactWithDefaultsForWhatIsMissing)
{
    now = Utc(2026, 3, 9, 7, 5, 3);
    draw = 0;
    EventReportStarted(settings);
    EventReportStoped(settings);
    EventReportProblem(settings, "Timed-out (>%d sec) while scanning %s\n", 1200, "/q/m");
    const std::string head = "Return-Path: <>\nFrom: spam-plugin@example.org\nTo: postmaster\n";
    EXPECT_EQ(Messages(), (std::vector<std::string>{
        head + "Subject: Plugin started Mon, 9 Mar 2026 07:05:03\nX-Auto-Generated: report\n\n"
               "Velmora SpamAssassin plugin started on Mon, 9 Mar 2026 07:05:03.\n\n",
        head + "Subject: Plugin stopped Mon, 9 Mar 2026 07:05:03\nX-Auto-Generated: report\n\n"
               "Velmora SpamAssassin plugin stopped on Mon, 9 Mar 2026 07:05:03.\n\n",
        head + "Subject: Problem Mon, 9 Mar 2026 07:05:03\nX-Auto-Generated: report\n\n"
               "\nVelmora SpamAssassin plugin detected a problem.\n\nTimed-out (>1200 sec) while scanning /q/m\n\n\n"}));
    UseSettings("EventsReports = { Started = { Enabled = No; }; };\n");
    EventReportStarted(settings);
    EventReportStoped(settings);
    EventReportProblem(settings, "crash");
    EXPECT_EQ(output.Take(), "* Error in " + ConfigFilePath() + " \n* Missing EventsReports={Stopped={...} ... };\n");
    EXPECT_EQ(Messages(), (std::vector<std::string>{
        "Return-Path: <>\nFrom: MAILER-DAEMON\nTo: postmaster\nSubject: \nX-Auto-Generated: report\n\n"
        "Velmora SpamAssassin plugin stopped on Mon, 9 Mar 2026 07:05:03.\n\n",
        "Return-Path: <>\nFrom: MAILER-DAEMON\nTo: postmaster\nSubject: SpamAssassin plugin problem occurred on Mon, "
        "9 Mar 2026 07:05:03\nX-Auto-Generated: report\n\n\nVelmora SpamAssassin plugin detected a problem.\n\ncrash\n\n"}));
}

TEST_F(Reports, NamesInUseAreDrawnAgainButNotForEver)
{
    now = 1000;
    std::string name;
    SetRandomSourceForTesting([] { return 0; });  // every draw gives the number in use
    WriteFile(dir.File("Submitted/reportSA_0.tmp"), "being written");
    EXPECT_FALSE(OpenTempFile(dir.File("Submitted"), "reportSA_", ".tmp", name));
    EXPECT_EQ(errno, EEXIST);
    EXPECT_EQ(ReadFileText(dir.File("Submitted/reportSA_0.tmp")), "being written");
}
