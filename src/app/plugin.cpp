#include "app/plugin.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

#include "app/answers.h"
#include "app/reload.h"
#include "base/output.h"
#include "config/settings.h"
#include "reports/events.h"
#include "reports/metrics_file.h"

namespace {

// Its only work is to interrupt the main thread's read of standard input.
void WakeUp(int) {}

}  // namespace

Plugin::Plugin(int maxScanningTime)
    : maxScanningTime(maxScanningTime),
      pool([this](FileRequest& request) { HandleFileRequest(request); }),
      mainThread(pthread_self())
{
    struct sigaction action {};
    action.sa_handler = WakeUp;  // without SA_RESTART: a blocked read returns
    sigaction(SIGUSR1, &action, nullptr);
}

void Plugin::HandleFileRequest(FileRequest& request)
{
    const MonotonicClock::time_point start = Monotonic();
    const std::shared_ptr<const Settings> settings = CurrentSettings();
    if (problems.CrashedBefore(request.Path())) {
        PrintMsg("* %s crashed a scan before, answered without rating\n", request.Path());
        EventReportProblem(*settings, "%s crashed a scan before.\nIt was answered with rating 0, without a scan",
                           request.Path());
        AnswerUnscanned(recorder, request, *settings);
        return;
    }
    // The engines' exchanges end well before the watchdog would give the scan up.
    const auto until = start + std::chrono::milliseconds(int64_t{maxScanningTime} * kExchangeBudgetPerMille);
    const ScanResult result = scanner.Scan(request, *settings, until);
    if (AnswerScan(recorder, request, result, *settings, SecondsSince(start)) == AfterAnswer::ShutDown)
        RequestShutdown(1);
}

bool Plugin::InitEngine() { return farm.Start(CurrentSettings()->spamd); }

void Plugin::RequestShutdown(int status)
{
    int current = exitStatus.load();
    while (status > current && !exitStatus.compare_exchange_weak(current, status)) {
    }
    // No request is taken from here on: those still queued are the shutdown's to answer.
    pool.PauseTaking();
    if (shutdownRequested.exchange(true))
        return;
    // Standard input becomes empty, then the main thread's read is
    // interrupted: a read that begins after the interruption sees the end of
    // input at once, so the command loop cannot sleep through the request.
    // Lines already read ahead stay in the reader's buffer and are answered.
    const int empty = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (empty >= 0) {
        dup2(empty, STDIN_FILENO);
        close(empty);
    }
    pthread_kill(mainThread, SIGUSR1);
}

std::vector<HostStatus> Plugin::HostStatuses() const
{
    std::vector<HostStatus> hosts;
    for (const EngineFarm::HostState& host : farm.HostStates())
        hosts.push_back({host.name, host.up});
    return hosts;
}

void Plugin::WriteMetrics()
{
    const std::shared_ptr<const Settings> settings = CurrentSettings();
    const std::string path = MetricsFilePath(*settings);
    if (path.empty())
        return;
    std::lock_guard lock(metricsMutex);
    MetricsSample sample;
    sample.counters = counters.Snapshot();
    sample.ratingBounds = settings->scoreRange;
    for (const EngineFarm::HostState& host : farm.HostStates()) {
        sample.hosts.push_back(counters.HostSample(host.name));
        sample.hosts.back().engine = EngineName(host.engine);
        sample.hosts.back().up = host.up;
    }
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

void Plugin::HangUp()
{
    PrintMsg("* HUP signal caught\n");
    UpdateConfig(*this);
}

void Plugin::Crash(const CrashRecord& crash) { problems.ReactToCrash(*this, crash); }
