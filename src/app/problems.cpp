#include "app/problems.h"

#include <sys/stat.h>

#include "app/answers.h"
#include "app/plugin.h"
#include "base/output.h"
#include "base/system.h"
#include "config/settings.h"
#include "reports/events.h"

bool Problems::IdentityOf(const char* path, FileIdentity& identity)
{
    struct stat status;
    if (stat(path, &status) != 0)
        return false;
    identity = {path, status.st_size, static_cast<long>(status.st_mtim.tv_sec), status.st_mtim.tv_nsec};
    return true;
}

bool Problems::CrashedBefore(const char* path)
{
    if (crashes.load() == 0)
        return false;
    FileIdentity identity;
    if (!IdentityOf(path, identity))
        return false;
    std::lock_guard lock(mutex);
    return crashedFiles.count(identity) != 0;
}

void Problems::ReactToStuckScan(Plugin& plugin, const GivenUpScan& scan)
{
    const std::shared_ptr<const Settings> settings = CurrentSettings();
    PrintMsg("* timed-out while scanning %s, we'll quit\n", scan.fileName.c_str());
    EventReportProblem(*settings, "Timed-out (>%d sec) while scanning %s\n", plugin.maxScanningTime,
                       scan.fileName.c_str());
    AnswerGivenUp(plugin.recorder, scan.requestId, plugin.maxScanningTime);
    plugin.recorder.RecordStuckScan();
    if (settings->onProblemMode == OnProblemQuit) {
        PrintMsg("* will quit immediately\n");
        ExitImmediately(1);
    }
    plugin.RequestShutdown();
}

void Problems::ReactToCrash(Plugin& plugin, const CrashRecord& crash)
{
    if (crash.locksHeld > 0)
        ExitImmediately(1);
    Worker& worker = *crash.worker;
    PrintMsg("* Crash detected !!!\n");
    // A request is the worker's only while it is busy; the crashed thread
    // wrote it before the crash, and the pipe orders that before this read.
    FileRequest* request = worker.busy ? &worker.request : nullptr;
    const std::string fileName = request != nullptr ? request->Path() : "(between two requests)";
    PrintMsg("* crashed while scanning %s\n", fileName.c_str());
    FileIdentity identity;
    if (request != nullptr && IdentityOf(request->Path(), identity)) {
        std::lock_guard lock(mutex);
        crashedFiles.insert(identity);
    }
    const int crashCount = ++crashes;
    plugin.recorder.RecordCrash();
    const std::shared_ptr<const Settings> settings = CurrentSettings();
    int mode = settings->onProblemMode;
    if (mode == OnProblemIgnore && crashCount >= kMaxCrashes)
        mode = OnProblemExit;
    const char* const consequence = mode == OnProblemQuit     ? "quit"
                                    : mode == OnProblemIgnore ? "try to recover"
                                                              : "try to exit";
    EventReportProblem(*settings, "Signal %d received while scanning %s.\nThe plugin will %s", crash.signal,
                       fileName.c_str(), consequence);
    if (mode == OnProblemQuit) {
        PrintMsg("* will quit immediately\n");
        ExitImmediately(1);
    }
    // The host retries a REJECTED request later.
    if (request != nullptr)
        AnswerRejected(plugin.recorder, *request);
    plugin.pool.WriteOffWorker(worker, mode == OnProblemIgnore);
    if (mode != OnProblemIgnore)
        plugin.RequestShutdown();
}

void ExitImmediately(int status) { ExitProcess(status); }
