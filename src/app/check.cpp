#include "app/check.h"

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstring>
#include <string>
#include <vector>

#include "app/learn.h"
#include "app/plugin.h"
#include "base/files.h"
#include "base/output.h"
#include "base/system.h"
#include "base/text.h"
#include "config/paths.h"
#include "config/settings.h"
#include "rating/engine_farm.h"
#include "rating/whitelist.h"
#include "reports/daily.h"
#include "reports/events.h"
#include "reports/metrics_file.h"
#include "stats/dump.h"

namespace {

// Less free space than this leaves no room for a report message.
constexpr unsigned long long kMinFreeBytes = 1024 * 1024;

class Findings {
public:
    void Note(const char* format, ...) __attribute__((format(printf, 2, 3)))
    {
        va_list args;
        va_start(args, format);
        Line("* ", format, args);
        va_end(args);
    }
    void Warning(const char* format, ...) __attribute__((format(printf, 2, 3)))
    {
        va_list args;
        va_start(args, format);
        Line("* warning: ", format, args);
        va_end(args);
        warnings++;
    }
    void Error(const char* format, ...) __attribute__((format(printf, 2, 3)))
    {
        va_list args;
        va_start(args, format);
        Line("* error: ", format, args);
        va_end(args);
        errors++;
    }
    void AddErrors(int count) { errors += count; }
    int errors = 0;
    int warnings = 0;

private:
    static void Line(const char* mark, const char* format, va_list args)
    {
        std::string text = mark;
        AppendFormatV(text, format, args);
        PrintLog(text);
    }
};

Settings CheckSettings(Findings& findings)
{
    const std::string path = ConfigFilePath();
    const int before = cfgfErrorCount();
    std::shared_ptr<const cfgfItem> tree = cfgfReadConfigFile(path);
    Settings settings = ApplySettingsTree(Settings(), tree, path);
    CheckDailyReportSettings(tree.get());
    CheckNoticeSettings(tree.get());
    const int errors = cfgfErrorCount() - before;
    findings.AddErrors(errors);
    for (size_t i = 0; tree && i < tree->keys.size(); i++)
        if (!IsSettingsKey(tree->keys[i]))
            findings.Warning("settings: %s line %d: %s is no setting; the plugin ignores it", path.c_str(),
                             tree->values[i].line, ClipText(tree->keys[i], 60).c_str());
    if (errors == 0)
        findings.Note("settings: %s read without errors", path.c_str());
    else
        findings.Note("settings: %d error(s) in %s", errors, path.c_str());
    return settings;
}

void CheckWhitelist(Findings& findings)
{
    const std::string path = WhitelistPath();
    struct stat status;
    if (stat(path.c_str(), &status) != 0 && errno == ENOENT) {
        findings.Note("whitelist: none (%s does not exist); every sender is rated", path.c_str());
        return;
    }
    std::string content;
    if (!ReadWholeOwnFile(path, content)) {
        findings.Warning("whitelist: %s cannot be read (%s); the plugin rates every sender", path.c_str(),
                         FileRefusal(errno).c_str());
        return;
    }
    int patterns = 0;
    int number = 0;
    for (size_t start = 0; start < content.size(); number++) {
        size_t end = content.find('\n', start);
        if (end == std::string::npos)
            end = content.size();
        std::string_view line(content.data() + start, end - start);
        start = end + 1;
        // The reader's rules: comment lines, then everything from a CR on, then empty lines.
        if (line.starts_with('#'))
            continue;
        line = line.substr(0, line.find('\r'));
        if (line.empty())
            continue;
        const std::string problem = WhitelistLineProblem(line);
        if (problem.empty())
            patterns++;
        else
            findings.Warning("whitelist: %s line %d: \"%s\" %s", path.c_str(), number + 1,
                             ClipText(line, 60).c_str(), problem.c_str());
    }
    findings.Note("whitelist: %d pattern(s) in %s", patterns, path.c_str());
}

void CheckDump(Findings& findings, const Settings& settings)
{
    if (settings.statDumpInterval == 0) {
        findings.Note("statistics dump: off (StatDumpInterval = 0)");
        return;
    }
    if (access(WorkPath().c_str(), W_OK | X_OK) != 0)
        findings.Warning("statistics dump: the working directory %s is not writable by this user (%s): no dump "
                         "can be written and no hup.sig removed", WorkPath().c_str(), strerror(errno));
    const std::string path = StatDumpFilePath(settings);
    struct stat status;
    if (stat(path.c_str(), &status) != 0 && errno == ENOENT) {
        findings.Note("statistics dump: none yet; the plugin writes %s", path.c_str());
        return;
    }
    const std::unique_ptr<cfgfItem> tree = cfgfReadConfigFile(path);
    if (!tree) {
        findings.Warning("statistics dump: %s cannot be used; the plugin deletes it and begins a new period",
                         path.c_str());
        return;
    }
    std::string why;
    const std::optional<StatisticsSnapshot> restored = ParseDump(tree.get(), Now(), why);
    if (restored) {
        findings.Note("statistics dump: %s usable: %d message(s) since %s", path.c_str(),
                      restored->nScannedMessagesTotal, mkDate(restored->periodStart).c_str());
    } else if (why.find("obsolete") != std::string::npos) {
        findings.Note("statistics dump: %s is of an earlier day; the plugin begins a new period", path.c_str());
    } else {
        if (why.empty())
            why = "no StatStart or StatEnd";
        why = why.substr(0, why.find('\n'));
        findings.Warning("statistics dump: %s is unusable (%s); the plugin deletes it and begins a new period",
                         path.c_str(), why.c_str());
    }
}

// Shown - a path as the plugin would use it, made absolute for the reader.
std::string Shown(const std::string& path)
{
    if (path.starts_with('/'))
        return path;
    char cwd[4096];
    if (getcwd(cwd, sizeof cwd) == nullptr)
        return path;
    return std::string(cwd) + "/" + path;
}

void CheckSubmitted(Findings& findings, const Settings& settings)
{
    const std::string& dir = settings.submittedDirName;
    const std::string shown = Shown(dir);
    struct stat status;
    if (stat(dir.c_str(), &status) != 0) {
        findings.Error("submission directory: %s: %s; the plugin refuses to start", shown.c_str(), strerror(errno));
        return;
    }
    if (!S_ISDIR(status.st_mode)) {
        findings.Error("submission directory: %s is no directory; the plugin refuses to start", shown.c_str());
        return;
    }
    if (access(dir.c_str(), R_OK | W_OK | X_OK) != 0) {
        findings.Error("submission directory: %s is not writable by this user (%s): no report can be dropped",
                       shown.c_str(), strerror(errno));
        return;
    }
    struct statvfs space;
    if (statvfs(dir.c_str(), &space) != 0) {
        findings.Error("submission directory: %s: %s", shown.c_str(), strerror(errno));
        return;
    }
    const unsigned long long freeBytes =
        static_cast<unsigned long long>(space.f_bavail) * static_cast<unsigned long long>(space.f_frsize);
    if (freeBytes < kMinFreeBytes || space.f_favail == 0) {
        findings.Error("submission directory: %s lies on a full filesystem (%llu KiB, %llu files free)",
                       shown.c_str(), freeBytes / 1024, static_cast<unsigned long long>(space.f_favail));
        return;
    }
    findings.Note("submission directory: %s writable, %llu MiB free", shown.c_str(), freeBytes / (1024 * 1024));
}

void CheckMetricsFile(Findings& findings, const Settings& settings)
{
    const std::string path = MetricsFilePath(settings);
    if (path.empty()) {
        findings.Note("metrics file: none (MetricsFile is not set)");
        return;
    }
    const std::string dir = path.substr(0, path.rfind('/') + 1);
    if (access(dir.c_str(), W_OK | X_OK) != 0)
        findings.Warning("metrics file: %s cannot be written (%s: %s)", path.c_str(), dir.c_str(), strerror(errno));
    else if (!path.ends_with(".prom"))
        findings.Warning("metrics file: %s does not end in .prom; node_exporter's textfile collector reads only "
                         "those", path.c_str());
    else
        findings.Note("metrics file: %s", path.c_str());
}

// CheckDirectories - every directory the plugin writes into should be
// writable by its own user alone: whoever else can write one can delay or
// stop what the plugin writes there, and fill it.
void CheckDirectories(Findings& findings, const Settings& settings)
{
    const auto directoryOf = [](const std::string& path) {
        const size_t slash = path.rfind('/');
        return slash == std::string::npos ? std::string(".") : path.substr(0, slash + 1);
    };
    const std::string metrics = MetricsFilePath(settings);
    const struct {
        const char* what;
        std::string path;
    } directories[] = {{"working directory", WorkPath()},
                       {"statistics dump directory", directoryOf(StatDumpFilePath(settings))},
                       {"submission directory", settings.submittedDirName},
                       {"metrics directory", metrics.empty() ? "" : directoryOf(metrics)}};
    std::vector<std::string> seen;
    for (const auto& [what, path] : directories) {
        struct stat status;
        const std::string shown = Shown(path);
        if (path.empty() || stat(path.c_str(), &status) != 0 || !S_ISDIR(status.st_mode))
            continue;
        const std::string key = std::to_string(status.st_dev) + ":" + std::to_string(status.st_ino);
        if (std::find(seen.begin(), seen.end(), key) != seen.end())
            continue;
        seen.push_back(key);
        std::string who;
        if ((status.st_mode & S_IWOTH) != 0)
            who = "every user";
        else if ((status.st_mode & S_IWGRP) != 0)
            who = FormatText("group %u", static_cast<unsigned>(status.st_gid));
        else if (status.st_uid != geteuid() && status.st_uid != 0)
            who = FormatText("its owner, user %u", static_cast<unsigned>(status.st_uid));
        if (!who.empty())
            findings.Warning("%s %s may be written by %s, not only by the plugin's user: keep it writable by the "
                             "plugin's user alone", what, shown.c_str(), who.c_str());
    }
}

// CheckEngines - the plugin starts when one host of its farm answers; the
// others would start down.  The one spamd of SocketPath must answer.
std::vector<PingResult> CheckEngines(Findings& findings, const SpamdSettings& farm)
{
    std::vector<PingResult> pings = PingEngineHosts(farm);
    bool anyAnswered = false;
    for (size_t i = 0; i < pings.size(); i++) {
        const char* host = farm.hosts[i].name.c_str();
        if (pings[i].answered)
            findings.Note("spamd %s: %s, %.1f ms", host, pings[i].word.c_str(), pings[i].seconds * 1000);
        else if (farm.single)
            findings.Error("spamd %s: %s", host, pings[i].problem.c_str());
        else
            findings.Warning("spamd %s: %s (it would start down)", host, pings[i].problem.c_str());
        anyAnswered |= pings[i].answered;
    }
    if (!anyAnswered && !farm.single)
        findings.Error("spamd: no host of the Spamd farm answered");
    if (const std::string problem = SpamdTimeProblem(farm); !problem.empty())
        findings.Warning("spamd: %s", problem.c_str());
    return pings;
}

// CheckLearning - the hosts that "-learn" would teach and whether each
// answers (a scanning host by its PING above); a learning host that does not
// answer is a warning, as the filter does not need it.
void CheckLearning(Findings& findings, const Settings& settings, const std::vector<PingResult>& scanPings)
{
    if (!settings.learnValid) {
        findings.Warning("learn: the Learn dictionary has errors; -learn refuses to run");
        return;
    }
    std::vector<std::string> skipped;
    SpamdSettings learning = settings.spamd;
    learning.hosts = LearnHostsOf(settings.learn, settings.spamd, skipped);
    learning.single = false;
    if (learning.connectTimeout == 0)
        learning.connectTimeout = 5;
    for (const std::string& name : skipped)
        findings.Warning("learn: rspamd host %s listens on a Unix socket: name its controller in Learn Hosts",
                         name.c_str());
    for (const EngineHost& host : learning.hosts) {
        const auto& scanning = settings.spamd.hosts;
        const size_t at = static_cast<size_t>(std::find(scanning.begin(), scanning.end(), host) - scanning.begin());
        // A scanning host was PINGed above, and warned about there.
        const bool scans = at < scanPings.size();
        SpamdSettings one = learning;
        one.hosts = {host};
        const PingResult ping = scans ? scanPings[at] : PingEngineHosts(one).at(0);
        const char* engine = EngineName(host.engine);
        if (ping.answered)
            findings.Note("learn: %s host %s: %s, %.1f ms", engine, host.name.c_str(), ping.word.c_str(),
                          ping.seconds * 1000);
        else if (scans)
            findings.Note("learn: %s host %s: %s", engine, host.name.c_str(), ping.problem.c_str());
        else
            findings.Warning("learn: %s host %s: %s", engine, host.name.c_str(), ping.problem.c_str());
    }
    const bool anyRspamd = std::any_of(learning.hosts.begin(), learning.hosts.end(),
                                       [](const EngineHost& host) { return host.engine == EngineKind::Rspamd; });
    if (anyRspamd && !settings.learn.passwordFile.empty()) {
        const std::string& file = settings.learn.passwordFile;
        std::string password, why;
        if (!ReadPasswordFile(file.starts_with('/') ? file : WorkPath() + file, password, why))
            findings.Warning("learn: %s; rspamd hosts will not learn", why.c_str());
    }
}

}  // namespace

int RunCheck(int argc, char** argv)
{
    SetWorkPath(DeriveWorkPath(argc > 0 ? argv[0] : nullptr));
    SetStartupTime(Now());
    signal(SIGPIPE, SIG_IGN);
    for (int i = 1; i < argc; i++) {
        if (EqualStringsNoCase(argv[i], "-debug") || EqualStringsNoCase(argv[i], "-d"))
            SetDebug(true);
        else if (!EqualStringsNoCase(argv[i], "-check") && !EqualStringsNoCase(argv[i], "-noCrashHandler"))
            PrintMsg("* Unknown option: %s:\n", argv[i]);
    }
    PrintMsg("* SpamAssassin plugin %s checking %s\n", kPluginVersion, Shown(WorkPath()).c_str());
    Findings findings;
    const Settings settings = CheckSettings(findings);
    CheckWhitelist(findings);
    CheckDump(findings, settings);
    CheckSubmitted(findings, settings);
    CheckMetricsFile(findings, settings);
    CheckDirectories(findings, settings);
    const std::vector<PingResult> pings = CheckEngines(findings, settings.spamd);
    CheckLearning(findings, settings, pings);
    PrintLines("* settings in force:\n" + cfgfFormatItem(*SettingsTree(settings)));
    if (findings.errors == 0)
        PrintMsg("* check passed: the plugin can run (%d warning(s))\n", findings.warnings);
    else
        PrintMsg("* check failed: %d error(s), %d warning(s)\n", findings.errors, findings.warnings);
    FlushOutput();
    return findings.errors == 0 ? 0 : 1;
}
