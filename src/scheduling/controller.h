// controller - the controller thread and the shutdown wait
//
// LaunchControllerThread  start the controller (ends the process on failure)
// ControllerThreadProc    once a second: free finished entries, give up stuck
//                         scans, sample concurrency, offer the daily report
// ControllerPass          one pass at a given time (the thread's body; tests)
// WaitForThreads          wait at most 60 one-second rounds for running scans
#pragma once

#include <ctime>

// MaxScanningTime - seconds a scan may run (1200); the test suite may lower it
// through the environment, users cannot.
extern int MaxScanningTime;

void LaunchControllerThread();
void ControllerThreadProc();
void ControllerPass(time_t now);
void WaitForThreads();
