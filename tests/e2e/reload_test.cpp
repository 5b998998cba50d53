#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "fake_spamd.h"
#include "plugin_process.h"

namespace {

const char* const kRereading = "* re-reading VelmoraSpamAssassin.cfg";

bool IsRereading(const std::string& line) { return line == kRereading; }

class Reload : public ::testing::Test {
protected:
    void Start(int threads, std::vector<std::string> args = {}, bool createSubmitted = true)
    {
        PluginProcess::Options options;
        options.settings = DefaultSettingsText(spamd.SocketPath(), threads);
        options.args = std::move(args);
        options.createSubmitted = createSubmitted;
        plugin.Start(options);
        message = plugin.WorkDir() + "/m1";
        WriteFile(message, "P sender@example.org\nR rcpt@example.org\nS 192.0.2.1\n\nSubject: test\n\nbody\n");
    }

    // Reload - new settings and the marker that asks for them.
    void AskReload(int threads, std::string_view extra = "")
    {
        const std::string settings = DefaultSettingsText(spamd.SocketPath(), threads, extra);
        WriteFile(plugin.WorkDir() + "/VelmoraSpamAssassin.cfg", settings);
        WriteFile(plugin.WorkDir() + "/hup.sig", "");
    }

    int PingCount() const
    {
        const auto requests = spamd.Requests();
        auto isPing = [](const std::string& r) { return r.starts_with("PING"); };
        return static_cast<int>(std::count_if(requests.begin(), requests.end(), isPing));
    }

    void Quit()
    {
        plugin.Send("99 QUIT");
        plugin.ReadAllUntilExit();
        EXPECT_EQ(plugin.WaitExit(), 0);
    }

    TempDir sockets;
    FakeSpamd spamd{sockets.File("s")};
    PluginProcess plugin;
    std::string message;
};

}  // namespace

TEST_F(Reload, MarkerActsAtTheNextRequestLineChangesTheHeaderAndPingsSpamdAgain)
{
    Start(2);
    plugin.Send("1 FILE " + message);
    EXPECT_NE(plugin.WaitForLineStartingWith("1 ").find("X-Junk-Score:"), std::string::npos);
    EXPECT_EQ(PingCount(), 1);

    AskReload(2, "Header = \"X-After: ^1\";\n");
    // Without a request line the marker is left alone.
    while (auto line = plugin.ReadLine(1500ms))
        EXPECT_NE(*line, kRereading);
    EXPECT_TRUE(FileExists(plugin.WorkDir() + "/hup.sig"));

    plugin.Send("2 FILE " + message);
    plugin.WaitForLine(IsRereading);
    plugin.WaitForLine(IsRereading);
    const std::string reply = plugin.WaitForLineStartingWith("2 ");
    EXPECT_TRUE(reply.starts_with("2 ADDHEADER \"X-After: ")) << reply;
    EXPECT_FALSE(FileExists(plugin.WorkDir() + "/hup.sig"));
    EXPECT_EQ(PingCount(), 2);
    Quit();
}

TEST_F(Reload, ThreadCountChangeRestartsPoolWithNewCount)
{
    Start(2, {"-debug"});
    auto isThreadLine = [](const std::string& l) {
        return l.starts_with("* Thread#") && (l.ends_with(" started") || l.ends_with(" ended"));
    };
    std::set<std::string> started;
    while (started.size() < 2 && !HasFailure())
        started.insert(plugin.WaitForLine(isThreadLine));
    EXPECT_EQ(started, (std::set<std::string>{"* Thread#0 started", "* Thread#1 started"}));

    AskReload(3);
    plugin.Send("1 INTF 3");
    plugin.WaitForLine(IsRereading);
    // Thread lines come from the threads themselves, in any order.
    const std::set<std::string> expected = {"* Thread#0 ended", "* Thread#1 ended", "* Thread#0 started",
                                            "* Thread#1 started", "* Thread#2 started"};
    std::multiset<std::string> seen;
    bool answered = false;
    while (!HasFailure() && !(answered && std::includes(seen.begin(), seen.end(), expected.begin(), expected.end()))) {
        const std::string line =
            plugin.WaitForLine([&](const std::string& l) { return isThreadLine(l) || l.starts_with("1 "); });
        answered = answered || line.starts_with("1 ");
        if (isThreadLine(line))
            seen.insert(line);
    }
    for (const std::string& line : expected)
        EXPECT_EQ(seen.count(line), 1u) << line;
    Quit();
    const auto& lines = plugin.Transcript();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "* Thread#3 started"), 0);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "* Thread#2 started"), 1);
}

TEST_F(Reload, RequestsAroundReloadAreAnsweredExactlyOnce)
{
    spamd.SetReply({.delayMs = 100});
    Start(3);
    auto burst = [&](int from, int to) {
        std::string lines;
        for (int i = from; i <= to; i++)
            lines += std::to_string(i) + " FILE " + message + "\n";
        plugin.SendRaw(lines);
    };
    burst(1, 20);
    AskReload(2, "Header = \"X-After: ^1\";\n");
    burst(21, 40);

    std::map<std::string, int> answers;
    for (int answered = 0; answered < 40;) {
        auto line = plugin.ReadLine(30s);
        ASSERT_TRUE(line.has_value()) << "only " << answered << " requests answered";
        if (line->starts_with("* "))
            continue;
        EXPECT_NE(line->find(" ADDHEADER "), std::string::npos) << *line;
        answers[line->substr(0, line->find(' '))]++;
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

TEST_F(Reload, SubmittedDirectoryMissingAtStartOrReloadEndsWithStatus1)
{
    Start(2, {}, false);
    auto lines = plugin.ReadAllUntilExit();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "* FAILURE unable to access directory Submitted"), lines.end());
    EXPECT_EQ(plugin.WaitExit(), 1);

    mkdir(plugin.SubmittedDir().c_str(), 0755);
    plugin.Restart({});
    plugin.Send("1 INTF 3");
    plugin.WaitForLineStartingWith("1 ");
    AskReload(2, "SubmittedDirectory = NotThere;\n");
    plugin.Send("2 INTF 3");
    lines = plugin.ReadAllUntilExit();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "* FAILURE unable to access directory NotThere"), lines.end());
    EXPECT_TRUE(std::none_of(lines.begin(), lines.end(), [](const std::string& l) { return l.starts_with("2 "); }));
    EXPECT_EQ(plugin.WaitExit(), 1);
}
