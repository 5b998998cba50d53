// problems - what the plugin does when a scan gets stuck or crashes
//
// Problems::ReactToStuckScan  the watchdog gave a scan up (its answer is
//                             claimed): "* timed-out while scanning ...",
//                             the problem notice, REJECTED timed-out, then by
//                             OnProblem: Quit ends the process at once,
//                             Exit and Ignore shut down in order
// Problems::ReactToCrash      a scanning thread crashed (crash thread)
// Problems::CrashedBefore     did this message crash a scan in this run
// ExitImmediately             end the process at once with a status: no
//                             shutdown, no dump, no notice
//
// The crash reaction, in the order the administrator expects:
//   inside a lock that guards shared data (the output line, the statistics,
//   the queue): that data may be half-updated and the lock is never
//   released, so the process ends at once (status 1) and the host starts the
//   plugin again;
//   otherwise "* Crash detected !!!", "* crashed while scanning <path>", the
//   problem notice, then by OnProblem: Quit ends the process (status 1);
//   Exit answers REJECTED and shuts the plugin down in order; Ignore answers
//   REJECTED and gives the slot a new thread.  After kMaxCrashes crashes in
//   one run Ignore acts as Exit: every crashed thread stays parked, and
//   their number must stay bounded.
// The host retries a message whose scan crashed; scanning it again would
// crash again, one thread after another, so such a message is answered with
// the rating-0 headers instead (see Plugin::HandleFileRequest).
//
// The crash thread and the controller react; scanning threads ask
// CrashedBefore.  A lock of the object guards the memory of crashed files.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <mutex>
#include <set>
#include <string>
#include <tuple>

#include "scheduling/controller.h"

class Plugin;
struct CrashRecord;

constexpr int kMaxCrashes = 8;

class Problems {
public:
    void ReactToStuckScan(Plugin& plugin, const GivenUpScan& scan);
    void ReactToCrash(Plugin& plugin, const CrashRecord& crash);
    bool CrashedBefore(const char* path);

private:
    using FileIdentity = std::tuple<std::string, off_t, long, long>;  // path, size, mtime
    static bool IdentityOf(const char* path, FileIdentity& identity);

    std::mutex mutex;
    std::set<FileIdentity> crashedFiles;  // guarded by mutex
    std::atomic<int> crashes{0};
};

[[noreturn]] void ExitImmediately(int status);
