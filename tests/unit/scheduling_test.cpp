// The pool of scanning threads and the controller's watchdog, with a handler
// that stands in for the scan.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <set>
#include <thread>

#include "output_capture.h"
#include "scheduling/controller.h"
#include "scheduling/pool.h"

namespace {

using namespace std::chrono_literals;

// Gate - holds every handler that arrives until opened.
struct Gate {
    std::mutex mutex;
    std::condition_variable changed;
    bool open = false;
    int waiting = 0;
    void Pass()
    {
        std::unique_lock lock(mutex);
        waiting++;
        changed.notify_all();
        changed.wait(lock, [&] { return open; });
        waiting--;
    }
    bool WaitForWaiting(int n)
    {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, 10s, [&] { return waiting >= n; });
    }
    void Open()
    {
        std::lock_guard lock(mutex);
        open = true;
        changed.notify_all();
    }
};

bool Eventually(const std::function<bool()>& condition)
{
    for (int i = 0; i < 1000 && !condition(); i++)
        std::this_thread::sleep_for(10ms);
    return condition();
}

}  // namespace

TEST(Pool, EveryRequestIsHandledOnceInOrderAndPausedTakingHoldsThemBack)
{
    std::mutex mutex;
    std::multiset<std::string> handled;
    std::vector<std::string> order;
    std::function<void()> afterEach = [] {};
    static ScanningPool pool([&](FileRequest& request) {
        {
            std::lock_guard lock(mutex);
            handled.insert(std::string(request.Id()) + " " + request.Path());
            order.push_back(std::string(request.Id()) + " " + request.Path());
        }
        afterEach();
    });
    pool.PauseTaking();
    pool.StartScanningThreads(4);
    for (int i = 0; i < 3000; i++)
        ASSERT_TRUE(pool.EnqueueFile(std::to_string(i), "/m/" + std::to_string(i)));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(pool.QueueLength(), 3000);
    pool.ResumeTaking();
    ASSERT_TRUE(Eventually([&] { return pool.QueueLength() == 0 && pool.CountActiveThreads() == 0; }));
    {
        std::lock_guard lock(mutex);
        ASSERT_EQ(handled.size(), 3000u);
        for (int i = 0; i < 3000; i++)
            EXPECT_EQ(handled.count(std::to_string(i) + " /m/" + std::to_string(i)), 1u);
        order.clear();
    }

    // One thread takes them in order while more arrive behind those already
    // taken; ids and paths of every length up to the longest stay whole and
    // longer ones are cut.
    const auto make = [](int i) {
        return std::pair{std::to_string(i) + std::string(static_cast<size_t>(i % 25), 'i'),
                         "/" + std::string(static_cast<size_t>(i * 37 % 1030), 'p')};
    };
    pool.StartScanningThreads(1);
    pool.PauseTaking();
    for (int i = 0; i < 50; i++)
        ASSERT_TRUE(pool.EnqueueFile(make(i).first, make(i).second));
    int next = 50;
    afterEach = [&] {
        if (next < 3000) {
            pool.EnqueueFile(make(next).first, make(next).second);
            next++;
        }
    };
    pool.ResumeTaking();
    ASSERT_TRUE(Eventually([&] { return pool.QueueLength() == 0 && pool.CountActiveThreads() == 0; }));
    pool.StopScanningThreads();
    std::lock_guard lock(mutex);
    ASSERT_EQ(order.size(), 3000u);
    for (int i = 0; i < 3000; i++) {
        const auto [id, path] = make(i);
        ASSERT_EQ(order[static_cast<size_t>(i)], id.substr(0, kRequestIdSize - 1) + " " + path.substr(0, kFileNameSize - 1));
    }
}

TEST(Pool, ARestartGivesEverySlotATakerWhileAnOldScanStillRuns)
{
    Gate gate;
    std::atomic<int> handled{0};
    static ScanningPool pool([&](FileRequest& request) {
        if (std::string(request.Id()) == "slow")
            gate.Pass();
        handled++;
    });
    pool.StartScanningThreads(1);
    pool.EnqueueFile("slow", "/m/slow");
    ASSERT_TRUE(gate.WaitForWaiting(1));
    // A reload stops the pool and starts it again while the one thread is busy.
    pool.StopScanningThreads();
    pool.StartScanningThreads(1);
    EXPECT_EQ(pool.CountActiveThreads(), 1);  // the old scan still counts
    for (int i = 0; i < 5; i++)
        pool.EnqueueFile(std::to_string(i), "/m");
    EXPECT_TRUE(Eventually([&] { return handled.load() == 5; }));
    // A lower count stops the threads above it; they count until they end.
    pool.StartScanningThreads(0);
    pool.EnqueueFile("queued", "/m");
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(handled.load(), 5);
    gate.Open();
    EXPECT_TRUE(Eventually([&] { return handled.load() == 6 && pool.CountActiveThreads() == 0; }));
    pool.StartScanningThreads(1);
    EXPECT_TRUE(Eventually([&] { return handled.load() == 7; }));
    pool.StopScanningThreads();
}

TEST(Controller, AScanIsGivenUpOnlyWhenOlderThanTheLimitAndOnlyOnce)
{
    SetClockForTesting([] { return time_t{5000}; });
    Gate gate;
    std::atomic<int> answered{0};
    static ScanningPool pool([&](FileRequest& request) {
        gate.Pass();
        AnswerRequest(request, "ADDHEADER \"late\"\n");
        answered++;
    });
    std::vector<std::string> givenUp;
    std::vector<time_t> ticks;
    Controller controller;
    controller.SetWatchdog(pool, 10, [&](const GivenUpScan& scan) { givenUp.push_back(scan.requestId + " " + scan.fileName); });
    controller.AddTask([&](time_t now) { ticks.push_back(now); });
    pool.StartScanningThreads(2);
    pool.EnqueueFile("a", "/m/a");
    pool.EnqueueFile("b", "/m/b");
    ASSERT_TRUE(gate.WaitForWaiting(2));
    const time_t start = Now();  // the clock stands still in this test
    controller.ControllerPass(start + 10);  // not strictly older
    EXPECT_TRUE(givenUp.empty());
    controller.ControllerPass(start + 12);
    controller.ControllerPass(start + 13);
    std::sort(givenUp.begin(), givenUp.end());
    EXPECT_EQ(givenUp, (std::vector<std::string>{"a /m/a", "b /m/b"}));
    EXPECT_EQ(ticks, (std::vector<time_t>{start + 10, start + 12, start + 13}));
    EXPECT_EQ(pool.CountActiveThreads(), 0);  // written off
    OutputCapture capture;
    gate.Open();
    EXPECT_TRUE(Eventually([&] { return answered.load() == 2; }));
    EXPECT_EQ(capture.Text(), "* ADDHEADER \"late\"\n* ADDHEADER \"late\"\n");  // the given-up scans answer as "*"
    pool.StopScanningThreads();
    SetClockForTesting(nullptr);
}
