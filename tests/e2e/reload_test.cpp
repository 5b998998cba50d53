#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "fake_spamd.h"
#include "plugin_process.h"

namespace {

const char* const kRereading = "* re-reading VelmoraSpamAssassin.cfg";

std::string HeaderLine(std::string_view header) { return "Header = \"" + std::string(header) + "\";\n"; }

// WriteMessage - a queued message file with the host's envelope.
std::string WriteMessage(const PluginProcess& plugin, const std::string& name)
{
    std::string path = plugin.WorkDir() + "/" + name;
    WriteFile(path, "P sender@example.org\nR rcpt@example.org\nS 192.0.2.1\n\nSubject: test\n\nbody\n");
    return path;
}

int PingCount(const FakeSpamd& spamd)
{
    auto requests = spamd.Requests();
    return static_cast<int>(std::count_if(requests.begin(), requests.end(),
                                          [](const std::string& r) { return r.starts_with("PING"); }));
}

void Reload(PluginProcess& plugin, const std::string& settings)
{
    WriteFile(plugin.WorkDir() + "/VelmoraSpamAssassin.cfg", settings);
    WriteFile(plugin.WorkDir() + "/hup.sig", "");
}

PluginProcess::Options WithSettings(std::string settings, std::vector<std::string> args = {},
                                    bool createSubmitted = true)
{
    PluginProcess::Options options;
    options.settings = std::move(settings);
    options.args = std::move(args);
    options.createSubmitted = createSubmitted;
    return options;
}

void QuitAndExpectStatus0(PluginProcess& plugin)
{
    plugin.Send("99 QUIT");
    plugin.ReadAllUntilExit();
    EXPECT_EQ(plugin.WaitExit(), 0);
}

}  // namespace

TEST(Reload, MarkerActsOnlyAtNextRequestLineAndChangesHeader)
{
    TempDir sockets;
    FakeSpamd spamd(sockets.File("s"));
    PluginProcess plugin;
    plugin.Start(WithSettings(DefaultSettingsText(spamd.SocketPath(), 2, HeaderLine("X-Before: ^1"))));
    const std::string message = WriteMessage(plugin, "m1");

    plugin.Send("1 FILE " + message);
    EXPECT_NE(plugin.WaitForLineStartingWith("1 ").find("X-Before:"), std::string::npos);

    Reload(plugin, DefaultSettingsText(spamd.SocketPath(), 2, HeaderLine("X-After: ^1")));
    // Without a request line the marker is left alone.
    while (auto line = plugin.ReadLine(1500ms))
        EXPECT_NE(*line, kRereading);
    EXPECT_TRUE(FileExists(plugin.WorkDir() + "/hup.sig"));

    plugin.Send("2 FILE " + message);
    plugin.WaitForLine([](const std::string& line) { return line == kRereading; });
    plugin.WaitForLine([](const std::string& line) { return line == kRereading; });
    const std::string reply = plugin.WaitForLineStartingWith("2 ");
    EXPECT_NE(reply.find("X-After:"), std::string::npos) << reply;
    EXPECT_EQ(reply.find("X-Before:"), std::string::npos) << reply;
    EXPECT_FALSE(FileExists(plugin.WorkDir() + "/hup.sig"));
    QuitAndExpectStatus0(plugin);
}

TEST(Reload, SpamdIsPingedAgainAfterReload)
{
    TempDir sockets;
    FakeSpamd spamd(sockets.File("s"));
    PluginProcess plugin;
    plugin.Start(WithSettings(DefaultSettingsText(spamd.SocketPath(), 2)));
    plugin.Send("1 INTF 3");
    plugin.WaitForLineStartingWith("1 ");
    if (PingCount(spamd) == 0) {
        QuitAndExpectStatus0(plugin);
        GTEST_SKIP() << "this build does not contact spamd at start-up yet";
    }
    EXPECT_EQ(PingCount(spamd), 1);

    Reload(plugin, DefaultSettingsText(spamd.SocketPath(), 2));
    plugin.Send("2 INTF 3");
    plugin.WaitForLineStartingWith("2 ");
    EXPECT_EQ(PingCount(spamd), 2);
    QuitAndExpectStatus0(plugin);
}

TEST(Reload, ThreadCountChangeRestartsPoolWithNewCount)
{
    TempDir sockets;
    FakeSpamd spamd(sockets.File("s"));
    PluginProcess plugin;
    plugin.Start(WithSettings(DefaultSettingsText(spamd.SocketPath(), 2), {"-debug"}));
    std::set<std::string> started;
    while (started.size() < 2 && !HasFailure())
        started.insert(plugin.WaitForLine([](const std::string& l) { return l.ends_with(" started") && l.starts_with("* Thread#"); }));
    EXPECT_EQ(started, (std::set<std::string>{"* Thread#0 started", "* Thread#1 started"}));

    Reload(plugin, DefaultSettingsText(spamd.SocketPath(), 3));
    plugin.Send("1 INTF 3");
    plugin.WaitForLine([](const std::string& line) { return line == kRereading; });
    // Thread lines come from the threads themselves, in any order.
    const std::set<std::string> expected = {"* Thread#0 ended", "* Thread#1 ended", "* Thread#0 started",
                                            "* Thread#1 started", "* Thread#2 started"};
    std::multiset<std::string> seen;
    bool answered = false;
    while (!HasFailure() && !(answered && std::includes(seen.begin(), seen.end(), expected.begin(), expected.end()))) {
        std::string line = plugin.WaitForLine(
            [](const std::string& l) { return l.starts_with("* Thread#") || l.starts_with("1 "); });
        if (line.starts_with("1 "))
            answered = true;
        else
            seen.insert(line);
    }
    for (const std::string& line : expected)
        EXPECT_EQ(seen.count(line), 1u) << line;
    QuitAndExpectStatus0(plugin);
    const auto& lines = plugin.Transcript();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "* Thread#3 started"), 0);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "* Thread#2 started"), 1);
}

TEST(Reload, RequestsAroundReloadAreAnsweredExactlyOnce)
{
    TempDir sockets;
    FakeSpamd spamd(sockets.File("s"));
    SpamdReply slow;
    slow.delayMs = 100;
    spamd.SetReply(slow);
    PluginProcess plugin;
    plugin.Start(WithSettings(DefaultSettingsText(spamd.SocketPath(), 3)));
    const std::string message = WriteMessage(plugin, "m1");

    std::string burst;
    for (int i = 1; i <= 20; i++)
        burst += std::to_string(i) + " FILE " + message + "\n";
    plugin.SendRaw(burst);
    Reload(plugin, DefaultSettingsText(spamd.SocketPath(), 2, HeaderLine("X-After: ^1")));
    burst.clear();
    for (int i = 21; i <= 40; i++)
        burst += std::to_string(i) + " FILE " + message + "\n";
    plugin.SendRaw(burst);

    std::map<std::string, int> answers;
    int answered = 0;
    while (answered < 40) {
        auto line = plugin.ReadLine(30s);
        ASSERT_TRUE(line.has_value()) << "only " << answered << " requests answered";
        if (line->starts_with("* "))
            continue;
        std::string id = line->substr(0, line->find(' '));
        EXPECT_NE(line->find(" ADDHEADER "), std::string::npos) << *line;
        answers[id]++;
        answered++;
    }
    plugin.Send("99 QUIT");
    for (const std::string& line : plugin.ReadAllUntilExit())
        if (!line.starts_with("* ") && !line.starts_with("99 "))
            answers[line.substr(0, line.find(' '))]++;
    EXPECT_EQ(plugin.WaitExit(), 0);
    ASSERT_EQ(answers.size(), 40u);
    for (const auto& [id, count] : answers)
        EXPECT_EQ(count, 1) << "request " << id;
    EXPECT_EQ(std::count(plugin.Transcript().begin(), plugin.Transcript().end(), kRereading), 2);
}

TEST(Reload, SubmittedDirectoryMissingAtStartEndsWithStatus1)
{
    TempDir sockets;
    FakeSpamd spamd(sockets.File("s"));
    PluginProcess plugin;
    plugin.Start(WithSettings(DefaultSettingsText(spamd.SocketPath(), 2), {}, false));
    auto lines = plugin.ReadAllUntilExit();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "* FAILURE unable to access directory Submitted"), lines.end());
    EXPECT_EQ(plugin.WaitExit(), 1);
}

TEST(Reload, SubmittedDirectoryMissingAtReloadEndsWithStatus1)
{
    TempDir sockets;
    FakeSpamd spamd(sockets.File("s"));
    PluginProcess plugin;
    plugin.Start(WithSettings(DefaultSettingsText(spamd.SocketPath(), 2)));
    plugin.Send("1 INTF 3");
    plugin.WaitForLineStartingWith("1 ");
    Reload(plugin, DefaultSettingsText(spamd.SocketPath(), 2, "SubmittedDirectory = NotThere;\n"));
    plugin.Send("2 INTF 3");
    auto lines = plugin.ReadAllUntilExit();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "* FAILURE unable to access directory NotThere"), lines.end());
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [](const std::string& l) { return l.starts_with("2 "); }),
              0);
    EXPECT_EQ(plugin.WaitExit(), 1);
}
