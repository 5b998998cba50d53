#include "replay/fake_spamd.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

namespace replay {

namespace {

bool WriteWhole(int fd, std::string_view bytes)
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

bool FillAddress(const std::string& path, sockaddr_un& address)
{
    memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path)
        return false;
    memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return true;
}

// ContentLength - the value of a Content-length header line, any letter case.
std::optional<size_t> ContentLength(std::string_view header)
{
    size_t pos = 0;
    while (pos < header.size()) {
        size_t end = header.find("\r\n", pos);
        std::string_view line = header.substr(pos, end == std::string_view::npos ? std::string_view::npos : end - pos);
        const std::string_view name = "content-length:";
        if (line.size() > name.size()) {
            bool match = true;
            for (size_t i = 0; i < name.size(); i++)
                if (std::tolower(static_cast<unsigned char>(line[i])) != name[i])
                    match = false;
            if (match)
                return static_cast<size_t>(strtoul(std::string(line.substr(name.size())).c_str(), nullptr, 10));
        }
        if (end == std::string_view::npos)
            break;
        pos = end + 2;
    }
    return std::nullopt;
}

}  // namespace

bool ParseFakeVerdict(std::string_view text, FakeVerdict& verdict)
{
    std::string copy(text);
    char* end = nullptr;
    FakeVerdict parsed;
    parsed.score = strtod(copy.c_str(), &end);
    if (end == copy.c_str() || *end != '/')
        return false;
    const char* thresholdText = end + 1;
    parsed.threshold = strtod(thresholdText, &end);
    if (end == thresholdText)
        return false;
    if (*end == ':') {
        const char* delayText = end + 1;
        long delay = strtol(delayText, &end, 10);
        if (end == delayText || delay < 0 || delay > 600000)
            return false;
        parsed.delayMs = static_cast<int>(delay);
    }
    if (*end != '\0')
        return false;
    verdict = parsed;
    return true;
}

std::string FakeCheckReply(const FakeVerdict& verdict)
{
    char text[160];
    snprintf(text, sizeof text, "SPAMD/1.1 0 EX_OK\r\nSpam: %s ; %.1f / %.1f\r\n\r\n",
             verdict.score >= verdict.threshold ? "True" : "False", verdict.score, verdict.threshold);
    return text;
}

bool RequestComplete(std::string_view bytes)
{
    size_t firstLine = bytes.find("\r\n");
    if (firstLine == std::string_view::npos)
        return false;
    // The plugin's PING is one line with nothing after it.
    if (bytes.starts_with("PING"))
        return true;
    size_t headerEnd = bytes.find("\r\n\r\n");
    if (headerEnd == std::string_view::npos)
        return false;
    std::optional<size_t> length = ContentLength(bytes.substr(0, headerEnd + 2));
    return bytes.size() - (headerEnd + 4) >= length.value_or(0);
}

FakeSpamd::~FakeSpamd() { Stop(); }

bool FakeSpamd::Start(const std::string& socketPath, const FakeVerdict& v, int threads, std::string& error)
{
    path = socketPath;
    verdict = v;
    checkReply = FakeCheckReply(v);
    sockaddr_un address;
    if (!FillAddress(path, address)) {
        error = "socket path too long: " + path;
        return false;
    }
    listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener < 0) {
        error = std::string("socket: ") + strerror(errno);
        return false;
    }
    unlink(path.c_str());
    if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(listener, 512) != 0) {
        error = path + ": " + strerror(errno);
        close(listener);
        listener = -1;
        return false;
    }
    stopping.store(false);
    for (int i = 0; i < threads; i++)
        servers.emplace_back([this] { Serve(); });
    return true;
}

void FakeSpamd::Stop()
{
    if (listener < 0)
        return;
    stopping.store(true);
    // Each server thread sits in accept(): one connection wakes one thread.
    sockaddr_un address;
    FillAddress(path, address);
    for (size_t i = 0; i < servers.size(); i++) {
        int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0)
            continue;
        connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        close(fd);
    }
    for (std::thread& server : servers)
        server.join();
    servers.clear();
    close(listener);
    listener = -1;
    unlink(path.c_str());
}

void FakeSpamd::Serve()
{
    std::string request;
    char buffer[65536];
    while (!stopping.load()) {
        int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            return;
        }
        if (stopping.load()) {
            close(fd);
            return;
        }
        request.clear();
        bool complete = false;
        while (!complete) {
            ssize_t n = recv(fd, buffer, sizeof buffer, 0);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;  // a client that half-closes after its request is answered too
            request.append(buffer, static_cast<size_t>(n));
            complete = RequestComplete(request);
        }
        if (request.starts_with("PING")) {
            WriteWhole(fd, "SPAMD/1.5 0 PONG\r\n");
        } else if (!request.empty()) {
            if (verdict.delayMs > 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(verdict.delayMs));
            checks.fetch_add(1);
            WriteWhole(fd, checkReply);
        }
        close(fd);
    }
}

}  // namespace replay
