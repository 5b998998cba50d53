// plugin - the plugin's parts and the request handler that joins them
//
// Plugin::HandleFileRequest  what a scanning thread does with a request: a
//                            message that crashed a scan before is answered
//                            with the rating-0 headers, any other is scanned
// Plugin::RequestShutdown    any thread: the command loop ends and the plugin
//                            shuts down in order
// Plugin::ShutdownRequested           the command loop's view of it
// Plugin::RememberCrash      note a crash and the file it happened on; the
//                            count of crashes in this run
// Plugin::WriteMetrics       write the metrics file when the statistics dump
//                            interval has passed since the last write (force:
//                            at once); the controller offers it once a second,
//                            the shutdown forces it
// Plugin::spamdHosts         the provider of the per-host spamd samples that the
//                            metrics show; by default the hosts of the farm, or
//                            the one SocketPath host (replace it before the
//                            controller starts)
// Plugin::StartEngine        (start-up, reload) PING the spamd hosts of the
//                            farm, or the one spamd at SocketPath; false when
//                            none answered
//
// The metrics writes are serialised by a lock of the object (the controller
// and the shutdown may both write).
//
// One Plugin exists, made by main before any other thread and never
// destroyed (detached threads may use it while the process exits).
#pragma once

#include <pthread.h>
#include <sys/types.h>

#include <atomic>
#include <ctime>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "rating/spamd_farm.h"
#include "rating/whitelist.h"
#include "scheduling/controller.h"
#include "scheduling/pool.h"
#include "stats/counters.h"
#include "stats/statistics.h"

// The version of this build (the project's version in CMake), and the text
// of the start-up line.
inline constexpr const char* kPluginRelease = VSA_VERSION;
inline constexpr const char* kPluginVersion = "0.3 Linux-x86_64 build 22-Jun-2023";

class Plugin {
public:
    Plugin();
    Plugin(const Plugin&) = delete;
    Plugin& operator=(const Plugin&) = delete;

    void HandleFileRequest(FileRequest& request);
    void RequestShutdown();
    bool ShutdownRequested() const { return shutdownRequested.load(); }
    int RememberCrash(const char* path);
    void WriteMetrics(time_t now, bool force);
    bool StartEngine();

    Statistics statistics;
    Counters counters;
    std::function<std::vector<SpamdHostSample>()> spamdHosts;
    whitelist senders;
    SpamdFarm farm;
    ScanningPool pool;
    Controller controller;

private:
    using FileIdentity = std::tuple<std::string, off_t, long, long>;  // path, size, mtime
    static bool IdentityOf(const char* path, FileIdentity& identity);

    std::atomic<bool> shutdownRequested{false};
    pthread_t mainThread;
    std::mutex crashMutex;
    std::set<FileIdentity> crashedFiles;  // guarded by crashMutex
    std::atomic<int> crashes{0};
    std::mutex metricsMutex;
    time_t lastMetricsWrite = 0;   // guarded by metricsMutex
    bool metricsFailing = false;   // guarded by metricsMutex: the failure was reported
};
