#include "rating/engine_connection.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <thread>

#include "base/output.h"
#include "base/system.h"

namespace {

using Clock = MonotonicClock;
constexpr Clock::time_point kNoDeadline = Clock::time_point::max();

struct SslFree {
    void operator()(SSL* ssl) const { SSL_free(ssl); }
};
using SslPointer = std::unique_ptr<SSL, SslFree>;

Clock::time_point DeadlineAfter(int seconds, Clock::time_point until)
{
    return seconds > 0 ? std::min(until, Clock::now() + std::chrono::seconds(seconds)) : until;
}

// WaitFor - 1 when fd is ready (or in error, which the next call reveals),
// 0 when the deadline passed first, -1 when poll fails.
int WaitFor(int fd, short events, Clock::time_point deadline)
{
    for (;;) {
        int timeout = -1;
        if (deadline != kNoDeadline) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0)
                return 0;
            timeout = static_cast<int>(std::min<long long>(left, INT_MAX));
        }
        pollfd entry{fd, events, 0};
        const int ready = poll(&entry, 1, timeout);
        if (ready < 0 && errno == EINTR)
            continue;
        return ready < 0 ? -1 : ready;
    }
}

std::string ErrorText(const char* what, int error) { return std::string(what) + ": " + strerror(error); }

// TlsFailure - why OpenSSL refused, the certificate check first.
std::string TlsFailure(SSL* ssl)
{
    const long verified = SSL_get_verify_result(ssl);
    if (verified != X509_V_OK)
        return std::string("TLS certificate refused: ") + X509_verify_cert_error_string(verified);
    char text[256] = "TLS handshake failed";
    if (const unsigned long code = ERR_get_error())
        ERR_error_string_n(code, text, sizeof text);
    ERR_clear_error();
    return text;
}

// Connection - one socket, with TLS over it when the host asks for it.  A
// connection without any time limit blocks; one with a limit waits in poll.
class Connection {
public:
    explicit Connection(bool blocking) : blocking(blocking) {}
    bool Open(const EngineHost& host, const EngineAddresses& addresses, const TlsClient* tls,
              Clock::time_point deadline, ExchangeResult& result);
    bool Write(std::initializer_list<std::string_view> pieces, Clock::time_point deadline, ExchangeResult& result);
    void Read(std::string& reply, const ReplyFraming& framing, Clock::time_point deadline, ExchangeResult& result);

private:
    bool Connect(const EngineAddress& address, Clock::time_point deadline, ExchangeResult& result);
    bool Handshake(const EngineHost& host, const TlsClient& tls, Clock::time_point deadline, ExchangeResult& result);
    // Wait - true when the socket is ready for events; false (result filled)
    // at the deadline or when poll fails.
    bool Wait(short events, Clock::time_point deadline, ExchangeResult& result);
    // Await - wait as OpenSSL asks after a call returned code; false (result
    // filled) at the deadline or on an error other than a wait.
    bool Await(int code, Clock::time_point deadline, ExchangeResult& result, ExchangeOutcome onError);
    void Fail(ExchangeResult& result, ExchangeOutcome failure, int error, std::string why);

    const bool blocking;
    FileDescriptor socketFd;
    SslPointer ssl;
};

void Connection::Fail(ExchangeResult& result, ExchangeOutcome failure, int error, std::string why)
{
    result.answered = false;
    result.failure = failure;
    result.error = error;
    result.why = std::move(why);
}

bool Connection::Connect(const EngineAddress& address, Clock::time_point deadline, ExchangeResult& result)
{
    const sockaddr* target = reinterpret_cast<const sockaddr*>(&address.storage);
    const int flags = SOCK_STREAM | SOCK_CLOEXEC | (blocking ? 0 : SOCK_NONBLOCK);
    socketFd = FileDescriptor(::socket(target->sa_family, flags, 0));
    if (!socketFd.IsOpen()) {
        Fail(result, ExchangeOutcome::Unreachable, errno, ErrorText("socket", errno));
        return false;
    }
    for (;;) {
        if (::connect(socketFd.Get(), target, address.length) == 0)
            return true;
        if (errno == EINTR)
            continue;
        // A Unix socket whose listen queue is full refuses at once instead of waiting.
        if (errno == EAGAIN && target->sa_family == AF_UNIX && Clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            continue;
        }
        break;
    }
    if (errno != EINPROGRESS) {
        Fail(result, ExchangeOutcome::Unreachable, errno, ErrorText("connect", errno));
        return false;
    }
    if (WaitFor(socketFd.Get(), POLLOUT, deadline) <= 0) {
        Fail(result, ExchangeOutcome::Unreachable, ETIMEDOUT, "connect timed out");
        return false;
    }
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(socketFd.Get(), SOL_SOCKET, SO_ERROR, &error, &length) != 0)
        error = errno;
    if (error != 0) {
        Fail(result, ExchangeOutcome::Unreachable, error, ErrorText("connect", error));
        return false;
    }
    return true;
}

bool Connection::Wait(short events, Clock::time_point deadline, ExchangeResult& result)
{
    const int ready = WaitFor(socketFd.Get(), events, deadline);
    if (ready > 0)
        return true;
    if (ready == 0)
        Fail(result, ExchangeOutcome::TimedOut, ETIMEDOUT, "timed out");
    else
        Fail(result, ExchangeOutcome::Cut, errno, ErrorText("poll", errno));
    return false;
}

bool Connection::Await(int code, Clock::time_point deadline, ExchangeResult& result, ExchangeOutcome onError)
{
    const int reason = SSL_get_error(ssl.get(), code);
    if (reason == SSL_ERROR_WANT_READ || reason == SSL_ERROR_WANT_WRITE)
        return Wait(reason == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, deadline, result);
    const int error = errno;
    Fail(result, onError, reason == SSL_ERROR_SYSCALL ? error : 0,
         reason == SSL_ERROR_SYSCALL && error != 0 ? ErrorText("TLS", error) : TlsFailure(ssl.get()));
    return false;
}

bool Connection::Handshake(const EngineHost& host, const TlsClient& tls, Clock::time_point deadline,
                           ExchangeResult& result)
{
    ERR_clear_error();
    ssl.reset(SSL_new(tls.Context()));
    if (!ssl || SSL_set_fd(ssl.get(), socketFd.Get()) != 1) {
        Fail(result, ExchangeOutcome::Unreachable, 0, "TLS cannot be set up");
        return false;
    }
    // The certificate must name the host as written: an address or a name.
    unsigned char binary[sizeof(in6_addr)];
    const bool isAddress = inet_pton(AF_INET, host.address.c_str(), binary) == 1 ||
                           inet_pton(AF_INET6, host.address.c_str(), binary) == 1;
    const bool named = isAddress ? X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl.get()), host.address.c_str()) == 1
                                 : SSL_set1_host(ssl.get(), host.address.c_str()) == 1 &&
                                       SSL_set_tlsext_host_name(ssl.get(), host.address.c_str()) == 1;
    if (!named) {
        Fail(result, ExchangeOutcome::Unreachable, 0, "TLS cannot check the name " + host.address);
        return false;
    }
    for (;;) {
        ERR_clear_error();
        const int code = SSL_connect(ssl.get());
        if (code == 1)
            return true;
        if (!Await(code, deadline, result, ExchangeOutcome::Unreachable)) {
            // A handshake that does not end in time is a host that cannot be reached.
            if (result.failure == ExchangeOutcome::TimedOut)
                Fail(result, ExchangeOutcome::Unreachable, ETIMEDOUT, "TLS handshake timed out");
            return false;
        }
    }
}

bool Connection::Open(const EngineHost& host, const EngineAddresses& addresses, const TlsClient* tls,
                      Clock::time_point deadline, ExchangeResult& result)
{
    if (host.transport == EngineTransport::Tls && tls == nullptr) {
        Fail(result, ExchangeOutcome::Unreachable, 0, "TLS is not set up");
        return false;
    }
    if (addresses.empty())
        Fail(result, ExchangeOutcome::Unreachable, 0, "no address");
    bool connected = false;
    for (const EngineAddress& address : addresses) {
        if ((connected = Connect(address, deadline, result)))
            break;
        if (Clock::now() >= deadline)
            break;
    }
    if (!connected)
        return false;
    return host.transport != EngineTransport::Tls || Handshake(host, *tls, deadline, result);
}

bool Connection::Write(std::initializer_list<std::string_view> pieces, Clock::time_point deadline,
                       ExchangeResult& result)
{
    if (ssl) {
        for (std::string_view piece : pieces) {
            while (!piece.empty()) {
                ERR_clear_error();
                const int size = static_cast<int>(std::min<size_t>(piece.size(), INT_MAX));
                const int code = SSL_write(ssl.get(), piece.data(), size);
                if (code > 0)
                    piece.remove_prefix(static_cast<size_t>(code));
                else if (!Await(code, deadline, result, ExchangeOutcome::Cut))
                    return false;
            }
        }
        return true;
    }
    // The whole request in as few system calls as the socket takes.
    iovec vector[kMaxRequestPieces];
    size_t count = 0;
    if (pieces.size() > kMaxRequestPieces) {
        Fail(result, ExchangeOutcome::Cut, 0, "too many request pieces");
        return false;
    }
    for (std::string_view piece : pieces)
        if (!piece.empty())
            vector[count++] = {const_cast<char*>(piece.data()), piece.size()};
    size_t first = 0;
    while (first < count) {
        msghdr message{};
        message.msg_iov = vector + first;
        message.msg_iovlen = count - first;
        ssize_t written = sendmsg(socketFd.Get(), &message, MSG_NOSIGNAL);
        if (written < 0 && errno == EINTR)
            continue;
        if (written < 0 && errno == EAGAIN) {
            if (Wait(POLLOUT, deadline, result))
                continue;
            return false;
        }
        if (written < 0) {
            Fail(result, ExchangeOutcome::Cut, errno, ErrorText("send", errno));
            return false;
        }
        size_t done = static_cast<size_t>(written);
        while (first < count && done >= vector[first].iov_len)
            done -= vector[first++].iov_len;
        if (first < count) {
            vector[first].iov_base = static_cast<char*>(vector[first].iov_base) + done;
            vector[first].iov_len -= done;
        }
    }
    return true;
}

void Connection::Read(std::string& reply, const ReplyFraming& framing, Clock::time_point deadline,
                      ExchangeResult& result)
{
    // An engine may write its reply in several pieces (spamd its status line
    // and its Spam header), so the reply is read until its protocol says it
    // is complete, the host closes, or the capacity is reached.
    constexpr size_t kFirstRead = 4096;
    size_t got = 0;
    reply.resize(std::min(framing.capacity, kFirstRead));
    const auto complete = [&](bool closed) {
        const std::string_view sofar(reply.data(), got);
        return got > 0 && framing.state(sofar, framing.flag, closed) != ReplyState::Incomplete;
    };
    for (;;) {
        if (got == framing.capacity || complete(false)) {
            result.answered = true;
            break;
        }
        if (got == reply.size())
            reply.resize(std::min(framing.capacity, reply.size() * 2));
        const size_t room = reply.size() - got;
        long n;
        if (ssl) {
            ERR_clear_error();
            const int code = SSL_read(ssl.get(), reply.data() + got, static_cast<int>(std::min<size_t>(room, INT_MAX)));
            const int reason = code > 0 ? SSL_ERROR_NONE : SSL_get_error(ssl.get(), code);
            if (reason == SSL_ERROR_WANT_READ || reason == SSL_ERROR_WANT_WRITE) {
                if (!Await(code, deadline, result, ExchangeOutcome::Cut))
                    break;
                continue;
            }
            const bool closed = reason == SSL_ERROR_ZERO_RETURN || (reason == SSL_ERROR_SYSCALL && errno == 0);
            n = code > 0 ? code : closed ? 0 : -1;
            if (n < 0)
                Fail(result, ExchangeOutcome::Cut, 0, TlsFailure(ssl.get()));
        } else {
            n = recv(socketFd.Get(), reply.data() + got, room, 0);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && errno == EAGAIN) {
                if (Wait(POLLIN, deadline, result))
                    continue;
                break;
            }
            if (n < 0)
                Fail(result, ExchangeOutcome::Cut, errno, ErrorText("recv", errno));
        }
        if (n < 0)
            break;
        if (n == 0) {
            // Closed: a reply that its protocol lets stand is the answer; a cut one is not.
            if (complete(true))
                result.answered = true;
            else
                Fail(result, ExchangeOutcome::Cut, 0,
                     got == 0 ? "closed without a reply" : "closed before the reply was complete");
            break;
        }
        got += static_cast<size_t>(n);
    }
    reply.resize(got);
    if (!result.answered && result.failure == ExchangeOutcome::TimedOut)
        result.why = "no reply in time";
}

}  // namespace

void TlsClient::Free::operator()(ssl_ctx_st* context) const { SSL_CTX_free(context); }

std::shared_ptr<const TlsClient> TlsClient::Create(const EngineTlsSettings& settings, std::string& why)
{
    auto client = std::make_shared<TlsClient>();
    ERR_clear_error();
    client->context.reset(SSL_CTX_new(TLS_client_method()));
    SSL_CTX* context = client->context.get();
    const auto fail = [&why](const std::string& what) {
        char text[256] = "";
        if (const unsigned long code = ERR_get_error())
            ERR_error_string_n(code, text, sizeof text);
        ERR_clear_error();
        why = what + (text[0] != '\0' ? std::string(": ") + text : std::string());
        return nullptr;
    };
    if (context == nullptr)
        return fail("TLS cannot be set up");
    SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
    // spamd closes after its reply without a TLS goodbye.
    SSL_CTX_set_options(context, SSL_OP_IGNORE_UNEXPECTED_EOF);
    SSL_CTX_set_mode(context, SSL_MODE_ENABLE_PARTIAL_WRITE);
    if (SSL_CTX_load_verify_locations(context, settings.caFile.c_str(), nullptr) != 1)
        return fail("CAFile " + settings.caFile + " cannot be used");
    if (!settings.certFile.empty()) {
        const std::string& keyFile = settings.keyFile.empty() ? settings.certFile : settings.keyFile;
        if (SSL_CTX_use_certificate_chain_file(context, settings.certFile.c_str()) != 1)
            return fail("CertFile " + settings.certFile + " cannot be used");
        if (SSL_CTX_use_PrivateKey_file(context, keyFile.c_str(), SSL_FILETYPE_PEM) != 1 ||
            SSL_CTX_check_private_key(context) != 1)
            return fail("KeyFile " + keyFile + " cannot be used");
    }
    return client;
}

bool ResolveEngineHost(const EngineHost& host, EngineAddresses& addresses, std::string& why)
{
    addresses.clear();
    if (host.transport == EngineTransport::Unix) {
        sockaddr_un unixAddress{};
        if (host.address.size() >= sizeof unixAddress.sun_path) {
            why = "socket path too long";
            return false;
        }
        unixAddress.sun_family = AF_UNIX;
        memcpy(unixAddress.sun_path, host.address.c_str(), host.address.size() + 1);
        EngineAddress& address = addresses.emplace_back();
        memcpy(&address.storage, &unixAddress, sizeof unixAddress);
        address.length = sizeof unixAddress;
        return true;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const int error = getaddrinfo(host.address.c_str(), host.port.c_str(), &hints, &found);
    if (error != 0) {
        why = std::string("cannot resolve ") + host.address + ": " + gai_strerror(error);
        return false;
    }
    for (const addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
        if (entry->ai_addrlen > sizeof(sockaddr_storage))
            continue;
        EngineAddress& address = addresses.emplace_back();
        memcpy(&address.storage, entry->ai_addr, entry->ai_addrlen);
        address.length = entry->ai_addrlen;
    }
    freeaddrinfo(found);
    if (addresses.empty())
        why = "cannot resolve " + host.address + ": no address";
    return !addresses.empty();
}

void DebugExchange(const char* label, std::initializer_list<std::string_view> pieces)
{
    if (!DebugOn())
        return;
    std::string text = label;
    for (std::string_view piece : pieces)
        text.append(piece);
    DebugMsg("%s\n", text.c_str());
}

ExchangeResult ExchangeWithHost(const EngineHost& host, const EngineAddresses& addresses, const TlsClient* tls,
                                std::initializer_list<std::string_view> request, std::string& reply,
                                const ReplyFraming& framing, const ExchangeLimits& limits)
{
    ExchangeResult result;
    reply.clear();
    const Clock::time_point whole = DeadlineAfter(limits.replySeconds, limits.until);
    result.deadline = whole;
    const Clock::time_point connect = DeadlineAfter(limits.connectSeconds, whole);
    Connection connection(whole == kNoDeadline && connect == kNoDeadline);
    if (connection.Open(host, addresses, tls, connect, result)) {
        DebugExchange("cmd: ", request);
        if (connection.Write(request, whole, result))
            connection.Read(reply, framing, whole, result);
        DebugExchange("rsp: ", {reply});
    }
    return result;
}
