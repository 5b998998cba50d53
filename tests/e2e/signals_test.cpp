#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <string>
#include <thread>

#include "fake_spamd.h"
#include "plugin_process.h"

namespace {

bool IsReply(const std::string& line) { return !line.starts_with("* "); }

size_t CountLines(const std::vector<std::string>& lines, const std::string& text)
{
    return static_cast<size_t>(std::count(lines.begin(), lines.end(), text));
}

class SignalTest : public ::testing::Test {
protected:
    void StartPlugin(const std::string& onProblem, int threads, std::vector<std::string> args = {})
    {
        PluginProcess::Options options;
        options.settings = DefaultSettingsText(spamd.SocketPath(), threads, "OnProblem = " + onProblem + ";\n");
        options.args = std::move(args);
        plugin.Start(options);
        plugin.WaitForLineStartingWith("* engine: ");
        // The signal handlers are installed after spamd's PING and before the
        // command loop starts: an answered request shows that they are in place.
        plugin.Send("0 INTF");
        plugin.WaitForLine([](const std::string& l) { return l == "0 INTF 3 PROD=CLAM"; });
    }
    std::string Message(const std::string& name)
    {
        std::string path = plugin.WorkDir() + "/" + name;
        WriteFile(path, "P <a@example.org>\nR <b@example.org>\n\nSubject: " + name + "\n\nhello\n");
        return path;
    }
    // The plugin thread that waits for spamd's answer: blocked in read on a socket.
    pid_t ThreadReadingASocket()
    {
        std::string task = "/proc/" + std::to_string(plugin.Pid()) + "/task";
        for (int attempt = 0; attempt < 200; attempt++) {
            for (const auto& entry : std::filesystem::directory_iterator(task)) {
                std::string syscall = ReadFileText(entry.path().string() + "/syscall");
                if (!syscall.starts_with("0 "))  // read
                    continue;
                int fd = static_cast<int>(strtol(syscall.c_str() + 2, nullptr, 16));
                std::error_code error;
                auto target = std::filesystem::read_symlink(
                    "/proc/" + std::to_string(plugin.Pid()) + "/fd/" + std::to_string(fd), error);
                if (fd != 0 && !error && target.string().starts_with("socket:"))
                    return static_cast<pid_t>(std::stol(entry.path().filename().string()));
            }
            usleep(20000);
        }
        ADD_FAILURE() << "no plugin thread is waiting on spamd";
        return -1;
    }
    void CrashTheHeldScan(const std::string& id, const std::string& path)
    {
        spamd.SetResponder([](const std::string& request) {
            SpamdReply reply;
            if (request.find("Subject: crash-me") != std::string::npos)
                reply.mode = SpamdReply::Mode::Hang;
            return reply;
        });
        plugin.Send(id + " FILE " + path);
        for (int wait = 0; wait < 500 && spamd.HangingCount() == 0; wait++)
            usleep(10000);
        ASSERT_EQ(spamd.HangingCount(), 1);
        pid_t thread = ThreadReadingASocket();
        ASSERT_GT(thread, 0);
        ASSERT_EQ(syscall(SYS_tgkill, plugin.Pid(), thread, SIGSEGV), 0);
    }
    std::vector<std::string> Notices()
    {
        std::vector<std::string> texts;
        for (const auto& name : ListDirectory(plugin.SubmittedDir()))
            if (name.ends_with(".sub"))
                texts.push_back(ReadFileText(plugin.SubmittedDir() + "/" + name));
        return texts;
    }
    bool HasProblemNotice(const std::string& text)
    {
        for (const auto& notice : Notices())
            if (notice.find(text) != std::string::npos)
                return true;
        return false;
    }

    TempDir socketDir;
    FakeSpamd spamd{socketDir.File("spamd.sock")};
    PluginProcess plugin;
};

}  // namespace

TEST_F(SignalTest, HupReloadsOncePerSignal)
{
    StartPlugin("Exit", 2);
    for (int i = 0; i < 2; i++) {
        kill(plugin.Pid(), SIGHUP);
        plugin.WaitForLine([](const std::string& l) { return l == "* HUP signal caught"; });
        plugin.WaitForLineStartingWith("* engine: ");
    }
    plugin.Send("1 INTF");
    EXPECT_EQ(plugin.WaitForLine(IsReply), "1 INTF 3 PROD=CLAM");
    int pings = 0;
    for (const auto& request : spamd.Requests())
        pings += request.starts_with("PING");
    EXPECT_EQ(pings, 3);
    EXPECT_EQ(CountLines(plugin.Transcript(), "* HUP signal caught"), 2u);
    plugin.CloseInput();
    plugin.ReadAllUntilExit();
    EXPECT_EQ(plugin.WaitExit(), 0);
}

TEST_F(SignalTest, HupWhileRequestsArriveLosesNone)
{
    StartPlugin("Exit", 3);
    std::string path = Message("m");
    constexpr int kRequests = 300;
    std::thread writer([&] {
        for (int i = 0; i < kRequests; i++) {
            plugin.Send("r" + std::to_string(i) + " FILE " + path);
            if (i == 50 || i == 200)
                kill(plugin.Pid(), SIGHUP);
            if (i % 10 == 0)
                usleep(2000);
        }
    });
    std::map<std::string, int> answers;
    for (int i = 0; i < kRequests; i++) {
        std::string reply = plugin.WaitForLine(IsReply, 120s);
        ASSERT_FALSE(reply.empty());
        answers[reply.substr(0, reply.find(' '))]++;
    }
    writer.join();
    EXPECT_EQ(answers.size(), static_cast<size_t>(kRequests));
    plugin.CloseInput();
    for (const auto& line : plugin.ReadAllUntilExit())
        EXPECT_FALSE(IsReply(line)) << "second answer: " << line;
    EXPECT_EQ(CountLines(plugin.Transcript(), "* HUP signal caught"), 2u);
    EXPECT_EQ(plugin.WaitExit(), 0);
}

TEST_F(SignalTest, CrashUnderQuitEndsAtOnceWithStatusOne)
{
    StartPlugin("Quit", 2);
    std::string path = Message("crash-me");
    CrashTheHeldScan("c1", path);
    plugin.WaitForLine([](const std::string& l) { return l == "* Crash detected !!!"; });
    EXPECT_EQ(plugin.ReadLine().value_or(""), "* crashed while scanning " + path);
    EXPECT_EQ(plugin.ReadLine().value_or(""), "* will quit immediately");
    EXPECT_EQ(plugin.WaitExit(), 1);
    EXPECT_TRUE(HasProblemNotice("Signal 11 received while scanning " + path + ".\nThe plugin will quit\n\n"));
}

TEST_F(SignalTest, CrashUnderIgnoreRejectsThatMessageAndCarriesOn)
{
    StartPlugin("Ignore", 2, {"-d"});
    std::string path = Message("crash-me");
    CrashTheHeldScan("c1", path);
    std::string scanning = plugin.WaitForLine(
        [&](const std::string& l) { return l.starts_with("* Thread#") && l.ends_with("scanning: c1 " + path); });
    const std::string slot = scanning.substr(9, scanning.find(' ', 9) - 9);
    EXPECT_EQ(plugin.WaitForLine(IsReply), "c1 REJECTED sorry, we'll try again later");
    EXPECT_TRUE(HasProblemNotice("Signal 11 received while scanning " + path + ".\nThe plugin will try to recover\n\n"));

    std::string other = Message("fine");
    plugin.Send("n1 FILE " + other);
    EXPECT_TRUE(plugin.WaitForLine(IsReply).starts_with("n1 ADDHEADER "));

    kill(plugin.Pid(), SIGHUP);  // the reload gives the written-off slot a new thread
    plugin.WaitForLine([&](const std::string& l) { return l == "* Thread#" + slot + " started"; });
    plugin.Send("n2 FILE " + other);
    EXPECT_TRUE(plugin.WaitForLine(IsReply).starts_with("n2 ADDHEADER "));
    plugin.CloseInput();
    plugin.ReadAllUntilExit();
    EXPECT_EQ(plugin.WaitExit(), 0);
}

TEST_F(SignalTest, CrashUnderExitRejectsAndShutsDownInOrder)
{
    StartPlugin("Exit", 2);
    std::string path = Message("crash-me");
    CrashTheHeldScan("c1", path);
    EXPECT_EQ(plugin.WaitForLine(IsReply), "c1 REJECTED sorry, we'll try again later");
    EXPECT_TRUE(HasProblemNotice("The plugin will try to exit\n\n"));
    plugin.Send("2 INTF");  // the main thread sees the quit request before its next read
    EXPECT_EQ(plugin.WaitForLine(IsReply), "2 INTF 3 PROD=CLAM");
    auto rest = plugin.ReadAllUntilExit(120s);
    // The crashed thread never finishes, so the shutdown waits its full minute.
    EXPECT_EQ(CountLines(rest, "* Waiting for 1 thread(s) to finish"), 60u);
    EXPECT_EQ(rest.back(), "* SpamAssassin plugin finished.");
    EXPECT_EQ(plugin.WaitExit(), 0);
}

TEST_F(SignalTest, WithoutCrashHandlerACrashEndsTheProcess)
{
    if (std::string(VSA_SANITIZER_BUILD) != "")
        GTEST_SKIP() << "a sanitizer takes over the default action of SIGSEGV";
    StartPlugin("Ignore", 2, {"-noCrashHandler"});
    CrashTheHeldScan("c1", Message("crash-me"));
    EXPECT_EQ(plugin.WaitExit(), 128 + SIGSEGV);
}
