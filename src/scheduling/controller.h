// controller - the controller thread: a one-second ticker with a watchdog
// for stuck scans
//
// Controller::AddTask                 run a task in every pass (before the launch)
// Controller::SetWatchdog             give up scans older than a limit
// Controller::LaunchControllerThread  start the ticker (ends the process on failure)
// Controller::ControllerPass          one pass at a given time (the ticker's body; tests)
// Controller::Stop                    end the ticker; returns once its current
//                                     pass is over
//
// A pass first gives up every scan that has run longer than the limit: it
// claims the scan's answer while the pool keeps the request alive (a scan that
// answered first is not given up; one that answers later writes its result
// with the id "*"), writes its thread off and hands the scan to the
// watchdog's callback, outside the pool's lock.  Then the registered tasks run in the order they were added (the top
// floor registers the concurrency sample, the statistics dump and the daily
// report).
#pragma once

#include <condition_variable>
#include <ctime>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "scheduling/pool.h"

// GivenUpScan - what the watchdog's callback learns of a stuck scan.
struct GivenUpScan {
    std::string requestId;
    std::string fileName;
};

class Controller {
public:
    using Task = std::function<void(time_t now)>;
    using StuckScanHandler = std::function<void(const GivenUpScan& scan)>;

    void AddTask(Task task);
    void SetWatchdog(ScanningPool& pool, int maxScanningTime, StuckScanHandler onStuck);
    void LaunchControllerThread();
    void ControllerPass(time_t now);
    void Stop();

private:
    void Tick();

    std::vector<Task> tasks;
    ScanningPool* watchedPool = nullptr;
    int MaxScanningTime = 1200;
    StuckScanHandler stuckScanHandler;
    std::mutex stopMutex;
    std::condition_variable stopped;
    bool stopRequest = false;  // guarded by stopMutex
    bool running = false;      // guarded by stopMutex: the ticker is in its loop
};
