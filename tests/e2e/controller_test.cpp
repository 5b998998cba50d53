// A scan that spamd never finishes: rejected once, a problem notice, and the
// end of the plugin.  A limit of two seconds stands in for twenty minutes.
#include "plugin_test.h"

class StuckScan : public PluginTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(StuckScan, IsRejectedOnceWithAProblemNoticeAndEndsThePlugin)
{
    const std::string mode = GetParam();
    spamd.SetReply({.mode = SpamdReply::Mode::Hang});
    // No reply time limit: the scan hangs until the watchdog gives it up.
    plugin.Start({.settings = DefaultSettingsText(spamd.SocketPath(), 2,
                                                  "OnProblem = " + mode + ";\nSpamd = { ReplyTimeout = 0; };\n"),
                  .env = {{"VELMORA_TEST_MAX_SCANNING_TIME", "2"}}});
    const std::string path = Message("stuck");
    plugin.Send("s1 FILE " + path);
    plugin.WaitFor("* timed-out while scanning " + path + ", we'll quit");
    EXPECT_EQ(plugin.NextReply(), "s1 REJECTED timed-out, we'll try again later");
    const auto mails = Mails();
    const auto notice = std::find_if(mails.begin(), mails.end(), [](auto& m) { return m.find("problem") != m.npos; });
    ASSERT_NE(notice, mails.end());
    EXPECT_EQ(MaskDates(*notice), "Return-Path: <>\nFrom: spam-plugin@example.org\nTo: postmaster\n"
                                  "Subject: SpamAssassin plugin problem occurred on <date>\n"
                                  "X-Auto-Generated: report\n\n\nVelmora SpamAssassin plugin detected a problem.\n\n"
                                  "Timed-out (>2 sec) while scanning " + path + "\n\n\n");
    if (mode == "Quit") {
        EXPECT_EQ(plugin.ReadLine().value_or(""), "* will quit immediately");
        EXPECT_EQ(plugin.WaitExit(), 1);
        return;
    }
    // Otherwise the plugin ends in order at once, without waiting for the
    // host's next line or for the stuck scan, whose late result is no answer.
    spamd.ReleaseHung();  // spamd closes without a verdict: rating 0
    const std::vector<std::string> rest = plugin.ReadAllUntilExit();
    for (const auto& line : rest)
        EXPECT_TRUE(line.starts_with("* ")) << "unexpected reply: " << line;
    EXPECT_EQ(plugin.Count("* Waiting for 1 thread(s) to finish"), 0u);
    EXPECT_EQ(rest.back(), "* SpamAssassin plugin finished.");
    EXPECT_EQ(plugin.WaitExit(), 0);
}

INSTANTIATE_TEST_SUITE_P(OnProblem, StuckScan, ::testing::Values("Exit", "Ignore", "Quit"));
