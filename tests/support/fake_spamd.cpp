#include "fake_spamd.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

std::string FormatSpamdReply(double score, double threshold)
{
    char text[128];
    snprintf(text, sizeof text, "SPAMD/1.1 0 EX_OK\r\nSpam: %s ; %.1f / %.1f\r\n\r\n",
             score >= threshold ? "True" : "False", score, threshold);
    return text;
}

FakeSpamd::FakeSpamd(std::string socketPath) : path(std::move(socketPath))
{
    responder = [](const std::string&) { return SpamdReply{}; };
    unlink(path.c_str());
    listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener, 256) != 0)
        throw std::runtime_error("fake spamd cannot listen on " + path + ": " + strerror(errno));
    acceptor = std::thread([this] { AcceptLoop(); });
}

FakeSpamd::~FakeSpamd()
{
    stopping = true;
    ReleaseHung();
    acceptor.join();
    std::vector<std::thread> threads;
    {
        std::lock_guard<std::mutex> lock(mutex);
        threads.swap(connections);
    }
    for (auto& t : threads)
        t.join();
    close(listener);
    unlink(path.c_str());
}

void FakeSpamd::SetReply(const SpamdReply& reply)
{
    SetResponder([reply](const std::string&) { return reply; });
}

void FakeSpamd::SetResponder(std::function<SpamdReply(const std::string&)> r)
{
    std::lock_guard<std::mutex> lock(mutex);
    responder = std::move(r);
}

std::vector<std::string> FakeSpamd::Requests() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return requests;
}

int FakeSpamd::CheckCount() const
{
    std::lock_guard<std::mutex> lock(mutex);
    int n = 0;
    for (const auto& r : requests)
        if (r.starts_with("CHECK"))
            n++;
    return n;
}

int FakeSpamd::HangingCount() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return hanging;
}

void FakeSpamd::ReleaseHung()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        releaseHung = true;
    }
    released.notify_all();
}

void FakeSpamd::AcceptLoop()
{
    while (!stopping) {
        pollfd p{listener, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0)
            continue;
        int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        std::lock_guard<std::mutex> lock(mutex);
        connections.emplace_back([this, fd] { Serve(fd); });
    }
}

namespace {

// ReadRequest - a PING line, or CHECK headers and their Content-length of body.
std::string ReadRequest(int fd)
{
    std::string data;
    char buffer[65536];
    size_t expected = std::string::npos;
    for (;;) {
        if (data.starts_with("PING") && data.find("\r\n") != std::string::npos)
            return data;
        size_t headerEnd = data.find("\r\n\r\n");
        if (expected == std::string::npos && headerEnd != std::string::npos) {
            size_t at = data.find("Content-length: ");
            size_t length = at == std::string::npos ? 0 : strtoul(data.c_str() + at + 16, nullptr, 10);
            expected = headerEnd + 4 + length;
        }
        if (expected != std::string::npos && data.size() >= expected)
            return data;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 5000) <= 0)
            return data;
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0)
            return data;
        data.append(buffer, static_cast<size_t>(n));
    }
}

void WriteBytes(int fd, const std::string& bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0)
            return;
        done += static_cast<size_t>(n);
    }
}

}  // namespace

void FakeSpamd::Serve(int fd)
{
    std::string request = ReadRequest(fd);
    SpamdReply reply;
    {
        std::lock_guard<std::mutex> lock(mutex);
        requests.push_back(request);
        if (!request.starts_with("PING"))
            reply = responder(request);
    }
    if (request.starts_with("PING")) {
        WriteBytes(fd, "SPAMD/1.5 0 PONG\r\n");
        close(fd);
        return;
    }
    if (reply.mode == SpamdReply::Mode::Hang) {
        std::unique_lock<std::mutex> lock(mutex);
        hanging++;
        released.wait(lock, [&] { return releaseHung || stopping.load(); });
        hanging--;
        close(fd);
        return;
    }
    if (reply.delayMs > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(reply.delayMs));
    if (reply.mode == SpamdReply::Mode::Close) {
        close(fd);
        return;
    }
    std::string text = reply.raw.empty() ? FormatSpamdReply(reply.score, reply.threshold) : reply.raw;
    size_t from = 0;
    for (size_t cut : reply.splitAt) {
        if (cut <= from || cut >= text.size())
            continue;
        WriteBytes(fd, text.substr(from, cut - from));
        std::this_thread::sleep_for(std::chrono::milliseconds(reply.pieceDelayMs));
        from = cut;
    }
    WriteBytes(fd, text.substr(from));
    close(fd);
}
