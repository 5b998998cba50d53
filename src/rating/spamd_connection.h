// spamd_connection - one exchange with one spamd host of a farm over a Unix
// socket, TCP or TLS, every step within a time limit
//
// ResolveSpamdHost   the socket addresses of a host (names through the resolver)
// TlsClient::Create  the TLS client made ready once: the CA file that
//                    server certificates must chain to, and the optional
//                    client certificate and key
// ExchangeWithHost   connect (non-blocking, within the connect time, which
//                    also bounds the TLS handshake with its certificate and
//                    host-name checks), write the request, read the reply
//                    until it is complete; the reply time bounds it all
//
// Called by every scanning thread at once and by the controller's probes.  A
// connection lives within one call and belongs to its thread; a TlsClient
// is shared and only read once made (OpenSSL allows that).  No lock.
// Diagnostics: "cmd: " and "rsp: " debug lines, as for the one spamd socket.
#pragma once

#include <sys/socket.h>

#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "config/spamd_settings.h"

struct ssl_ctx_st;

struct SpamdAddress {
    sockaddr_storage storage{};
    socklen_t length = 0;
};
using SpamdAddresses = std::vector<SpamdAddress>;

// ResolveSpamdHost - false with why when the host has no address.
bool ResolveSpamdHost(const SpamdHost& host, SpamdAddresses& addresses, std::string& why);

class TlsClient {
public:
    // Create - null with why when a file cannot be used.
    static std::shared_ptr<const TlsClient> Create(const SpamdTlsSettings& settings, std::string& why);
    ssl_ctx_st* Context() const { return context.get(); }

private:
    struct Free {
        void operator()(ssl_ctx_st* context) const;
    };
    std::unique_ptr<ssl_ctx_st, Free> context;
};

enum class ExchangeStatus {
    Answered,       // a complete reply (or as much as the buffer holds)
    ConnectFailed,  // no connection, or the TLS handshake was refused
    TimedOut,       // the connect time or the reply time ran out
    Failed,         // writing failed, or spamd closed before its reply was complete
};

struct ExchangeResult {
    ExchangeStatus status = ExchangeStatus::Failed;
    unsigned long got = 0;  // reply bytes
    std::string why;        // what went wrong
};

struct ExchangeLimits {
    int connectSeconds = 5;
    int replySeconds = 300;  // the whole exchange; 0: no limit
};

// The request of an exchange comes in at most this many pieces.
constexpr size_t kMaxRequestPieces = 8;

// ExchangeWithHost - reply must hold capacity + 1 bytes; it is always
// NUL-terminated.  tls is needed for a TLS host (none: ConnectFailed).
ExchangeResult ExchangeWithHost(const SpamdHost& host, const SpamdAddresses& addresses, const TlsClient* tls,
                                std::initializer_list<std::string_view> request, char* reply,
                                unsigned long capacity, bool symbols, ExchangeLimits limits);
