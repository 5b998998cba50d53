// session - one run of the plugin as the host runs it: start it in its
// working directory, ask INTF, keep FILE requests in flight, read every
// reply, QUIT, and wait for the exit
//
// RunSession  the whole run; returns what happened, never throws
//
// Request ids are "0" for INTF, "1".."n" for the spooled messages in spool
// order and "n+1" for QUIT.  Every output line of the plugin is checked
// against the ids sent (ReplyTracker); diagnostic lines are only recorded.
// Single-threaded: one poll loop writes requests and reads replies, so a
// plugin that writes while the tool writes never blocks either side.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "replay/host_protocol.h"
#include "replay/spool.h"

namespace replay {

struct SessionOptions {
    std::string program;            // path the plugin is started by (its symlink)
    std::string workDir;            // its current directory
    std::string transcriptPath;     // every output line of the plugin; empty: none
    size_t inFlight = 20;           // FILE requests outstanding at most
    int replyTimeoutSeconds = 120;  // give up waiting after this long without a reply
    int quitTimeoutSeconds = 120;   // from QUIT to the plugin's exit
    bool progress = false;          // a progress line on stderr
    // Called for each message's first reply as it arrives.
    std::function<void(const SpoolEntry&, const OutputLine&)> onReply;
};

struct MessageOutcome {
    bool answered = false;
    ReplyKind kind = ReplyKind::Other;
    std::string text;         // the reply after its id
    std::string headerText;   // ADDHEADER payload
    double latencySeconds = 0;
};

struct SessionResult {
    bool started = false;            // INTF was answered
    std::vector<MessageOutcome> messages;
    ReplyTracker tracker;
    size_t diagnosticLines = 0;
    double wallSeconds = 0;          // first FILE request to the last message reply
    std::optional<long> peakRssKiB;  // VmHWM just before QUIT
    std::optional<double> cpuSeconds; // user + system, start-up included, just before QUIT
    double hostCpuSeconds = 0;        // the tool's own session thread: the host side of the protocol
    bool gaveUpWaiting = false;      // replies stopped coming before all were in
    bool quitSent = false;
    bool quitAnswered = false;       // "<id> OK" for the QUIT request
    int exitStatus = -1;             // exit status, 128 + signal, -1 unknown
    pid_t pid = -1;
    std::vector<std::string> faults; // what went wrong with the plugin as a process
};

SessionResult RunSession(const std::vector<SpoolEntry>& spool, const SessionOptions& options);

}  // namespace replay
