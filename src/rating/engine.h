// engine - the engines a host may run behind one small interface: for each
// exchange (ping, check, learn) an engine's protocol module builds the
// request and reads the reply into one outcome; the connection code carries
// it, whatever the engine
//
// EngineProtocol   an engine's requests and replies (spamd: SPAMC PING, CHECK
//                  or SYMBOLS, TELL; rspamd: /ping, /checkv2, the
//                  controller's /learnspam and /learnham) and their framing
// ProtocolOf       the interface of an engine
// HttpHostOf       the Host header of an HTTP request to a host
// HttpFraming      the framing of rspamd's HTTP replies
// LearnAtHost      one message taught to one host: connect, send, read,
//                  within the limits and over TLS as the scan does
//
// A third engine is one more protocol module and one more row here.  Pure
// apart from LearnAtHost, which uses the thread's own connection; no state,
// no lock.
#pragma once

#include <string>
#include <string_view>

#include "config/spamd_settings.h"
#include "rating/learning.h"
#include "rating/rspamd_protocol.h"
#include "rating/engine_connection.h"

// CheckRequest - what an engine is told of a message besides its text.
struct CheckRequest {
    size_t size = 0;                // the message's bytes
    bool wantRules = false;         // the rules that hit are wanted
    std::string_view spamdUser;     // spamd's User header ("": none)
    RspamdEnvelope envelope;        // rspamd's envelope headers
    // The reply is read by then too: a parse still running gives up (TimedOut).
    MonotonicClock::time_point deadline = MonotonicClock::time_point::max();
};

// EngineVerdict - what a rated message's reply says; texts keep their room
// from one message to the next.
struct EngineVerdict {
    double score = 0;
    double threshold = 0;
    std::string scoreText;      // as the engine wrote them (^4, ^5)
    std::string thresholdText;
    std::string rules;          // the rules that hit, as a header may carry them (^3)
    std::string action;         // rspamd's action (^6); empty for spamd
    size_t rulesLeftOut = 0;    // rules beyond what a reply may list, not in rules
};

struct EngineProtocol {
    // buildPing - the whole request of a ping.
    void (*buildPing)(std::string& request, const EngineHost& host);
    // readPing - true with the engine's word ("SPAMD/1.5", "rspamd/3.4"), else why.
    bool (*readPing)(std::string_view reply, std::string& word, std::string& why);
    ReplyFraming pingFraming;
    // buildCheck - the head of a check; the message and checkTail follow it.
    void (*buildCheck)(std::string& head, const EngineHost& host, const CheckRequest& request);
    std::string_view checkTail;
    // readCheck - Rated with the verdict filled, or the outcome and why.
    ExchangeOutcome (*readCheck)(std::string_view reply, const CheckRequest& request, EngineVerdict& verdict,
                                 std::string& why);
    ReplyFraming checkFraming;  // its flag is the request's wantRules
    bool needsEnvelope;         // CheckRequest::envelope is read
    // buildLearn - the request head for a message of size bytes, which follows it.
    void (*buildLearn)(std::string& head, const EngineHost& host, LearnClass what, size_t size,
                       std::string_view password);
    LearnOutcome (*readLearn)(std::string_view reply, LearnClass what);
    ReplyFraming learnFraming;
    bool canForget;
};

const EngineProtocol& ProtocolOf(EngineKind engine);
std::string HttpHostOf(const EngineHost& host);
ReplyState HttpFraming(std::string_view reply, bool flag, bool closed);

// LearnAtHost - reply keeps the reply bytes (its room serves the next call).
// password: the rspamd controller's, empty for none.
LearnOutcome LearnAtHost(const EngineHost& host, const EngineAddresses& addresses, const TlsClient* tls,
                         LearnClass what, std::string_view message, std::string_view password,
                         const ExchangeLimits& limits, std::string& head, std::string& reply);
