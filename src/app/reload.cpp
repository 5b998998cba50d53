#include "app/reload.h"

#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>

#include "app/plugin.h"
#include "base/output.h"
#include "config/settings.h"

namespace {

// One reload at a time: the marker (main thread) and SIGHUP may ask at once.
std::mutex reloadMutex;
std::atomic<bool> reloadsBlocked{false};

}  // namespace

void CheckConfigUpdate(Plugin& plugin)
{
    const std::string marker = ReloadMarkerPath();
    if (access(marker.c_str(), F_OK) != 0)
        return;
    PrintMsg("* re-reading %s\n", configFileName);
    unlink(marker.c_str());
    UpdateConfig(plugin);
}

void UpdateConfig(Plugin& plugin)
{
    std::lock_guard lock(reloadMutex);
    if (reloadsBlocked.load())
        return;

    PrintMsg("* re-reading %s\n", configFileName);
    // New requests still join the queue; none is taken until the pool is back.
    plugin.pool.PauseTaking();
    plugin.pool.WaitForThreads();
    plugin.pool.StopScanningThreads();
    // Publishing the new snapshot lets go of the old tree; a report that still
    // holds the old snapshot keeps its tree until it is done with it.
    ReadConfigFile(false);
    const std::shared_ptr<const Settings> settings = CurrentSettings();
    if (!plugin.pool.StartScanningThreads(settings->MaxScanningThreads)) {
        // Without its threads no request would ever be answered.
        plugin.RequestShutdown(1);
        return;
    }
    // The whitelist changes with the settings, without a restart.
    plugin.senders.Reload();
    plugin.InitEngine();
    // A shutdown asked for meanwhile keeps taking stopped.
    if (!plugin.ShutdownRequested())
        plugin.pool.ResumeTaking();
    plugin.recorder.RecordReload();
}

void BlockReloads()
{
    std::lock_guard lock(reloadMutex);
    reloadsBlocked.store(true);
}
