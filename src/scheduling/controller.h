// controller - the controller thread: a one-second ticker that owns the
// cadence of the periodic work, with a watchdog for stuck scans
//
// Controller::AddTask                 run a task in every pass, or every
//                                     period seconds (before the launch)
// Controller::SetWatchdog             give up scans older than a limit
// Controller::LaunchControllerThread  start the ticker; false when the thread
//                                     cannot be created
// Controller::ControllerPass          one pass at given times (the ticker's body; tests)
// Controller::Stop                    end the ticker; returns once its current
//                                     pass is over
//
// A pass first gives up every scan that has run longer than the limit: it
// claims the scan's answer while the pool keeps the request alive (a scan
// that answered first is not given up; one that answers later writes its
// result with the id "*"), writes its thread off and hands the scan to the
// watchdog's callback, outside the pool's lock.  Then the registered tasks
// run in the order they were added.  The tasks keep no clock of their own:
// a task with a period runs at the first pass after more than its period has
// passed since it last ran to the end (a task that fails runs again at the
// next pass).  Periods and the scan limit are measured on the monotonic
// clock, so a change of the system's time neither gives up scans nor
// delays the dump; tasks get the wall clock's time for their dates.
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
    int64_t seconds = 0;  // how long it had run
};

class Controller {
public:
    // Task - true when its work is done (false: again at the next pass).
    using Task = std::function<bool(time_t now, int64_t monotonic)>;
    // Period - the seconds between a task's runs, asked at every pass (a
    // reload may change it).
    using Period = std::function<int()>;
    using StuckScanHandler = std::function<void(const GivenUpScan& scan)>;

    void AddTask(Task task);
    void AddTask(Period period, Task task);
    void SetWatchdog(ScanningPool& pool, int maxScanningTime, StuckScanHandler onStuck);
    bool LaunchControllerThread();
    // ControllerPass - now: the wall clock; monotonic: seconds of the monotonic clock.
    void ControllerPass(time_t now, int64_t monotonic);
    void Stop();

private:
    struct Registered {
        Period period;  // null: every pass
        Task task;
        bool ran = false;
        int64_t lastRun = 0;  // monotonic seconds
    };
    void Tick();

    std::vector<Registered> tasks;
    ScanningPool* watchedPool = nullptr;
    int MaxScanningTime = 1200;
    StuckScanHandler stuckScanHandler;
    std::mutex stopMutex;
    std::condition_variable stopped;
    bool stopRequest = false;  // guarded by stopMutex
    bool running = false;      // guarded by stopMutex: the ticker is in its loop
};
