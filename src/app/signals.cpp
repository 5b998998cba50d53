// signals - how the plugin reacts to SIGHUP and to crashes of scanning threads
//
// A signal handler may interrupt a thread that holds a lock, and it may not
// safely write, lock, allocate or re-read the settings.  So no work is done
// in signal context:
//
//   SIGHUP is blocked in every thread; the HUP thread takes it with sigwait
//   and runs signalHandlerHUP in an ordinary thread that holds no lock.
//   A crash signal runs signalHandlerCrash on the crashed thread (on its
//   alternate stack, so a stack overflow is caught too), which only records
//   the crash in a pipe; the crash thread wakes and reacts.
//
// The work, in the order the administrator expects:
//
//   SIGHUP  "* HUP signal caught", then the same reload as the marker file.
//   crash   inside a lock that guards shared data (the output line, the
//           statistics, the queue): that data may be half-updated and the
//           lock is never released, so the process ends at once (status 1)
//           and the host starts the plugin again.
//           otherwise "* Crash detected !!!", "* crashed while scanning
//           <path>", the problem notice, then by OnProblem: Quit ends the
//           process (status 1); Exit answers REJECTED and lets the main
//           thread shut down in order; Ignore answers REJECTED and gives the
//           slot a new thread.  After kMaxCrashes crashes Ignore acts as Exit.
//
// The crashed thread never returns to the code that crashed: it stays parked
// for good with every signal blocked.  A crash outside the scanning threads
// (main, controller) cannot be answered to anyone; the signal's default
// action ends the process and the host starts the plugin again.

#include "app/signals.h"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <string>

#include "app/reload.h"
#include "base/output.h"
#include "base/system.h"
#include "config/settings.h"
#include "reports/events.h"

namespace {

constexpr int kCrashSignals[] = {SIGILL, SIGSEGV, SIGBUS, SIGSYS};

// What the crashed thread tells the crash thread, in one pipe write.
struct CrashRecord {
    Worker* worker;
    int signal;
    int locksHeld;
};

Plugin* thePlugin = nullptr;
int crashPipe[2] = {-1, -1};

[[noreturn]] void ParkForever()
{
    sigset_t all;
    sigfillset(&all);
    for (;;)
        sigsuspend(&all);
}

void ReactToCrash(const CrashRecord& crash)
{
    if (crash.locksHeld > 0)
        ExitProcess(1);
    Plugin& plugin = *thePlugin;
    Worker& worker = *crash.worker;
    PrintMsg("* Crash detected !!!\n");
    // A request is the worker's only while it is busy; the crashed thread
    // wrote it before the crash, and the pipe orders that before this read.
    FileRequest* request = worker.busy ? &worker.request : nullptr;
    const std::string fileName = request != nullptr ? request->Path() : "(between two requests)";
    PrintMsg("* crashed while scanning %s\n", fileName.c_str());
    const int crashes = plugin.RememberCrash(request != nullptr ? request->Path() : nullptr);
    plugin.counters.CountCrash();
    // The host retries a REJECTED request later.
    const auto reject = [&plugin, request] {
        if (request != nullptr && AnswerRequest(*request, "REJECTED sorry, we'll try again later\n"))
            plugin.counters.CountRequest(RequestOutcome::Rejected);
    };
    int mode = CurrentSettings()->onProblemMode;
    if (mode == OnProblemIgnore && crashes >= kMaxCrashes)
        mode = OnProblemExit;
    switch (mode) {
    case OnProblemQuit:
        EventReportProblem("Signal %d received while scanning %s.\nThe plugin will quit", crash.signal,
                           fileName.c_str());
        PrintMsg("* will quit immediately\n");
        ExitProcess(1);
    case OnProblemIgnore:
        EventReportProblem("Signal %d received while scanning %s.\nThe plugin will try to recover", crash.signal,
                           fileName.c_str());
        reject();
        plugin.pool.WriteOffWorker(worker, true);
        break;
    default:
        EventReportProblem("Signal %d received while scanning %s.\nThe plugin will try to exit", crash.signal,
                           fileName.c_str());
        reject();
        plugin.pool.WriteOffWorker(worker, false);
        plugin.RequestShutdown();
        break;
    }
}

void* HupThreadProc(void*)
{
    sigset_t hup;
    sigemptyset(&hup);
    sigaddset(&hup, SIGHUP);
    for (;;) {
        int signal = 0;
        if (sigwait(&hup, &signal) == 0)
            signalHandlerHUP(signal);
    }
}

void* CrashThreadProc(void*)
{
    for (;;) {
        CrashRecord crash;
        const ssize_t n = read(crashPipe[0], &crash, sizeof crash);
        if (n < 0 && errno == EINTR)
            continue;
        if (n != static_cast<ssize_t>(sizeof crash))
            return nullptr;
        ReactToCrash(crash);
    }
}

void StartThread(void* (*body)(void*))
{
    pthread_t thread;
    int error = pthread_create(&thread, nullptr, body, nullptr);
    if (error != 0) {
        PrintMsg("FAILURE Unable to launch a thread, errCode=%d\n", error);
        ExitProcess(1);
    }
    pthread_detach(thread);
}

void Install(int signal, void (*handler)(int))
{
    struct sigaction action {};
    action.sa_handler = handler;
    action.sa_flags = SA_RESTART | SA_ONSTACK;
    sigfillset(&action.sa_mask);
    sigaction(signal, &action, nullptr);
}

}  // namespace

void BlockHangUp()
{
    sigset_t hup;
    sigemptyset(&hup);
    sigaddset(&hup, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &hup, nullptr);
}

void signalHandlerHUP(int)
{
    PrintMsg("* HUP signal caught\n");
    UpdateConfig(*thePlugin);
}

void signalHandlerCrash(int signal)
{
    // The worker is found through the thread itself, so a crash before the
    // pool has noted the thread anywhere is caught as well.
    Worker* worker = ScanningPool::WorkerOfThisThread();
    if (worker == nullptr || crashPipe[1] < 0) {
        struct sigaction defaults {};
        defaults.sa_handler = SIG_DFL;
        sigaction(signal, &defaults, nullptr);
        raise(signal);
        return;
    }
    const int saved = errno;
    const CrashRecord crash{worker, signal, GuardedLocksHeld()};
    ssize_t ignored = write(crashPipe[1], &crash, sizeof crash);
    (void)ignored;
    errno = saved;
    ParkForever();
}

void InstallSignalHandlers(Plugin& plugin, bool useCrashHandler)
{
    if (thePlugin == nullptr) {
        thePlugin = &plugin;
        if (pipe2(crashPipe, O_CLOEXEC) != 0) {
            PrintMsg("* FAILURE Unable to create the signal pipe, errno=%d\n", errno);
            ExitProcess(1);
        }
        StartThread(HupThreadProc);
        StartThread(CrashThreadProc);
    }
    if (useCrashHandler)
        for (int signal : kCrashSignals)
            Install(signal, signalHandlerCrash);
}

void RestoreCrashSignals()
{
    for (int signal : kCrashSignals) {
        struct sigaction defaults {};
        defaults.sa_handler = SIG_DFL;
        sigaction(signal, &defaults, nullptr);
    }
}
