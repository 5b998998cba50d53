// The crash reaction in its two hardest cases: a crash while a lock around
// shared data is held, and a stack overflow.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "app/plugin.h"
#include "app/signals.h"
#include "base/output.h"
#include "config/settings.h"
#include "plugin_process.h"

namespace {

GuardedMutex sharedData;

int Deep(int n)
{
    volatile char frame[4096];
    frame[0] = static_cast<char>(n);
    return n >= 0 ? Deep(n + 1) + frame[0] : 0;
}

// CrashInAScan - run body in a scanning thread of a plugin whose crash
// handler is on, with OnProblem = Quit; the output goes to out.
[[noreturn]] void CrashInAScan(const std::string& out, void (*body)())
{
    SetOutputDescriptor(open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600));
    Settings settings;
    settings.onProblemMode = OnProblemQuit;
    settings.submittedDirName = "/nonexistent";
    PublishSettings(settings);
    static Immortal<Plugin> plugin;
    StartSignalThreads(*plugin);
    InstallCrashHandler();
    static ScanningPool pool([body](FileRequest&) { body(); });
    pool.StartScanningThreads(1);
    pool.EnqueueFile("1", "/m");
    sleep(10);
    _exit(0);
}

class CrashReaction : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (std::string(VSA_SANITIZER_BUILD) != "")
            GTEST_SKIP() << "the sanitizers take the crash signals over";
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        // The threadsafe style runs the test again in the child: the file's
        // name must not depend on anything made at run time.
        out = ::testing::TempDir() + "vsa-crash-" + ::testing::UnitTest::GetInstance()->current_test_info()->name();
    }
    void TearDown() override { unlink(out.c_str()); }
    std::string out;
};

}  // namespace

TEST_F(CrashReaction, ACrashInsideALockEndsTheProcessAtOnce)
{
    EXPECT_EXIT(CrashInAScan(out, [] {
        sharedData.lock();
        raise(SIGSEGV);
    }), testing::ExitedWithCode(1), "");
    EXPECT_EQ(ReadFileText(out), "");
    EXPECT_TRUE(FileExists(out));
}

TEST_F(CrashReaction, AStackOverflowIsCaughtOnTheAlternateStack)
{
    EXPECT_EXIT(CrashInAScan(out, [] { Deep(0); }), testing::ExitedWithCode(1), "");
    const std::string text = ReadFileText(out);
    EXPECT_TRUE(text.starts_with("* Crash detected !!!\n* crashed while scanning /m\n")) << text;
    EXPECT_TRUE(text.ends_with("\n* will quit immediately\n")) << text;
}
