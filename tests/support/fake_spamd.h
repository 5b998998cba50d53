// fake_spamd - a scripted spamd on a Unix socket inside the test process: it
// answers PING, and CHECK with a chosen score and threshold or raw text, at
// once, late, in pieces, by closing, or not until released; and it records
// the exact bytes of every request.  With raw HTTP replies it stands in for
// rspamd too.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct SpamdReply {
    enum class Mode { Answer, Hang, Close };
    Mode mode = Mode::Answer;
    double score = 0.0;
    double threshold = 5.0;
    std::string raw{};              // when set, sent instead of the usual reply
    int delayMs = 0;                // before the first byte
    std::vector<size_t> splitAt{};  // reply offsets at which a new write begins, 20 ms apart
};

class FakeSpamd {
public:
    explicit FakeSpamd(std::string socketPath);
    ~FakeSpamd();

    const std::string& SocketPath() const { return path; }
    // Every CHECK is answered as reply says, or as r chooses from the request's bytes.
    void SetReply(const SpamdReply& reply) { SetResponder([reply](const std::string&) { return reply; }); }
    void SetResponder(std::function<SpamdReply(const std::string& request)> r) { Locked([&] { responder = r; }); }
    void SetPingReply(const SpamdReply& reply) { Locked([&] { pingReply = reply; }); }  // late, or never
    // HangOn - a CHECK holding marker hangs until released; any other gets reply.
    void HangOn(const std::string& marker, SpamdReply reply = {})
    {
        SetResponder([marker, reply](const std::string& request) {
            SpamdReply answer = reply;
            answer.mode = request.find(marker) != std::string::npos ? SpamdReply::Mode::Hang : reply.mode;
            return answer;
        });
    }
    // PING and CHECK requests in arrival order, and how many were CHECK.
    std::vector<std::string> Requests() const { return Locked([&] { return requests; }); }
    int CheckCount() const;
    int HangingCount() const { return Locked([&] { return hanging; }); }  // connections held by Mode::Hang now
    void ReleaseHung();                                                   // close every held connection
    bool WaitForHanging(int count) const;                                 // at most 5 seconds

private:
    void Serve(int fd);
    template <typename F> auto Locked(F f) const -> decltype(f())
    {
        std::lock_guard<std::mutex> lock(mutex);
        return f();
    }

    std::string path;
    int listener = -1;
    mutable std::mutex mutex;  // guards everything below
    std::condition_variable released;
    bool releaseHung = false;
    int hanging = 0;
    std::function<SpamdReply(const std::string&)> responder = [](const std::string&) { return SpamdReply{}; };
    SpamdReply pingReply{.raw = "SPAMD/1.5 0 PONG\r\n"};
    std::vector<std::string> requests;
    std::vector<std::thread> connections;
    std::thread acceptor;
};

// FormatSpamdReply - the usual CHECK reply text for a score and threshold.
std::string FormatSpamdReply(double score, double threshold);
