// rspamd_protocol - rspamd's HTTP protocol as the plugin speaks it: the
// request heads it writes, the framing of the replies it reads, and the
// verdict in a /checkv2 reply
//
// BuildRspamdCheckHead  the head of a POST /checkv2 with the message's envelope
// RspamdPingRequest     the whole GET /ping request
// RspamdReplyState      has a reply arrived whole, is more to come, or is it broken
// ParseHttpReply        status, Server and body of a complete reply
// IsRspamdPong          is a reply the answer to /ping
// RspamdVersionOf       rspamd's name and version from a reply's Server header
// ParseRspamdVerdict    score, threshold, action and rules of a /checkv2 body
// BuildRspamdLearnHead  the head of a POST /learnspam or /learnham to the controller
// ReadRspamdLearnReply  what a learn reply says became of the message
//
// Pure functions without sockets or state, called by every scanning thread
// and by the thread that pings at start-up or a reload.  Nothing here throws:
// whatever comes from outside ends as Invalid or as a result that says why in
// a few words fit for a log line, with outside text clipped.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "rating/learning.h"
#include "base/system.h"  // Monotonic

// A reply's status line and headers are a few hundred bytes; a longer head
// is no reply of rspamd's.
constexpr size_t kRspamdHeadLimit = 16 * 1024;
// The JSON of a message with thousands of URLs stays far below this.
constexpr size_t kRspamdBodyLimit = 4 * 1024 * 1024;
// rspamd's JSON nests four levels deep; deeper input is refused before it can
// cost stack or memory.
constexpr int kRspamdJsonDepthLimit = 32;
// A message's rules run to a few dozen; a reply with more symbols than this
// keeps the first ones.
constexpr size_t kRspamdSymbolLimit = 10000;

// RspamdEnvelope - what rspamd learns of a message besides its text; the views
// point into the caller's buffers and only need to live through the call.
struct RspamdEnvelope {
    std::string_view from;               // envelope sender
    std::span<const std::string_view> rcpts;  // envelope recipients
    std::string_view ip;                 // the connecting client's address
    std::string_view queueId;            // the host's id, shown in rspamd's log line
    std::string_view deliverTo;          // the final recipient, when one is known
};

// BuildRspamdCheckHead - replace head with the request line and headers of a
// /checkv2 request whose body (the message, written by the caller right after
// the head) has contentLength bytes.  Envelope headers come in the order From,
// Rcpt (one per recipient), IP, Queue-Id, Deliver-To; an empty value, or one
// holding a byte below 0x20 or 0x7f, is left out, and so is such a host.
void BuildRspamdCheckHead(std::string& head, std::string_view host, size_t contentLength,
                          const RspamdEnvelope& envelope);

// RspamdPingRequest - the complete GET /ping request.
std::string RspamdPingRequest(std::string_view host);

enum class HttpReplyState { Incomplete, Complete, Invalid };

// RspamdReplyState - Complete once the status line, the headers, the empty
// line and exactly Content-Length bytes of body have arrived; Invalid as soon
// as no further bytes can make a reply of them (see ParseHttpReply's why).
HttpReplyState RspamdReplyState(std::string_view bytes);

// HttpReply - a reply taken apart; the views point into the bytes parsed.
struct HttpReply {
    bool valid = false;       // the bytes are a Complete reply
    int status = 0;           // 100-599
    std::string_view body;    // exactly Content-Length bytes
    std::string_view server;  // the Server header's value, empty when absent
    std::string why;          // what is wrong when not valid
};

// ParseHttpReply - the parts of a Complete reply, or valid false and why.
HttpReply ParseHttpReply(std::string_view bytes);

// IsRspamdPong - status 200 and a body of "pong", with or without a line end.
bool IsRspamdPong(const HttpReply& reply);

// RspamdVersionOf - the Server header ("rspamd/3.4"), clipped; empty when absent.
std::string RspamdVersionOf(const HttpReply& reply);

// RspamdVerdict - what a /checkv2 reply says of a message.  rated: score and
// required_score are finite numbers and action, when given, is a string.
struct RspamdVerdict {
    bool rated = false;
    double score = 0;
    double requiredScore = 0;    // the reject threshold
    std::string scoreText;       // "%.2f", as rspamd's log line writes it
    std::string thresholdText;   // likewise
    std::string action;          // "no action", "add header", "reject", ...; may be empty
    std::vector<std::string> rules;  // symbol names, highest score first, ties by name
    size_t symbolsLeftOut = 0;       // symbols beyond kRspamdSymbolLimit, not in rules
    std::string why;             // what is wrong when not rated
};

// ParseRspamdVerdict - the verdict in a /checkv2 JSON body, read in one pass
// whose time grows linearly with the body.  A message rspamd skipped (GTUBE)
// is rated by the score it reports; a symbol without a numeric score counts
// as 0, and a "symbols" that is no object gives no rules.  A parse still
// running at deadline (the exchange's) gives up unrated.
RspamdVerdict ParseRspamdVerdict(std::string_view json,
                                 MonotonicClock::time_point deadline = MonotonicClock::time_point::max());

// BuildRspamdLearnHead - replace head with the request line and headers of a
// POST /learnspam or /learnham whose body (the message) has contentLength
// bytes; the controller's password goes in a Password header when not empty.
// There is no forget: the caller never asks for it.
void BuildRspamdLearnHead(std::string& head, std::string_view host, LearnClass what, size_t contentLength,
                          std::string_view password);

// ReadRspamdLearnReply - 200 Learned, 208 Known (rspamd had learned it
// already), 401 and 403 Refused (the password), any other reply Failed with
// its status and error text.
LearnOutcome ReadRspamdLearnReply(std::string_view bytes);
