// plugin - the plugin's parts and the request handler that joins them
//
// Plugin::HandleFileRequest  what a scanning thread does with a request: a
//                            message that crashed a scan before is answered
//                            with the rating-0 headers, any other is scanned
//                            and answered from the scan's result
// Plugin::RequestShutdown    any thread: taking stops at once, the command
//                            loop ends and the plugin shuts down in order,
//                            ending with the status asked for (the highest
//                            of the requests)
// Plugin::ShutdownRequested  the command loop's view of it
// Plugin::ExitStatus         the status the shutdown ends with
// Plugin::InitEngine         (start-up, reload) PING the engine hosts of the
//                            settings in force; false when none answered
// Plugin::WriteMetrics       write the metrics file (controller, shutdown)
// Plugin::HostStatuses       the engine hosts and whether each is up
// Plugin::HangUp, Crash      the reactions to SIGHUP and to a crash (signals)
//
// One Plugin exists, made by main before any other thread and never
// destroyed (detached threads may use it while the process exits).
#pragma once

#include <pthread.h>

#include <atomic>
#include <ctime>
#include <mutex>
#include <string>
#include <vector>

#include "app/problems.h"
#include "app/signals.h"
#include "rating/scan.h"
#include "rating/engine_farm.h"
#include "rating/whitelist.h"
#include "reports/daily.h"
#include "scheduling/controller.h"
#include "scheduling/pool.h"
#include "stats/counters.h"
#include "stats/recorder.h"
#include "stats/statistics.h"

// The version of this build (the project's version in CMake), and the text
// of the start-up line.
inline constexpr const char* kPluginRelease = VSA_VERSION;
inline constexpr const char* kPluginVersion = "0.3 Linux-x86_64 build 22-Jun-2023";

class Plugin : public SignalReactions {
public:
    explicit Plugin(int maxScanningTime = kMaxScanningTime);
    Plugin(const Plugin&) = delete;
    Plugin& operator=(const Plugin&) = delete;

    void HandleFileRequest(FileRequest& request);
    void RequestShutdown(int status = 0);
    bool ShutdownRequested() const { return shutdownRequested.load(); }
    int ExitStatus() const { return exitStatus.load(); }
    bool InitEngine();
    void WriteMetrics();
    std::vector<HostStatus> HostStatuses() const;

    void HangUp() override;
    void Crash(const CrashRecord& crash) override;

    const int maxScanningTime;  // seconds a scan may run before the watchdog gives it up
    Statistics statistics;
    Counters counters;
    Recorder recorder{statistics, counters};
    whitelist senders;
    EngineFarm farm;
    Scanner scanner{senders, farm, recorder};
    ScanningPool pool;
    Controller controller;
    DailyReporter dailyReports;
    Problems problems;

private:
    std::atomic<bool> shutdownRequested{false};
    std::atomic<int> exitStatus{0};
    pthread_t mainThread;
    std::mutex metricsMutex;
    bool metricsFailing = false;  // guarded by metricsMutex: the failure was reported
};
