#include "fake_spamd.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>

// ReadRequest - a PING line, or the headers of a request and their
// Content-length of body (SPAMC's spelling, or HTTP's for rspamd's).
static std::string ReadRequest(int fd)
{
    std::string data;
    char buffer[65536];
    for (;;) {
        const size_t headerEnd = data.find("\r\n\r\n");
        const size_t at = std::min(data.find("Content-length: "), data.find("Content-Length: "));
        if (data.starts_with("PING") && data.find("\r\n") != std::string::npos)
            return data;
        if (headerEnd != std::string::npos &&
            data.size() >= headerEnd + 4 + (at < headerEnd ? strtoul(data.c_str() + at + 16, nullptr, 10) : 0))
            return data;
        pollfd p{fd, POLLIN, 0};
        const ssize_t n = poll(&p, 1, 5000) > 0 ? read(fd, buffer, sizeof buffer) : 0;
        if (n <= 0)
            return data;
        data.append(buffer, static_cast<size_t>(n));
    }
}

static void Pause(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// Send - a blocking send on a stream socket hands over every byte, or fails when the plugin has gone.
static void Send(int fd, const std::string& bytes) { send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL); }

std::string FormatSpamdReply(double score, double threshold)
{
    char text[128];
    snprintf(text, sizeof text, "SPAMD/1.1 0 EX_OK\r\nSpam: %s ; %.1f / %.1f\r\n\r\n",
             score >= threshold ? "True" : "False", score, threshold);
    return text;
}

FakeSpamd::FakeSpamd(std::string socketPath) : path(std::move(socketPath))
{
    unlink(path.c_str());
    listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{.sun_family = AF_UNIX, .sun_path = {}};
    strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener, 256) != 0)
        throw std::runtime_error("fake spamd cannot listen on " + path + ": " + strerror(errno));
    // The destructor's shutdown ends the accept.
    acceptor = std::thread([this] {
        for (int fd; (fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;)
            Locked([&] { connections.emplace_back([this, fd] { Serve(fd); }); });
    });
}

FakeSpamd::~FakeSpamd()
{
    shutdown(listener, SHUT_RDWR);
    acceptor.join();
    ReleaseHung();
    for (auto& connection : connections)
        connection.join();
    close(listener);
    unlink(path.c_str());
}

int FakeSpamd::CheckCount() const
{
    const std::vector<std::string> all = Requests();
    return static_cast<int>(std::count_if(all.begin(), all.end(), [](auto& r) { return r.starts_with("CHECK"); }));
}

bool FakeSpamd::WaitForHanging(int count) const
{
    for (int wait = 0; wait < 500 && HangingCount() < count; wait++)
        Pause(10);
    return HangingCount() >= count;
}

void FakeSpamd::ReleaseHung()
{
    std::lock_guard<std::mutex> lock(mutex);
    releaseHung = true;
    released.notify_all();
}

void FakeSpamd::Serve(int fd)
{
    const std::string request = ReadRequest(fd);
    SpamdReply reply;
    {
        std::unique_lock<std::mutex> lock(mutex);
        requests.push_back(request);
        reply = request.starts_with("PING") ? pingReply : responder(request);
        hanging += reply.mode == SpamdReply::Mode::Hang;
        released.wait(lock, [&] { return releaseHung || reply.mode != SpamdReply::Mode::Hang; });
        hanging -= reply.mode == SpamdReply::Mode::Hang;
    }
    std::string text = reply.raw.empty() ? FormatSpamdReply(reply.score, reply.threshold) : reply.raw;
    if (reply.mode != SpamdReply::Mode::Answer)
        text.clear();
    Pause(reply.delayMs);
    size_t from = 0;
    for (size_t cut : reply.splitAt) {
        if (cut > from && cut < text.size()) {
            Send(fd, text.substr(from, cut - from));
            Pause(20);
            from = cut;
        }
    }
    Send(fd, text.substr(from));
    close(fd);
}
