// engine - the engines a host may run behind one small interface: each
// engine's protocol module builds the request of an exchange and reads its
// reply into one outcome; the connection code carries it
//
// EngineProtocol   an engine's requests and replies for learning (spamd:
//                  SPAMC TELL; rspamd: the controller's /learnspam and
//                  /learnham), and how its replies are framed
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
#include "rating/spamd_connection.h"

struct EngineProtocol {
    // buildLearn - the request head for a message of size bytes, which follows it.
    void (*buildLearn)(std::string& head, const SpamdHost& host, LearnClass what, size_t size,
                       std::string_view password);
    LearnOutcome (*readLearn)(std::string_view reply, LearnClass what);
    ReplyFraming learnFraming;
    bool canForget;
};

const EngineProtocol& ProtocolOf(SpamdEngine engine);
std::string HttpHostOf(const SpamdHost& host);
ReplyState HttpFraming(std::string_view reply, bool flag, bool closed);

// LearnAtHost - reply keeps the reply bytes (its room serves the next call).
// password: the rspamd controller's, empty for none.
LearnOutcome LearnAtHost(const SpamdHost& host, const SpamdAddresses& addresses, const TlsClient* tls,
                         LearnClass what, std::string_view message, std::string_view password,
                         const ExchangeLimits& limits, std::string& head, std::string& reply);
