// real_spamd - a private spamd for the tests that need the real one, started
// and stopped by scripts/private-spamd.sh: on a Unix socket in a temporary
// directory, local tests only and no Bayes, so that a message gets the same
// score every time.  A learning spamd takes TELL into a Bayes database of its
// own (BayesPath).
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

#include "plugin_process.h"

class RealSpamd {
public:
    static bool Installed() { return system("command -v spamd >/dev/null 2>&1") == 0; }

    // Starts spamd and waits (at most a minute) for its socket; Error() tells what went wrong otherwise.
    // The shell stops spamd when its input ends: at the destructor, or when the test process ends.
    explicit RealSpamd(bool learning = false)
        : shell(popen(("bash -c '. \"$0\"/scripts/private-spamd.sh; start_private_spamd \"$1\" \"$2\" >&2 </dev/null "
                       "&& read -r _; stop_private_spamd' " VSA_SOURCE_DIR " " + dir.Path() +
                       (learning ? " learn" : " scan") + " 2>" + dir.File("log"))
                          .c_str(),
                      "we"))
    {
        // The script writes to the log only when spamd did not start.
        for (int wait = 0; wait < 600 && !FileExists(SocketPath()) && ReadFileText(dir.File("log")).empty(); wait++)
            usleep(100000);
        if (!FileExists(SocketPath()))
            error = "spamd did not start:\n" + ReadFileText(dir.File("log"));
    }
    ~RealSpamd()
    {
        if (shell != nullptr)
            pclose(shell);
    }

    bool Ready() const { return error.empty(); }
    const std::string& Error() const { return error; }
    std::string SocketPath() const { return dir.File("spamd.sock"); }
    std::string BayesPath() const { return dir.File("bayes"); }

private:
    TempDir dir;
    FILE* shell;
    std::string error;
};

// SKIP_UNLESS_INSTALLED - CI must run the tests against the real peers; elsewhere they are skipped.
#define SKIP_UNLESS_INSTALLED(installed, peers)                                                                        \
    if (!(installed)) {                                                                                                \
        if (const char* ci = getenv("CI"); ci != nullptr && std::string(ci) == "true")                                 \
            FAIL() << peers << ": not installed, and CI needs the tests against them";                                \
        GTEST_SKIP() << peers << ": not installed; the tests against them are skipped";                               \
    }

// ReadSampleMessage - a file of the spamassassin documentation examples.
inline std::string ReadSampleMessage(const std::string& name)
{
    return ReadFileText("/usr/share/doc/spamassassin/examples/" + name);
}
