// VelmoraSpamAssassin - the plugin's entry: start-up, the command loop on
// standard input, and the orderly shutdown.
//
// The host starts the plugin as a child process and writes one request line
// per message; every FILE request is answered exactly once, later, by a
// scanning thread.  This file is the only one that knows every part: the
// whole start-up, the wiring of the parts and the shutdown order are here.

#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "app/check.h"
#include "app/plugin.h"
#include "app/reload.h"
#include "app/signals.h"
#include "base/output.h"
#include "base/system.h"
#include "base/text.h"
#include "config/paths.h"
#include "config/settings.h"
#include "protocol/request.h"
#include "rating/spamd_client.h"
#include "reports/daily.h"
#include "reports/events.h"
#include "stats/dump.h"

namespace {

constexpr int kLineBufferSize = 1044;  // lines carry at most 1043 characters
constexpr int kMaxScanningTime = 1200;

struct Options {
    bool useCrashHandler = true;
    int maxScanningTime = kMaxScanningTime;
};

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

// ApplyTestHooks - the test suite moves the clock and shortens the scan limit
// through the environment; administrators have no use for these.
void ApplyTestHooks(Options& options)
{
    if (const auto start = TestHookValue("VELMORA_TEST_CLOCK_START"))
        SetClockOffset(*start - time(nullptr));
    if (const auto limit = TestHookValue("VELMORA_TEST_MAX_SCANNING_TIME"); limit && *limit > 0)
        options.maxScanningTime = static_cast<int>(*limit);
}

// ReactToStuckScan - the watchdog gave a scan up (its answer is claimed).
void ReactToStuckScan(Plugin& plugin, const GivenUpScan& scan, int maxScanningTime)
{
    PrintMsg("* timed-out while scanning %s, we'll quit\n", scan.fileName.c_str());
    EventReportProblem("Timed-out (>%d sec) while scanning %s\n", maxScanningTime, scan.fileName.c_str());
    PrintMsg("%s REJECTED timed-out, we'll try again later\n", scan.requestId.c_str());
    plugin.counters.CountStuckScan();
    plugin.counters.CountRequest(RequestOutcome::Rejected);
    if (CurrentSettings()->onProblemMode == OnProblemQuit) {
        PrintMsg("* will quit immediately\n");
        ExitProcess(1);
    }
    plugin.RequestShutdown();
}

void StartUp(Plugin& plugin, int argc, char** argv, Options& options)
{
    ApplyTestHooks(options);
    SetWorkPath(DeriveWorkPath(argc > 0 ? argv[0] : nullptr));
    SetStartupTime(Now());
    // A peer that goes away (spamd, the host) must show as a write error, not end the process.
    signal(SIGPIPE, SIG_IGN);
    ReadOptions(argc, argv, options);
    DebugMsg("debugging is on\n");
    PrintMsg("* SpamAssassin plugin %s started\n", kPluginVersion);
    ReadConfigFile();
    plugin.senders.Initialize();
    if (!plugin.StartEngine())
        ExitProcess(1);
    EventReportStarted();
    ReadReportData(plugin.statistics);
    InstallSignalHandlers(plugin, options.useCrashHandler);

    const int maxScanningTime = options.maxScanningTime;
    plugin.controller.SetWatchdog(plugin.pool, maxScanningTime, [&plugin, maxScanningTime](const GivenUpScan& scan) {
        ReactToStuckScan(plugin, scan, maxScanningTime);
    });
    plugin.controller.AddTask([&plugin](time_t) { plugin.statistics.SampleConcurrency(plugin.pool.CountActiveThreads()); });
    plugin.controller.AddTask([&plugin](time_t) { GenerateDailyReport(plugin.statistics, false); });
    plugin.controller.AddTask([&plugin](time_t) { DumpReportData(plugin.statistics, false); });
    plugin.controller.AddTask([&plugin](time_t now) { plugin.WriteMetrics(now, false); });
    // A spamd host of the farm that failed comes back when it answers a probe.
    plugin.controller.AddTask([&plugin](time_t now) { plugin.farm.ProbeDownHosts(now); });
    plugin.controller.LaunchControllerThread();
    plugin.pool.StartScanningThreads(CurrentSettings()->MaxScanningThreads);
}

// HandleRequestLine - answer one request line; true when it was QUIT.  A
// file that cannot be reached is answered by the scan, which opens it anyway.
bool HandleRequestLine(Plugin& plugin, const RequestLine& request)
{
    const std::string id(request.id);
    switch (request.kind) {
    case RequestKind::MissingCommand:
        PrintMsg("%s FAILURE Missing command.\n", id.c_str());
        return false;
    case RequestKind::MissingFileName:
        PrintMsg("%s FAILURE Missing file name: %s\n", id.c_str(), "FILE");
        plugin.counters.CountRequest(RequestOutcome::Failed);
        return false;
    case RequestKind::Intf:
        PrintMsg("%s INTF 3 PROD=CLAM\n", id.c_str());
        return false;
    case RequestKind::Quit:
        PrintMsg("* quit accepted\n");
        return true;
    case RequestKind::Unknown:
        PrintMsg("%s OK Unknown command: %s\n", id.c_str(), std::string(request.command).c_str());
        return false;
    case RequestKind::File:
        break;
    }
    const std::string path(request.path);
    if (id.size() >= static_cast<size_t>(kRequestIdSize))
        PrintMsg("%s FAILURE Request id too long, at most %d characters\n", id.c_str(), kRequestIdSize - 1);
    else if (path.size() >= static_cast<size_t>(kFileNameSize))
        PrintMsg("%s FAILURE Unable to access file: %s, errno=%d\n", id.c_str(), path.c_str(), ENAMETOOLONG);
    else if (!plugin.pool.EnqueueFile(id, path))
        PrintMsg("%s FAILURE malloc error, errno=%d\n", id.c_str(), ENOMEM);
    else {
        DebugMsg("enqueued %s %s\n", id.c_str(), path.c_str());
        return false;
    }
    plugin.counters.CountRequest(RequestOutcome::Failed);
    return false;
}

// CommandLoop - read request lines until QUIT, end of input or a shutdown
// that another thread asked for; the id of a QUIT request, if one ended the loop.
std::optional<std::string> CommandLoop(Plugin& plugin)
{
    char line[kLineBufferSize];
    time_t lastMarkerCheck = 0;
    for (;;) {
        if (plugin.ShutdownRequested())
            return std::nullopt;
        bool waited = false;
        if (xfgetsFd(line, sizeof line, STDIN_FILENO, &waited) == nullptr) {
            if (!plugin.ShutdownRequested())
                PrintMsg("* Quit request accepted.\n");
            return std::nullopt;
        }
        // The marker is looked for whenever the host paused before this line,
        // and at least once a second within a burst of lines.
        const time_t now = Now();
        if (waited || now != lastMarkerCheck) {
            lastMarkerCheck = now;
            CheckConfigUpdate(plugin);
        }
        const RequestLine request = ParseRequestLine(line);
        if (HandleRequestLine(plugin, request))
            return std::string(request.id);
    }
}

[[noreturn]] void ShutDown(Plugin& plugin, const std::optional<std::string>& quitId, const Options& options)
{
    BlockReloads();
    plugin.pool.PauseTaking();
    plugin.RequestShutdown();
    plugin.controller.Stop();
    plugin.pool.WaitForThreads();
    plugin.pool.StopScanningThreads();
    CloseEngine();
    DumpReportData(plugin.statistics, true);
    plugin.WriteMetrics(Now(), true);
    GenerateDailyReport(plugin.statistics, true);
    xSleep(1);
    if (options.useCrashHandler)
        RestoreCrashSignals();
    EventReportStoped();
    if (quitId)
        PrintMsg("%s OK\n", quitId->c_str());
    Settings last(*CurrentSettings());
    last.pConf.reset();
    PublishSettings(std::move(last));  // releases this run's settings tree
    PrintMsg("* SpamAssassin plugin finished.\n");
    // Detached scanning threads may still be stuck in a scan; leave without
    // running destructors under them.
    ExitProcess(0);
}

}  // namespace

int main(int argc, char** argv)
{
    // The check starts no thread, writes no file and sends no notice.
    for (int i = 1; i < argc; i++)
        if (EqualStringsNoCase(argv[i], "-check"))
            return RunCheck(argc, argv);
    // Before any other thread exists, so that every thread inherits the block
    // and a SIGHUP during start-up waits for the HUP thread instead of ending
    // the process.
    BlockHangUp();
    static Immortal<Plugin> plugin;
    Options options;
    StartUp(*plugin, argc, argv, options);
    ShutDown(*plugin, CommandLoop(*plugin), options);
}
