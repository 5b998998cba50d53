// A hostile world: crashing messages, special files, damaged dumps, a silent
// spamd, signals at awkward moments.  Every request is answered once and the
// plugin neither blocks nor drains.
#include <signal.h>
#include <sys/stat.h>

#include <filesystem>

#include "plugin_test.h"

const char* const kZero = " ADDHEADER \"X-Junk-Score:   0 []\\eX-SA-Score:   0 []\"";

class Robustness : public PluginTest {
protected:
    // Crash - the scan of path crashes while spamd holds it.
    void Crash(const std::string& id, const std::string& path)
    {
        const int hanging = spamd.HangingCount();
        plugin.Send(id + " FILE " + path);
        spamd.WaitForHanging(hanging + 1);
        ASSERT_TRUE(SignalScanWaitingOnSpamd(plugin.Pid(), SIGSEGV)) << "no plugin thread waits on spamd";
    }
};

TEST_F(Robustness, CrashingMessagesNeitherDrainThePoolNorCrashTwice)
{
    if (std::string(VSA_SANITIZER_BUILD) != "")
        GTEST_SKIP() << "the sanitizers take the crash signals over";
    spamd.HangOn("Subject: crash", {.score = 1});
    Start(1, "OnProblem = Ignore;\n");
    const std::string crashing = Message("crash-0", "P <a@example.org>\n\nSubject: crash-0\n\nhi\n");
    Crash("c0", crashing);
    EXPECT_EQ(plugin.NextReply(), "c0 REJECTED sorry, we'll try again later");
    // One thread, and it crashed: its slot has a new one.
    EXPECT_EQ(plugin.Ask("n1 FILE " + Message("normal")),
              "n1 ADDHEADER \"X-Junk-Score:  18 [X]\\eX-SA-Score:  18 [X]\"");
    // The host retries the message that crashed: it is not scanned again.
    plugin.Send("c0b FILE " + crashing);
    plugin.WaitFor("* " + crashing + " crashed a scan before, answered without rating");
    EXPECT_EQ(plugin.NextReply(), std::string("c0b") + kZero);
    EXPECT_TRUE(MailSays(crashing + " crashed a scan before."));
    // Parked threads are bounded: the eighth crash ends the plugin in order.
    for (int i = 1; i < 8; i++) {
        const std::string name = "crash-" + std::to_string(i);
        Crash("c" + std::to_string(i), Message(name, "P <a@example.org>\n\nSubject: " + name + "\n\nhi\n"));
        EXPECT_EQ(plugin.NextReply(), "c" + std::to_string(i) + " REJECTED sorry, we'll try again later");
    }
    EXPECT_EQ(plugin.ReadAllUntilExit().back(), "* SpamAssassin plugin finished.");
    EXPECT_EQ(plugin.WaitExit(), 0);
    EXPECT_TRUE(MailSays("The plugin will try to exit"));
    spamd.ReleaseHung();
}

TEST_F(Robustness, TestHooksTakeNumbersOnlyAndTheDumpNeedsNoRequestLine)
{
    // The statistics dump is written by the controller, so the main thread
    // never waits for the disk.
    plugin.Start({.settings = DefaultSettingsText(spamd.SocketPath(), 1),
                  .env = {{"VELMORA_TEST_MAX_SCANNING_TIME", "abc"}}});
    plugin.WaitFor("* ignoring VELMORA_TEST_MAX_SCANNING_TIME=abc: not a number");
    for (int wait = 0; wait < 500 && !FileExists(plugin.WorkDir() + "/statistics.dat"); wait++)
        usleep(10000);
    EXPECT_TRUE(FileExists(plugin.WorkDir() + "/statistics.dat")) << "no request line came, yet the dump is there";
    Quit();
}

TEST_F(Robustness, SpecialFilesAndDamagedDumpsNeitherBlockNorKill)
{
    Start(2);
    plugin.CloseInput();
    plugin.WaitExit();
    const std::string dir = plugin.WorkDir();
    ASSERT_EQ(mkfifo((dir + "/fifo").c_str(), 0600), 0);
    std::filesystem::remove(dir + "/statistics.dat");
    ASSERT_EQ(mkfifo((dir + "/statistics.dat").c_str(), 0600), 0);
    plugin.Start({});
    EXPECT_EQ(plugin.Ask("f1 FILE " + dir + "/fifo"), "f1 FAILURE Unable to access file: " + dir + "/fifo, errno=22");
    // A settings file that is a FIFO is unusable, and rating goes on.
    std::filesystem::rename(dir + "/VelmoraSpamAssassin.cfg", dir + "/saved.cfg");
    ASSERT_EQ(mkfifo((dir + "/VelmoraSpamAssassin.cfg").c_str(), 0600), 0);
    WriteFile(dir + "/hup.sig", "");
    plugin.Send("r1 FILE " + Message("after-reload"));
    plugin.WaitFor("* unable to open file");
    EXPECT_EQ(plugin.NextReply(), std::string("r1") + kZero);
    Quit();

    // A hand-edited dump with numbers beyond their range is not restored.
    std::filesystem::remove(dir + "/VelmoraSpamAssassin.cfg");
    std::filesystem::rename(dir + "/saved.cfg", dir + "/VelmoraSpamAssassin.cfg");
    const std::string dump = ReadFileText(dir + "/statistics.dat");
    WriteFile(dir + "/statistics.dat", dump.substr(0, dump.find("MessagesTotal=")) +
                                           "MessagesTotal=4294967295;\nScanTimeTotal=9223372036854775808;\n");
    plugin.Start({});
    Quit();
    EXPECT_EQ(ReadFileText(dir + "/statistics.dat").find("MessagesTotal=0;"), dump.find("MessagesTotal="));
}

TEST_F(Robustness, ASpamdThatNeverAnswersEndsStartUpWithinItsLimit)
{
    FakeSpamd silent(sockets.File("silent.sock"));
    silent.SetPingReply({.mode = SpamdReply::Mode::Hang});
    plugin.Start({.settings = DefaultSettingsText(sockets.File("silent.sock"), 1)});
    EXPECT_EQ(plugin.ReadAllUntilExit(20s).back(), "* failed to read from socket " + sockets.File("silent.sock"));
    EXPECT_EQ(plugin.WaitExit(), 1);
}

TEST_F(Robustness, AHangUpDuringStartUpIsAReloadNotAnEnd)
{
    FakeSpamd slow(sockets.File("slow.sock"));
    slow.SetPingReply({.raw = "SPAMD/1.5 0 PONG\r\n", .delayMs = 800});
    plugin.Start({.settings = DefaultSettingsText(sockets.File("slow.sock"), 1)});
    plugin.WaitForLine([](const std::string& l) { return l.starts_with("* Connecting to socket"); });
    ASSERT_EQ(kill(plugin.Pid(), SIGHUP), 0);
    plugin.WaitForLine([](const std::string& l) { return l == "* HUP signal caught"; }, 15s);
    plugin.WaitForLine([](const std::string& l) { return l.starts_with("* engine: "); }, 15s);
    EXPECT_EQ(plugin.Ask("1 INTF", 15s), "1 INTF 3 PROD=CLAM");
    Quit();
}
