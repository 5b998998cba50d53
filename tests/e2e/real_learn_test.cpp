// Learning against real engines: one "-learn" teaches two spamd, each with a
// Bayes database of its own, and an rspamd controller with its Redis; a host
// that is stopped is named in the summary and the exit status.
#include <sys/stat.h>

#include <memory>

#include <gtest/gtest.h>

#include "real_rspamd.h"
#include "real_spamd.h"

// Output - a shell command's standard output as a number (-1: none).
static int Output(const std::string& command)
{
    char text[64];
    FILE* pipe = popen(command.c_str(), "r");
    const bool read = pipe && fgets(text, sizeof text, pipe) != nullptr;
    if (pipe)
        pclose(pipe);
    return read ? atoi(text) : -1;
}

// Magic - a count of a spamd's Bayes database ("nspam", "nham").
static int Magic(const RealSpamd& spamd, const std::string& name)
{
    return Output("sa-learn --dbpath " + spamd.BayesPath() + " --dump magic 2>/dev/null | awk '/data: " + name +
                  "$/ { print $3 }'");
}

// Learned - rspamd's own count of learned messages (its /stat), waited for a while.
static int Learned(const RealRspamd& rspamd, int atLeast)
{
    int learned = -1;
    for (int wait = 0; wait < 50 && learned < atLeast; wait++, usleep(200000))
        learned = Output("curl -s -H \"Password: $(cat " + rspamd.PasswordPath() + ")\" http://127.0.0.1:" +
                         std::to_string(rspamd.ControllerPort()) + "/stat | grep -o '\"learned\":[0-9]*' | cut -c11-");
    return learned;
}

TEST(RealLearning, OneCommandTeachesEveryEngineAndAStoppedHostIsNamed)
{
    SKIP_UNLESS_INSTALLED(RealSpamd::Installed() && RealRspamd::Installed() &&
                              system("command -v redis-server >/dev/null && command -v curl >/dev/null") == 0,
                          "spamd, rspamd, redis-server or curl");
    auto first = std::make_unique<RealSpamd>(true);
    auto second = std::make_unique<RealSpamd>(true);
    RealRspamd rspamd(true);
    ASSERT_TRUE(first->Ready() && second->Ready()) << first->Error() << second->Error();
    ASSERT_TRUE(rspamd.Ready() && rspamd.ControllerPort() > 0) << rspamd.Error();
    const std::string s1 = first->SocketPath(), s2 = second->SocketPath();
    const std::string controller = "rspamd:127.0.0.1:" + std::to_string(rspamd.ControllerPort());
    PluginProcess plugin;
    const std::string settings = DefaultSettingsText(
        "/nonexistent/spamd.sock", 2,
        "Spamd = { Hosts = (\"" + s1 + "\", \"" + s2 + "\"); ConnectTimeout = 2; ReplyTimeout = 30; };\n"
        "Learn = { Hosts = (\"" + s1 + "\", \"" + s2 + "\", \"" + controller + "\"); PasswordFile = pass; };\n");
    const std::string work = plugin.WorkDir() + "/";
    // Not GTUBE: rspamd answers success for it but learns nothing.
    WriteFile(work + "spam.eml", "P <a@example.org>\nR <b@example.org>\n\nFrom: winner@lottery.example\n"
                                 "To: b@example.org\nSubject: You have won\nMessage-ID: <prize-1@lottery.example>\n\n"
                                 "Claim your prize of 1,000,000 dollars now: send your bank details today.\n");
    WriteFile(work + "ham.mbox", "From a@example.org Mon Jan  5 10:00:00 2026\n" +
                                     ReadSampleMessage("sample-nonspam.txt") + "\n");
    WriteFile(work + "pass", ReadFileText(rspamd.PasswordPath()));
    chmod((work + "pass").c_str(), 0600);
    const auto learn = [&](std::vector<std::string> args, int status) {
        plugin.Start({.settings = settings, .args = std::move(args)});
        plugin.ReadAllUntilExit(120s);
        EXPECT_EQ(plugin.WaitExit(), status);
    };
    const std::string none = ", 0 already known, 0 failed";

    learn({"-learn", "spam", work + "spam.eml"}, 0);
    for (const std::string& line :
         {"* spamd host " + s1 + ": 1 learned" + none, "* spamd host " + s2 + ": 1 learned" + none,
          "* rspamd host " + controller + ": 1 learned" + none,
          std::string("* learn spam: 1 message(s), 3 host(s): every message reached every host")})
        EXPECT_EQ(plugin.Count(line), 1u) << line;
    EXPECT_EQ(Magic(*first, "nspam"), 1);
    EXPECT_EQ(Magic(*second, "nspam"), 1);
    EXPECT_GE(Learned(rspamd, 1), 1);
    // Both engines remember the message: counted apart, not learned twice.  rspamd
    // may answer a repeat at once before its Redis holds the first learn.
    const std::string known = ": 0 learned, 1 already known, 0 failed";
    for (int repeat = 0; repeat < 5 && plugin.Count("* rspamd host " + controller + known) == 0; repeat++)
        usleep(repeat * 500000), learn({"-learn", "spam", work + "spam.eml"}, 0);
    EXPECT_EQ(plugin.Count("* spamd host " + s1 + known), 1u);
    EXPECT_EQ(plugin.Count("* rspamd host " + controller + known), 1u);

    // One host stopped: the other two learn, and the summary says which failed.
    second.reset();
    learn({"-learn", "ham", work + "ham.mbox"}, 1);
    EXPECT_EQ(plugin.Count("* spamd host " + s1 + ": 1 learned" + none), 1u);
    EXPECT_EQ(plugin.Count("* rspamd host " + controller + ": 1 learned" + none), 1u);
    EXPECT_EQ(plugin.CountStarting("* spamd host " + s2 + ": 0 learned, 0 already known, 1 failed ("), 1u);
    EXPECT_EQ(plugin.Count("* learn ham: 1 message(s), 3 host(s): 1 host(s) missed messages"), 1u);
    EXPECT_EQ(Magic(*first, "nham"), 1);
    EXPECT_GE(Learned(rspamd, 2), 2);

    // rspamd cannot forget; a wrong password names the file, never the password.
    learn({"-learn", "forget", work + "spam.eml"}, 1);
    EXPECT_EQ(plugin.Count("* spamd host " + s1 + ": 1 learned" + none), 1u);
    EXPECT_EQ(plugin.Count("* rspamd host " + controller + ": skipped: rspamd cannot forget"), 1u);
    EXPECT_EQ(Magic(*first, "nspam"), 0);
    WriteFile(work + "pass", "wrong-password\n");
    learn({"-learn", "spam", work + "spam.eml"}, 1);
    EXPECT_EQ(plugin.CountStarting("* rspamd host " + controller + ": 0 learned, 0 already known, 1 failed (HTTP 401"), 1u);
    EXPECT_EQ(plugin.CountHolding(" (check the password in " + work + "pass))"), 1u);
    EXPECT_EQ(plugin.CountHolding("wrong-password"), 0u);
    // Usage errors and a PATH that holds no message.
    learn({"-learn", "maybe", work + "spam.eml"}, 64);
    learn({"-learn", "ham", work + "none"}, 1);
    EXPECT_EQ(plugin.Count("* learn: " + work + "none: No such file or directory; nothing was taught"), 1u);
}
