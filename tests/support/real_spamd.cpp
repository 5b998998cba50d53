#include "real_spamd.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kStartLimit = std::chrono::seconds(60);
const char* const kExamples = "/usr/share/doc/spamassassin/examples/";

// Ping - one PING exchange with a time limit; true when spamd answered PONG.
bool Ping(const std::string& socketPath)
{
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
    std::string reply;
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        send(fd, "PING SPAMC/1.0\r\n", 16, MSG_NOSIGNAL) == 16) {
        char buffer[256];
        pollfd p{fd, POLLIN, 0};
        while (poll(&p, 1, 5000) > 0) {
            ssize_t n = read(fd, buffer, sizeof buffer);
            if (n <= 0)
                break;
            reply.append(buffer, static_cast<size_t>(n));
        }
    }
    close(fd);
    return reply.find("PONG") != std::string::npos;
}

}  // namespace

std::string RealSpamd::FindBinary()
{
    for (const char* path : {"/usr/sbin/spamd", "/usr/bin/spamd", "/usr/local/bin/spamd", "/usr/local/sbin/spamd"})
        if (access(path, X_OK) == 0)
            return path;
    return "";
}

RealSpamd::RealSpamd()
{
    const std::string binary = FindBinary();
    if (binary.empty()) {
        error = "spamd is not installed";
        return;
    }
    // spamd's children run as nobody, who must reach the socket.
    chmod(dir.Path().c_str(), 0755);
    socketPath = dir.File("spamd.sock");
    std::vector<std::string> args = {binary, "-L", "--socketpath=" + socketPath, "-m", "2", "--min-spare=1",
                                     "--max-spare=2", "--pidfile=" + dir.File("spamd.pid"), "-s", "stderr", "-x",
                                     "--cf=use_bayes 0", "--cf=bayes_auto_learn 0"};
    if (geteuid() == 0) {
        args.push_back("-u");
        args.push_back("nobody");
    }
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    const std::string log = dir.File("spamd.log");

    pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int in = open("/dev/null", O_RDONLY);
        if (out >= 0 && in >= 0) {
            dup2(in, STDIN_FILENO);
            dup2(out, STDOUT_FILENO);
            dup2(out, STDERR_FILENO);
        }
        execv(argv[0], argv.data());
        _exit(127);
    }
    if (pid < 0) {
        error = std::string("fork failed: ") + strerror(errno);
        return;
    }
    setpgid(pid, pid);  // also here, so that Stop never signals a group that does not exist yet

    const auto deadline = Clock::now() + kStartLimit;
    while (Clock::now() < deadline) {
        int status;
        if (waitpid(pid, &status, WNOHANG) == pid) {
            pid = -1;
            error = "spamd ended at start; its log:\n" + ReadFileText(log);
            return;
        }
        struct stat st;
        if (stat(socketPath.c_str(), &st) == 0 && Ping(socketPath))
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    error = "spamd did not answer within a minute; its log:\n" + ReadFileText(log);
}

RealSpamd::~RealSpamd() { Stop(); }

void RealSpamd::Stop()
{
    if (pid <= 0)
        return;
    kill(-pid, SIGTERM);
    // spamd ends its children itself; whatever is left of the group after
    // ten seconds is killed.
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    bool parentGone = false;
    while (Clock::now() < deadline) {
        int status;
        if (!parentGone && waitpid(pid, &status, WNOHANG) == pid)
            parentGone = true;
        if (parentGone && kill(-pid, 0) != 0 && errno == ESRCH)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    kill(-pid, SIGKILL);
    if (!parentGone) {
        int status;
        waitpid(pid, &status, 0);
    }
    pid = -1;
}

std::string ReadSampleMessage(const std::string& name)
{
    const std::string plain = kExamples + name;
    if (access(plain.c_str(), R_OK) == 0)
        return ReadFileText(plain);
    const std::string packed = plain + ".gz";
    if (access(packed.c_str(), R_OK) != 0)
        return "";
    std::string text;
    if (FILE* pipe = popen(("gzip -dc '" + packed + "'").c_str(), "r")) {
        char buffer[4096];
        size_t n;
        while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
            text.append(buffer, n);
        pclose(pipe);
    }
    return text;
}
