#include "rating/spamd_client.h"

#include <sys/socket.h>
#include <sys/un.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "config/settings.h"
#include "protocol/output.h"
#include "protocol/process.h"
#include "protocol/system.h"

namespace {

const char kPingRequest[] = "PING SPAMC/1.0\r\n";

// ConnectToSpamd - a connected socket; ends the process when there is none,
// since no message could be rated without spamd.
FileDescriptor ConnectToSpamd(const std::string& socketPath)
{
    FileDescriptor socketFd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!socketFd.IsOpen()) {
        PrintMsg("* failed to create a socket: %s\n", strerror(errno));
        ExitProcess(1);
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
        PrintMsg("* failed to connect to socket %s: %s\n", socketPath.c_str(), strerror(errno));
        ExitProcess(1);
    }
    return socketFd;
}

// DebugExchange - a request or reply as a debug text ("cmd: " or "rsp: ");
// DebugMsg marks every line of it as a diagnostic line.
void DebugExchange(const char* label, std::initializer_list<std::string_view> pieces)
{
    if (!doDebug.load(std::memory_order_relaxed))
        return;
    std::string text = label;
    for (std::string_view piece : pieces)
        text.append(piece);
    DebugMsg("%s\n", text.c_str());
}

}  // namespace

int sendCommand(const std::string& socketPath, std::initializer_list<std::string_view> request,
                char* reply, unsigned long capacity)
{
    reply[0] = '\0';
    FileDescriptor socketFd = ConnectToSpamd(socketPath);
    DebugExchange("cmd: ", request);
    if (!WriteAllPieces(socketFd.Get(), request)) {
        const int error = errno;
        socketFd.Close();
        errno = error;
        return kWriteFailed;
    }
    // spamd may write its status line and its Spam header separately, so the
    // reply is read until spamd closes the connection or the buffer is full.
    const long got = ReadUpTo(socketFd.Get(), reply, capacity);
    if (got < 0)
        return kReadFailed;
    reply[got] = '\0';
    DebugExchange("rsp: ", {reply});
    return static_cast<int>(got);
}

void InitEngine()
{
    const std::string socketPath = CurrentSettings()->socketPath;
    PrintMsg("* Connecting to socket %s\n", socketPath.c_str());
    char reply[kPingReplyCapacity + 1];
    if (sendCommand(socketPath, {kPingRequest}, reply, kPingReplyCapacity) < 1) {
        PrintMsg("* failed to read from socket %s\n", socketPath.c_str());
        ExitProcess(1);
    }
    if (char* blank = strchr(reply, ' '))
        *blank = '\0';
    PrintMsg("* engine: %s\n", reply);
}

void CloseEngine() {}

SpamdVerdict ParseCheckReply(const char* reply)
{
    SpamdVerdict verdict;
    const char* semicolon = strchr(reply, ';');
    if (semicolon == nullptr)
        return verdict;
    verdict.score = atof(semicolon + 1);
    if (const char* slash = strchr(semicolon, '/'))
        verdict.threshold = atof(slash + 1);
    return verdict;
}
