// signals - SIGHUP (reload) and the crash signals of scanning threads
//
// BlockHangUp            block SIGHUP in the calling thread; main does it
//                        first, so every thread inherits the block and a
//                        SIGHUP during start-up waits for the HUP thread
// InstallSignalHandlers  the HUP thread and the crash thread; SIGILL,
//                        SIGSEGV, SIGBUS, SIGSYS when the crash handler is on
// RestoreCrashSignals    default action for the crash signals (shutdown)
// signalHandlerHUP       "* HUP signal caught" and the reload (HUP thread)
// signalHandlerCrash     the crash handler (runs on the crashed thread)
#pragma once

#include "app/plugin.h"

// The crash reaction acts as OnProblem = Exit after this many crashes in one
// run: every crashed thread stays parked, and their number must stay bounded.
constexpr int kMaxCrashes = 8;

void BlockHangUp();
void InstallSignalHandlers(Plugin& plugin, bool useCrashHandler);
void RestoreCrashSignals();
void signalHandlerHUP(int signal);
void signalHandlerCrash(int signal);
