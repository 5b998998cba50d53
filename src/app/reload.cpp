#include "app/reload.h"

#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>

#include "base/output.h"
#include "config/settings.h"
#include "rating/spamd_client.h"

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
    CloseEngine();
    // Publishing the new snapshot lets go of the old tree; a report that still
    // holds the old snapshot keeps its tree until it is done with it.
    ReadConfigFile();
    const std::shared_ptr<const Settings> settings = CurrentSettings();
    plugin.pool.StartScanningThreads(settings->MaxScanningThreads);
    if (!plugin.StartEngine())
        ExitProcess(1);
    plugin.pool.ResumeTaking();
    plugin.counters.CountReload();
}

void BlockReloads()
{
    std::lock_guard lock(reloadMutex);
    reloadsBlocked.store(true);
}
