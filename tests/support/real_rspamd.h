// real_rspamd - a private rspamd for the tests that need the real one,
// started and stopped by scripts/private-rspamd.sh: one normal worker on a
// loopback port and a Unix socket, no network modules and no Redis, so that a
// message gets the same score every time.  A bash shell kept open with popen
// stops rspamd when its input ends: at Stop(), at the destructor, or when the
// test process ends.  A start after a Stop() comes back on the same port.  A
// learning rspamd runs its controller too (ControllerPort, the password in
// PasswordPath) with a private Redis for its Bayes statistics.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "plugin_process.h"

class RealRspamd {
public:
    static bool Installed() { return system("command -v rspamd >/dev/null && command -v python3 >/dev/null") == 0; }

    explicit RealRspamd(bool learning = false) : learning(learning) { Start(); }
    ~RealRspamd() { Stop(); }

    // Start - false, with Error() telling why, when rspamd did not answer /ping in time.
    bool Start()
    {
        std::remove(dir.File("port").c_str());
        // Close-on-exec: a plugin started later must not hold the shell's input open.
        shell = popen(((learning ? "RSPAMD_LEARN=1 " : "") +
                       std::string("bash -c '. \"$0\"/scripts/private-rspamd.sh; if start_private_rspamd \"$1\" "
                                   "\"$2\" >&2 </dev/null; then echo $RSPAMD_PORT $RSPAMD_CONTROLLER_PORT "
                                   ">\"$1/port\"; read -r _; stop_private_rspamd; else echo >\"$1/port\"; fi' ") +
                       VSA_SOURCE_DIR " " + dir.Path() + " '" +
                       (port > 0 ? std::to_string(port) : "") + "' 2>" + dir.File("script.log"))
                          .c_str(),
                      "we");
        for (int wait = 0; wait < 1000 && ReadFileText(dir.File("port")).find('\n') == std::string::npos; wait++)
            usleep(100000);
        const std::string ports = ReadFileText(dir.File("port"));
        port = atoi(ports.c_str());
        controllerPort = ports.find(' ') != std::string::npos ? atoi(ports.c_str() + ports.find(' ')) : 0;
        error = port > 0 ? "" : "rspamd did not start:\n" + ReadFileText(dir.File("script.log"));
        return Ready();
    }
    // Stop - returns once rspamd and every worker are gone.
    void Stop()
    {
        if (shell != nullptr)
            pclose(shell);
        shell = nullptr;
    }

    bool Ready() const { return shell != nullptr && error.empty(); }
    const std::string& Error() const { return error; }
    int Port() const { return port; }
    int ControllerPort() const { return controllerPort; }
    std::string PasswordPath() const { return dir.File("controller.pass"); }
    // LogPath - rspamd's log: one rspamd_task_write_log line per message.
    std::string LogPath() const { return dir.File("rspamd.log"); }

private:
    TempDir dir;
    FILE* shell = nullptr;
    bool learning = false;
    int port = 0;
    int controllerPort = 0;
    std::string error;
};
