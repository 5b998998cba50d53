// The base: text utilities, process paths, the owner-aware mutex, answers
// to requests and the output channel's diagnostic lines.

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "output_capture.h"
#include "protocol/output.h"
#include "protocol/process.h"
#include "protocol/request.h"
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

TEST(AnswerRequest, OnlyTheFirstAnswerCarriesTheId)
{
    OutputCapture output;
    queueItem_t item;
    strnncpy(item.requestId, "42", kRequestIdSize);
    EXPECT_TRUE(AnswerRequest(item, "REJECTED timed-out, we'll try again later\n"));
    EXPECT_FALSE(AnswerRequest(item, "ADDHEADER \"%s\"\n", "X: 1"));
    EXPECT_EQ(output.Text(), "42 REJECTED timed-out, we'll try again later\n* ADDHEADER \"X: 1\"\n");
}

TEST(DebugMsg, MarksEveryLineOfAMultiLineText)
{
    OutputCapture output;
    DebugMsg("hidden %d\n", 1);
    doDebug.store(true);
    DebugMsg("cmd: %s\n", "CHECK SPAMC/1.2\r\n\r\n17 OK\n");
    doDebug.store(false);
    EXPECT_EQ(output.Text(), "* cmd: CHECK SPAMC/1.2\r\n* \r\n* 17 OK\n* \n");
}
