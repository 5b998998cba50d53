// lifecycle - the plugin's start-up and its orderly shutdown
//
// Options   the command-line switches and the test suite's hooks
// ReadOptions, ApplyTestHooks  fill them
// StartUp   bring every part up in order; a start-up that cannot work ends
//           the process at once (status 1)
// ShutDown  the one way out that answers what was read: reject the requests
//           still queued, wait for running scans (at most 60 seconds) and
//           reject those still open, write the dump, the metrics and the
//           day's report, mail the stopped notice, answer QUIT with OK last,
//           and end with the status asked for
//
// Both run on the main thread; every other thread asks for the shutdown
// (Plugin::RequestShutdown) instead of ending the process itself.
#pragma once

#include <string>
#include <vector>

#include "config/settings.h"

class Plugin;

struct Options {
    bool useCrashHandler = true;
    int maxScanningTime = kMaxScanningTime;
};

// ApplyTestHooks - the test suite moves the clock and shortens the scan
// limit through the environment; administrators have no use for these.
void ApplyTestHooks(Options& options);
void StartUp(Plugin& plugin, int argc, char** argv, Options& options);
[[noreturn]] void ShutDown(Plugin& plugin, const std::vector<std::string>& quitIds, const Options& options);
