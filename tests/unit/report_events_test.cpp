// The started, stopped and problem notices.

#include "report_fixture.h"

#include "protocol/text.h"
#include "reports/events.h"

namespace {

const char* const kEvents =
    "EventsReports = { From = \"spam-plugin@example.org\"; To = postmaster; "
    "ExtraHeaders = \"X-Auto-Generated: report\"; "
    "Started = { Subject = \"Plugin started ^1\"; }; "
    "Stopped = { Subject = \"Plugin stopped ^1\"; }; };\n";

std::string EventsWith(const std::string& notices)
{
    return "EventsReports = { From = \"spam-plugin@example.org\"; To = postmaster; "
           "ExtraHeaders = \"X-Auto-Generated: report\"; " +
           notices + " };\n";
}

}  // namespace

class StartStopNotice : public ReportTest {};

TEST_F(StartStopNotice, StartedNoticeIsDeliveredByteExact)
{
    UseSettings(kEvents);
    PlanDraws({1234});
    SetNow(LocalSecond(2026, 3, 9, 7, 5, 3));
    EventReportStarted();
    EXPECT_EQ(Messages(), std::vector<std::string>{"reportSA_1234.sub"});
    EXPECT_TRUE(Leftovers().empty());
    EXPECT_EQ(ModeOf("reportSA_1234.sub"), 0666u);
    EXPECT_EQ(OnlyMessage(),
              "Return-Path: <>\n"
              "From: spam-plugin@example.org\n"
              "To: postmaster\n"
              "Subject: Plugin started Mon, 9 Mar 2026 07:05:03\n"
              "X-Auto-Generated: report\n"
              "\n"
              "Velmora SpamAssassin plugin started on Mon, 9 Mar 2026 07:05:03.\n"
              "\n");
    EXPECT_EQ(output.Take(), "");
}

TEST_F(StartStopNotice, StoppedNoticeIsDeliveredByteExact)
{
    UseSettings(kEvents);
    SetNow(LocalSecond(2026, 1, 1, 0, 0, 0));
    EventReportStoped();
    EXPECT_EQ(OnlyMessage(),
              "Return-Path: <>\n"
              "From: spam-plugin@example.org\n"
              "To: postmaster\n"
              "Subject: Plugin stopped Thu, 1 Jan 2026 00:00:00\n"
              "X-Auto-Generated: report\n"
              "\n"
              "Velmora SpamAssassin plugin stopped on Thu, 1 Jan 2026 00:00:00.\n"
              "\n");
    EXPECT_TRUE(Leftovers().empty());
}

TEST_F(StartStopNotice, IsAWellFormedInternetMessage)
{
    UseSettings(kEvents);
    EventReportStarted();
    const std::vector<std::string> names = Messages();
    ASSERT_EQ(names.size(), 1u);
    EXPECT_EQ(CheckWithPythonEmail(SubmittedDir() + "/" + names[0], "spam-plugin@example.org", "postmaster"), "");
}

class NoticeSwitch : public ReportTest, public ::testing::WithParamInterface<std::pair<const char*, bool>> {};

TEST_P(NoticeSwitch, OnlyAValueBeginningWithNSwitchesTheNoticeOff)
{
    const auto [enabled, sent] = GetParam();
    const std::string value = enabled ? std::string("Enabled = ") + enabled + "; " : std::string();
    UseSettings(EventsWith("Started = { " + value + "Subject = s; }; Stopped = { " + value + "Subject = s; };"));
    EventReportStarted();
    EventReportStoped();
    EXPECT_EQ(Messages().size(), sent ? 2u : 0u) << (enabled ? enabled : "(no Enabled key)");
    EXPECT_TRUE(Leftovers().empty());
    EXPECT_EQ(output.Take(), "");
}

INSTANTIATE_TEST_SUITE_P(EnabledValues, NoticeSwitch,
                         ::testing::Values(std::make_pair("No", false), std::make_pair("no", false),
                                           std::make_pair("NEVER", false), std::make_pair("Yes", true),
                                           std::make_pair("1", true), std::make_pair("YES", true),
                                           std::make_pair(static_cast<const char*>(nullptr), true)),
                         [](const ::testing::TestParamInfo<std::pair<const char*, bool>>& info) {
                             return std::string(info.param.first ? info.param.first : "Missing") +
                                    (info.param.second ? "Sends" : "Suppresses");
                         });

TEST_F(StartStopNotice, MissingStartedDictionaryIsReportedAndTheNoticeStillMailedWithoutSubject)
{
    UseSettings(EventsWith("Stopped = { Subject = s; };"));
    SetNow(LocalSecond(2026, 3, 9, 7, 5, 3));
    EventReportStarted();
    EXPECT_EQ(output.Take(), "* Error in test.cfg \n* Missing EventsReports={Started={...} ... };\n");
    EXPECT_EQ(OnlyMessage(),
              "Return-Path: <>\n"
              "From: spam-plugin@example.org\n"
              "To: postmaster\n"
              "Subject: \n"
              "X-Auto-Generated: report\n"
              "\n"
              "Velmora SpamAssassin plugin started on Mon, 9 Mar 2026 07:05:03.\n"
              "\n");
}

TEST_F(StartStopNotice, MissingStoppedDictionaryIsReportedWithItsOwnText)
{
    UseSettings(EventsWith("Started = { Subject = s; };"));
    EventReportStoped();
    EXPECT_EQ(output.Take(), "* Error in test.cfg \n* Missing EventsReports={Stopped={...} ... };\n");
    EXPECT_EQ(Messages().size(), 1u);
}

TEST_F(StartStopNotice, MissingEventsReportsGivesBothErrorsAndANoticeToThePostmaster)
{
    UseSettings("AlertLevel = 5;\n");
    SetNow(LocalSecond(2026, 3, 9, 7, 5, 3));
    EventReportStarted();
    EXPECT_EQ(output.Take(),
              "* Error in test.cfg \n* Missing EventsReports={...};\n"
              "* Error in test.cfg \n* Missing EventsReports={Started={...} ... };\n");
    EXPECT_EQ(OnlyMessage(),
              "Return-Path: <>\n"
              "From: MAILER-DAEMON\n"
              "To: postmaster\n"
              "Subject: \n"
              "X-Auto-Generated: report\n"
              "\n"
              "Velmora SpamAssassin plugin started on Mon, 9 Mar 2026 07:05:03.\n"
              "\n");
}

TEST_F(StartStopNotice, NoSettingsTreeAtAllStillMailsTheNotice)
{
    UseSettings("");
    EventReportStoped();
    const std::string said = output.Take();
    EXPECT_NE(said.find("* Missing EventsReports={...};\n"), std::string::npos) << said;
    EXPECT_NE(said.find("* Missing EventsReports={Stopped={...} ... };\n"), std::string::npos) << said;
    EXPECT_EQ(Messages().size(), 1u);
}

TEST_F(StartStopNotice, MissingHeaderValuesTakeTheDefaults)
{
    UseSettings("EventsReports = { To = \"admin@example.org\"; Started = { Subject = hi; }; };\n");
    EventReportStarted();
    const std::string message = OnlyMessage();
    EXPECT_TRUE(message.starts_with("Return-Path: <>\nFrom: MAILER-DAEMON\nTo: admin@example.org\n"
                                    "Subject: hi\nX-Auto-Generated: report\n\n"))
        << message;
}

TEST_F(StartStopNotice, UncreatableFileIsReportedAndNothingIsLeft)
{
    UseSettings(kEvents, [&](Settings& s) { s.submittedDirName = work.File("gone"); });
    PlanDraws({77});
    EventReportStarted();
    EXPECT_EQ(output.Take(), "* Can't create temp file " + work.File("gone") + "/reportSA_77.tmp, errno=" +
                                 std::to_string(ENOENT) + "\n");
    EXPECT_TRUE(ListDirectory(SubmittedDir()).empty());
}

TEST_F(StartStopNotice, SettingsPublishedLaterTakeEffectAtTheNextNotice)
{
    UseSettings(EventsWith("Started = { Enabled = No; }; Stopped = { Enabled = No; };"));
    EventReportStarted();
    EXPECT_TRUE(Messages().empty());
    UseSettings(kEvents);
    EventReportStoped();
    EXPECT_EQ(Messages().size(), 1u);
}

class ProblemNotice : public ReportTest {};

TEST_F(ProblemNotice, WithoutEventsReportsUsesTheFourDefaults)
{
    UseSettings("AlertLevel = 5;\n");
    SetNow(LocalSecond(2026, 1, 1, 0, 0, 0));
    EventReportProblem("Timed-out (>%d sec) while scanning %s\n", 1200, "/var/spool/q/m1.msg");
    EXPECT_EQ(output.Take(), "");
    EXPECT_EQ(OnlyMessage(),
              "Return-Path: <>\n"
              "From: MAILER-DAEMON\n"
              "To: postmaster\n"
              "Subject: SpamAssassin plugin problem occurred on Thu, 1 Jan 2026 00:00:00\n"
              "X-Auto-Generated: report\n"
              "\n"
              "\n"
              "Velmora SpamAssassin plugin detected a problem.\n"
              "\n"
              "Timed-out (>1200 sec) while scanning /var/spool/q/m1.msg\n"
              "\n"
              "\n");
    EXPECT_TRUE(Leftovers().empty());
}

TEST_F(ProblemNotice, CrashTextEndsWithOneEmptyLine)
{
    EventReportProblem("Signal %d received while scanning %s.\nThe plugin will quit", 11, "/q/m2.msg");
    const std::string message = OnlyMessage();
    EXPECT_TRUE(message.ends_with("\n\nVelmora SpamAssassin plugin detected a problem.\n\n"
                                  "Signal 11 received while scanning /q/m2.msg.\nThe plugin will quit\n\n"))
        << message;
}

TEST_F(ProblemNotice, TakesFromToAndExtraHeadersOfEventsReports)
{
    UseSettings(kEvents);
    SetNow(LocalSecond(2026, 1, 1, 0, 0, 0));
    EventReportProblem("x");
    EXPECT_TRUE(OnlyMessage().starts_with("Return-Path: <>\nFrom: spam-plugin@example.org\nTo: postmaster\n"
                                          "Subject: SpamAssassin plugin problem occurred on Thu, 1 Jan 2026 "
                                          "00:00:00\nX-Auto-Generated: report\n\n\n"));
}

TEST_F(ProblemNotice, KeysMissingFromEventsReportsKeepTheirDefaults)
{
    UseSettings("EventsReports = { To = ops; };\n");
    EventReportProblem("x");
    EXPECT_TRUE(OnlyMessage().starts_with("Return-Path: <>\nFrom: MAILER-DAEMON\nTo: ops\nSubject: SpamAssassin "
                                          "plugin problem occurred on "));
    EXPECT_EQ(output.Take(), "");
}

TEST_F(ProblemNotice, OwnSubjectReplacesTheDefault)
{
    UseSettings(EventsWith("ProblemOccured = { Subject = \"Trouble ^1 ^2\"; };"));
    SetNow(LocalSecond(2026, 1, 1, 0, 0, 0));
    EventReportProblem("x");
    EXPECT_NE(OnlyMessage().find("\nSubject: Trouble Thu, 1 Jan 2026 00:00:00 ^2\n"), std::string::npos);
}

TEST_F(ProblemNotice, ProblemDictionaryWithoutSubjectGivesAnEmptySubject)
{
    UseSettings(EventsWith("ProblemOccured = { Enabled = Yes; };"));
    EventReportProblem("x");
    EXPECT_NE(OnlyMessage().find("\nSubject: \n"), std::string::npos);
}

TEST_F(ProblemNotice, EnabledNoSuppressesEveryProblemNotice)
{
    UseSettings(EventsWith("ProblemOccured = { Enabled = No; Subject = s; };"));
    EventReportProblem("Timed-out (>%d sec) while scanning %s\n", 1200, "/q/m");
    EventReportProblem("Signal %d received while scanning %s.\nThe plugin will try to recover", 11, "/q/m");
    EXPECT_TRUE(ListDirectory(SubmittedDir()).empty());
    EXPECT_EQ(output.Take(), "");
}

TEST_F(ProblemNotice, UncreatableFileIsReported)
{
    UseSettings("", [&](Settings& s) { s.submittedDirName = work.File("gone"); });
    PlanDraws({3});
    EventReportProblem("x");
    EXPECT_EQ(output.Take(), "* Can't create temp file " + work.File("gone") + "/reportSA_3.tmp, errno=" +
                                 std::to_string(ENOENT) + "\n");
}

TEST_F(ProblemNotice, TwoNoticesInOneSecondGetTwoFiles)
{
    PlanDraws({500, 500, 501});
    EventReportProblem("first");
    EventReportProblem("second");
    EXPECT_EQ(Messages(), (std::vector<std::string>{"reportSA_500.sub", "reportSA_501.sub"}));
}
