// real_spamd - a private spamd on a Unix socket in a temporary directory, for
// the tests that need the real one
//
// Started with local tests only (no network), Bayes off and no per-user
// state, so that a message gets the same score every time; as root its
// children run as nobody.  Runs in a process group of its own, which the
// destructor ends, children included.
#pragma once

#include <sys/types.h>

#include <string>

#include "plugin_process.h"

class RealSpamd {
public:
    // FindBinary - the spamd program, or empty when it is not installed.
    static std::string FindBinary();

    // Starts spamd and waits (at most a minute) until it answers PING;
    // Error() tells what went wrong otherwise.
    RealSpamd();
    ~RealSpamd();
    RealSpamd(const RealSpamd&) = delete;
    RealSpamd& operator=(const RealSpamd&) = delete;

    bool Ready() const { return error.empty(); }
    const std::string& Error() const { return error; }
    const std::string& SocketPath() const { return socketPath; }

private:
    void Stop();

    TempDir dir;
    std::string socketPath;
    pid_t pid = -1;
    std::string error;
};

// ReadSampleMessage - a file of the spamassassin documentation examples,
// plain or gzip-compressed; empty when neither exists.
std::string ReadSampleMessage(const std::string& name);
