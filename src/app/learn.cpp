#include "app/learn.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>

#include "base/output.h"
#include "base/system.h"
#include "base/text.h"
#include "config/paths.h"
#include "config/settings.h"
#include "rating/engine.h"
#include "rating/envelope.h"
#include "rating/engine_connection.h"

namespace {

constexpr int kUsageStatus = 64;
// No engine learns more of a message than this; rspamd refuses 50 MiB.
constexpr size_t kMaxLearnedMessage = 32 * 1024 * 1024;
// A host that fails this many messages in a row is given up for the run.
constexpr int kFailuresInARow = 3;
// The time limits of the one spamd of SocketPath, which has none of its own.
constexpr int kLearnConnectSeconds = 5;
constexpr int kLearnReplySeconds = 240;

struct DirCloser {
    void operator()(DIR* dir) const { closedir(dir); }
};

bool IsDirectory(const std::string& path)
{
    struct stat status;
    return stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

// FilesIn - the names of a directory's regular files, sorted; dot files left out.
bool FilesIn(const std::string& dir, std::vector<std::string>& names)
{
    const std::unique_ptr<DIR, DirCloser> handle(opendir(dir.c_str()));
    if (!handle)
        return false;
    while (const dirent* entry = readdir(handle.get())) {
        if (entry->d_name[0] == '.')
            continue;
        struct stat status;
        const std::string path = dir + "/" + entry->d_name;
        if (stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode))
            names.push_back(path);
    }
    std::sort(names.begin(), names.end());
    return true;
}

// CollectFile - a message file, or the messages of an mbox file.
bool CollectFile(const std::string& path, std::vector<MessageSource>& messages, std::string& why)
{
    std::string text;
    if (!ReadWholeRegularFile(path, text)) {
        why = path + ": " + strerror(errno);
        return false;
    }
    if (text.starts_with("From ")) {
        for (const auto& [offset, length] : SplitMbox(text))
            messages.push_back({path, offset, length, true});
        return true;
    }
    messages.push_back({path, 0, text.size(), false});
    return true;
}

// LoadMessage - the bytes of a message as an engine learns them; an mbox
// read once serves its following messages.
bool LoadMessage(const MessageSource& source, std::string& file, std::string& loaded, std::string_view& message,
                 std::string& why)
{
    if (loaded != source.path || !source.mbox) {
        loaded.clear();
        if (!ReadWholeRegularFile(source.path, file)) {
            why = source.path + ": " + strerror(errno);
            return false;
        }
        loaded = source.path;
    }
    if (source.offset + source.length > file.size()) {
        why = source.path + " changed while it was read";
        return false;
    }
    message = source.mbox ? std::string_view(file).substr(source.offset, source.length) : MessageOf(file);
    if (message.empty())
        why = source.path + ": empty message";
    else if (message.size() > kMaxLearnedMessage)
        why = source.path + ": larger than 32 MiB";
    return why.empty();
}

// HostRun - one host's part of the run; only its own thread writes it
// until the thread is joined.
struct HostRun {
    EngineHost host;
    int learned = 0;
    int known = 0;
    int failed = 0;
    bool skipped = false;  // the engine cannot do what is asked
    std::string why;       // the last failure
};

struct RunInput {
    LearnClass what;
    const std::vector<MessageSource>* messages;
    std::string password;
    std::string passwordProblem;  // the rspamd hosts fail with it
    std::string passwordFile;
    const TlsClient* tls;
    ExchangeLimits limits;
};

// RefusalWhy - a refused learn, with a hint where the remedy lies.
std::string RefusalWhy(const HostRun& run, const RunInput& input, const std::string& why)
{
    if (run.host.engine != EngineKind::Rspamd || why.find("HTTP 40") == std::string::npos)
        return why;
    if (input.passwordFile.empty())
        return why + " (no Learn PasswordFile is set)";
    return why + " (check the password in " + input.passwordFile + ")";
}

void TeachHost(HostRun& run, const RunInput& input, std::atomic<size_t>& done)
{
    const std::vector<MessageSource>& messages = *input.messages;
    std::string giveUp;
    if (run.host.engine == EngineKind::Rspamd && !input.passwordProblem.empty())
        giveUp = input.passwordProblem;
    EngineAddresses addresses;
    if (giveUp.empty())
        ResolveEngineHost(run.host, addresses, giveUp);
    std::string file, loaded, head, reply;
    int inARow = 0;
    for (const MessageSource& source : messages) {
        if (run.skipped) {
            done++;
            continue;
        }
        std::string why = giveUp;
        std::string_view message;
        if (why.empty() && LoadMessage(source, file, loaded, message, why)) {
            const LearnOutcome outcome = LearnAtHost(run.host, addresses, input.tls, input.what, message,
                                                     input.password, input.limits, head, reply);
            switch (outcome.kind) {
            case LearnOutcome::Kind::Learned: run.learned++; inARow = 0; break;
            case LearnOutcome::Kind::Known: run.known++; inARow = 0; break;
            case LearnOutcome::Kind::Unsupported:
                run.skipped = true;
                run.why = outcome.why;
                break;
            case LearnOutcome::Kind::Refused:
                giveUp = RefusalWhy(run, input, outcome.why);
                why = giveUp;
                break;
            case LearnOutcome::Kind::Failed:
                why = outcome.why;
                if (++inARow >= kFailuresInARow)
                    giveUp = outcome.why + " (" + std::to_string(kFailuresInARow) + " failures in a row)";
                break;
            }
        }
        if (!why.empty()) {
            run.failed++;
            run.why = why;
        }
        done++;
    }
}

// LearnLimits - the scan's limits; the one spamd of SocketPath has none, a run must end.
ExchangeLimits LearnLimits(const SpamdSettings& farm)
{
    return {farm.connectTimeout > 0 ? farm.connectTimeout : kLearnConnectSeconds,
            farm.replyTimeout > 0 ? farm.replyTimeout : kLearnReplySeconds};
}

std::string Counted(int n, const char* what) { return std::to_string(n) + " " + what; }

int Usage(const char* why)
{
    fprintf(stderr, "VelmoraSpamAssassin: %s\nusage: VelmoraSpamAssassin -learn spam|ham|forget PATH...\n", why);
    return kUsageStatus;
}

}  // namespace

std::vector<std::pair<size_t, size_t>> SplitMbox(std::string_view text)
{
    std::vector<std::pair<size_t, size_t>> messages;
    if (!text.starts_with("From "))
        return messages;
    size_t separator = 0;
    while (separator != std::string_view::npos) {
        const size_t lineEnd = text.find('\n', separator);
        const size_t start = lineEnd == std::string_view::npos ? text.size() : lineEnd + 1;
        size_t next = text.find("\nFrom ", start > 0 ? start - 1 : 0);
        size_t end = next == std::string_view::npos ? text.size() : next + 1;
        separator = next == std::string_view::npos ? next : next + 1;
        // The empty line in front of the next separator belongs to the mbox, not to the message.
        if (next != std::string_view::npos && end - start >= 2 && text.substr(end - 2, 2) == "\n\n")
            end--;
        if (end > start)
            messages.emplace_back(start, end - start);
    }
    return messages;
}

std::string_view MessageOf(const std::string& file)
{
    // The host's envelope ends with its empty line; a message file may not have one.
    return std::string_view(file).substr(std::min<size_t>(FindEnvelopeLength(file.c_str()), file.size()));
}

bool CollectMessages(const std::string& path, std::vector<MessageSource>& messages, std::string& why)
{
    struct stat status;
    if (stat(path.c_str(), &status) != 0) {
        why = path + ": " + strerror(errno);
        return false;
    }
    const size_t before = messages.size();
    if (S_ISREG(status.st_mode)) {
        if (!CollectFile(path, messages, why))
            return false;
    } else if (S_ISDIR(status.st_mode)) {
        std::vector<std::string> files;
        const bool maildir = IsDirectory(path + "/cur") || IsDirectory(path + "/new");
        for (const char* sub : maildir ? std::vector<const char*>{"/cur", "/new"} : std::vector<const char*>{""})
            if (!FilesIn(path + sub, files) && !maildir) {
                why = path + ": " + strerror(errno);
                return false;
            }
        for (const std::string& file : files)
            if (!CollectFile(file, messages, why))
                return false;
    } else {
        why = path + " is neither a message file, a directory, a Maildir nor an mbox file";
        return false;
    }
    if (messages.size() == before) {
        why = path + " holds no message";
        return false;
    }
    return true;
}

bool ReadPasswordFile(const std::string& path, std::string& password, std::string& why)
{
    // A link could lend the password of another file; a FIFO would hold the run.
    FileDescriptor fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY));
    struct stat status;
    if (!fd.IsOpen() || fstat(fd.Get(), &status) != 0) {
        why = path + ": " + strerror(errno);
        return false;
    }
    if (!S_ISREG(status.st_mode)) {
        why = path + " is no regular file";
        return false;
    }
    if ((status.st_mode & (S_IRGRP | S_IROTH)) != 0) {
        why = path + " may be read by group or others (chmod 600 it)";
        return false;
    }
    char buffer[1024];
    const long got = ReadUpTo(fd.Get(), buffer, sizeof buffer);
    if (got < 0) {
        why = path + ": " + strerror(errno);
        return false;
    }
    std::string_view text(buffer, static_cast<size_t>(got));
    text = text.substr(0, text.find('\n'));
    if (text.ends_with('\r'))
        text.remove_suffix(1);
    if (text.empty() || std::any_of(text.begin(), text.end(), [](char c) {
            return static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
        })) {
        why = path + " holds no password on its first line";
        return false;
    }
    password.assign(text);
    return true;
}

int RunLearn(int argc, char** argv)
{
    SetWorkPath(DeriveWorkPath(argc > 0 ? argv[0] : nullptr));
    signal(SIGPIPE, SIG_IGN);
    std::vector<std::string> paths;
    const char* what = nullptr;
    for (int i = 1; i < argc; i++) {
        if (EqualStringsNoCase(argv[i], "-debug") || EqualStringsNoCase(argv[i], "-d"))
            SetDebug(true);
        else if (EqualStringsNoCase(argv[i], "-learn") && what == nullptr && i + 1 < argc)
            what = argv[++i];
        else if (EqualStringsNoCase(argv[i], "-learn"))
            return Usage("-learn needs spam, ham or forget and at least one PATH");
        else
            paths.emplace_back(argv[i]);
    }
    LearnClass learnClass;
    if (what != nullptr && strcmp(what, "spam") == 0)
        learnClass = LearnClass::Spam;
    else if (what != nullptr && strcmp(what, "ham") == 0)
        learnClass = LearnClass::Ham;
    else if (what != nullptr && strcmp(what, "forget") == 0)
        learnClass = LearnClass::Forget;
    else
        return Usage("-learn needs spam, ham or forget");
    if (paths.empty())
        return Usage("-learn needs at least one PATH");

    const std::string configPath = ConfigFilePath();
    std::shared_ptr<const cfgfItem> tree = cfgfReadConfigFile(configPath);
    const Settings settings = ApplySettingsTree(Settings(), tree, configPath);
    if (!settings.learnValid) {
        PrintMsg("* learn: the Learn dictionary of %s has errors; nothing was taught\n", configPath.c_str());
        FlushOutput();
        return 1;
    }
    std::vector<std::string> skipped;
    std::vector<HostRun> runs;
    for (const EngineHost& host : LearnHostsOf(settings.learn, settings.spamd, skipped))
        runs.emplace_back().host = host;
    for (const std::string& name : skipped)
        PrintMsg("* learn: rspamd host %s listens on a Unix socket: name its controller in Learn Hosts\n",
                 name.c_str());
    if (runs.empty()) {
        PrintMsg("* learn: no learning host; nothing was taught\n");
        FlushOutput();
        return 1;
    }

    std::vector<MessageSource> messages;
    for (const std::string& path : paths) {
        std::string why;
        if (!CollectMessages(path, messages, why)) {
            PrintMsg("* learn: %s; nothing was taught\n", why.c_str());
            FlushOutput();
            return 1;
        }
    }

    RunInput input{learnClass, &messages, {}, {}, {}, nullptr, LearnLimits(settings.spamd)};
    const bool anyRspamd = std::any_of(runs.begin(), runs.end(),
                                       [](const HostRun& run) { return run.host.engine == EngineKind::Rspamd; });
    if (anyRspamd && learnClass != LearnClass::Forget && !settings.learn.passwordFile.empty()) {
        const std::string& file = settings.learn.passwordFile;
        input.passwordFile = file.starts_with('/') ? file : WorkPath() + file;
        ReadPasswordFile(input.passwordFile, input.password, input.passwordProblem);
    }
    std::shared_ptr<const TlsClient> tls;
    std::string tlsProblem;
    if (std::any_of(runs.begin(), runs.end(),
                    [](const HostRun& run) { return run.host.transport == EngineTransport::Tls; }))
        tls = TlsClient::Create(settings.spamd.tls, tlsProblem);
    input.tls = tls.get();

    std::atomic<size_t> done{0};
    std::vector<std::thread> threads;
    for (HostRun& run : runs)
        threads.emplace_back([&run, &input, &done] { TeachHost(run, input, done); });
    // The progress line only where someone watches it.
    const size_t total = messages.size() * runs.size();
    if (isatty(STDERR_FILENO)) {
        while (done.load() < total) {
            fprintf(stderr, "\rlearning %s: %zu of %zu", what, done.load(), total);
            fflush(stderr);
            usleep(200000);
        }
        fprintf(stderr, "\rlearning %s: %zu of %zu\n", what, total, total);
    }
    for (std::thread& thread : threads)
        thread.join();

    int missed = 0;
    for (const HostRun& run : runs) {
        const char* engine = EngineName(run.host.engine);
        if (run.skipped) {
            PrintMsg("* %s host %s: skipped: %s\n", engine, run.host.name.c_str(), run.why.c_str());
            continue;
        }
        std::string line = Counted(run.learned, "learned") + ", " + Counted(run.known, "already known") + ", " +
                           Counted(run.failed, "failed");
        if (run.failed > 0) {
            line += " (" + run.why + ")";
            missed++;
        }
        PrintMsg("* %s host %s: %s\n", engine, run.host.name.c_str(), line.c_str());
    }
    const std::string counts = std::to_string(messages.size()) + " message(s), " + std::to_string(runs.size()) +
                               " host(s)";
    if (missed == 0)
        PrintMsg("* learn %s: %s: every message reached every host\n", what, counts.c_str());
    else
        PrintMsg("* learn %s: %s: %d host(s) missed messages\n", what, counts.c_str(), missed);
    FlushOutput();
    return missed == 0 ? 0 : 1;
}
