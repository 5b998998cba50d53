// signals - SIGHUP (reload) and the crash signals of scanning threads
//
// InstallSignalHandlers   SIGHUP (taken by a thread of its own); SIGILL,
//                         SIGSEGV, SIGBUS, SIGSYS when the crash handler is on
// RestoreCrashSignals     default action for the crash signals (shutdown)
// signalHandlerHUP        "* HUP signal caught" and the reload (HUP thread)
// signalHandlerCrash      the crash handler (runs on the crashed thread)
#pragma once

void InstallSignalHandlers();
void RestoreCrashSignals();
void signalHandlerHUP(int signal);
void signalHandlerCrash(int signal);
