// signals - how the plugin reacts to SIGHUP and to crashes of scanning threads
//
// A signal handler may interrupt a thread that holds printMutex, queueMutex or
// reportMutex, and it may not safely write, lock, allocate or re-read the
// settings.  So the handlers only record what happened and write one byte to
// a pipe; the signal thread, which holds no lock when it wakes, does the work
// in the order the administrator expects:
//
//   SIGHUP  "* HUP signal caught", then the same reload as the marker file.
//   crash   "* Crash detected !!!", "* crashed while scanning <path>", the
//           problem notice, then by OnProblem: Quit ends the process (status
//           1); Exit answers REJECTED and lets the main thread shut down in
//           order; Ignore answers REJECTED and writes the slot off until the
//           next reload gives it a new thread.
//
// The crashed thread never returns to the code that crashed: its handler first
// releases every plugin lock that the thread holds (so nobody waits for a dead
// thread), records the crash and then parks the thread for good with every
// signal blocked.  A crash outside the scanning threads (main, controller)
// cannot be answered to anyone; the signal's default action ends the process
// and the host starts the plugin again.

#include "protocol/signals.h"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <string>

#include "config/reload.h"
#include "config/settings.h"
#include "protocol/output.h"
#include "protocol/process.h"
#include "protocol/request.h"
#include "protocol/system.h"
#include "reports/events.h"
#include "scheduling/queue.h"

namespace {

constexpr int kCrashSignals[] = {SIGILL, SIGSEGV, SIGBUS, SIGSYS};

int wakeupPipe[2] = {-1, -1};
std::atomic<int> crashedSignal[kPoolSlots];  // per slot: the signal that crashed it, 0 if none

void Notify(char what)
{
    const int saved = errno;
    ssize_t ignored = write(wakeupPipe[1], &what, 1);
    (void)ignored;
    errno = saved;
}

[[noreturn]] void ParkForever()
{
    sigset_t all;
    sigfillset(&all);
    for (;;)
        sigsuspend(&all);
}

void ReactToCrash(int slot, int signal)
{
    PrintMsg("* Crash detected !!!\n");
    queueItem_t* item = threadsPool[slot].currentItem.load();
    const std::string fileName = item != nullptr ? item->fileName : "(between two requests)";
    PrintMsg("* crashed while scanning %s\n", fileName.c_str());
    switch (CurrentSettings()->onProblemMode) {
    case OnProblemQuit:
        EventReportProblem("Signal %d received while scanning %s.\nThe plugin will quit", signal,
                           fileName.c_str());
        PrintMsg("* will quit immediately\n");
        ExitProcess(1);
    case OnProblemIgnore:
        EventReportProblem("Signal %d received while scanning %s.\nThe plugin will try to recover", signal,
                           fileName.c_str());
        if (item != nullptr) {
            AnswerRequest(*item, "REJECTED sorry, we'll try again later\n");
            FinishRequest(item);
        }
        WriteOffSlot(slot);
        break;
    default:
        EventReportProblem("Signal %d received while scanning %s.\nThe plugin will try to exit", signal,
                           fileName.c_str());
        if (item != nullptr)
            AnswerRequest(*item, "REJECTED sorry, we'll try again later\n");
        quitRequest.store(true);
        break;
    }
}

void* SignalThreadProc(void*)
{
    for (;;) {
        char what;
        ssize_t n = read(wakeupPipe[0], &what, 1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return nullptr;
        if (what == 'H') {
            PrintMsg("* HUP signal caught\n");
            UpdateConfig();
        } else {
            for (int slot = 0; slot < kPoolSlots; slot++)
                if (int signal = crashedSignal[slot].exchange(0); signal != 0)
                    ReactToCrash(slot, signal);
        }
    }
}

void Install(int signal, void (*handler)(int))
{
    struct sigaction action {};
    action.sa_handler = handler;
    action.sa_flags = SA_RESTART;
    sigfillset(&action.sa_mask);
    sigaction(signal, &action, nullptr);
}

}  // namespace

void signalHandlerHUP(int)
{
    Notify('H');
}

void signalHandlerCrash(int signal)
{
    const int slot = FindSlotOfThread(pthread_self());
    if (slot < 0) {
        struct sigaction defaults {};
        defaults.sa_handler = SIG_DFL;
        sigaction(signal, &defaults, nullptr);
        raise(signal);
        return;
    }
    ReleaseMutexesHeldBy(CurrentThreadId());
    crashedSignal[slot].store(signal);
    Notify('C');
    ParkForever();
}

void InstallSignalHandlers()
{
    if (wakeupPipe[0] < 0) {
        if (pipe2(wakeupPipe, O_CLOEXEC) != 0) {
            PrintMsg("* FAILURE Unable to create the signal pipe, errno=%d\n", errno);
            ExitProcess(1);
        }
        pthread_t thread;
        int error = pthread_create(&thread, nullptr, SignalThreadProc, nullptr);
        if (error != 0) {
            PrintMsg("FAILURE Unable to launch a thread, errCode=%d\n", error);
            ExitProcess(1);
        }
        pthread_detach(thread);
    }
    Install(SIGHUP, signalHandlerHUP);
    if (useCrashHandler.load())
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
