// spamd_client - the SPAMC client: one request/reply exchange with spamd over
// its Unix-domain socket
//
// sendCommand      connect, write the whole request, read the reply until it
//                  is complete (or spamd closes the connection)
// InitEngine       PING spamd at start-up and after a reload; false when spamd
//                  does not answer within kPingTimeout seconds
// CloseEngine      counterpart of InitEngine; holds nothing, harmless at any time
// PingSpamd        one PING that reports instead of ending the process (the check)
// ReplyComplete    has a reply all that it announced (pure)
// ParseSpamdReply  status, verdict and body of a reply of any protocol
//                  version spamd answers with (pure)
// ParseCheckReply  score and threshold of a CHECK reply (pure)
// BuildRequestHeader  the CHECK or SYMBOLS request line and headers (pure)
// DebugExchange    the "cmd: " or "rsp: " debug line of a request or reply
//
// Called by every scanning thread at once and by the thread that runs the
// start-up or a reload.  No connection outlives an exchange, so concurrent
// scans share nothing; there is no lock.
//
// Diagnostics: "cmd: " and "rsp: " debug lines for every exchange.  A socket
// that cannot be created or connected ends the process (status 1) with a
// "* " line, whichever thread made the call.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

// spamd's reply to CHECK is a status line and one header; a fixed capacity of
// this size holds it whatever the size of the message.
constexpr unsigned long kReplyCapacity = 4096;
// InitEngine reads the PING reply with this capacity, and waits this long.
constexpr unsigned long kPingReplyCapacity = 512;
constexpr int kPingTimeout = 10;

// sendCommand results below 0.
constexpr int kReadFailed = -1;
constexpr int kWriteFailed = -2;

// sendCommand - one exchange.  The request is the concatenation of its pieces
// (the scan passes its request header and the message body where they lie).
// Result: the number of reply bytes read (0: spamd closed without writing),
// kReadFailed, or kWriteFailed with errno telling why.  reply must hold
// capacity + 1 bytes; it is always NUL-terminated.  timeoutSeconds > 0 bounds
// every wait for spamd (then the read counts as failed).
// symbols: the request is SYMBOLS, whose reply has a body (see ReplyComplete).
int sendCommand(const std::string& socketPath, std::initializer_list<std::string_view> request,
                char* reply, unsigned long capacity, int timeoutSeconds = 0, bool symbols = false);

bool InitEngine(const std::string& socketPath);
void CloseEngine();

// PingSpamd - answered when spamd replied PONG: then word is the protocol
// word of its reply ("SPAMD/1.5"); problem says why not otherwise.  seconds
// is the round trip from connecting to the end of the reply.
struct PingResult {
    bool answered = false;
    std::string word;
    double seconds = 0;
    std::string problem;
};
PingResult PingSpamd(const std::string& socketPath, int timeoutSeconds = kPingTimeout);

// ReplyComplete - a reply is complete once its headers end with an empty
// line and the body that Content-length announces has arrived, or once its
// status line has ended when that line is an error or a PONG (nothing follows).
// A SYMBOLS reply without Content-length (protocol 1.2) ends with the line
// feed of its one body line.
bool ReplyComplete(std::string_view reply, bool symbols = false);

// SpamdAnswer - what a reply says; the views point into the reply.  rated:
// status 0 and a "Spam:" header with a numeric score and threshold, whether
// it comes before or after Content-length and says True/False or Yes/No.
struct SpamdAnswer {
    int status = -1;  // -1: no readable status line
    bool rated = false;
    bool spam = false;
    double score = 0;
    double threshold = 0;
    std::string_view scoreText;      // as spamd wrote them
    std::string_view thresholdText;
    std::string_view body;           // after the empty line, cut to Content-length, line ends removed
};
SpamdAnswer ParseSpamdReply(std::string_view reply);

// ParseCheckReply - score and threshold of the reply's Spam header as
// ParseSpamdReply reads them (0 when missing); rated: spamd's status was 0
// and the header held both numbers.
struct SpamdVerdict {
    double score = 0;
    double threshold = 0;
    bool rated = false;
};
SpamdVerdict ParseCheckReply(const char* reply);

// DebugExchange - the pieces as one debug text behind label, every line marked.
void DebugExchange(const char* label, std::initializer_list<std::string_view> pieces);

// BuildRequestHeader - "CHECK SPAMC/1.2" (as always), or "SYMBOLS SPAMC/1.5"
// whose reply announces its length, with Content-length and, when user is
// not empty, a User header; the blank line ends it.
void BuildRequestHeader(std::string& header, bool symbols, size_t contentLength, std::string_view user);
