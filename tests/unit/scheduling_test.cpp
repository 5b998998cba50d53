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
#include "protocol/replies.h"
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
    std::vector<std::string> order;
    std::function<void()> afterEach = [] {};
    static ScanningPool pool([&](FileRequest& request) {
        {
            std::lock_guard lock(mutex);
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
        const std::multiset<std::string> handled(order.begin(), order.end());
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
    pool.EnqueueFile("queued-1", "/m");
    pool.EnqueueFile("queued-2-with-a-long-id", "/m");
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(handled.load(), 5);
    // What a shutdown finds: the requests waiting, and the one still held.
    std::vector<std::string> held;
    pool.ForEachHeldRequest([&](FileRequest& request) { held.emplace_back(request.Id()); });
    EXPECT_EQ(held, std::vector<std::string>{"slow"});
    EXPECT_EQ(pool.DropQueued(), (std::vector<std::string>{"queued-1", "queued-2-with-a-lon"}));
    EXPECT_EQ(pool.QueueLength(), 0);
    pool.EnqueueFile("queued-3", "/m");
    gate.Open();
    EXPECT_TRUE(Eventually([&] { return handled.load() == 6 && pool.CountActiveThreads() == 0; }));
    pool.StartScanningThreads(1);
    EXPECT_TRUE(Eventually([&] { return handled.load() == 7; }));
    pool.StopScanningThreads();
}

TEST(Controller, AScanIsGivenUpOnlyWhenOlderThanTheLimitAndOnlyOnce)
{
    Gate gate;
    std::atomic<int> answered{0};
    static ScanningPool pool([&](FileRequest& request) {
        gate.Pass();
        AnswerRequest(request, {ReplyKind::Headers, "late"});
        answered++;
    });
    std::vector<std::string> givenUp;
    std::vector<int64_t> everyPass, everyTen, failing;
    Controller controller;
    controller.SetWatchdog(pool, 10, [&](const GivenUpScan& scan) { givenUp.push_back(scan.requestId + " " + scan.fileName); });
    controller.AddTask([&](time_t, int64_t monotonic) {
        everyPass.push_back(monotonic);
        return true;
    });
    controller.AddTask([] { return 10; }, [&](time_t, int64_t monotonic) {
        everyTen.push_back(monotonic);
        return true;
    });
    // A task that fails runs again at the next pass.
    controller.AddTask([] { return 10; }, [&](time_t, int64_t monotonic) {
        failing.push_back(monotonic);
        return failing.size() > 1;
    });
    const int64_t start = MonotonicSeconds();  // at most a second before the scans start
    pool.StartScanningThreads(2);
    pool.EnqueueFile("a", "/m/a");
    pool.EnqueueFile("b", "/m/b");
    ASSERT_TRUE(gate.WaitForWaiting(2));
    // The wall clock jumps a day ahead: time limits do not follow it.
    controller.ControllerPass(Now() + 86400, start + 1);
    controller.ControllerPass(Now(), start + 10);  // not strictly older
    EXPECT_TRUE(givenUp.empty());
    controller.ControllerPass(Now(), start + 12);
    controller.ControllerPass(Now(), start + 13);
    std::sort(givenUp.begin(), givenUp.end());
    EXPECT_EQ(givenUp, (std::vector<std::string>{"a /m/a", "b /m/b"}));
    EXPECT_EQ(everyPass, (std::vector<int64_t>{start + 1, start + 10, start + 12, start + 13}));
    EXPECT_EQ(everyTen, (std::vector<int64_t>{start + 1, start + 12}));
    EXPECT_EQ(failing, (std::vector<int64_t>{start + 1, start + 10}));
    EXPECT_EQ(pool.CountActiveThreads(), 0);  // written off
    OutputCapture capture;
    gate.Open();
    EXPECT_TRUE(Eventually([&] { return answered.load() == 2; }));
    EXPECT_EQ(capture.Text(), "* ADDHEADER \"late\"\n* ADDHEADER \"late\"\n");  // the given-up scans answer as "*"
    pool.StopScanningThreads();
}
