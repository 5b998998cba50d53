#include "app/signals.h"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "base/output.h"
#include "protocol/replies.h"

namespace {

constexpr int kCrashSignals[] = {SIGILL, SIGSEGV, SIGBUS, SIGSYS};

// Written by a crashed thread inside its signal handler, read by the crash thread.
int crashPipe[2] = {-1, -1};

[[noreturn]] void ParkForever()
{
    sigset_t all;
    sigfillset(&all);
    for (;;)
        sigsuspend(&all);
}

void* HupThreadProc(void* reactions)
{
    sigset_t hup;
    sigemptyset(&hup);
    sigaddset(&hup, SIGHUP);
    for (;;) {
        int signal = 0;
        if (sigwait(&hup, &signal) == 0)
            static_cast<SignalReactions*>(reactions)->HangUp();
    }
}

void* CrashThreadProc(void* reactions)
{
    for (;;) {
        CrashRecord crash;
        const ssize_t n = read(crashPipe[0], &crash, sizeof crash);
        if (n < 0 && errno == EINTR)
            continue;
        if (n != static_cast<ssize_t>(sizeof crash))
            return nullptr;
        static_cast<SignalReactions*>(reactions)->Crash(crash);
    }
}

bool StartThread(void* (*body)(void*), SignalReactions& reactions)
{
    pthread_t thread;
    const int error = pthread_create(&thread, nullptr, body, &reactions);
    if (error != 0) {
        SendLaunchFailure(error);
        return false;
    }
    pthread_detach(thread);
    return true;
}

}  // namespace

void BlockHangUp()
{
    sigset_t hup;
    sigemptyset(&hup);
    sigaddset(&hup, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &hup, nullptr);
}

bool StartSignalThreads(SignalReactions& reactions)
{
    if (pipe2(crashPipe, O_CLOEXEC) != 0) {
        PrintMsg("* FAILURE Unable to create the signal pipe, errno=%d\n", errno);
        return false;
    }
    return StartThread(HupThreadProc, reactions) && StartThread(CrashThreadProc, reactions);
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

void InstallCrashHandler()
{
    for (int signal : kCrashSignals) {
        struct sigaction action {};
        action.sa_handler = signalHandlerCrash;
        action.sa_flags = SA_RESTART | SA_ONSTACK;
        sigfillset(&action.sa_mask);
        sigaction(signal, &action, nullptr);
    }
}

void RestoreCrashSignals()
{
    for (int signal : kCrashSignals) {
        struct sigaction defaults {};
        defaults.sa_handler = SIG_DFL;
        sigaction(signal, &defaults, nullptr);
    }
}
