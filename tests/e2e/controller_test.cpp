#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "fake_spamd.h"
#include "plugin_process.h"

namespace {

bool IsReply(const std::string& line) { return !line.starts_with("* "); }

// A scan limit of two seconds stands in for the twenty minutes that users get.
class StuckScanE2E : public ::testing::Test {
protected:
    void StartPlugin(const std::string& onProblem)
    {
        SpamdReply hang;
        hang.mode = SpamdReply::Mode::Hang;
        spamd.SetReply(hang);
        PluginProcess::Options options;
        options.settings = DefaultSettingsText(spamd.SocketPath(), 2, "OnProblem = " + onProblem + ";\n");
        options.env = {{"VELMORA_TEST_MAX_SCANNING_TIME", "2"}};
        plugin.Start(options);
        path = plugin.WorkDir() + "/stuck";
        WriteFile(path, "P <a@example.org>\n\nSubject: slow\n\nhello\n");
    }
    bool NoticeSays(const std::string& text)
    {
        for (const auto& name : ListDirectory(plugin.SubmittedDir()))
            if (name.ends_with(".sub") && ReadFileText(plugin.SubmittedDir() + "/" + name).find(text) != std::string::npos)
                return true;
        return false;
    }

    TempDir socketDir;
    FakeSpamd spamd{socketDir.File("spamd.sock")};
    PluginProcess plugin;
    std::string path;
};

}  // namespace

TEST_F(StuckScanE2E, IsRejectedOnceAndItsLateResultIsOnlyADiagnosticLine)
{
    StartPlugin("Exit");
    plugin.Send("s1 FILE " + path);
    plugin.WaitForLine([&](const std::string& l) { return l == "* timed-out while scanning " + path + ", we'll quit"; });
    EXPECT_EQ(plugin.WaitForLine(IsReply), "s1 REJECTED timed-out, we'll try again later");
    EXPECT_TRUE(NoticeSays("Timed-out (>2 sec) while scanning " + path + "\n\n\n"));

    spamd.ReleaseHung();  // spamd closes without a verdict: the scan ends with rating 0
    plugin.WaitForLine([](const std::string& l) { return l.starts_with("* ADDHEADER \""); });
    plugin.Send("2 INTF");  // the main thread looks at the quit request before its next read
    EXPECT_EQ(plugin.WaitForLine(IsReply), "2 INTF 3 PROD=CLAM");
    auto rest = plugin.ReadAllUntilExit();
    for (const auto& line : rest)
        EXPECT_FALSE(IsReply(line)) << "unexpected reply: " << line;
    EXPECT_EQ(std::count(rest.begin(), rest.end(), "* Waiting for 1 thread(s) to finish"), 0);
    EXPECT_EQ(plugin.WaitExit(), 0);
}

TEST_F(StuckScanE2E, UnderQuitEndsAtOnceWithStatusOne)
{
    StartPlugin("Quit");
    plugin.Send("s1 FILE " + path);
    EXPECT_EQ(plugin.WaitForLine(IsReply), "s1 REJECTED timed-out, we'll try again later");
    EXPECT_EQ(plugin.ReadLine().value_or(""), "* will quit immediately");
    EXPECT_EQ(plugin.WaitExit(), 1);
}
