#include <poll.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <string>

#include "config/settings.h"
#include "plugin_process.h"
#include "protocol/output.h"
#include "protocol/process.h"
#include "protocol/signals.h"
#include "protocol/text.h"
#include "scheduling/queue.h"
#include "stats/record.h"

namespace {

constexpr int kSlot = 5;
queueItem_t crashingItem;

void* CrashInsideLocks(void*)
{
    threadPoolItem& slot = threadsPool[kSlot];
    slot.threadNumber = kSlot;
    slot.thread.store(pthread_self());
    slot.currentItem.store(&crashingItem);
    slot.busy.store(true);
    slot.alive.store(true);
    reportMutex.lock();
    printMutex.lock();
    raise(SIGSEGV);
    return nullptr;  // never reached: the crashed thread is parked
}

// ReadUntil - output lines until one equals last (or the time runs out).
std::string ReadUntil(int fd, const std::string& last, std::chrono::seconds limit)
{
    std::string text;
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (text.find(last + "\n") == std::string::npos && std::chrono::steady_clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0)
            continue;
        char buffer[4096];
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n > 0)
            text.append(buffer, static_cast<size_t>(n));
    }
    return text;
}

}  // namespace

TEST(CrashReaction, ACrashInsideTheOutputAndStatisticsLocksHangsNothing)
{
    TempDir dir;
    workPath = dir.Path() + "/";
    mkdir(dir.File("Submitted").c_str(), 0755);
    Settings settings;
    settings.onProblemMode = OnProblemIgnore;
    settings.submittedDirName = dir.File("Submitted");
    PublishSettings(settings);
    strnncpy(crashingItem.requestId, "c1", kRequestIdSize);
    strnncpy(crashingItem.fileName, "/queue/message-1", kFileNameSize);

    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    SetOutputDescriptor(fds[1]);
    InstallSignalHandlers();

    pthread_t thread;
    ASSERT_EQ(pthread_create(&thread, nullptr, CrashInsideLocks, nullptr), 0);
    pthread_detach(thread);

    std::string output = ReadUntil(fds[0], "c1 REJECTED sorry, we'll try again later", std::chrono::seconds(20));
    EXPECT_EQ(output,
              "* Crash detected !!!\n"
              "* crashed while scanning /queue/message-1\n"
              "c1 REJECTED sorry, we'll try again later\n");
    // The signal thread may still be finishing its last write; both locks must come free.
    for (PluginMutex* mutex : {&printMutex, &reportMutex}) {
        bool taken = false;
        for (int wait = 0; wait < 500 && !(taken = mutex->try_lock()); wait++)
            usleep(10000);
        ASSERT_TRUE(taken);
        mutex->unlock();
    }
    // written off until the next reload
    for (int wait = 0; wait < 500 && threadsPool[kSlot].alive.load(); wait++)
        usleep(10000);
    EXPECT_FALSE(threadsPool[kSlot].alive.load());
    RestoreCrashSignals();
    SetOutputDescriptor(1);
    close(fds[0]);
    close(fds[1]);
}
