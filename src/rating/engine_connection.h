// engine_connection - one exchange with one engine host over a Unix socket,
// TCP or TLS, every step within a time limit
//
// ResolveEngineHost   the socket addresses of a host (names through the resolver)
// TlsClient::Create  the TLS client made ready once: the CA file that
//                    server certificates must chain to, and the optional
//                    client certificate and key
// ExchangeWithHost   connect (within the connect time, which also bounds
//                    the TLS handshake with its certificate and host-name
//                    checks), write the request, read the reply until its
//                    protocol says it is complete; the reply time bounds it
//                    all.  Without any time limit (the one spamd of
//                    SocketPath) the socket simply blocks.
//
// This is the only way to an engine host, whatever the transport and the
// protocol: the protocol modules give the request bytes and tell when a reply
// is complete.  Called by every scanning thread at once, by the start-up or
// reload and by the controller's probes.  A connection lives within one call
// and belongs to its thread; a TlsClient is shared and only read once made
// (OpenSSL allows that).  No lock.
// Diagnostics: "cmd: " and "rsp: " debug lines for every exchange.
#pragma once

#include <sys/socket.h>

#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/system.h"
#include "config/spamd_settings.h"
#include "rating/spamc_protocol.h"
#include "stats/outcomes.h"

struct ssl_ctx_st;

struct EngineAddress {
    sockaddr_storage storage{};
    socklen_t length = 0;
};
using EngineAddresses = std::vector<EngineAddress>;

// ResolveEngineHost - false with why when the host has no address.
bool ResolveEngineHost(const EngineHost& host, EngineAddresses& addresses, std::string& why);

class TlsClient {
public:
    // Create - null with why when a file cannot be used.
    static std::shared_ptr<const TlsClient> Create(const EngineTlsSettings& settings, std::string& why);
    ssl_ctx_st* Context() const { return context.get(); }

private:
    struct Free {
        void operator()(ssl_ctx_st* context) const;
    };
    std::unique_ptr<ssl_ctx_st, Free> context;
};

struct ExchangeResult {
    bool answered = false;  // a complete reply, or as much of it as the capacity holds
    ExchangeOutcome failure = ExchangeOutcome::Cut;  // not answered: Unreachable, Cut or TimedOut
    int error = 0;          // the system's error number behind the failure, when there is one
    std::string why;        // what went wrong
    // When the exchange had to end: what is done with the reply (its parse)
    // ends there too.
    MonotonicClock::time_point deadline = MonotonicClock::time_point::max();
};

struct ExchangeLimits {
    int connectSeconds = 5;  // 0: no limit
    int replySeconds = 300;  // the whole exchange; 0: no limit
    // The latest end of the exchange whatever the limits say (the request's
    // time budget); max(): none.
    MonotonicClock::time_point until = MonotonicClock::time_point::max();
};

// ReplyFraming - when the protocol's reply is complete, and how much of it is read.
struct ReplyFraming {
    ReplyState (*state)(std::string_view reply, bool flag, bool closed) = nullptr;
    bool flag = false;  // handed to state (SPAMC: the request was SYMBOLS)
    size_t capacity = kSpamcReplyCapacity;
};

// The request of an exchange comes in at most this many pieces.
constexpr size_t kMaxRequestPieces = 8;

// ExchangeWithHost - reply receives the reply bytes (replaced).  tls is
// needed for a TLS host (none: Unreachable).
ExchangeResult ExchangeWithHost(const EngineHost& host, const EngineAddresses& addresses, const TlsClient* tls,
                                std::initializer_list<std::string_view> request, std::string& reply,
                                const ReplyFraming& framing, const ExchangeLimits& limits);

// DebugExchange - the pieces as one debug text behind label ("cmd: ",
// "rsp: "), every line marked as a diagnostic line.
void DebugExchange(const char* label, std::initializer_list<std::string_view> pieces);
