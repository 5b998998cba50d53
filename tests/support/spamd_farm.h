// spamd_farm - real spamd processes for the farm tests, on loopback only:
// TCP ports of 127.0.0.1 (TLS with a certificate made here with openssl) or
// a Unix socket.  Each runs in a process group of its own, is killed by its
// pid (the whole group: its children too) and can be started again.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

class SpamdProcess {
public:
    // listen - spamd's --listen and --socketpath arguments; dir holds its logs.
    SpamdProcess(std::string dir, std::vector<std::string> listen) : dir(std::move(dir)), listen(std::move(listen)) {}
    ~SpamdProcess() { Kill(); }
    SpamdProcess(const SpamdProcess&) = delete;
    SpamdProcess& operator=(const SpamdProcess&) = delete;

    // Launch - start it; each run logs into a file of its own.
    void Launch();
    // WaitReady - until host (a Hosts entry without ssl:) answers PING, at most
    // 90 seconds; false with the log.
    bool WaitReady(const std::string& host, std::string& error);
    void Kill();
    pid_t Pid() const { return pid; }
    std::string Log() const;  // of the current run

private:
    std::string dir;
    std::vector<std::string> listen;
    pid_t pid = -1;
    int runs = 0;
};

// FreeLoopbackPort - a TCP port of 127.0.0.1 that nothing listens on now.
int FreeLoopbackPort();
// MakeCertificate - dir/name.pem and dir/name.key, self-signed for 127.0.0.1.
bool MakeCertificate(const std::string& dir, const std::string& name, std::string& error);
