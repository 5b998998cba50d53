#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "protocol/process.h"
#include "protocol/system.h"
#include "protocol/text.h"

TEST(Text, EqualStringsNoCaseFoldsAsciiLettersOnly)
{
    const std::tuple<const char*, const char*, bool> table[] = {
        {"-debug", "-DEBUG", true},  {"-noCrashHandler", "-NOcrashhANDLER", true}, {"", "", true},
        {"-debug", "-debu", false},  {"-debu", "-debug", false},  {"\x40", "\x60", false},
        {"\xc4", "\xe4", false},  // bytes above 127 must be equal
    };
    for (const auto& [a, b, equal] : table)
        EXPECT_EQ(EqualStringsNoCase(a, b), equal) << a << " / " << b;
}

TEST(Text, SubstStrReplacesEveryPlaceholderWithoutExpandingValues)
{
    std::string text = "X-Junk-Score: ^1 [^2]\\eX-SA-Score: ^1 [^2]";
    EXPECT_EQ(SubstStr(text, 1, " 45"), "X-Junk-Score:  45 [^2]\\eX-SA-Score:  45 [^2]");
    std::string gone = "a^1b^1c";
    EXPECT_EQ(SubstStr(gone, 1, nullptr), "abc");
    std::string twice = "^1|^1";
    EXPECT_EQ(SubstStr(twice, 1, "^1"), "^1|^1");
}

TEST(Text, StrnncpyAlwaysTerminatesAndZeroFills)
{
    char buffer[5] = {'x', 'x', 'x', 'x', 'x'};
    strnncpy(buffer, "abcdef", 5);
    EXPECT_STREQ(buffer, "abcd");
    strnncpy(buffer, "ab", 5);
    EXPECT_EQ(std::string(buffer, 5), std::string("ab\0\0\0", 5));
    strnncpy(buffer, "whatever", 1);
    EXPECT_STREQ(buffer, "");
}

TEST(Text, XfgetsCutsLongLinesAndKeepsCarriageReturns)
{
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const std::string input = std::string(2000, 'a') + "\nsecond\r\n\nno newline at the end";
    ASSERT_EQ(write(fds[1], input.data(), input.size()), static_cast<ssize_t>(input.size()));
    close(fds[1]);
    char line[1044];
    for (const std::string& expected : {std::string(1043, 'a'), std::string("second\r"), std::string()}) {
        ASSERT_NE(xfgetsFd(line, sizeof line, fds[0]), nullptr);
        EXPECT_EQ(line, expected);
    }
    EXPECT_EQ(xfgetsFd(line, sizeof line, fds[0]), nullptr);  // the partial last line is dropped
    close(fds[0]);
}

TEST(Process, WorkPathIsTheDirectoryOfTheProgramPath)
{
    const std::string deep = "/" + std::string(1500, 'd') + "/", deepProgram = deep + "plugin";
    const std::pair<const char*, std::string> table[] = {
        {"/opt/filters/plugin", "/opt/filters/"}, {"filters/plugin", "filters/"}, {"plugin", "./"},
        {"/plugin", "./"}, {nullptr, ""}, {deepProgram.c_str(), deep}};
    for (const auto& [program, expected] : table)
        EXPECT_EQ(DeriveWorkPath(program), expected) << (program ? program : "(null)");
}

TEST(Process, LocksOfADeadThreadCanBeReleased)
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
