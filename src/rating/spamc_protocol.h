// spamc_protocol - the SPAMC protocol as the plugin speaks it with spamd:
// the requests it sends and what it reads of the replies
//
// kPingRequest        "PING SPAMC/1.0"
// BuildRequestHeader  the CHECK or SYMBOLS request line and headers
// SpamcReplyState     is a reply complete (the reader stops there)
// ParseSpamdReply     status, verdict and body of a reply of any protocol
//                     version spamd answers with
// SpamcOutcome        what a parsed reply means for the message and the host
// ParsePong           spamd's protocol word in a PING reply, or why it is none
// BuildTellHeader     the TELL request that teaches (or takes back) a message
// ReadTellReply       what a TELL reply says became of the message
//
// Pure functions without sockets; called by every scanning thread at once.
// The operations of the first client live on elsewhere: sendCommand is
// ExchangeWithHost (engine_connection), InitEngine is Plugin::InitEngine,
// which starts the farm (engine_farm); CloseEngine had nothing to close and is
// gone, as no connection outlives its exchange; ParseCheckReply is
// ParseSpamdReply.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "rating/learning.h"
#include "stats/outcomes.h"

inline constexpr std::string_view kPingRequest = "PING SPAMC/1.0\r\n";

// A CHECK reply is a status line and one header; SYMBOLS adds the rule
// names.  Replies are read up to this size, whatever the size of the message.
constexpr size_t kSpamcReplyCapacity = 4096;

// BuildRequestHeader - "CHECK SPAMC/1.2" (as always), or "SYMBOLS SPAMC/1.5"
// whose reply announces its length, with Content-length and, when user is
// not empty, a User header; the blank line ends it.
void BuildRequestHeader(std::string& header, bool symbols, size_t contentLength, std::string_view user);

enum class ReplyState { Incomplete, Complete, Invalid };

// SpamcReplyState - Complete once the headers end with an empty line and the
// body that Content-length announces has arrived, or once the status line
// has ended when that line is an error or a PONG (nothing follows).  A
// SYMBOLS reply without Content-length (protocol 1.2) ends with the line feed
// of its one body line.  closed: spamd closed the connection, so a reply
// whose headers are all there stands.
ReplyState SpamcReplyState(std::string_view reply, bool symbols, bool closed);

// SpamdAnswer - what a reply says; the views point into the reply.  rated:
// status 0 and a "Spam:" header with a numeric score and threshold, whether
// it comes before or after Content-length and says True/False or Yes/No.
struct SpamdAnswer {
    int status = -1;  // -1: no readable status line
    bool rated = false;
    bool spam = false;
    double score = 0;
    double threshold = 0;
    std::string_view scoreText;  // as spamd wrote them
    std::string_view thresholdText;
    std::string_view body;  // after the empty line, cut to Content-length, line ends removed
};
SpamdAnswer ParseSpamdReply(std::string_view reply);

// SpamcOutcome - Rated; HostError for the statuses of a spamd that cannot
// work now (69 EX_UNAVAILABLE: no user preferences, 71 EX_OSERR, 75
// EX_TEMPFAIL); Unrated for any other answer without a verdict.
ExchangeOutcome SpamcOutcome(const SpamdAnswer& answer);

// ParsePong - true with spamd's protocol word ("SPAMD/1.5") when the reply
// is a PONG; false with why otherwise.
bool ParsePong(std::string_view reply, std::string& word, std::string& why);

// BuildTellHeader - "TELL SPAMC/1.5" with "Message-class: spam|ham" and
// "Set: local" to learn, or "Remove: local" to forget, and Content-length;
// the blank line ends it.
void BuildTellHeader(std::string& header, LearnClass what, size_t contentLength);

// ReadTellReply - Learned when spamd says DidSet (DidRemove to forget);
// Known for an EX_OK without it (spamd had the message already); Refused for
// an error status (spamd runs without --allow-tell, or the TELL is refused
// whole); Failed for a reply that is none.
LearnOutcome ReadTellReply(std::string_view reply, LearnClass what);
