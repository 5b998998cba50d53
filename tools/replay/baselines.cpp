#include "replay/baselines.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <netdb.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

// rspamd's request and reply framing come from the plugin's own library (vsa,
// linked into this one), so that the floor pays what the plugin pays for them.
#include "rating/envelope.h"
#include "rating/rspamd_protocol.h"

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

// FloorHost - one host of the floor's list and the protocol it speaks.
struct FloorHost {
    Address address;
    bool rspamd = false;
    std::string hostHeader;  // rspamd's Host header: the host:port written, "localhost" for a socket
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

// FloorHostOf - an entry of the host list, its "rspamd:" taken off; false
// when its address cannot be resolved.
bool FloorHostOf(const std::string& entry, FloorHost& host)
{
    host.rspamd = IsRspamdHost(entry);
    std::string address = host.rspamd ? entry.substr(kRspamdHostPrefix.size()) : entry;
    const bool socket = address.starts_with('/');
    // The plugin takes rspamd's own port for an rspamd host written without one.
    const size_t portColon = address.find(':', address.starts_with('[') ? address.find(']') : 0);
    if (host.rspamd && !socket && portColon == std::string::npos)
        address += ":11333";
    host.hostHeader = socket ? "localhost" : address;
    return AddressOf(address, host.address);
}

// Connect - a fresh connection to the address, or -1.
int Connect(const Address& address)
{
    int fd = socket(address.storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && connect(fd, reinterpret_cast<const sockaddr*>(&address.storage), address.length) != 0) {
        close(fd);
        fd = -1;
    }
    return fd;
}

// SendAll - every byte of the request; false when the connection fails.
bool SendAll(int fd, std::string_view bytes)
{
    while (!bytes.empty()) {
        ssize_t n = send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        bytes.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

// ReceiveSome - up to capacity bytes; 0 at the end, -1 on an error.
ssize_t ReceiveSome(int fd, char* buffer, size_t capacity)
{
    ssize_t n;
    do
        n = recv(fd, buffer, capacity, 0);
    while (n < 0 && errno == EINTR);
    return n;
}

// SpamdExchange - one CHECK over a fresh connection, the reply read to its
// end; false when any step fails.
bool SpamdExchange(const Address& address, std::string_view request, char* reply, size_t capacity)
{
    const int fd = Connect(address);
    if (fd < 0)
        return false;
    bool ok = SendAll(fd, request);
    size_t got = 0;
    while (ok) {
        const ssize_t n = ReceiveSome(fd, reply, capacity);
        if (n < 0)
            ok = false;
        if (n <= 0)
            break;
        got += static_cast<size_t>(n);
    }
    close(fd);
    return ok && got > 0;
}

// RspamdExchange - one /checkv2 over a fresh connection, read until the reply
// is complete by its Content-Length (rspamd closes only after it has sent it)
// and its verdict parsed: a plugin cannot answer the host without the score.
bool RspamdExchange(const Address& address, std::string_view request, std::string& reply, char* chunk,
                    size_t capacity)
{
    const int fd = Connect(address);
    if (fd < 0)
        return false;
    reply.clear();
    HttpReplyState state = SendAll(fd, request) ? HttpReplyState::Incomplete : HttpReplyState::Invalid;
    while (state == HttpReplyState::Incomplete) {
        const ssize_t n = ReceiveSome(fd, chunk, capacity);
        if (n <= 0)
            break;
        reply.append(chunk, static_cast<size_t>(n));
        state = RspamdReplyState(reply);
    }
    close(fd);
    if (state != HttpReplyState::Complete)
        return false;
    const HttpReply http = ParseHttpReply(reply);
    return http.valid && http.status == 200 && ParseRspamdVerdict(http.body).rated;
}

}  // namespace

void BuildCheckRequest(const std::string& fileText, std::string& request)
{
    std::string_view body = std::string_view(fileText).substr(FindEnvelopeLength(fileText.c_str()));
    body = body.substr(0, body.find('\0'));
    char header[96];
    int headerLength = snprintf(header, sizeof header, "CHECK SPAMC/1.2\r\nContent-length: %lu\r\n\r\n",
                                static_cast<unsigned long>(body.size() + 1));
    request.assign(header, static_cast<size_t>(headerLength));
    request.append(body);
    request += '\n';
}

void BuildRspamdRequest(const std::string& fileText, std::string_view hostHeader, std::string_view queueId,
                        std::string& request)
{
    // The plugin's own envelope reading, so that the headers are the ones it sends.
    const char* text = fileText.c_str();
    const unsigned long envelopeLength = FindEnvelopeLength(text);
    EnvelopeAddresses envelope;
    ReadEnvelopeAddresses(text, envelopeLength, envelope);
    const char* message = text + envelopeLength;
    const std::string_view body(message, strnlen(message, fileText.size() - envelopeLength));
    BuildRspamdCheckHead(request, hostHeader, body.size(),
                         {envelope.sender, envelope.recipients, envelope.sourceIp, queueId, {}});
    request.append(body);
}

std::string EngineNames(const std::vector<std::string>& hosts)
{
    const bool rspamd = std::any_of(hosts.begin(), hosts.end(), [](const std::string& h) { return IsRspamdHost(h); });
    const bool spamd = std::any_of(hosts.begin(), hosts.end(), [](const std::string& h) { return !IsRspamdHost(h); });
    return rspamd && spamd ? "spamd and rspamd" : rspamd ? "rspamd" : "spamd";
}

namespace {

BaselineResult RunFloorHere(const std::vector<SpoolEntry>& spool, const std::vector<std::string>& hosts, int threads)
{
    BaselineResult result;
    result.messages = spool.size();
    std::vector<FloorHost> floorHosts(hosts.size());
    for (size_t i = 0; i < hosts.size(); i++)
        if (!FloorHostOf(hosts[i], floorHosts[i])) {
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
            std::string rspamdReply;
            char reply[4096];
            for (size_t i = next.fetch_add(1); i < spool.size(); i = next.fetch_add(1)) {
                if (!ReadSpoolFile(spool[i].path, text)) {
                    failures.fetch_add(1);
                    continue;
                }
                const FloorHost& host = floorHosts[i % floorHosts.size()];
                bool ok;
                if (host.rspamd) {
                    BuildRspamdRequest(text, host.hostHeader, std::to_string(i + 1), request);
                    ok = RspamdExchange(host.address, request, rspamdReply, reply, sizeof reply);
                } else {
                    BuildCheckRequest(text, request);
                    ok = SpamdExchange(host.address, request, reply, sizeof reply);
                }
                if (!ok)
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
