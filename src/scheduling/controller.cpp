#include "scheduling/controller.h"

#include <pthread.h>

#include <chrono>

#include "base/output.h"
#include "base/system.h"
#include "protocol/replies.h"

void Controller::AddTask(Task task) { tasks.push_back({nullptr, std::move(task)}); }

void Controller::AddTask(Period period, Task task) { tasks.push_back({std::move(period), std::move(task)}); }

void Controller::SetWatchdog(ScanningPool& pool, int maxScanningTime, StuckScanHandler onStuck)
{
    watchedPool = &pool;
    MaxScanningTime = maxScanningTime;
    stuckScanHandler = std::move(onStuck);
}

bool Controller::LaunchControllerThread()
{
    pthread_t thread;
    const int error = pthread_create(
        &thread, nullptr,
        [](void* self) -> void* {
            static_cast<Controller*>(self)->Tick();
            return nullptr;
        },
        this);
    if (error != 0) {
        SendLaunchFailure(error);
        return false;
    }
    pthread_detach(thread);
    return true;
}

void Controller::Tick()
{
    DebugMsg("Control Thread started\n");
    std::unique_lock lock(stopMutex);
    running = true;
    while (!stopRequest) {
        lock.unlock();
        ControllerPass(Now(), MonotonicSeconds());
        lock.lock();
        stopped.wait_for(lock, std::chrono::seconds(1), [this] { return stopRequest; });
    }
    running = false;
    stopped.notify_all();
    DebugMsg("Control Thread ended\n");
}

void Controller::Stop()
{
    std::unique_lock lock(stopMutex);
    stopRequest = true;
    stopped.notify_all();
    // A pass under way (a report, a dump) ends first, so that what the
    // caller does next sees everything the pass did.
    stopped.wait(lock, [this] { return !running; });
}

void Controller::ControllerPass(time_t now, int64_t monotonic)
{
    if (watchedPool != nullptr) {
        std::vector<GivenUpScan> givenUp;
        watchedPool->ForEachRunningScan([&](Worker& worker) {
            if (monotonic <= worker.scanStart + MaxScanningTime || !ClaimAnswer(worker.request))
                return false;
            givenUp.push_back({worker.request.Id(), worker.request.Path(), monotonic - worker.scanStart});
            return true;
        });
        for (const GivenUpScan& scan : givenUp)
            stuckScanHandler(scan);
    }
    for (Registered& registered : tasks) {
        if (registered.period && registered.ran && monotonic - registered.lastRun <= registered.period())
            continue;
        if (registered.task(now, monotonic)) {
            registered.ran = true;
            registered.lastRun = monotonic;
        }
    }
}
