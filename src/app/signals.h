// signals - the plumbing of SIGHUP and of the crash signals of scanning threads
//
// BlockHangUp          block SIGHUP in the calling thread; main does it
//                      first, so every thread inherits the block and a
//                      SIGHUP during start-up waits for the HUP thread
// SignalReactions      what the plugin does on SIGHUP and on a crash
// StartSignalThreads   the HUP thread, which takes SIGHUP with sigwait, and
//                      the crash thread, which wakes when a crashed thread
//                      has recorded its crash; false when one cannot start
// InstallCrashHandler  SIGILL, SIGSEGV, SIGBUS and SIGSYS to signalHandlerCrash
// RestoreCrashSignals  default action for the crash signals (shutdown)
// signalHandlerCrash   the crash handler (runs on the crashed thread)
//
// A signal handler may interrupt a thread that holds a lock, and it may not
// safely write, lock, allocate or re-read the settings.  So no work is done
// in signal context: the reactions run in the two threads, which hold no
// lock when they start them.  The crashed thread never returns to the code
// that crashed: it stays parked for good with every signal blocked.  A crash
// outside the scanning threads (main, controller) cannot be answered to
// anyone; the signal's default action ends the process and the host starts
// the plugin again.
#pragma once

#include "scheduling/pool.h"

// CrashRecord - what the crashed thread tells the crash thread, in one pipe write.
struct CrashRecord {
    Worker* worker;
    int signal;
    int locksHeld;  // guarded locks the crashed thread held
};

class SignalReactions {
public:
    virtual void HangUp() = 0;
    virtual void Crash(const CrashRecord& crash) = 0;

protected:
    ~SignalReactions() = default;
};

void BlockHangUp();
// StartSignalThreads - the reactions object must live until the process ends.
bool StartSignalThreads(SignalReactions& reactions);
void InstallCrashHandler();
void RestoreCrashSignals();
void signalHandlerCrash(int signal);
