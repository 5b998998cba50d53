// A hostile world: crashing messages, special files, damaged dumps, a silent
// spamd, signals at awkward moments.  Every request is answered once and the
// plugin neither blocks nor drains.
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <thread>

#include "fake_spamd.h"
#include "plugin_process.h"

namespace {

bool IsReply(const std::string& line) { return !line.starts_with("* "); }

// SlowSpamd - answers PING only after a delay, or never (delay < 0).
class SlowSpamd {
public:
    SlowSpamd(const std::string& path, int delayMs) : delay(delayMs)
    {
        listener = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
        listen(listener, 16);
        server = std::thread([this] {
            for (;;) {
                int fd = accept(listener, nullptr, nullptr);
                if (fd < 0)
                    return;
                char buffer[256];
                (void)!read(fd, buffer, sizeof buffer);
                for (int waited = 0; (delay < 0 || waited < delay) && !stopping; waited += 10)
                    usleep(10000);
                (void)!send(fd, "SPAMD/1.5 0 PONG\r\n", 18, MSG_NOSIGNAL);
                close(fd);
            }
        });
    }
    ~SlowSpamd()
    {
        stopping = true;
        shutdown(listener, SHUT_RDWR);
        close(listener);
        server.join();
    }

private:
    int delay;
    int listener = -1;
    std::atomic<bool> stopping{false};
    std::thread server;
};

class Robustness : public ::testing::Test {
protected:
    void Start(const std::string& extra, int threads = 1, std::vector<std::pair<std::string, std::string>> env = {})
    {
        PluginProcess::Options options;
        options.settings = DefaultSettingsText(spamd.SocketPath(), threads, extra);
        options.env = std::move(env);
        plugin.Start(options);
        plugin.WaitForLineStartingWith("* engine: ");
    }
    std::string Message(const std::string& name)
    {
        const std::string path = plugin.WorkDir() + "/" + name;
        WriteFile(path, "P <a@example.org>\nR <b@example.org>\n\nSubject: " + name + "\n\nhello\n");
        return path;
    }
    // The plugin thread that waits for spamd's answer: blocked in read on a socket.
    pid_t ThreadReadingASocket()
    {
        const std::string proc = "/proc/" + std::to_string(plugin.Pid());
        for (int attempt = 0; attempt < 300; attempt++) {
            for (const auto& entry : std::filesystem::directory_iterator(proc + "/task")) {
                const std::string call = ReadFileText(entry.path().string() + "/syscall");
                if (!call.starts_with("0 "))
                    continue;
                const int fd = static_cast<int>(strtol(call.c_str() + 2, nullptr, 16));
                std::error_code error;
                const auto target = std::filesystem::read_symlink(proc + "/fd/" + std::to_string(fd), error);
                if (fd != 0 && !error && target.string().starts_with("socket:"))
                    return static_cast<pid_t>(std::stol(entry.path().filename().string()));
            }
            usleep(20000);
        }
        ADD_FAILURE() << "no plugin thread is waiting on spamd";
        return -1;
    }
    // Crash - the scan of path crashes while spamd holds it.
    void Crash(const std::string& id, const std::string& path)
    {
        const int hanging = spamd.HangingCount();
        plugin.Send(id + " FILE " + path);
        for (int wait = 0; wait < 500 && spamd.HangingCount() == hanging; wait++)
            usleep(10000);
        const pid_t thread = ThreadReadingASocket();
        ASSERT_GT(thread, 0);
        ASSERT_EQ(syscall(SYS_tgkill, plugin.Pid(), thread, SIGSEGV), 0);
    }
    std::vector<std::string> Notices(const std::string& text)
    {
        std::vector<std::string> found;
        for (const auto& name : ListDirectory(plugin.SubmittedDir()))
            if (name.ends_with(".sub") && ReadFileText(plugin.SubmittedDir() + "/" + name).find(text) != std::string::npos)
                found.push_back(name);
        return found;
    }

    TempDir socketDir;
    FakeSpamd spamd{socketDir.File("spamd.sock")};
    PluginProcess plugin;
};

const char* const kZero = " ADDHEADER \"X-Junk-Score:   0 []\\eX-SA-Score:   0 []\"";

}  // namespace

TEST_F(Robustness, CrashingMessagesNeitherDrainThePoolNorCrashTwice)
{
    if (std::string(VSA_SANITIZER_BUILD) != "")
        GTEST_SKIP() << "the sanitizers take the crash signals over";
    spamd.SetResponder([](const std::string& request) {
        SpamdReply reply;
        reply.score = 1;
        if (request.find("Subject: crash") != std::string::npos)
            reply.mode = SpamdReply::Mode::Hang;
        return reply;
    });
    Start("OnProblem = Ignore;\n");
    const std::string crashing = Message("crash-0");
    Crash("c0", crashing);
    EXPECT_EQ(plugin.WaitForLine(IsReply), "c0 REJECTED sorry, we'll try again later");
    // One thread, and it crashed: its slot has a new one.
    plugin.Send("n1 FILE " + Message("normal"));
    EXPECT_EQ(plugin.WaitForLine(IsReply), "n1 ADDHEADER \"X-Junk-Score:  18 [X]\\eX-SA-Score:  18 [X]\"");
    // The host retries the message that crashed: it is not scanned again.
    plugin.Send("c0b FILE " + crashing);
    plugin.WaitForLine([&](const std::string& l) { return l == "* " + crashing + " crashed a scan before, answered without rating"; });
    EXPECT_EQ(plugin.WaitForLine(IsReply), std::string("c0b") + kZero);
    EXPECT_EQ(Notices(crashing + " crashed a scan before.").size(), 1u);
    // Parked threads are bounded: the eighth crash ends the plugin in order.
    for (int i = 1; i < 8; i++) {
        Crash("c" + std::to_string(i), Message("crash-" + std::to_string(i)));
        EXPECT_EQ(plugin.WaitForLine(IsReply), "c" + std::to_string(i) + " REJECTED sorry, we'll try again later");
    }
    EXPECT_EQ(Notices("The plugin will try to exit").size(), 1u);
    const auto rest = plugin.ReadAllUntilExit();
    EXPECT_EQ(rest.back(), "* SpamAssassin plugin finished.");
    EXPECT_EQ(plugin.WaitExit(), 0);
    spamd.ReleaseHung();
}

TEST_F(Robustness, AShutdownAskedForByAnotherThreadNeedsNoFurtherInput)
{
    SpamdReply hang;
    hang.mode = SpamdReply::Mode::Hang;
    spamd.SetReply(hang);
    Start("", 1, {{"VELMORA_TEST_MAX_SCANNING_TIME", "1"}});
    plugin.Send("s1 FILE " + Message("stuck"));
    EXPECT_EQ(plugin.WaitForLine(IsReply), "s1 REJECTED timed-out, we'll try again later");
    const auto rest = plugin.ReadAllUntilExit(15s);
    ASSERT_FALSE(rest.empty());
    EXPECT_EQ(rest.back(), "* SpamAssassin plugin finished.");
    EXPECT_EQ(plugin.WaitExit(), 0);
    spamd.ReleaseHung();

    // The test hooks take numbers only.
    PluginProcess other;
    PluginProcess::Options options;
    options.settings = DefaultSettingsText(spamd.SocketPath(), 1);
    options.env = {{"VELMORA_TEST_MAX_SCANNING_TIME", "abc"}};
    other.Start(options);
    other.WaitForLine([](const std::string& l) { return l == "* ignoring VELMORA_TEST_MAX_SCANNING_TIME=abc: not a number"; });
    other.CloseInput();
    EXPECT_EQ(other.WaitExit(), 0);
}

TEST_F(Robustness, SpecialFilesAndDamagedDumpsNeitherBlockNorKill)
{
    PluginProcess::Options options;
    options.settings = DefaultSettingsText(spamd.SocketPath(), 2);
    plugin.Start(options);  // lays out the working directory
    plugin.CloseInput();
    plugin.WaitExit();
    const std::string dir = plugin.WorkDir();
    ASSERT_EQ(mkfifo((dir + "/fifo").c_str(), 0600), 0);
    std::filesystem::remove(dir + "/statistics.dat");
    ASSERT_EQ(mkfifo((dir + "/statistics.dat").c_str(), 0600), 0);
    plugin.Restart(options);
    plugin.WaitForLineStartingWith("* engine: ");
    plugin.Send("f1 FILE " + dir + "/fifo");
    EXPECT_EQ(plugin.WaitForLine(IsReply), "f1 FAILURE Unable to access file: " + dir + "/fifo, errno=22");
    // A settings file that is a FIFO is unusable, and rating goes on.
    std::filesystem::rename(dir + "/VelmoraSpamAssassin.cfg", dir + "/saved.cfg");
    ASSERT_EQ(mkfifo((dir + "/VelmoraSpamAssassin.cfg").c_str(), 0600), 0);
    WriteFile(dir + "/hup.sig", "");
    plugin.Send("r1 FILE " + Message("after-reload"));
    plugin.WaitForLine([&](const std::string& l) { return l == "* unable to open file"; });
    EXPECT_EQ(plugin.WaitForLine(IsReply), std::string("r1") + kZero);
    plugin.Send("q QUIT");
    plugin.ReadAllUntilExit();
    EXPECT_EQ(plugin.WaitExit(), 0);

    // A hand-edited dump with numbers beyond their range is not restored.
    std::filesystem::remove(dir + "/VelmoraSpamAssassin.cfg");
    std::filesystem::rename(dir + "/saved.cfg", dir + "/VelmoraSpamAssassin.cfg");
    const std::string dump = ReadFileText(dir + "/statistics.dat");
    const std::string end = dump.substr(0, dump.find("MessagesTotal="));
    WriteFile(dir + "/statistics.dat", end + "MessagesTotal=4294967295;\nScanTimeTotal=9223372036854775808;\n");
    plugin.Restart(options);
    plugin.Send("q2 QUIT");
    const auto rest = plugin.ReadAllUntilExit();
    EXPECT_EQ(std::count(rest.begin(), rest.end(), "q2 OK"), 1);
    EXPECT_EQ(plugin.WaitExit(), 0);
    EXPECT_EQ(ReadFileText(dir + "/statistics.dat").find("MessagesTotal=0;"), dump.find("MessagesTotal="));
}

TEST_F(Robustness, ASpamdThatNeverAnswersEndsStartUpWithinItsLimit)
{
    SlowSpamd silent(socketDir.File("silent.sock"), -1);
    PluginProcess::Options options;
    options.settings = DefaultSettingsText(socketDir.File("silent.sock"), 1);
    plugin.Start(options);
    const auto lines = plugin.ReadAllUntilExit(20s);
    EXPECT_EQ(lines.back(), "* failed to read from socket " + socketDir.File("silent.sock"));
    EXPECT_EQ(plugin.WaitExit(), 1);
}

TEST_F(Robustness, AHangUpDuringStartUpIsAReloadNotAnEnd)
{
    SlowSpamd slow(socketDir.File("slow.sock"), 800);
    PluginProcess::Options options;
    options.settings = DefaultSettingsText(socketDir.File("slow.sock"), 1);
    plugin.Start(options);
    plugin.WaitForLineStartingWith("* Connecting to socket");
    ASSERT_EQ(kill(plugin.Pid(), SIGHUP), 0);
    plugin.WaitForLine([](const std::string& l) { return l == "* HUP signal caught"; }, 15s);
    plugin.WaitForLine([](const std::string& l) { return l.starts_with("* engine: "); }, 15s);
    plugin.Send("1 INTF");
    EXPECT_EQ(plugin.WaitForLine(IsReply, 15s), "1 INTF 3 PROD=CLAM");
    plugin.Send("2 QUIT");
    plugin.ReadAllUntilExit();
    EXPECT_EQ(plugin.WaitExit(), 0);
}
