// A crash in a scanning thread under the OnProblem modes Quit and Ignore (Exit
// is one of the ways out of the process): the signal is sent with tgkill to
// the thread that waits for spamd's answer.
#include <signal.h>
#include <unistd.h>

#include "plugin_test.h"

class Crash : public PluginTest {
protected:
    // CrashAScan - start the plugin, hold one scan in spamd and crash its thread; the message's path.
    std::string CrashAScan(const std::string& onProblem, std::vector<std::string> args = {})
    {
        Start(2, "OnProblem = " + onProblem + ";\n", std::move(args));
        plugin.Send("0 INTF");  // an answer shows that the signal handlers are in place
        plugin.WaitFor("0 INTF 3 PROD=CLAM");
        spamd.HangOn("crash-me");
        const std::string path = Message("crash-me", "P <a@example.org>\n\nSubject: crash-me\n\nhi\n");
        plugin.Send("c1 FILE " + path);
        spamd.WaitForHanging(1);
        EXPECT_TRUE(SignalScanWaitingOnSpamd(plugin.Pid(), SIGSEGV)) << "no plugin thread is waiting on spamd";
        return path;
    }
};

TEST_F(Crash, UnderQuitEndsAtOnceWithStatusOne)
{
    const std::string path = CrashAScan("Quit");
    plugin.WaitFor("* Crash detected !!!");
    EXPECT_EQ(plugin.ReadLine().value_or(""), "* crashed while scanning " + path);
    EXPECT_EQ(plugin.ReadLine().value_or(""), "* will quit immediately");
    EXPECT_EQ(plugin.WaitExit(), 1);
    EXPECT_TRUE(MailSays("\nVelmora SpamAssassin plugin detected a problem.\n\nSignal 11 received while scanning " +
                         path + ".\nThe plugin will quit\n\n"));
}

TEST_F(Crash, UnderIgnoreRejectsThatMessageAndCarriesOn)
{
    const std::string path = CrashAScan("Ignore", {"-d"});
    const std::string scanning = plugin.WaitForLine(
        [&](const std::string& l) { return l.starts_with("* Thread#") && l.ends_with("scanning: c1 " + path); });
    const std::string slot = scanning.substr(9, scanning.find(' ', 9) - 9);
    EXPECT_EQ(plugin.NextReply(), "c1 REJECTED sorry, we'll try again later");
    EXPECT_TRUE(MailSays("Signal 11 received while scanning " + path + ".\nThe plugin will try to recover\n\n"));
    const std::string other = Message("fine");
    EXPECT_TRUE(plugin.Ask("n1 FILE " + other).starts_with("n1 ADDHEADER "));
    kill(plugin.Pid(), SIGHUP);  // the reload gives the written-off slot a new thread
    plugin.WaitFor("* Thread#" + slot + " started");
    EXPECT_TRUE(plugin.Ask("n2 FILE " + other).starts_with("n2 ADDHEADER "));
    Quit();
}

TEST_F(Crash, WithoutTheCrashHandlerEndsTheProcess)
{
    if (std::string(VSA_SANITIZER_BUILD) != "")
        GTEST_SKIP() << "a sanitizer takes over the default action of SIGSEGV";
    CrashAScan("Ignore", {"-noCrashHandler"});
    EXPECT_EQ(plugin.WaitExit(), 128 + SIGSEGV);
}
