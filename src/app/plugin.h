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
//
// One Plugin exists, made by main before any other thread and never
// destroyed (detached threads may use it while the process exits).
#pragma once

#include <pthread.h>
#include <sys/types.h>

#include <atomic>
#include <mutex>
#include <set>
#include <string>
#include <tuple>

#include "rating/whitelist.h"
#include "scheduling/controller.h"
#include "scheduling/pool.h"
#include "stats/statistics.h"

class Plugin {
public:
    Plugin();
    Plugin(const Plugin&) = delete;
    Plugin& operator=(const Plugin&) = delete;

    void HandleFileRequest(FileRequest& request);
    void RequestShutdown();
    bool ShutdownRequested() const { return shutdownRequested.load(); }
    int RememberCrash(const char* path);

    Statistics statistics;
    whitelist senders;
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
};
