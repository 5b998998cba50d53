#include "scheduling/controller.h"

#include <pthread.h>

#include <chrono>

#include "base/output.h"
#include "base/system.h"

void Controller::AddTask(Task task) { tasks.push_back(std::move(task)); }

void Controller::SetWatchdog(ScanningPool& pool, int maxScanningTime, StuckScanHandler onStuck)
{
    watchedPool = &pool;
    MaxScanningTime = maxScanningTime;
    stuckScanHandler = std::move(onStuck);
}

void Controller::LaunchControllerThread()
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
        PrintMsg("FAILURE Unable to launch a thread, errCode=%d\n", error);
        ExitProcess(1);
    }
    pthread_detach(thread);
}

void Controller::Tick()
{
    DebugMsg("Control Thread started\n");
    std::unique_lock lock(stopMutex);
    running = true;
    while (!stopRequest) {
        lock.unlock();
        ControllerPass(Now());
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

void Controller::ControllerPass(time_t now)
{
    if (watchedPool != nullptr) {
        std::vector<GivenUpScan> givenUp;
        watchedPool->ForEachRunningScan([&](Worker& worker) {
            if (now <= worker.scanStart + MaxScanningTime || !ClaimAnswer(worker.request))
                return false;
            givenUp.push_back({worker.request.Id(), worker.request.Path()});
            return true;
        });
        for (const GivenUpScan& scan : givenUp)
            stuckScanHandler(scan);
    }
    for (const Task& task : tasks)
        task(now);
}
