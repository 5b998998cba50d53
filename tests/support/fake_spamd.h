// fake_spamd - a scripted spamd on a Unix socket inside the test process
//
// Answers PING and CHECK with a chosen score and threshold and, on demand,
// answers late, splits its reply into several writes, hangs until released,
// or closes without answering.  Records the exact bytes of every request.
#pragma once

#include <atomic>
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
    std::string raw{};               // when set, sent instead of the usual reply
    int delayMs = 0;                 // before the first byte
    std::vector<size_t> splitAt{};   // reply offsets at which a new write begins
    int pieceDelayMs = 20;           // between the pieces
};

class FakeSpamd {
public:
    explicit FakeSpamd(std::string socketPath);
    ~FakeSpamd();
    FakeSpamd(const FakeSpamd&) = delete;
    FakeSpamd& operator=(const FakeSpamd&) = delete;

    const std::string& SocketPath() const { return path; }

    // Every CHECK is answered as reply says (PING always gets its PONG).
    void SetReply(const SpamdReply& reply);
    // Per request: the reply chosen from the request's bytes.
    void SetResponder(std::function<SpamdReply(const std::string& request)> responder);

    std::vector<std::string> Requests() const;  // PING and CHECK, in arrival order
    int CheckCount() const;
    int HangingCount() const;                    // connections held by Mode::Hang now
    void ReleaseHung();                          // close every held connection

private:
    void AcceptLoop();
    void Serve(int fd);

    std::string path;
    int listener = -1;
    std::atomic<bool> stopping{false};
    std::thread acceptor;
    mutable std::mutex mutex;
    std::condition_variable released;
    bool releaseHung = false;
    int hanging = 0;
    std::function<SpamdReply(const std::string&)> responder;
    std::vector<std::string> requests;
    std::vector<std::thread> connections;
};

// FormatSpamdReply - the usual CHECK reply text for a score and threshold.
std::string FormatSpamdReply(double score, double threshold);
