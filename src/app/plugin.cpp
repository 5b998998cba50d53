#include "app/plugin.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/output.h"
#include "config/settings.h"
#include "rating/headers.h"
#include "rating/scan.h"
#include "rating/spamd_client.h"
#include "reports/events.h"
#include "reports/metrics_file.h"

namespace {

// Metrics are written this often when the statistics dump is off.
constexpr int kDefaultMetricsInterval = 10;

// Its only work is to interrupt the main thread's read of standard input.
void WakeUp(int) {}

}  // namespace

Plugin::Plugin()
    : pool([this](FileRequest& request) { HandleFileRequest(request); }), mainThread(pthread_self())
{
    spamdHosts = [this] {
        // The hosts of a farm, each up or down as the farm sees it; else the one SocketPath.
        std::vector<SpamdHostSample> samples;
        for (const SpamdFarm::HostState& host : farm.HostStates()) {
            samples.push_back(counters.HostSample(host.name));
            samples.back().up = host.up;
        }
        if (samples.empty())
            samples.push_back(counters.HostSample(CurrentSettings()->socketPath));
        return samples;
    };
    struct sigaction action {};
    action.sa_handler = WakeUp;  // without SA_RESTART: a blocked read returns
    sigaction(SIGUSR1, &action, nullptr);
}

bool Plugin::IdentityOf(const char* path, FileIdentity& identity)
{
    struct stat status;
    if (stat(path, &status) != 0)
        return false;
    identity = {path, status.st_size, static_cast<long>(status.st_mtim.tv_sec), status.st_mtim.tv_nsec};
    return true;
}

void Plugin::HandleFileRequest(FileRequest& request)
{
    const std::shared_ptr<const Settings> settings = CurrentSettings();
    // The host retries a message whose scan crashed; rating it again would
    // crash again, one thread after another.
    if (crashes.load() > 0) {
        FileIdentity identity;
        bool crashedBefore = false;
        if (IdentityOf(request.Path(), identity)) {
            std::lock_guard lock(crashMutex);
            crashedBefore = crashedFiles.count(identity) != 0;
        }
        if (crashedBefore) {
            PrintMsg("* %s crashed a scan before, answered without rating\n", request.Path());
            EventReportProblem("%s crashed a scan before.\nIt was answered with rating 0, without a scan",
                               request.Path());
            PrintResult(request, 0, *settings);
            counters.CountRequest(RequestOutcome::Failed);
            return;
        }
    }
    ScanFile(request, *settings, senders, statistics, counters, farm);
}

bool Plugin::StartEngine()
{
    const std::shared_ptr<const Settings> settings = CurrentSettings();
    if (settings->spamd.Configured())
        return farm.Start(settings->spamd);
    farm.Clear();
    return InitEngine(settings->socketPath);
}

void Plugin::RequestShutdown()
{
    if (shutdownRequested.exchange(true))
        return;
    // Standard input becomes empty, then the main thread's read is
    // interrupted: a read that begins after the interruption sees the end of
    // input at once, so the command loop cannot sleep through the request.
    const int empty = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (empty >= 0) {
        dup2(empty, STDIN_FILENO);
        close(empty);
    }
    pthread_kill(mainThread, SIGUSR1);
}

int Plugin::RememberCrash(const char* path)
{
    FileIdentity identity;
    if (path != nullptr && IdentityOf(path, identity)) {
        std::lock_guard lock(crashMutex);
        crashedFiles.insert(identity);
    }
    return ++crashes;
}

void Plugin::WriteMetrics(time_t now, bool force)
{
    const std::shared_ptr<const Settings> settings = CurrentSettings();
    const std::string path = MetricsFilePath(*settings);
    if (path.empty())
        return;
    std::lock_guard lock(metricsMutex);
    const int interval = settings->statDumpInterval > 0 ? settings->statDumpInterval : kDefaultMetricsInterval;
    if (!force && now >= lastMetricsWrite && now - lastMetricsWrite < interval)
        return;
    lastMetricsWrite = now;
    MetricsSample sample;
    sample.counters = counters.Snapshot();
    sample.ratingBounds = settings->scoreRange;
    sample.hosts = spamdHosts();
    sample.queueLength = pool.QueueLength();
    sample.busyThreads = pool.CountActiveThreads();
    sample.scanningThreads = settings->MaxScanningThreads;
    sample.startTime = StartupTime();
    sample.version = kPluginRelease;
    std::string error;
    if (WriteMetricsFile(path, FormatMetrics(sample), error)) {
        metricsFailing = false;
    } else if (!metricsFailing) {
        // Once until a write succeeds again: the next attempt is seconds away.
        PrintMsg("* unable to write the metrics file %s\n", error.c_str());
        metricsFailing = true;
    }
}
