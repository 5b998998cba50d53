// VelmoraSpamAssassin - the plugin's entry: start-up, the command loop on
// standard input, and the orderly shutdown.
//
// The host starts the plugin as a child process and writes one request line
// per message; every FILE request is answered exactly once, later, by a
// scanning thread.  The whole start-up and shutdown order is in this file.

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "config/reload.h"
#include "config/settings.h"
#include "protocol/output.h"
#include "protocol/process.h"
#include "protocol/request.h"
#include "protocol/signals.h"
#include "protocol/text.h"
#include "rating/spamd_client.h"
#include "rating/whitelist.h"
#include "reports/daily.h"
#include "reports/events.h"
#include "scheduling/controller.h"
#include "scheduling/queue.h"
#include "stats/dump.h"
#include "stats/ranked_list.h"

namespace {

const char* const kVersion = "0.3 Linux-x86_64 build 22-Jun-2023";
constexpr int kLineBufferSize = 1044;  // lines carry at most 1043 characters

// ReadOptions - the command-line switches; unknown ones are reported and ignored.
void ReadOptions(int argc, char** argv)
{
    for (int i = 1; i < argc; i++) {
        if (EqualStringsNoCase(argv[i], "-debug") || EqualStringsNoCase(argv[i], "-d")) {
            doDebug.store(true);
        } else if (EqualStringsNoCase(argv[i], "-noCrashHandler")) {
            useCrashHandler.store(false);
            PrintMsg("* No crash handler will be used.\n");
        } else {
            PrintMsg("* Unknown option: %s:\n", argv[i]);
        }
    }
}

// ApplyTestHooks - the test suite moves the clock and shortens the scan limit
// through the environment; administrators have no use for these.
void ApplyTestHooks()
{
    if (const char* start = getenv("VELMORA_TEST_CLOCK_START"))
        SetClockOffset(atol(start) - time(nullptr));
    if (const char* limit = getenv("VELMORA_TEST_MAX_SCANNING_TIME"))
        MaxScanningTime = atoi(limit);
}

void StartUp(int argc, char** argv)
{
    ApplyTestHooks();
    workPath = DeriveWorkPath(argc > 0 ? argv[0] : nullptr);
    startupTime.store(Now());
    // A peer that goes away (spamd, the host) must show as a write error, not end the process.
    signal(SIGPIPE, SIG_IGN);
    ReadOptions(argc, argv);
    xMutexInit(printMutex);
    DebugMsg("debugging is on\n");
    PrintMsg("* SpamAssassin plugin %s started\n", kVersion);
    ReadConfigFile();
    ReportClearList(&reportTargetList);
    ReportClearList(&reportSourceList);
    whitelist.Initialize();
    InitEngine();
    EventReportStarted();
    ReadReportData();
    InstallSignalHandlers();
    LaunchControllerThread();
    StartScanningThreads();
}

// HandleRequestLine - answer one request line; true when it was QUIT.
bool HandleRequestLine(const char* text)
{
    const RequestLine request = SplitRequestLine(text);
    const std::string id(request.id);
    if (!request.hasSpace) {
        PrintMsg("%s FAILURE Missing command.\n", id.c_str());
        return false;
    }
    const std::string_view command = request.command;
    if (command.starts_with("FILE ")) {
        const std::string path(FilePathOf(command));
        if (path.empty())
            PrintMsg("%s FAILURE Missing file name: %s\n", id.c_str(), "FILE");
        else
            EnqueueFile(id.c_str(), path.c_str());
    } else if (command.starts_with("INTF")) {
        PrintMsg("%s INTF 3 PROD=CLAM\n", id.c_str());
    } else if (command.starts_with("QUIT")) {
        PrintMsg("* quit accepted\n");
        return true;
    } else {
        PrintMsg("%s OK Unknown command: %s\n", id.c_str(), std::string(command).c_str());
    }
    return false;
}

// CommandLoop - read request lines until QUIT, end of input or a quit that
// another thread asked for; the id of a QUIT request, if one ended the loop.
std::optional<std::string> CommandLoop()
{
    char line[kLineBufferSize];
    for (;;) {
        if (quitRequest.load())
            return std::nullopt;
        if (xfgets(line, sizeof line, stdin) == nullptr) {
            PrintMsg("* Quit request accepted.\n");
            return std::nullopt;
        }
        DumpReportData(false);
        CheckConfigUpdate();
        if (HandleRequestLine(line))
            return std::string(SplitRequestLine(line).id);
    }
}

[[noreturn]] void ShutDown(const std::optional<std::string>& quitId)
{
    BlockReloads();
    enqueuePause.store(true);
    quitRequest.store(true);
    WaitForThreads();
    StopScanningThreads();
    CloseEngine();
    DumpReportData(true);
    GenerateDailyReport(true);
    xSleep(1);
    if (useCrashHandler.load())
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
    StartUp(argc, argv);
    ShutDown(CommandLoop());
}
