#include "replay/session.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>

#include "replay/figures.h"

namespace replay {

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

double ThreadCpuSeconds()
{
    rusage usage;
    if (getrusage(RUSAGE_THREAD, &usage) != 0)
        return 0;
    auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

constexpr size_t kRecentDiagnostics = 8;

class Session {
public:
    Session(const std::vector<SpoolEntry>& spool, const SessionOptions& options)
        : spool(spool), options(options), sendTimes(spool.size())
    {
        result.messages.resize(spool.size());
        quitId = std::to_string(spool.size() + 1);
    }
    ~Session();

    SessionResult Run();

private:
    bool Launch();
    void SendLine(const std::string& line);
    // WriteOutgoing - as much of the queued input as the pipe takes now.
    void WriteOutgoing();
    // Pump - move bytes both ways until done() or the deadline; false at the deadline.
    bool Pump(const std::function<bool()>& done, const std::function<Clock::time_point()>& deadline,
              bool feedRequests);
    void FeedRequests();
    void HandleLine(const std::string& line);
    void ShowProgress(bool final);
    void WaitForExit();
    void Fault(const std::string& text);

    const std::vector<SpoolEntry>& spool;
    const SessionOptions& options;
    SessionResult result;
    std::string quitId;

    pid_t pid = -1;
    int toPlugin = -1;
    int fromPlugin = -1;
    FILE* transcript = nullptr;
    std::string outgoing;
    std::string incoming;
    bool outputClosed = false;
    bool inputBroken = false;
    bool quitReplied = false;

    size_t nextMessage = 0;
    size_t answeredMessages = 0;
    std::vector<Clock::time_point> sendTimes;
    Clock::time_point firstSend{};
    Clock::time_point lastActivity{};
    Clock::time_point lastAnswer{};
    Clock::time_point lastProgress{};
    std::deque<std::string> recentDiagnostics;
};

Session::~Session()
{
    if (pid > 0) {
        kill(pid, SIGKILL);
        int status;
        waitpid(pid, &status, 0);
    }
    if (toPlugin >= 0)
        close(toPlugin);
    if (fromPlugin >= 0)
        close(fromPlugin);
    if (transcript != nullptr)
        fclose(transcript);
}

void Session::Fault(const std::string& text) { result.faults.push_back(text); }

bool Session::Launch()
{
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0)
        return false;
    if (pipe2(out, O_CLOEXEC) != 0) {
        close(in[0]);
        close(in[1]);
        return false;
    }
    // Everything the child needs is prepared before the fork: after it only
    // async-signal-safe calls are allowed (the tool may run threads).
    std::string program = options.program;
    std::string workDir = options.workDir;
    std::string stderrPath = options.workDir + "/plugin-stderr.txt";
    char* argv[] = {program.data(), nullptr};

    pid = fork();
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        int err = open(stderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (err >= 0)
            dup2(err, 2);
        if (chdir(workDir.c_str()) != 0)
            _exit(127);
        // An ignored SIGPIPE would survive the exec.
        signal(SIGPIPE, SIG_DFL);
        execv(program.c_str(), argv);
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    if (pid < 0) {
        close(in[1]);
        close(out[0]);
        return false;
    }
    toPlugin = in[1];
    fromPlugin = out[0];
    fcntl(toPlugin, F_SETFL, fcntl(toPlugin, F_GETFL) | O_NONBLOCK);
    fcntl(fromPlugin, F_SETFL, fcntl(fromPlugin, F_GETFL) | O_NONBLOCK);
    result.pid = pid;
    return true;
}

void Session::SendLine(const std::string& line)
{
    if (!inputBroken)
        outgoing += line;
}

void Session::FeedRequests()
{
    while (nextMessage < spool.size() && nextMessage - answeredMessages < options.inFlight) {
        std::string id = std::to_string(nextMessage + 1);
        result.tracker.Sent(id);
        SendLine(id + " FILE " + spool[nextMessage].path + "\n");
        Clock::time_point now = Clock::now();
        if (nextMessage == 0)
            firstSend = now;
        sendTimes[nextMessage] = now;
        lastActivity = now;
        nextMessage++;
    }
}

void Session::HandleLine(const std::string& line)
{
    if (transcript != nullptr)
        fprintf(transcript, "%s\n", line.c_str());
    OutputLine parsed = ParseOutputLine(line);
    if (parsed.diagnostic) {
        result.diagnosticLines++;
        recentDiagnostics.push_back(line);
        if (recentDiagnostics.size() > kRecentDiagnostics)
            recentDiagnostics.pop_front();
        return;
    }
    Clock::time_point now = Clock::now();
    ReplyTracker::Outcome outcome = result.tracker.Answer(parsed.id);
    if (outcome == ReplyTracker::Outcome::Duplicate) {
        fprintf(stderr, "velmora-replay: request %s answered again: %s\n", parsed.id.c_str(), line.c_str());
        return;
    }
    if (outcome == ReplyTracker::Outcome::Unknown) {
        fprintf(stderr, "velmora-replay: reply for an unknown request id: %s\n", line.c_str());
        return;
    }
    lastActivity = now;
    if (parsed.id == "0") {
        result.started = true;
        return;
    }
    if (parsed.id == quitId) {
        quitReplied = true;
        result.quitAnswered = parsed.kind == ReplyKind::Ok;
        return;
    }
    // Ids that the tracker knows are ours: 1..n.
    size_t index = std::stoul(parsed.id) - 1;
    MessageOutcome& message = result.messages[index];
    message.answered = true;
    message.kind = parsed.kind;
    message.text = parsed.text;
    message.headerText = parsed.headerText;
    message.latencySeconds = Seconds(now - sendTimes[index]);
    answeredMessages++;
    lastAnswer = now;
    if (options.onReply)
        options.onReply(spool[index], parsed);
}

void Session::ShowProgress(bool final)
{
    if (!options.progress)
        return;
    Clock::time_point now = Clock::now();
    if (final) {
        fprintf(stderr, "\r%60s\r", "");
        return;
    }
    if (now - lastProgress < std::chrono::milliseconds(250))
        return;
    lastProgress = now;
    fprintf(stderr, "\r%zu/%zu sent, %zu answered ", nextMessage, spool.size(), answeredMessages);
}

void Session::WriteOutgoing()
{
    if (outgoing.empty() || inputBroken)
        return;
    ssize_t n = write(toPlugin, outgoing.data(), outgoing.size());
    if (n > 0) {
        outgoing.erase(0, static_cast<size_t>(n));
    } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
        inputBroken = true;  // the plugin closed its input: it has ended or is ending
        outgoing.clear();
    }
}

bool Session::Pump(const std::function<bool()>& done, const std::function<Clock::time_point()>& deadline,
                   bool feedRequests)
{
    char buffer[65536];
    while (!done()) {
        if (outputClosed)
            return true;
        if (feedRequests)
            FeedRequests();
        // Written at once, as a host does; poll only waits for room when the
        // pipe is full.  A poll before every write would double the host's
        // system calls, and its processor time is taken from the plugin's.
        WriteOutgoing();
        Clock::time_point now = Clock::now();
        Clock::time_point until = deadline();
        if (now >= until)
            return false;
        int waitMs = static_cast<int>(std::min<long long>(
            std::chrono::duration_cast<std::chrono::milliseconds>(until - now).count() + 1, 250));

        pollfd fds[2];
        nfds_t count = 0;
        fds[count++] = pollfd{fromPlugin, POLLIN, 0};
        bool writing = !outgoing.empty() && !inputBroken;
        if (writing)
            fds[count++] = pollfd{toPlugin, POLLOUT, 0};
        int ready = poll(fds, count, waitMs);
        if (ready < 0 && errno != EINTR) {
            Fault(std::string("poll failed: ") + strerror(errno));
            return false;
        }
        if (writing && (fds[1].revents & (POLLOUT | POLLERR | POLLHUP)))
            WriteOutgoing();
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            ssize_t n = read(fromPlugin, buffer, sizeof buffer);
            if (n == 0) {
                outputClosed = true;
            } else if (n > 0) {
                incoming.append(buffer, static_cast<size_t>(n));
                size_t start = 0;
                size_t newline;
                while ((newline = incoming.find('\n', start)) != std::string::npos) {
                    HandleLine(incoming.substr(start, newline - start));
                    start = newline + 1;
                }
                incoming.erase(0, start);
            } else if (errno != EAGAIN && errno != EINTR) {
                outputClosed = true;
            }
        }
        ShowProgress(false);
    }
    return true;
}

void Session::WaitForExit()
{
    Clock::time_point until = Clock::now() + std::chrono::seconds(10);
    int status = 0;
    for (;;) {
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid)
            break;
        if (r < 0 || Clock::now() > until) {
            Fault("the plugin did not exit after closing its output; killed");
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            break;
        }
        usleep(5000);
    }
    pid = -1;
    result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

SessionResult Session::Run()
{
    signal(SIGPIPE, SIG_IGN);
    if (!options.transcriptPath.empty())
        transcript = fopen(options.transcriptPath.c_str(), "w");
    if (!Launch()) {
        Fault(std::string("the plugin could not be started: ") + strerror(errno));
        return std::move(result);
    }
    auto secondsFrom = [](Clock::time_point from, int seconds) { return from + std::chrono::seconds(seconds); };

    // INTF first, as the host does; its answer also says that the start-up is over.
    Clock::time_point started = Clock::now();
    result.tracker.Sent("0", "INTF");
    SendLine("0 INTF 3\n");
    bool answered = Pump([&] { return result.started; },
                         [&] { return secondsFrom(started, options.replyTimeoutSeconds); }, false);
    if (!result.started)
        Fault(answered ? "the plugin ended during its start-up"
                       : "no answer to INTF within " + std::to_string(options.replyTimeoutSeconds) + " s");

    if (result.started) {
        lastActivity = Clock::now();
        double hostCpuStart = ThreadCpuSeconds();
        bool complete = Pump([&] { return answeredMessages == spool.size(); },
                             [&] { return secondsFrom(lastActivity, options.replyTimeoutSeconds); }, true);
        ShowProgress(true);
        if (!complete)
            result.gaveUpWaiting = true;
        else if (answeredMessages < spool.size() && outputClosed)
            Fault("the plugin ended before every request was answered");
        if (answeredMessages > 0)
            result.wallSeconds = Seconds(lastAnswer - firstSend);
        result.hostCpuSeconds = ThreadCpuSeconds() - hostCpuStart;
    }

    if (!outputClosed) {
        result.peakRssKiB = ReadPeakRssKiB(pid);
        result.cpuSeconds = ReadCpuSeconds(pid);
        result.tracker.Sent(quitId, "QUIT");
        SendLine(quitId + " QUIT\n");
        result.quitSent = !inputBroken;
        Clock::time_point quitAt = Clock::now();
        bool ended = Pump([] { return false; },
                          [&] { return secondsFrom(quitAt, options.quitTimeoutSeconds); }, false);
        if (!ended) {
            Fault("the plugin did not end within " + std::to_string(options.quitTimeoutSeconds) +
                  " s of QUIT; killed");
            kill(pid, SIGKILL);
        }
    } else if (result.started) {
        Fault("the plugin ended before QUIT was sent");
    }
    WaitForExit();
    if (result.exitStatus != 0)
        Fault("the plugin's exit status was " + std::to_string(result.exitStatus));
    if (quitReplied && !result.quitAnswered)
        Fault("QUIT was answered, but not with OK");
    if (!result.faults.empty())
        for (const std::string& line : recentDiagnostics)
            result.faults.push_back("  plugin said: " + line);
    return std::move(result);
}

}  // namespace

SessionResult RunSession(const std::vector<SpoolEntry>& spool, const SessionOptions& options)
{
    Session session(spool, options);
    return session.Run();
}

}  // namespace replay
