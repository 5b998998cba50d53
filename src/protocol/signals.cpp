#include "protocol/signals.h"
// placeholder: signal handling is built in its own change
void InstallSignalHandlers() {}
void RestoreCrashSignals() {}
void signalHandlerHUP(int) {}
void signalHandlerCrash(int) {}
