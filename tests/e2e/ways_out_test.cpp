// Every way out of the process: each FILE request that was read gets exactly
// one answer, the OK of QUIT comes last, the exit status says what happened,
// and the statistics of what was answered are in the dump.
#include <signal.h>

#include <functional>
#include <map>
#include <memory>

#include "plugin_test.h"

struct WayOut {
    const char* name;
    int threads;
    std::string settings;  // extra settings
    std::vector<std::pair<std::string, std::string>> env;
    // act - send the requests and bring the way out about; ids gets the FILE ids sent.
    std::function<void(class WaysOut&, std::vector<std::string>& ids)> act;
    bool quit;
    int status;
    std::vector<std::string> lines = {};  // beginnings of lines the transcript must hold
    std::function<void(class WaysOut&)> after = {};  // what follows the way out
};

void PrintTo(const WayOut& way, std::ostream* out) { *out << way.name; }

class WaysOut : public PluginTest, public ::testing::WithParamInterface<WayOut> {
public:
    // Files - n FILE lines for one message, ids prefix0, prefix1, ...
    std::string Files(const std::string& prefix, int n, std::vector<std::string>& ids, const std::string& path)
    {
        std::string lines;
        for (int i = 0; i < n; i++) {
            ids.push_back(prefix + std::to_string(i));
            lines += ids.back() + " FILE " + path + "\n";
        }
        return lines;
    }
    // AskReload - new settings and the marker, once the plugin is up.
    void AskReload(const std::string& settings, std::vector<std::string>& ids)
    {
        ids.push_back("up" + std::to_string(ids.size()));
        plugin.Send(ids.back() + " INTF");
        plugin.WaitFor(ids.back() + " INTF 3 PROD=CLAM");
        PluginTest::AskReload(settings);
    }
    void WaitForAnswers(size_t n)
    {
        for (size_t seen = 0; seen < n;)
            seen += plugin.NextReply().empty() ? n : 1;
    }

    std::unique_ptr<FakeSpamd> gone;  // a spamd that goes away
};

TEST_P(WaysOut, EveryRequestReadIsAnsweredOnce)
{
    const WayOut& way = GetParam();
    if (way.name == std::string("CrashUnderExit") && std::string(VSA_SANITIZER_BUILD) != "")
        GTEST_SKIP() << "the sanitizers take the crash signals over";
    plugin.Start({.settings = DefaultSettingsText(spamd.SocketPath(), way.threads, way.settings), .env = way.env});
    std::vector<std::string> ids;
    way.act(*this, ids);
    plugin.ReadAllUntilExit(90s);
    EXPECT_EQ(plugin.WaitExit(), way.status);

    std::map<std::string, int> answers;
    int rated = 0;
    std::string lastReply;
    for (const std::string& line : plugin.Transcript()) {
        if (line.starts_with("* "))
            continue;
        answers[line.substr(0, line.find(' '))]++;
        rated += line.find(" ADDHEADER ") != std::string::npos || line.find(" REJECTED timed-out") != std::string::npos;
        lastReply = line;
    }
    for (const std::string& id : ids)
        EXPECT_EQ(answers[id], 1) << "request " << id;
    EXPECT_EQ(answers.size(), ids.size() + (way.quit ? 1 : 0));
    ASSERT_FALSE(plugin.Transcript().empty());
    EXPECT_EQ(plugin.Transcript().back(), "* SpamAssassin plugin finished.");
    EXPECT_EQ(lastReply == "q OK", way.quit) << lastReply;
    for (const std::string& start : way.lines)
        EXPECT_GT(plugin.CountStarting(start), 0u) << start;
    // The shutdown dumps what was handled: a rejected request comes again, a given-up scan was handled.
    const std::string dump = ReadFileText(plugin.WorkDir() + "/statistics.dat");
    EXPECT_NE(dump.find("MessagesTotal=" + std::to_string(rated) + ";\n"), std::string::npos) << dump;
    EXPECT_NE(dump.find("NormalShutdown=YES;"), std::string::npos) << dump;
    if (way.after)
        way.after(*this);
}

INSTANTIATE_TEST_SUITE_P(
    Process, WaysOut,
    ::testing::Values(
        WayOut{"QuitWithRequestsQueuedAndRunning", 2, "", {},
               [](WaysOut& t, std::vector<std::string>& ids) {
                   t.spamd.SetReply({.score = 1, .delayMs = 300});
                   t.plugin.SendRaw(t.Files("f", 10, ids, t.Message("m")) + "q QUIT\n");
               },
               true, 0, {"f9 REJECTED sorry, we'll try again later"}},
        WayOut{"EndOfInputInABurst", 4, "", {},
               [](WaysOut& t, std::vector<std::string>& ids) {
                   t.spamd.SetReply({.score = 1, .delayMs = 5});
                   t.plugin.SendRaw(t.Files("e", 200, ids, t.Message("m")) + "i1 INTF\n");
                   t.plugin.CloseInput();
                   ids.push_back("i1");
               },
               false, 0, {"* Quit request accepted."}},
        WayOut{"CrashUnderExit", 1, "", {},
               [](WaysOut& t, std::vector<std::string>& ids) {
                   t.spamd.HangOn("crash-me");
                   t.plugin.SendRaw(t.Files("c", 1, ids, t.Message("crash", "P <a@b.c>\n\ncrash-me\n")));
                   t.spamd.WaitForHanging(1);
                   t.plugin.SendRaw(t.Files("q", 5, ids, t.Message("m")));
                   t.plugin.Send("i1 INTF");
                   t.plugin.WaitFor("i1 INTF 3 PROD=CLAM");  // the five are queued behind the one scan
                   EXPECT_TRUE(SignalScanWaitingOnSpamd(t.plugin.Pid(), SIGSEGV));
                   ids.push_back("i1");
               },
               false, 0, {"c0 REJECTED sorry, we'll try again later", "q4 REJECTED sorry, we'll try again later"},
               // The crashed thread, which never finishes, is not waited for.
               [](WaysOut& t) {
                   EXPECT_TRUE(t.MailSays("Signal 11 received while scanning " + t.plugin.WorkDir() + "/crash.\n"
                                          "The plugin will try to exit\n\n"));
                   EXPECT_EQ(t.plugin.Count("* Waiting for 1 thread(s) to finish"), 0u);
               }},
        WayOut{"OnlySpamdGoneInABurst", 2, "", {},
               [](WaysOut& t, std::vector<std::string>& ids) {
                   const std::string socket = t.plugin.WorkDir() + "/gone.sock";
                   t.gone = std::make_unique<FakeSpamd>(socket);
                   t.gone->SetReply({.score = 1, .delayMs = 20});
                   t.AskReload(DefaultSettingsText(socket, 2), ids);
                   t.plugin.SendRaw(t.Files("g", 40, ids, t.Message("m")));
                   t.WaitForAnswers(5);
                   t.gone.reset();
               },
               false, 1, {"* failed to connect to socket ", "* no spamd host could rate "},
               [](WaysOut& t) {
                   // The host starts the plugin again, which rates again once spamd is back.
                   const std::string socket = t.plugin.WorkDir() + "/gone.sock";
                   t.gone = std::make_unique<FakeSpamd>(socket);
                   t.gone->SetReply({.score = 1});
                   t.plugin.Start({});
                   EXPECT_TRUE(t.plugin.Ask("again FILE " + t.Message("m")).starts_with("again ADDHEADER "));
                   t.Quit();
               }},
        WayOut{"StuckScanUnderExit", 1, "Spamd = { ReplyTimeout = 0; };\n", {{"VELMORA_TEST_MAX_SCANNING_TIME", "2"}},
               [](WaysOut& t, std::vector<std::string>& ids) {
                   t.spamd.HangOn("stuck");
                   t.plugin.SendRaw(t.Files("s", 1, ids, t.Message("stuck", "P <a@b.c>\n\nstuck\n")) +
                                    t.Files("w", 3, ids, t.Message("m")));
               },
               false, 0, {"s0 REJECTED timed-out, we'll try again later", "w2 REJECTED sorry, we'll try again later"}},
        WayOut{"ReloadWithoutTheSubmittedDirectory", 2, "", {},
               [](WaysOut& t, std::vector<std::string>& ids) {
                   t.plugin.SendRaw(t.Files("a", 1, ids, t.Message("m")));
                   t.WaitForAnswers(1);
                   t.AskReload(DefaultSettingsText(t.spamd.SocketPath(), 2, "SubmittedDirectory = NotThere;\n"), ids);
                   t.plugin.SendRaw(t.Files("b", 1, ids, t.Message("m")));
                   t.WaitForAnswers(1);
                   t.plugin.Send("q QUIT");
               },
               true, 0, {"* unable to access directory NotThere, Submitted stays in force"}},
        WayOut{"ReloadWithNoSpamdAnswering", 2, "", {},
               [](WaysOut& t, std::vector<std::string>& ids) {
                   t.AskReload(DefaultSettingsText(t.sockets.File("nowhere.sock"), 2), ids);
                   t.plugin.SendRaw(t.Files("r", 3, ids, t.Message("m")));
               },
               false, 1, {"* failed to connect to socket ", "* no spamd host could rate "}}),
    [](const ::testing::TestParamInfo<WayOut>& info) { return std::string(info.param.name); });
