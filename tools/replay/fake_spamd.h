// fake_spamd - a fast stand-in for spamd, so that the plugin's own cost can be
// measured without the cost of rating
//
// ParseFakeVerdict  "SCORE/THRESHOLD[:DELAYMS]"
// FakeSpamd         answers PING with PONG and every CHECK with the same
//                   verdict, after reading the whole request
//
// A fixed set of threads block in accept() on one Unix socket; each serves
// one connection at a time, as spamd's children do.
#pragma once

#include <atomic>
#include <cstddef>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace replay {

struct FakeVerdict {
    double score = 0;
    double threshold = 5;
    int delayMs = 0;  // before each CHECK reply
};

bool ParseFakeVerdict(std::string_view text, FakeVerdict& verdict);

// FakeCheckReply - "SPAMD/1.1 0 EX_OK\r\nSpam: True ; 1000.0 / 5.0\r\n\r\n".
std::string FakeCheckReply(const FakeVerdict& verdict);

// RequestComplete - whether bytes hold a whole request: a PING line, or a
// header ended by an empty line and as many body bytes as its Content-length.
bool RequestComplete(std::string_view bytes);

class FakeSpamd {
public:
    FakeSpamd() = default;
    ~FakeSpamd();
    FakeSpamd(const FakeSpamd&) = delete;
    FakeSpamd& operator=(const FakeSpamd&) = delete;

    // Start - listen on socketPath with threads server threads; false with a reason.
    bool Start(const std::string& socketPath, const FakeVerdict& verdict, int threads, std::string& error);
    void Stop();
    size_t Checks() const { return checks.load(); }

private:
    void Serve();

    std::string path;
    FakeVerdict verdict;
    std::string checkReply;
    int listener = -1;
    std::atomic<bool> stopping{false};
    std::atomic<size_t> checks{0};
    std::vector<std::thread> servers;
};

}  // namespace replay
