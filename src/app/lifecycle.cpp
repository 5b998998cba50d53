#include "app/lifecycle.h"

#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "app/answers.h"
#include "app/plugin.h"
#include "app/problems.h"
#include "app/reload.h"
#include "app/signals.h"
#include "base/output.h"
#include "base/system.h"
#include "base/text.h"
#include "config/paths.h"
#include "protocol/replies.h"
#include "reports/events.h"
#include "stats/dump.h"

namespace {

// Metrics are written this often when the statistics dump is off.
constexpr int kDefaultMetricsInterval = 10;

// ReadOptions - the command-line switches; unknown ones are reported and ignored.
void ReadOptions(int argc, char** argv, Options& options)
{
    for (int i = 1; i < argc; i++) {
        if (EqualStringsNoCase(argv[i], "-debug") || EqualStringsNoCase(argv[i], "-d")) {
            SetDebug(true);
        } else if (EqualStringsNoCase(argv[i], "-noCrashHandler")) {
            options.useCrashHandler = false;
            PrintMsg("* No crash handler will be used.\n");
        } else {
            PrintMsg("* Unknown option: %s:\n", argv[i]);
        }
    }
}

// TestHookValue - a test hook's value: digits only, else ignored with a line.
std::optional<long> TestHookValue(const char* name)
{
    const char* text = getenv(name);
    if (text == nullptr)
        return std::nullopt;
    const size_t length = strlen(text);
    if (length == 0 || length > 12 || strspn(text, "0123456789") != length) {
        PrintMsg("* ignoring %s=%s: not a number\n", name, ClipText(text, 40).c_str());
        return std::nullopt;
    }
    return atol(text);
}

// RegisterTasks - the controller's periodic work, each with its cadence.
void RegisterTasks(Plugin& plugin)
{
    plugin.controller.SetWatchdog(plugin.pool, plugin.maxScanningTime, [&plugin](const GivenUpScan& scan) {
        plugin.problems.ReactToStuckScan(plugin, scan);
    });
    plugin.controller.AddTask([&plugin](time_t, int64_t) {
        plugin.statistics.SampleConcurrency(plugin.pool.CountActiveThreads());
        return true;
    });
    plugin.controller.AddTask([&plugin](time_t now, int64_t) {
        plugin.dailyReports.Offer(plugin.statistics, *CurrentSettings(), now, false, plugin.HostStatuses());
        return true;
    });
    plugin.controller.AddTask([] { return CurrentSettings()->statDumpInterval; },
                              [&plugin](time_t now, int64_t) {
                                  StatisticsSnapshot snapshot = plugin.statistics.Snapshot();
                                  return DumpReportData(*CurrentSettings(), snapshot, now, false);
                              });
    plugin.controller.AddTask(
        [] {
            const int interval = CurrentSettings()->statDumpInterval;
            return interval > 0 ? interval : kDefaultMetricsInterval;
        },
        [&plugin](time_t, int64_t) {
            plugin.WriteMetrics();
            return true;
        });
    // An engine host that failed comes back when it answers a probe.
    plugin.controller.AddTask([&plugin](time_t, int64_t monotonic) {
        plugin.farm.ProbeDownHosts(monotonic);
        return true;
    });
}

}  // namespace

void ApplyTestHooks(Options& options)
{
    if (const auto start = TestHookValue("VELMORA_TEST_CLOCK_START"))
        SetClockOffset(*start - time(nullptr));
    if (const auto limit = TestHookValue("VELMORA_TEST_MAX_SCANNING_TIME"); limit && *limit > 0)
        options.maxScanningTime = static_cast<int>(*limit);
}

void StartUp(Plugin& plugin, int argc, char** argv, Options& options)
{
    SetWorkPath(DeriveWorkPath(argc > 0 ? argv[0] : nullptr));
    SetStartupTime(Now());
    // A peer that goes away (spamd, the host) must show as a write error, not end the process.
    signal(SIGPIPE, SIG_IGN);
    ReadOptions(argc, argv, options);
    DebugMsg("debugging is on\n");
    PrintMsg("* SpamAssassin plugin %s started\n", kPluginVersion);
    // Nothing has been read from the host yet: a start-up that cannot work
    // simply ends, and the host starts the plugin again later.
    if (!ReadConfigFile(true))
        ExitImmediately(1);
    plugin.senders.Initialize();
    if (!plugin.InitEngine())
        ExitImmediately(1);
    const std::shared_ptr<const Settings> settings = CurrentSettings();
    EventReportStarted(*settings);
    ReadReportData(*settings, plugin.statistics);
    plugin.statistics.BeginPeriod(StartupTime());
    if (!StartSignalThreads(plugin))
        ExitImmediately(1);
    if (options.useCrashHandler)
        InstallCrashHandler();
    RegisterTasks(plugin);
    if (!plugin.controller.LaunchControllerThread() ||
        !plugin.pool.StartScanningThreads(settings->MaxScanningThreads))
        ExitImmediately(1);
}

void ShutDown(Plugin& plugin, const std::vector<std::string>& quitIds, const Options& options)
{
    BlockReloads();
    plugin.RequestShutdown();
    // Requests still queued are rejected at once: the host retries them.
    for (const std::string& id : plugin.pool.DropQueued())
        AnswerRefused(plugin.recorder, id, {ReplyKind::TryLater});
    plugin.controller.Stop();
    plugin.pool.WaitForThreads();
    // Scans still running after the wait, and crashed or stuck ones not
    // answered yet, are rejected as well.
    plugin.pool.ForEachHeldRequest([&plugin](FileRequest& request) { AnswerRejected(plugin.recorder, request); });
    plugin.pool.StopScanningThreads();
    const std::shared_ptr<const Settings> settings = CurrentSettings();
    StatisticsSnapshot snapshot = plugin.statistics.Snapshot();
    DumpReportData(*settings, snapshot, Now(), true);
    plugin.WriteMetrics();
    plugin.dailyReports.Offer(plugin.statistics, *settings, Now(), true, plugin.HostStatuses());
    xSleep(1);
    if (options.useCrashHandler)
        RestoreCrashSignals();
    EventReportStoped(*settings);
    for (const std::string& id : quitIds)
        SendReply(id, {ReplyKind::Ok});
    Settings last(*settings);
    last.pConf.reset();
    PublishSettings(std::move(last));  // releases this run's settings tree
    PrintMsg("* SpamAssassin plugin finished.\n");
    SealOutput();
    // Detached scanning threads may still be stuck in a scan; leave without
    // running destructors under them.
    ExitProcess(plugin.ExitStatus());
}
