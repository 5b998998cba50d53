// Reloading the settings: the marker file hup.sig and errors in a new file;
// the settings without which the plugin cannot start.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include "plugin_test.h"

using Reload = PluginTest;

TEST_F(Reload, MarkerActsAtTheNextRequestLineAndAFaultySettingKeepsItsPreviousValue)
{
    Start(2, "", {"-debug"});
    const std::string message = Message("m"), cfg = plugin.WorkDir() + "/VelmoraSpamAssassin.cfg";
    EXPECT_EQ(plugin.Ask("1 FILE " + message), "1 ADDHEADER \"X-Junk-Score:   0 []\\eX-SA-Score:   0 []\"");
    AskReload(DefaultSettingsText(spamd.SocketPath(), 3, "Header = \"X-After: ^1 [^2]\";\n"));
    usleep(1500000);
    EXPECT_TRUE(FileExists(plugin.WorkDir() + "/hup.sig")) << "only a request line lets the marker act";
    EXPECT_EQ(plugin.Ask("2 FILE " + message), "2 ADDHEADER \"X-After:   0 []\"");
    EXPECT_FALSE(FileExists(plugin.WorkDir() + "/hup.sig"));
    EXPECT_EQ(plugin.Count("* re-reading VelmoraSpamAssassin.cfg"), 2u);

    // Without a Header, with a thread count and a problem mode out of range.
    const std::string faulty =
        DefaultSettingsText(spamd.SocketPath(), 3, "MaxScanningThreads = 500;\nOnProblem = Maybe;\n");
    AskReload(faulty.substr(faulty.find('\n') + 1));
    EXPECT_EQ(plugin.Ask("3 FILE " + message), "3 ADDHEADER \"X-After:   0 []\"");
    Quit();
    const auto& lines = plugin.Transcript();
    const std::vector<std::string> errors = {
        "* Error in " + cfg + " ", "* Missing Header item",
        "* Error in " + cfg + " line 11 ", "* MaxScanningThreads is out of range, must be >=1 and <= 100",
        "* Error in " + cfg + " line 12 ", "* OnProblem can be either Ignore,Exit or Quit"};
    EXPECT_NE(std::search(lines.begin(), lines.end(), errors.begin(), errors.end()), lines.end());
    // Each reload restarts the pool: two threads at first, then three both times.
    for (const auto& [line, count] : {std::pair{"* Thread#0 started", 3u}, {"* Thread#1 started", 3u},
                                      {"* Thread#2 started", 2u}, {"* Thread#3 started", 0u}})
        EXPECT_EQ(plugin.Count(line), count) << line;
    EXPECT_EQ(static_cast<int>(spamd.Requests().size()) - spamd.CheckCount(), 3);  // a PING at start and per reload
}

TEST_F(Reload, WithoutTheSubmittedDirectoryOrSpamdTheStartUpEndsWithStatusOne)
{
    plugin.Start({.settings = DefaultSettingsText(spamd.SocketPath(), 2), .createSubmitted = false});
    plugin.ReadAllUntilExit();
    EXPECT_EQ(plugin.Count("* FAILURE unable to access directory Submitted"), 1u);
    EXPECT_EQ(plugin.WaitExit(), 1);

    mkdir(plugin.SubmittedDir().c_str(), 0755);
    const std::string nowhere = sockets.File("nowhere.sock");
    plugin.Start({.settings = DefaultSettingsText(nowhere, 2)});
    plugin.ReadAllUntilExit();
    EXPECT_EQ(plugin.Count("* failed to connect to socket " + nowhere + ": No such file or directory"), 1u);
    EXPECT_EQ(plugin.WaitExit(), 1);
}

TEST_F(Reload, WhitelistFollowsTheMarkerAndSighupAndAnUnreadableFileKeepsTheList)
{
    const std::string list = plugin.WorkDir() + "/whitelist.txt";
    plugin.Start({.settings = DefaultSettingsText(spamd.SocketPath(), 2), .whitelist = "*@old.example\n"});
    const std::string message = Message("m", "P <x@new.example>\n\nSubject: hi\n\nhello\n");
    const std::string rated = " ADDHEADER \"X-Junk-Score:   0 []\\eX-SA-Score:   0 []\"";
    const std::string listed = " ADDHEADER \"X-Junk-Score: 0 []\\eX-SA-Score: 0 []\"";
    EXPECT_EQ(plugin.Ask("1 FILE " + message), "1" + rated);
    WriteFile(list, "*@old.example\n*@new.example\n");
    WriteFile(plugin.WorkDir() + "/hup.sig", "");
    EXPECT_EQ(plugin.Ask("2 FILE " + message), "2" + listed);
    EXPECT_EQ(plugin.Count("* 2 items read from " + list), 1u);
    EXPECT_EQ(plugin.Count("* x@new.example is whitelisted by *@new.example"), 1u);
    // A whitelist that cannot be read keeps the patterns in force.
    unlink(list.c_str());
    mkdir(list.c_str(), 0755);
    WriteFile(plugin.WorkDir() + "/hup.sig", "");
    EXPECT_EQ(plugin.Ask("3 FILE " + message), "3" + listed);
    EXPECT_EQ(plugin.Count("* whitelist " + list + " cannot be read (Is a directory), its 2 pattern(s) in force stay"),
              1u);
    rmdir(list.c_str());
    WriteFile(list, "*@other.example\n");
    kill(plugin.Pid(), SIGHUP);
    plugin.WaitFor("* 1 items read from " + list);
    EXPECT_EQ(plugin.Ask("4 FILE " + message), "4" + rated);
    Quit();
}
