// The started, stopped and problem notices.

#include "report_fixture.h"

#include "reports/events.h"

namespace {

std::string EventsWith(const std::string& notices)
{
    return "EventsReports = { From = \"spam-plugin@example.org\"; To = postmaster; "
           "ExtraHeaders = \"X-Auto-Generated: report\"; " +
           notices + " };\n";
}

const std::string kEvents =
    EventsWith("Started = { Subject = \"Plugin started ^1\"; }; Stopped = { Subject = \"Plugin stopped ^1\"; };");

const char* const kStartedBody = "\nVelmora SpamAssassin plugin started on Mon, 9 Mar 2026 07:05:03.\n\n";

}  // namespace

using EventNotice = ReportTest;

TEST_F(EventNotice, StartedAndStoppedNoticesAreDeliveredByteExact)
{
    UseSettings(kEvents);
    PlanDraws({1234, 1235});
    SetNow(LocalSecond(2026, 3, 9, 7, 5, 3));
    EventReportStarted();
    SetNow(LocalSecond(2026, 3, 9, 7, 5, 4));
    EventReportStoped();
    EXPECT_EQ(Messages(), (std::vector<std::string>{"reportSA_1234.sub", "reportSA_1235.sub"}));
    EXPECT_EQ(ModeOf("reportSA_1234.sub"), 0666u);
    const std::string head = "Return-Path: <>\nFrom: spam-plugin@example.org\nTo: postmaster\n";
    EXPECT_EQ(ReadFileText(SubmittedDir() + "/reportSA_1234.sub"),
              head + "Subject: Plugin started Mon, 9 Mar 2026 07:05:03\nX-Auto-Generated: report\n" + kStartedBody);
    EXPECT_EQ(ReadFileText(SubmittedDir() + "/reportSA_1235.sub"),
              head + "Subject: Plugin stopped Mon, 9 Mar 2026 07:05:04\nX-Auto-Generated: report\n\n"
                     "Velmora SpamAssassin plugin stopped on Mon, 9 Mar 2026 07:05:04.\n\n");
    EXPECT_EQ(output.Take(), "");
}

TEST_F(EventNotice, OnlyAnEnabledValueBeginningWithNSwitchesTheNoticesOff)
{
    const std::pair<const char*, bool> table[] = {{"No", false}, {"no", false}, {"NEVER", false}, {"Yes", true},
                                                  {"1", true},   {"YES", true}, {nullptr, true}};
    for (const auto& [enabled, sent] : table) {
        SCOPED_TRACE(enabled ? enabled : "(no Enabled key)");
        const std::string value = enabled ? std::string("Enabled = ") + enabled + "; " : std::string();
        UseSettings(EventsWith("Started = { " + value + "Subject = s; }; Stopped = { " + value + "Subject = s; };"));
        EventReportStarted();
        EventReportStoped();
        EXPECT_EQ(Messages().size(), sent ? 2u : 0u);
        EXPECT_EQ(output.Take(), "");
        ClearSubmitted();
    }
}

TEST_F(EventNotice, MissingDictionariesAreReportedAndTheNoticeStillMailed)
{
    struct Row {
        std::string settings;
        bool started;
        std::string said, head;
    };
    const std::string eventsMissing = "* Error in test.cfg \n* Missing EventsReports={...};\n";
    const std::string startedMissing = "* Error in test.cfg \n* Missing EventsReports={Started={...} ... };\n";
    const std::string stoppedMissing = "* Error in test.cfg \n* Missing EventsReports={Stopped={...} ... };\n";
    const std::string ours = "From: spam-plugin@example.org\nTo: postmaster\n";
    const std::string defaults = "From: MAILER-DAEMON\nTo: postmaster\n";
    const Row table[] = {
        {EventsWith("Stopped = { Subject = s; };"), true, startedMissing, ours + "Subject: \n"},
        {EventsWith("Started = { Subject = s; };"), false, stoppedMissing, ours + "Subject: \n"},
        {"AlertLevel = 5;\n", true, eventsMissing + startedMissing, defaults + "Subject: \n"},
        {"", false, eventsMissing + stoppedMissing, defaults + "Subject: \n"},
        {"EventsReports = { To = \"admin@example.org\"; Started = { Subject = hi; }; };\n", true, "",
         "From: MAILER-DAEMON\nTo: admin@example.org\nSubject: hi\n"},
    };
    SetNow(LocalSecond(2026, 3, 9, 7, 5, 3));
    for (const Row& row : table) {
        SCOPED_TRACE(row.settings);
        UseSettings(row.settings);
        row.started ? EventReportStarted() : EventReportStoped();
        EXPECT_EQ(output.Take(), row.said);
        const std::string message = OnlyMessage();
        EXPECT_TRUE(message.starts_with("Return-Path: <>\n" + row.head + "X-Auto-Generated: report\n\n")) << message;
        EXPECT_TRUE(!row.started || message.ends_with(kStartedBody)) << message;
        ClearSubmitted();
    }
}

TEST_F(EventNotice, UncreatableFileIsReportedAndNothingIsLeft)
{
    UseSettings(kEvents, [&](Settings& s) { s.submittedDirName = work.File("gone"); });
    PlanDraws({77, 3});
    EventReportStarted();
    EventReportProblem("x");
    const std::string gone = work.File("gone");
    EXPECT_EQ(output.Take(), "* Can't create temp file " + gone + "/reportSA_77.tmp, errno=" + std::to_string(ENOENT) +
                                 "\n* Can't create temp file " + gone + "/reportSA_3.tmp, errno=" +
                                 std::to_string(ENOENT) + "\n");
    EXPECT_TRUE(Messages().empty());
}

TEST_F(EventNotice, ProblemWithoutEventsReportsUsesTheFourDefaults)
{
    UseSettings("AlertLevel = 5;\n");
    SetNow(LocalSecond(2026, 1, 1, 0, 0, 0));
    EventReportProblem("Timed-out (>%d sec) while scanning %s\n", 1200, "/var/spool/q/m1.msg");
    EXPECT_EQ(output.Take(), "");
    EXPECT_EQ(OnlyMessage(),
              "Return-Path: <>\nFrom: MAILER-DAEMON\nTo: postmaster\n"
              "Subject: SpamAssassin plugin problem occurred on Thu, 1 Jan 2026 00:00:00\n"
              "X-Auto-Generated: report\n\n\n"
              "Velmora SpamAssassin plugin detected a problem.\n\n"
              "Timed-out (>1200 sec) while scanning /var/spool/q/m1.msg\n\n\n");
}

TEST_F(EventNotice, ProblemCrashTextEndsWithOneEmptyLine)
{
    EventReportProblem("Signal %d received while scanning %s.\nThe plugin will quit", 11, "/q/m2.msg");
    const std::string message = OnlyMessage();
    EXPECT_TRUE(message.ends_with("\n\nVelmora SpamAssassin plugin detected a problem.\n\n"
                                  "Signal 11 received while scanning /q/m2.msg.\nThe plugin will quit\n\n"))
        << message;
}

TEST_F(EventNotice, ProblemTakesWhatEventsReportsGivesAndDefaultsTheRest)
{
    const std::string defaultSubject = "Subject: SpamAssassin plugin problem occurred on Thu, 1 Jan 2026 00:00:00\n";
    const std::pair<std::string, std::string> table[] = {
        {kEvents, "From: spam-plugin@example.org\nTo: postmaster\n" + defaultSubject + "X-Auto-Generated: report\n"},
        {"EventsReports = { To = ops; };\n", "From: MAILER-DAEMON\nTo: ops\n" + defaultSubject},
        {EventsWith("ProblemOccured = { Subject = \"Trouble ^1 ^2\"; };"),
         "From: spam-plugin@example.org\nTo: postmaster\nSubject: Trouble Thu, 1 Jan 2026 00:00:00 ^2\n"},
        {EventsWith("ProblemOccured = { Enabled = Yes; };"),
         "From: spam-plugin@example.org\nTo: postmaster\nSubject: \n"},
    };
    SetNow(LocalSecond(2026, 1, 1, 0, 0, 0));
    for (const auto& [settings, head] : table) {
        SCOPED_TRACE(settings);
        UseSettings(settings);
        EventReportProblem("x");
        const std::string message = OnlyMessage();
        EXPECT_TRUE(message.starts_with("Return-Path: <>\n" + head)) << message;
        EXPECT_EQ(output.Take(), "");
        ClearSubmitted();
    }
}

TEST_F(EventNotice, EnabledNoSuppressesEveryProblemNotice)
{
    UseSettings(EventsWith("ProblemOccured = { Enabled = No; Subject = s; };"));
    EventReportProblem("Timed-out (>%d sec) while scanning %s\n", 1200, "/q/m");
    EventReportProblem("Signal %d received while scanning %s.\nThe plugin will try to recover", 11, "/q/m");
    EXPECT_TRUE(Messages().empty());
    EXPECT_EQ(output.Take(), "");
}
