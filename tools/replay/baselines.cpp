#include "replay/baselines.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <netdb.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

namespace replay {

namespace {

using Clock = std::chrono::steady_clock;

double ThreadCpuSeconds()
{
    rusage usage;
    if (getrusage(RUSAGE_THREAD, &usage) != 0)
        return 0;
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

struct Address {
    sockaddr_storage storage{};
    socklen_t length = 0;
};

// AddressOf - a Unix socket path, or host:port ([v6]:port) resolved once.
bool AddressOf(const std::string& host, Address& address)
{
    if (host.starts_with('/')) {
        sockaddr_un unixAddress{};
        unixAddress.sun_family = AF_UNIX;
        strncpy(unixAddress.sun_path, host.c_str(), sizeof unixAddress.sun_path - 1);
        memcpy(&address.storage, &unixAddress, sizeof unixAddress);
        address.length = sizeof unixAddress;
        return true;
    }
    const size_t colon = host.rfind(':');
    if (colon == std::string::npos)
        return false;
    std::string name = host.substr(0, colon);
    if (name.size() > 2 && name.front() == '[' && name.back() == ']')
        name = name.substr(1, name.size() - 2);
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(name.c_str(), host.c_str() + colon + 1, &hints, &found) != 0)
        return false;
    memcpy(&address.storage, found->ai_addr, found->ai_addrlen);
    address.length = found->ai_addrlen;
    freeaddrinfo(found);
    return true;
}

// Exchange - one CHECK over a fresh connection; false when any step fails.
bool Exchange(const Address& address, std::string_view request, char* reply, size_t capacity)
{
    int fd = socket(address.storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    bool ok = connect(fd, reinterpret_cast<const sockaddr*>(&address.storage), address.length) == 0;
    while (ok && !request.empty()) {
        ssize_t n = send(fd, request.data(), request.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            ok = false;
        else
            request.remove_prefix(static_cast<size_t>(n));
    }
    size_t got = 0;
    while (ok) {
        ssize_t n = recv(fd, reply, capacity, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            ok = false;
        if (n <= 0)
            break;
        got += static_cast<size_t>(n);
    }
    close(fd);
    return ok && got > 0;
}

}  // namespace

void BuildCheckRequest(std::string_view fileText, std::string& request)
{
    std::string_view body = fileText.substr(EnvelopeLength(fileText));
    body = body.substr(0, body.find('\0'));
    char header[96];
    int headerLength = snprintf(header, sizeof header, "CHECK SPAMC/1.2\r\nContent-length: %lu\r\n\r\n",
                                static_cast<unsigned long>(body.size() + 1));
    request.assign(header, static_cast<size_t>(headerLength));
    request.append(body);
    request += '\n';
}

namespace {

BaselineResult RunFloorHere(const std::vector<SpoolEntry>& spool, const std::vector<std::string>& hosts, int threads)
{
    BaselineResult result;
    result.messages = spool.size();
    std::vector<Address> addresses(hosts.size());
    for (size_t i = 0; i < hosts.size(); i++)
        if (!AddressOf(hosts[i], addresses[i])) {
            result.failures = spool.size();
            return result;
        }

    std::atomic<size_t> next{0};
    std::atomic<size_t> failures{0};
    std::vector<double> cpu(static_cast<size_t>(threads), 0.0);
    Clock::time_point start = Clock::now();
    std::vector<std::thread> clients;
    for (int t = 0; t < threads; t++) {
        clients.emplace_back([&, t] {
            double cpuStart = ThreadCpuSeconds();
            std::string text;
            std::string request;
            char reply[4096];
            for (size_t i = next.fetch_add(1); i < spool.size(); i = next.fetch_add(1)) {
                if (!ReadSpoolFile(spool[i].path, text)) {
                    failures.fetch_add(1);
                    continue;
                }
                BuildCheckRequest(text, request);
                if (!Exchange(addresses[i % addresses.size()], request, reply, sizeof reply))
                    failures.fetch_add(1);
            }
            cpu[static_cast<size_t>(t)] = ThreadCpuSeconds() - cpuStart;
        });
    }
    for (std::thread& client : clients)
        client.join();
    result.wallSeconds = std::chrono::duration<double>(Clock::now() - start).count();
    result.failures = failures.load();
    for (double seconds : cpu)
        result.cpuSeconds += seconds;
    return result;
}

}  // namespace

BaselineResult RunFloor(const std::vector<SpoolEntry>& spool, const std::vector<std::string>& hosts, int threads)
{
    // The client runs in a process of its own, as the plugin does: a client
    // that shared the fake spamd's process would switch between threads of one
    // address space where the plugin switches between processes.
    int result[2];
    if (pipe(result) != 0)
        return RunFloorHere(spool, hosts, threads);
    const pid_t child = fork();
    if (child == 0) {
        close(result[0]);
        const BaselineResult measured = RunFloorHere(spool, hosts, threads);
        ssize_t ignored = write(result[1], &measured, sizeof measured);
        (void)ignored;
        _exit(0);
    }
    close(result[1]);
    BaselineResult measured;
    bool got = false;
    if (child > 0) {
        ssize_t n;
        do
            n = read(result[0], &measured, sizeof measured);
        while (n < 0 && errno == EINTR);
        got = n == static_cast<ssize_t>(sizeof measured);
        int status = 0;
        while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
        }
    }
    close(result[0]);
    return got ? measured : RunFloorHere(spool, hosts, threads);
}

BaselineResult RunSpamc(const std::vector<SpoolEntry>& spool, size_t limit, const std::string& spamcBinary,
                        const std::string& socketPath, int parallel)
{
    BaselineResult result;
    result.messages = std::min(limit, spool.size());
    std::string binary = spamcBinary;
    std::string socket = socketPath;
    std::string flagSocket = "-U";
    std::string flagCheck = "-c";
    char* argv[] = {binary.data(), flagSocket.data(), socket.data(), flagCheck.data(), nullptr};

    size_t running = 0;
    auto reap = [&] {
        int status = 0;
        while (waitpid(-1, &status, 0) < 0) {
            if (errno != EINTR) {
                result.failures++;
                running--;
                return;
            }
        }
        running--;
        // -c exits 0 for a clean message and 1 for spam; anything else is a failure.
        if (!WIFEXITED(status) || WEXITSTATUS(status) > 1)
            result.failures++;
    };

    Clock::time_point start = Clock::now();
    for (size_t i = 0; i < result.messages; i++) {
        while (running >= static_cast<size_t>(parallel))
            reap();
        int input = open(spool[i].path.c_str(), O_RDONLY | O_CLOEXEC);
        if (input < 0) {
            result.failures++;
            continue;
        }
        lseek(input, static_cast<off_t>(spool[i].envelopeLength), SEEK_SET);
        pid_t pid = fork();
        if (pid == 0) {
            dup2(input, 0);
            int null = open("/dev/null", O_WRONLY);
            if (null >= 0) {
                dup2(null, 1);
                dup2(null, 2);
            }
            execvp(argv[0], argv);
            _exit(127);
        }
        close(input);
        if (pid < 0) {
            result.failures++;
            continue;
        }
        running++;
    }
    while (running > 0)
        reap();
    result.wallSeconds = std::chrono::duration<double>(Clock::now() - start).count();
    return result;
}

}  // namespace replay
