// signals - SIGHUP (reload) and the crash signals of scanning threads
//
// InstallSignalHandlers   SIGHUP; SIGILL, SIGSEGV, SIGBUS, SIGSYS when the
//                         crash handler is on
// RestoreCrashSignals     default action for the crash signals (shutdown)
// signalHandlerHUP, signalHandlerCrash  the handlers themselves
#pragma once

void InstallSignalHandlers();
void RestoreCrashSignals();
void signalHandlerHUP(int signal);
void signalHandlerCrash(int signal);
