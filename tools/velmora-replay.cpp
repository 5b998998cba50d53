// velmora-replay - feed messages through the plugin exactly as the host does
// and report every verdict, the rating histogram, throughput, reply latency
// and the plugin's peak memory; optionally compare with a raw client and with
// spamc run once per message.
//
// The plugin runs in a working directory of its own: a symlink to the binary,
// a settings file, a Submitted directory and the spool of message files,
// each with the host's envelope.  See docs/replay-and-benchmarks.md.

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>

#include "replay/baselines.h"
#include "replay/fake_spamd.h"
#include "replay/messages.h"
#include "replay/options.h"
#include "replay/report.h"
#include "replay/session.h"
#include "replay/spool.h"

using namespace replay;

namespace {

namespace fs = std::filesystem;

constexpr int kUsageError = 1;

int Fail(const std::string& text)
{
    fprintf(stderr, "velmora-replay: %s\n", text.c_str());
    return kUsageError;
}

// DefaultPlugin - the plugin installed beside this tool, or in the build tree
// one directory up.
std::string DefaultPlugin()
{
    std::error_code code;
    fs::path self = fs::read_symlink("/proc/self/exe", code);
    if (code)
        return "VelmoraSpamAssassin";
    for (const fs::path& candidate : {self.parent_path() / "VelmoraSpamAssassin",
                                      self.parent_path().parent_path() / "VelmoraSpamAssassin"})
        if (fs::is_regular_file(candidate, code))
            return candidate.string();
    return (self.parent_path() / "VelmoraSpamAssassin").string();
}

bool ReadText(const std::string& path, std::string& text)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    std::ostringstream content;
    content << in.rdbuf();
    text = content.str();
    return true;
}

// Cleanup - removes the temporary directories on every way out, unless told to keep them.
struct Cleanup {
    std::string workDir;
    std::string socketDir;
    bool keepWorkDir = false;
    ~Cleanup()
    {
        if (!workDir.empty() && !keepWorkDir)
            RemoveTree(workDir);
        if (!socketDir.empty())
            RemoveTree(socketDir);
    }
};

}  // namespace

int main(int argc, char** argv)
{
    ReplayOptions options;
    std::string error;
    if (!ParseOptions(argc, argv, options, error)) {
        fprintf(stderr, "velmora-replay: %s\n(velmora-replay --help lists the options)\n", error.c_str());
        return kUsageError;
    }
    if (options.help) {
        fputs(UsageText(), stdout);
        return 0;
    }
    std::string plugin = options.plugin.empty() ? DefaultPlugin() : options.plugin;
    if (access(plugin.c_str(), X_OK) != 0)
        return Fail("plugin binary " + plugin + ": " + strerror(errno));

    std::vector<Message> messages;
    if (!CollectMessages(options.inputs, messages, error))
        return Fail(error);
    if (options.synthetic > 0) {
        std::vector<Message> synthetic = SyntheticMessages(options.synthetic, options.syntheticSize);
        std::move(synthetic.begin(), synthetic.end(), std::back_inserter(messages));
    }
    if (messages.empty())
        return Fail("the inputs hold no message");
    if (options.count > 0)
        messages = RepeatMessages(messages, options.count);

    Cleanup cleanup;
    std::string settingsText;
    std::string socketPath;
    std::string spamdLabel;
    int threads = options.threads;
    if (options.config) {
        if (!ReadText(*options.config, settingsText))
            return Fail(*options.config + ": cannot be read");
        socketPath = ConfigValue(settingsText, "SocketPath").value_or("/var/run/spam");
        if (!options.threadsGiven)
            threads = std::clamp(atoi(ConfigValue(settingsText, "MaxScanningThreads").value_or("10").c_str()), 1, 100);
        spamdLabel = "socket " + socketPath + " (from " + *options.config + ")";
    }
    FakeSpamd fake;
    if (options.fakeSpamd) {
        // Kept short: a Unix socket path must fit in 108 bytes.
        cleanup.socketDir = MakeTempDirectory("vr-");
        if (cleanup.socketDir.empty())
            return Fail(std::string("temporary directory: ") + strerror(errno));
        socketPath = cleanup.socketDir + "/spamd.sock";
        int serverThreads = std::clamp(threads + 4, 8, 256);
        if (!fake.Start(socketPath, *options.fakeSpamd, serverThreads, error))
            return Fail("fake spamd: " + error);
        char label[96];
        snprintf(label, sizeof label, "fake %.1f/%.1f, %d ms", options.fakeSpamd->score, options.fakeSpamd->threshold,
                 options.fakeSpamd->delayMs);
        spamdLabel = label;
    } else if (options.socket) {
        socketPath = *options.socket;
        spamdLabel = "socket " + socketPath;
    } else if (!options.spamdHosts.empty()) {
        // spamc's, when it is a socket; SocketPath itself goes unused beside the Spamd dictionary.
        auto firstSpamd = std::find_if(options.spamdHosts.begin(), options.spamdHosts.end(),
                                       [](const std::string& host) { return !IsRspamdHost(host); });
        if (firstSpamd == options.spamdHosts.end() && options.spamc)
            return Fail("--spamc needs a spamd host; the hosts given are all rspamd's");
        socketPath = firstSpamd != options.spamdHosts.end() ? *firstSpamd : "/var/run/spam";
        spamdLabel = "farm of " + std::to_string(options.spamdHosts.size()) +
                     (options.spamdHosts.size() == 1 ? " host" : " hosts");
        for (const std::string& host : options.spamdHosts)
            spamdLabel += " " + host;
    }
    const std::string engines = EngineNames(options.spamdHosts);
    const std::vector<std::string> floorHosts =
        options.spamdHosts.empty() ? std::vector<std::string>{socketPath} : options.spamdHosts;
    if (options.inFlight == 0)
        options.inFlight = DefaultInFlight(threads);
    if (!options.config)
        settingsText = SettingsText(GeneratedSettings{socketPath, threads, options.scoreRanges, options.spamdHosts});

    cleanup.keepWorkDir = !options.workDir.empty();
    cleanup.workDir = options.workDir.empty() ? MakeTempDirectory("velmora-replay-") : options.workDir;
    if (cleanup.workDir.empty())
        return Fail(std::string("temporary directory: ") + strerror(errno));
    WorkDir dir;
    if (!PrepareWorkDir(cleanup.workDir, plugin, settingsText, dir, error))
        return Fail(error);
    if (options.whitelist) {
        std::string whitelist;
        if (!ReadText(*options.whitelist, whitelist))
            return Fail(*options.whitelist + ": cannot be read");
        std::ofstream copy(dir.root + "/whitelist.txt", std::ios::binary | std::ios::trunc);
        copy << whitelist;
        if (!copy)
            return Fail(dir.root + "/whitelist.txt: cannot be written");
    }
    std::vector<SpoolEntry> spool;
    if (!WriteSpool(dir.spool, messages, options.envelope, spool, error))
        return Fail(error);
    messages.clear();
    messages.shrink_to_fit();

    if (!options.quiet)
        printf("Replaying %zu messages through %s (%d scanning threads, %zu in flight; %s: %s)\n", spool.size(),
               plugin.c_str(), threads, options.inFlight, engines.c_str(), spamdLabel.c_str());
    fflush(stdout);

    SessionOptions session;
    session.program = dir.program;
    session.workDir = dir.root;
    session.transcriptPath = dir.root + "/plugin-output.txt";
    session.inFlight = options.inFlight;
    session.replyTimeoutSeconds = options.timeoutSeconds;
    session.progress = isatty(STDERR_FILENO) != 0;
    if (!options.quiet)
        session.onReply = [](const SpoolEntry& entry, const OutputLine& reply) {
            printf("%s\n", MessageLine(entry.label, reply).c_str());
        };
    // Alternating the order lets a benchmark cancel the drift of a busy machine.
    std::optional<BaselineResult> floorFirst;
    if (options.floorFirst)
        floorFirst = RunFloor(spool, floorHosts, threads);
    SessionResult result = RunSession(spool, session);

    Summary summary;
    summary.session = &result;
    summary.scoreRanges = options.scoreRanges;
    summary.threads = threads;
    summary.inFlight = options.inFlight;
    summary.engines = engines;
    summary.spamd = spamdLabel;
    int status = ReplayExitStatus(result);
    if (floorFirst)
        summary.floor = floorFirst;
    else if (options.floor && result.started)
        summary.floor = RunFloor(spool, floorHosts, threads);
    if (options.spamc && result.started)
        for (int parallel : {1, 2})
            summary.spamc.emplace_back(parallel,
                                       RunSpamc(spool, options.spamcMessages, options.spamcBinary, socketPath, parallel));
    fake.Stop();

    fputs(FormatSummary(summary).c_str(), stdout);
    if (!options.figuresFile.empty()) {
        std::ofstream figures(options.figuresFile, std::ios::trunc);
        figures << FormatFigures(summary);
        if (!figures)
            fprintf(stderr, "velmora-replay: %s: cannot be written\n", options.figuresFile.c_str());
    }
    if (status != 0 && !cleanup.keepWorkDir) {
        cleanup.keepWorkDir = true;
        printf("  working directory kept for inspection: %s\n", dir.root.c_str());
    }
    fflush(stdout);
    return status;
}
