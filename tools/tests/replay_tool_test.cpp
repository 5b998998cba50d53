// The replay tool run as administrators run it, against plugin stand-ins
// (small shell scripts) that keep or break the host protocol, and once
// against the real plugin with the built-in fake spamd.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "replay_test_support.h"

namespace {

// StandIn - a plugin stand-in whose FILE branch is the given shell text; it
// answers INTF and QUIT like the plugin.
std::string StandIn(const TestDir& dir, const std::string& fileBranch, const std::string& quitBranch = "")
{
    std::string script =
        "#!/bin/sh\n"
        "while read -r id cmd rest; do\n"
        "  case \"$cmd\" in\n"
        "    INTF) echo \"$id INTF 3 PROD=CLAM\" ;;\n"
        "    FILE) " + fileBranch + " ;;\n"
        "    QUIT) echo '* quit accepted'; " + quitBranch + " echo \"$id OK\"; exit 0 ;;\n"
        "    *) echo \"$id OK Unknown command: $cmd\" ;;\n"
        "  esac\n"
        "done\n";
    std::string path = dir.File("standin.sh");
    WriteText(path, script, true);
    return path;
}

const char* const kAnswer = "echo \"$id ADDHEADER \\\"X-Junk-Score:  45 [XX]\\\"\"";

// Messages - three small message files in dir/mail.
std::string Messages(const TestDir& dir)
{
    std::string mail = dir.File("mail");
    std::filesystem::create_directories(mail);
    for (int i = 1; i <= 3; i++)
        WriteText(mail + "/" + std::to_string(i) + ".eml",
                  "From: sender" + std::to_string(i) + "@example.com\nTo: rcpt@example.org\nSubject: note " +
                      std::to_string(i) + "\n\nHello.\n");
    return mail;
}

}  // namespace

TEST(ReplayAgainstStandIns, WellBehavedPluginPassesWithOneLinePerMessage)
{
    TestDir dir;
    ToolRun run = RunTool({"--plugin", StandIn(dir, kAnswer), "--socket", "/nonexistent", Messages(dir)});
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("/1.eml: X-Junk-Score:  45 [XX]\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("/3.eml: X-Junk-Score:  45 [XX]\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("    40-76           3\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("every request answered once"), std::string::npos);
}

TEST(ReplayAgainstStandIns, SecondAnswerToARequestFailsTheRun)
{
    TestDir dir;
    std::string twice = std::string(kAnswer) + "; " + kAnswer;
    ToolRun run = RunTool({"--plugin", StandIn(dir, twice), "--socket", "/nonexistent", "--quiet", Messages(dir)});
    EXPECT_EQ(run.status, 2) << run.out << run.err;
    EXPECT_NE(run.out.find("request 1 was answered more than once"), std::string::npos) << run.out;
}

TEST(ReplayAgainstStandIns, RequestLeftUnansweredFailsTheRun)
{
    TestDir dir;
    std::string skipSecond = "[ \"$id\" = 2 ] || " + std::string(kAnswer);
    ToolRun run = RunTool({"--plugin", StandIn(dir, skipSecond), "--socket", "/nonexistent", "--quiet",
                           "--timeout", "1", Messages(dir)});
    EXPECT_EQ(run.status, 2) << run.out << run.err;
    EXPECT_NE(run.out.find("request 2 got no answer"), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find("request 1 got no answer"), std::string::npos) << run.out;
}

TEST(ReplayAgainstStandIns, AnswerWithAForeignIdFailsTheRun)
{
    TestDir dir;
    std::string foreign = std::string(kAnswer) + "; [ \"$id\" = 3 ] && echo '77 ADDHEADER \"X: 1\"'";
    ToolRun run = RunTool({"--plugin", StandIn(dir, foreign), "--socket", "/nonexistent", "--quiet", Messages(dir)});
    EXPECT_EQ(run.status, 2) << run.out << run.err;
    EXPECT_NE(run.out.find("unknown request id \"77\""), std::string::npos) << run.out;
}

TEST(ReplayAgainstStandIns, PluginThatEndsMidRunFailsTheRun)
{
    TestDir dir;
    std::string dies = "[ \"$id\" = 2 ] && exit 1; " + std::string(kAnswer);
    ToolRun run = RunTool({"--plugin", StandIn(dir, dies), "--socket", "/nonexistent", "--quiet", Messages(dir)});
    EXPECT_EQ(run.status, 3) << run.out << run.err;
    EXPECT_NE(run.out.find("the plugin's exit status was 1"), std::string::npos) << run.out;
}

TEST(ReplayAgainstStandIns, FailingExitStatusAfterQuitFailsTheRun)
{
    TestDir dir;
    std::string path = StandIn(dir, kAnswer, "echo \"$id OK\"; exit 4;");
    ToolRun run = RunTool({"--plugin", path, "--socket", "/nonexistent", "--quiet", Messages(dir)});
    EXPECT_EQ(run.status, 3) << run.out << run.err;
    EXPECT_NE(run.out.find("the plugin's exit status was 4"), std::string::npos) << run.out;
}

TEST(ReplayAgainstStandIns, QuitLeftUnansweredFailsTheRun)
{
    TestDir dir;
    std::string path = StandIn(dir, kAnswer, "exit 0;");
    ToolRun run = RunTool({"--plugin", path, "--socket", "/nonexistent", "--quiet", Messages(dir)});
    EXPECT_EQ(run.status, 2) << run.out << run.err;
    EXPECT_NE(run.out.find("request 4 (QUIT) got no answer"), std::string::npos) << run.out;
}

TEST(ReplayAgainstStandIns, SpoolFilesCarryTheEnvelopeAndTheWorkDirIsKept)
{
    TestDir dir;
    std::string work = dir.File("work");
    ToolRun run = RunTool({"--plugin", StandIn(dir, kAnswer), "--socket", "/run/x.sock", "--threads", "3", "--quiet",
                           "--workdir", work, "--recipient", "one@example.net", "--recipient", "two@example.net",
                           "--source", "[192.0.2.44]", Messages(dir)});
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_EQ(ReadAll(work + "/spool/2.msg"),
              "P <sender2@example.com>\nR <one@example.net>\nR <two@example.net>\nS [192.0.2.44]\n\n"
              "From: sender2@example.com\nTo: rcpt@example.org\nSubject: note 2\n\nHello.\n");
    std::string settings = ReadAll(work + "/VelmoraSpamAssassin.cfg");
    EXPECT_NE(settings.find("SocketPath = \"/run/x.sock\";\n"), std::string::npos) << settings;
    EXPECT_NE(settings.find("MaxScanningThreads = 3;\n"), std::string::npos) << settings;
    EXPECT_TRUE(std::filesystem::is_directory(work + "/Submitted"));
    EXPECT_NE(ReadAll(work + "/plugin-output.txt").find("0 INTF 3 PROD=CLAM\n"), std::string::npos);
}

TEST(ReplayAgainstStandIns, GivenSettingsAndWhitelistAreUsedAsTheyAre)
{
    TestDir dir;
    std::string work = dir.File("work");
    std::string config = "SocketPath = \"/run/other.sock\";\nMaxScanningThreads = 7;\n# kept as written\n";
    WriteText(dir.File("my.cfg"), config);
    WriteText(dir.File("my-whitelist.txt"), "*@example.com\n");
    ToolRun run = RunTool({"--plugin", StandIn(dir, kAnswer), "--config", dir.File("my.cfg"), "--whitelist",
                           dir.File("my-whitelist.txt"), "--workdir", work, Messages(dir)});
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_EQ(ReadAll(work + "/VelmoraSpamAssassin.cfg"), config);
    EXPECT_EQ(ReadAll(work + "/whitelist.txt"), "*@example.com\n");
    EXPECT_NE(run.out.find("(7 scanning threads, 14 in flight; spamd: socket /run/other.sock"), std::string::npos)
        << run.out;
}

TEST(ReplayAgainstStandIns, SpamcComparisonRunsOneProcessPerMessageWithTheMessageOnItsInput)
{
    TestDir dir;
    std::string log = dir.File("spamc.log");
    // Logs its arguments and the first line of its input; exit 1 means spam to spamc -c.
    WriteText(dir.File("spamc.sh"),
              "#!/bin/sh\nread -r first\necho \"$* | $first\" >> " + log + "\ncat >/dev/null\necho 1000/5\nexit 1\n",
              true);
    std::string figures = dir.File("figures.txt");
    ToolRun run = RunTool({"--plugin", StandIn(dir, kAnswer), "--fake-spamd", "1000/5", "--spamc", "--spamc-binary",
                           dir.File("spamc.sh"), "--spamc-messages", "2", "--quiet", "--figures", figures,
                           Messages(dir)});
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    std::string lines = ReadAll(log);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), '\n'), 4) << lines;  // 2 messages, 1 and 2 at a time
    EXPECT_NE(lines.find("-U /"), std::string::npos) << lines;
    EXPECT_NE(lines.find("/spamd.sock -c | From: sender1@example.com"), std::string::npos) << lines;
    EXPECT_NE(lines.find("| From: sender2@example.com"), std::string::npos) << lines;
    std::string values = ReadAll(figures);
    EXPECT_NE(values.find("spamc1_failures=0\n"), std::string::npos) << values;
    EXPECT_NE(values.find("spamc2_failures=0\n"), std::string::npos) << values;
}

TEST(ReplayAgainstStandIns, MissingPluginIsASetUpError)
{
    TestDir dir;
    ToolRun run = RunTool({"--plugin", dir.File("absent"), "--socket", "/s", Messages(dir)});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("absent"), std::string::npos) << run.err;
}

TEST(ReplayWithThePlugin, EveryMessageIsAnsweredAndThePluginEndsCleanly)
{
    TestDir dir;
    std::string mbox = dir.File("box.mbox");
    WriteText(mbox,
              "From a@example.com Mon Jan  5 09:00:00 2026\nFrom: a@example.com\nTo: b@example.org\n"
              "Subject: one\n\nFirst\n\n"
              "From c@example.com Mon Jan  5 09:00:00 2026\nFrom: c@example.com\nTo: d@example.org\n"
              "Subject: two\n\nSecond\n");
    std::string figures = dir.File("figures.txt");
    ToolRun run = RunTool({"--plugin", VSA_PLUGIN_BINARY, "--fake-spamd", "2.5/5", "--threads", "2", "--floor",
                           "--figures", figures, mbox, "--synthetic", "20"});
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    // 2.5 of 5 is a rating of 45.
    EXPECT_NE(run.out.find(mbox + "#2: X-Junk-Score:  45 [XX]\\eX-SA-Score:  45 [XX]\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("synthetic#20: X-Junk-Score:  45 [XX]"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("    40-76          22\n"), std::string::npos) << run.out;
    std::string values = ReadAll(figures);
    EXPECT_NE(values.find("messages=22\n"), std::string::npos) << values;
    EXPECT_NE(values.find("replies_addheader=22\n"), std::string::npos) << values;
    EXPECT_NE(values.find("exactly_once=yes\n"), std::string::npos) << values;
    EXPECT_NE(values.find("floor_failures=0\n"), std::string::npos) << values;
    EXPECT_EQ(values.find("peak_rss_kib=\n"), std::string::npos) << values;
}
