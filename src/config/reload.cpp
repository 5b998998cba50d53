#include "config/reload.h"

#include <unistd.h>

#include <string>

#include "config/settings.h"
#include "protocol/output.h"
#include "protocol/process.h"
#include "protocol/system.h"
#include "rating/spamd_client.h"
#include "scheduling/controller.h"
#include "scheduling/queue.h"

namespace {

const char* const kReloadMarker = "hup.sig";

// One reload at a time: the marker (main thread) and SIGHUP may ask at once.
PluginMutex reloadMutex;

}  // namespace

void CheckConfigUpdate()
{
    const std::string marker = workPath + kReloadMarker;
    if (access(marker.c_str(), F_OK) != 0)
        return;
    PrintMsg("* re-reading %s\n", configFileName);
    unlink(marker.c_str());
    UpdateConfig();
}

void UpdateConfig()
{
    // A HUP that lands on the thread already running a reload has nothing to
    // add: that reload reads the file itself.
    if (reloadMutex.HeldByCurrentThread())
        return;
    PluginLock lock(reloadMutex);

    PrintMsg("* re-reading %s\n", configFileName);
    // New requests still join the queue; none is taken until the pool is back.
    enqueuePause.store(true);
    WaitForThreads();
    StopScanningThreads();
    CloseEngine();
    // Publishing the new snapshot lets go of the old tree; a report that still
    // holds the old snapshot keeps its tree until it is done with it.
    ReadConfigFile();
    StartScanningThreads();
    InitEngine();
    ResumeTaking();
}

void BlockReloads()
{
    // Held until the process ends; a later SIGHUP waits here for good.
    reloadMutex.lock();
}
