#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "protocol/process.h"
#include "protocol/system.h"
#include "protocol/text.h"

TEST(EqualStringsNoCase, FoldsAsciiLettersOnly)
{
    EXPECT_TRUE(EqualStringsNoCase("-debug", "-DEBUG"));
    EXPECT_TRUE(EqualStringsNoCase("-noCrashHandler", "-NOcrashhANDLER"));
    EXPECT_FALSE(EqualStringsNoCase("-debug", "-debu"));
    EXPECT_FALSE(EqualStringsNoCase("-debu", "-debug"));
    EXPECT_FALSE(EqualStringsNoCase("\x40", "\x60"));
    EXPECT_FALSE(EqualStringsNoCase("\xc4", "\xe4"));  // bytes above 127 must be equal
    EXPECT_TRUE(EqualStringsNoCase("", ""));
}

TEST(SubstStr, ReplacesEveryPlaceholderOfOneDigit)
{
    std::string text = "X-Junk-Score: ^1 [^2]\\eX-SA-Score: ^1 [^2]";
    SubstStr(text, 1, " 45");
    EXPECT_EQ(text, "X-Junk-Score:  45 [^2]\\eX-SA-Score:  45 [^2]");

    std::string twice = "^1^1";
    EXPECT_EQ(SubstStr(twice, 1, "7"), "77");

    std::string gone = "a^1b^1c";
    EXPECT_EQ(SubstStr(gone, 1, nullptr), "abc");
}

TEST(SubstStr, DoesNotExpandInsertedValues)
{
    std::string text = "^1|^1";
    EXPECT_EQ(SubstStr(text, 1, "^1"), "^1|^1");
}

TEST(Strnncpy, AlwaysTerminatesAndZeroFills)
{
    char buffer[5] = {'x', 'x', 'x', 'x', 'x'};
    strnncpy(buffer, "abcdef", 5);
    EXPECT_STREQ(buffer, "abcd");
    strnncpy(buffer, "ab", 5);
    EXPECT_EQ(std::string(buffer, 5), std::string("ab\0\0\0", 5));
    strnncpy(buffer, "whatever", 1);
    EXPECT_STREQ(buffer, "");
}

TEST(Xfgets, CutsLongLinesAndKeepsCarriageReturns)
{
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    std::string input = std::string(2000, 'a') + "\nsecond\r\n\nno newline at the end";
    ASSERT_EQ(write(fds[1], input.data(), input.size()), static_cast<ssize_t>(input.size()));
    close(fds[1]);

    char line[1044];
    ASSERT_NE(xfgetsFd(line, sizeof line, fds[0]), nullptr);
    EXPECT_EQ(std::string(line), std::string(1043, 'a'));
    ASSERT_NE(xfgetsFd(line, sizeof line, fds[0]), nullptr);
    EXPECT_EQ(std::string(line), "second\r");
    ASSERT_NE(xfgetsFd(line, sizeof line, fds[0]), nullptr);
    EXPECT_EQ(std::string(line), "");
    EXPECT_EQ(xfgetsFd(line, sizeof line, fds[0]), nullptr);  // the partial last line is dropped
    close(fds[0]);
}

TEST(MkDate, PadsTimeButNotTheDay)
{
    setenv("TZ", "UTC", 1);
    tzset();
    EXPECT_EQ(mkDate(1767225600), "Thu, 1 Jan 2026 00:00:00");
    EXPECT_EQ(mkDate(1773039903), "Mon, 9 Mar 2026 07:05:03");
}

TEST(DeriveWorkPath, KeepsTheDirectoryOfTheProgramPath)
{
    EXPECT_EQ(DeriveWorkPath("/opt/filters/plugin"), "/opt/filters/");
    EXPECT_EQ(DeriveWorkPath("filters/plugin"), "filters/");
    EXPECT_EQ(DeriveWorkPath("plugin"), "./");
    EXPECT_EQ(DeriveWorkPath("/plugin"), "./");
    EXPECT_EQ(DeriveWorkPath(nullptr), "");
    std::string deep = "/" + std::string(1500, 'd') + "/plugin";
    EXPECT_EQ(DeriveWorkPath(deep.c_str()), "/" + std::string(1500, 'd') + "/");
}

TEST(PluginMutex, LocksOfADeadThreadCanBeReleased)
{
    PluginMutex mutex;
    pid_t holder = 0;
    std::thread t([&] {
        mutex.lock();
        holder = CurrentThreadId();
    });
    t.join();  // the thread is gone but still owns the lock
    EXPECT_FALSE(mutex.try_lock());
    ReleaseMutexesHeldBy(holder);
    EXPECT_TRUE(mutex.try_lock());
    mutex.unlock();
}
