#include "rating/spamd_client.h"

#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "base/output.h"
#include "base/system.h"
#include "base/text.h"

namespace {

const char kPingRequest[] = "PING SPAMC/1.0\r\n";

// TryConnect - a connected socket, or a closed one with errno set.
FileDescriptor TryConnect(const std::string& socketPath, const char*& failedStep)
{
    FileDescriptor socketFd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!socketFd.IsOpen()) {
        failedStep = "create";
        return socketFd;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    // A longer path is cut; the field always keeps its terminating NUL.
    strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
    int result;
    do
        result = ::connect(socketFd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
    while (result != 0 && errno == EINTR);
    if (result != 0) {
        const int error = errno;
        failedStep = "connect";
        socketFd.Close();
        errno = error;
    }
    return socketFd;
}

// ConnectToSpamd - a connected socket; ends the process when there is none,
// since no message could be rated without spamd.
FileDescriptor ConnectToSpamd(const std::string& socketPath)
{
    const char* failedStep = nullptr;
    FileDescriptor socketFd = TryConnect(socketPath, failedStep);
    if (!socketFd.IsOpen()) {
        if (strcmp(failedStep, "create") == 0)
            PrintMsg("* failed to create a socket: %s\n", strerror(errno));
        else
            PrintMsg("* failed to connect to socket %s: %s\n", socketPath.c_str(), strerror(errno));
        ExitProcess(1);
    }
    return socketFd;
}

}  // namespace

// DebugExchange - a request or reply as a debug text ("cmd: " or "rsp: ");
// DebugMsg marks every line of it as a diagnostic line.
void DebugExchange(const char* label, std::initializer_list<std::string_view> pieces)
{
    if (!DebugOn())
        return;
    std::string text = label;
    for (std::string_view piece : pieces)
        text.append(piece);
    DebugMsg("%s\n", text.c_str());
}

namespace {

// StatusCode - the number after the protocol word of the status line, -1 when unreadable.
int StatusCode(std::string_view reply)
{
    const size_t blank = reply.find(' ');
    if (blank == std::string_view::npos || blank + 1 >= reply.size())
        return -1;
    const char c = reply[blank + 1];
    if (c < '0' || c > '9')
        return -1;
    return atoi(std::string(reply.substr(blank + 1, 8)).c_str());
}

// ContentLength - the value of a Content-length header among the headers, -1 when none.
long ContentLength(std::string_view headers)
{
    static constexpr std::string_view kName = "\ncontent-length:";
    for (size_t at = headers.find('\n'); at != std::string_view::npos; at = headers.find('\n', at + 1))
        if (headers.size() - at > kName.size() && strncasecmp(headers.data() + at, kName.data(), kName.size()) == 0)
            return strtol(std::string(headers.substr(at + kName.size(), 24)).c_str(), nullptr, 10);
    return -1;
}

}  // namespace

bool ReplyComplete(std::string_view reply, bool symbols)
{
    const size_t lineEnd = reply.find('\n');
    if (lineEnd == std::string_view::npos)
        return false;
    const std::string_view status = reply.substr(0, lineEnd);
    if (StatusCode(status) != 0 || status.find("PONG") != std::string_view::npos)
        return true;
    const size_t headersEnd = reply.find("\r\n\r\n");
    if (headersEnd == std::string_view::npos)
        return false;
    const long length = ContentLength(reply.substr(0, headersEnd + 2));
    if (length < 0)
        return !symbols || reply.find('\n', headersEnd + 4) != std::string_view::npos;
    return reply.size() - (headersEnd + 4) >= static_cast<size_t>(length);
}

namespace {

// Exchange - write the request on a connected socket and read the reply (see sendCommand).
int Exchange(FileDescriptor& socketFd, std::initializer_list<std::string_view> request, char* reply,
             unsigned long capacity, int timeoutSeconds, bool symbols)
{
    if (timeoutSeconds > 0) {
        const timeval limit{timeoutSeconds, 0};
        setsockopt(socketFd.Get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        setsockopt(socketFd.Get(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    }
    DebugExchange("cmd: ", request);
    if (!WriteAllPieces(socketFd.Get(), request)) {
        const int error = errno;
        socketFd.Close();
        errno = error;
        return kWriteFailed;
    }
    // spamd may write its status line and its Spam header separately, so the
    // reply is read until it is complete, spamd closes, or the buffer is full.
    unsigned long got = 0;
    while (got < capacity) {
        const ssize_t n = ::read(socketFd.Get(), reply + got, capacity - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            if (got == 0)
                return kReadFailed;
            break;
        }
        if (n == 0)
            break;
        got += static_cast<unsigned long>(n);
        if (ReplyComplete(std::string_view(reply, got), symbols))
            break;
    }
    reply[got] = '\0';
    DebugExchange("rsp: ", {reply});
    return static_cast<int>(got);
}

double SecondsBetween(const timeval& start, const timeval& end)
{
    const double seconds = static_cast<double>(end.tv_sec - start.tv_sec) +
                           static_cast<double>(end.tv_usec - start.tv_usec) / 1e6;
    return seconds > 0 ? seconds : 0;
}

}  // namespace

int sendCommand(const std::string& socketPath, std::initializer_list<std::string_view> request,
                char* reply, unsigned long capacity, int timeoutSeconds, bool symbols)
{
    reply[0] = '\0';
    FileDescriptor socketFd = ConnectToSpamd(socketPath);
    return Exchange(socketFd, request, reply, capacity, timeoutSeconds, symbols);
}

PingResult PingSpamd(const std::string& socketPath, int timeoutSeconds)
{
    PingResult result;
    const timeval start = NowPrecise();
    const char* failedStep = nullptr;
    FileDescriptor socketFd = TryConnect(socketPath, failedStep);
    if (!socketFd.IsOpen()) {
        result.problem = std::string("cannot ") + failedStep + " a socket: " + strerror(errno);
        return result;
    }
    char reply[kPingReplyCapacity + 1];
    reply[0] = '\0';
    const int got = Exchange(socketFd, {kPingRequest}, reply, kPingReplyCapacity, timeoutSeconds, false);
    const int error = errno;
    result.seconds = SecondsBetween(start, NowPrecise());
    std::string_view text(reply, got > 0 ? static_cast<size_t>(got) : 0);
    text = text.substr(0, text.find_first_of("\r\n"));
    if (got == kReadFailed && (error == EAGAIN || error == EWOULDBLOCK))
        result.problem = "no reply within " + std::to_string(timeoutSeconds) + " seconds";
    else if (got < 0)
        result.problem = std::string(got == kWriteFailed ? "sending PING failed: " : "no reply: ") + strerror(error);
    else if (text.empty())
        result.problem = "closed the connection without a reply";
    else if (StatusCode(text) != 0 || text.find("PONG") == std::string_view::npos)
        result.problem = "answered \"" + ClipText(text, 80) + "\" instead of PONG";
    else {
        result.answered = true;
        result.word = ClipText(text.substr(0, text.find(' ')), 40);
    }
    return result;
}

bool InitEngine(const std::string& socketPath)
{
    PrintMsg("* Connecting to socket %s\n", socketPath.c_str());
    char reply[kPingReplyCapacity + 1];
    if (sendCommand(socketPath, {kPingRequest}, reply, kPingReplyCapacity, kPingTimeout) < 1) {
        PrintMsg("* failed to read from socket %s\n", socketPath.c_str());
        return false;
    }
    if (char* blank = strchr(reply, ' '))
        *blank = '\0';
    PrintMsg("* engine: %s\n", ClipText(reply).c_str());
    return true;
}

void CloseEngine() {}

SpamdAnswer ParseSpamdReply(std::string_view reply)
{
    SpamdAnswer answer;
    answer.status = StatusCode(reply.substr(0, reply.find('\n')));
    size_t headersEnd = reply.find("\r\n\r\n");
    size_t bodyStart = headersEnd + 4;
    if (headersEnd == std::string_view::npos) {
        headersEnd = reply.find("\n\n");
        bodyStart = headersEnd + 2;
    }
    if (headersEnd == std::string_view::npos)
        headersEnd = bodyStart = reply.size();
    // Every header, the first included, follows a line feed.
    const std::string_view headers = reply.substr(0, headersEnd + (headersEnd < reply.size() ? 1 : 0));

    answer.body = reply.substr(bodyStart);
    const long length = ContentLength(headers);
    if (length >= 0 && static_cast<size_t>(length) < answer.body.size())
        answer.body = answer.body.substr(0, static_cast<size_t>(length));
    while (!answer.body.empty() && (answer.body.back() == '\n' || answer.body.back() == '\r'))
        answer.body.remove_suffix(1);

    static constexpr std::string_view kSpam = "\nspam:";
    size_t at = 0;
    while ((at = headers.find('\n', at)) != std::string_view::npos &&
           (headers.size() - at < kSpam.size() || strncasecmp(headers.data() + at, kSpam.data(), kSpam.size()) != 0))
        at++;
    if (at == std::string_view::npos)
        return answer;
    // "Spam: True ; 1000.0 / 5.0", with Yes/No in some replies.
    std::string_view value = headers.substr(at + kSpam.size());
    value = value.substr(0, value.find_first_of("\r\n"));
    const auto trim = [](std::string_view text) {
        const size_t first = text.find_first_not_of(' ');
        return first == std::string_view::npos ? std::string_view() : text.substr(first);
    };
    const auto token = [](std::string_view text) { return text.substr(0, text.find_first_of(" ;/")); };
    const std::string_view word = token(trim(value));
    answer.spam = (word.size() == 4 && strncasecmp(word.data(), "True", 4) == 0) ||
                  (word.size() == 3 && strncasecmp(word.data(), "Yes", 3) == 0);
    const size_t semicolon = value.find(';');
    if (semicolon == std::string_view::npos)
        return answer;
    const std::string_view afterSemicolon = trim(value.substr(semicolon + 1));
    answer.scoreText = token(afterSemicolon);
    const size_t slash = afterSemicolon.find('/');
    if (slash != std::string_view::npos)
        answer.thresholdText = token(trim(afterSemicolon.substr(slash + 1)));
    const auto number = [](std::string_view text, double& out) {
        const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), out);
        return !text.empty() && error == std::errc() && end == text.data() + text.size();
    };
    const bool scoreRead = number(answer.scoreText, answer.score);
    const bool thresholdRead = number(answer.thresholdText, answer.threshold);
    answer.rated = answer.status == 0 && scoreRead && thresholdRead;
    if (!answer.rated) {
        answer.scoreText = answer.thresholdText = {};
        if (!scoreRead)
            answer.score = 0;
        if (!thresholdRead)
            answer.threshold = 0;
    }
    return answer;
}

SpamdVerdict ParseCheckReply(const char* reply)
{
    const SpamdAnswer answer = ParseSpamdReply(reply);
    SpamdVerdict verdict;
    verdict.score = answer.score;
    verdict.threshold = answer.threshold;
    verdict.rated = answer.rated;
    return verdict;
}

void BuildRequestHeader(std::string& header, bool symbols, size_t contentLength, std::string_view user)
{
    header.assign(symbols ? "SYMBOLS SPAMC/1.5\r\nContent-length: " : "CHECK SPAMC/1.2\r\nContent-length: ");
    char digits[24];
    header.append(digits, std::to_chars(digits, digits + sizeof digits, contentLength).ptr);
    header += "\r\n";
    if (!user.empty()) {
        header += "User: ";
        header += user;
        header += "\r\n";
    }
    header += "\r\n";
}
