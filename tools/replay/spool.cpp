#include "replay/spool.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace replay {

namespace {

namespace fs = std::filesystem;

constexpr size_t kReadLimit = 1048576;

// Fd - a descriptor closed on every way out.
class Fd {
public:
    explicit Fd(int fd) : fd(fd) {}
    ~Fd()
    {
        if (fd >= 0)
            close(fd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int Get() const { return fd; }

private:
    int fd;
};

bool WriteText(const std::string& path, std::string_view a, std::string_view b, std::string& error)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(a.data(), static_cast<std::streamsize>(a.size()));
    out.write(b.data(), static_cast<std::streamsize>(b.size()));
    out.close();
    if (!out) {
        error = path + ": cannot be written";
        return false;
    }
    return true;
}

bool MakeDirectory(const std::string& path, std::string& error)
{
    std::error_code code;
    fs::create_directories(path, code);
    if (code) {
        error = path + ": " + code.message();
        return false;
    }
    return true;
}

std::string Quoted(const std::string& text)
{
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\')
            quoted += '\\';
        quoted += c;
    }
    return quoted + "\"";
}

}  // namespace

std::string MakeTempDirectory(const std::string& prefix)
{
    const char* base = getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/" + prefix + "XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (mkdtemp(name.data()) == nullptr)
        return {};
    return name.data();
}

void RemoveTree(const std::string& path)
{
    std::error_code ignored;
    fs::remove_all(path, ignored);
}

std::string SettingsText(const GeneratedSettings& settings)
{
    std::string ranges;
    for (int bound : settings.scoreRanges)
        ranges += (ranges.empty() ? "" : ", ") + std::to_string(bound);
    std::string text;
    text += "# Written by velmora-replay for one replay run.\n";
    text += "Header = \"X-Junk-Score: ^1 [^2]\\eX-SA-Score: ^1 [^2]\";\n";
    text += "AlertLevel = 100;\n";
    text += "AlertHeader = \"X-Alert: possible spam!\\eX-Color: red\";\n";
    text += "SocketPath = " + Quoted(settings.socketPath) + ";\n";
    text += "MaxScanningThreads = " + std::to_string(settings.threads) + ";\n";
    text += "OnProblem = Exit;\n";
    text += "BarScoreRanges = (" + ranges + ");\n";
    text += "SubmittedDirectory = Submitted;\n";
    text += "StatDumpInterval = 10;\n";
    text += "DailyReport = { Enabled = YES; From = \"spam-report@localhost\"; To = postmaster; "
            "Subject = \"Daily spam report ^1\"; ExtraHeaders = \"X-Auto-Generated: report\"; };\n";
    text += "EventsReports = { From = \"spam-plugin@localhost\"; To = postmaster; "
            "ExtraHeaders = \"X-Auto-Generated: report\"; Started = { Subject = \"Plugin started ^1\"; }; "
            "Stopped = { Subject = \"Plugin stopped ^1\"; }; };\n";
    if (!settings.spamdHosts.empty()) {
        text += "Spamd = { Hosts = (";
        for (size_t i = 0; i < settings.spamdHosts.size(); i++)
            text += (i > 0 ? ", " : "") + Quoted(settings.spamdHosts[i]);
        text += "); };\n";
    }
    return text;
}

bool PrepareWorkDir(const std::string& root, const std::string& pluginBinary,
                    const std::string& settingsText, WorkDir& dir, std::string& error)
{
    std::error_code code;
    std::string absoluteRoot = fs::absolute(root, code).string();
    dir.root = absoluteRoot;
    dir.program = absoluteRoot + "/VelmoraSpamAssassin";
    dir.settings = absoluteRoot + "/VelmoraSpamAssassin.cfg";
    dir.submitted = absoluteRoot + "/Submitted";
    dir.spool = absoluteRoot + "/spool";
    if (!MakeDirectory(dir.root, error) || !MakeDirectory(dir.submitted, error) ||
        !MakeDirectory(dir.spool, error))
        return false;
    std::string target = fs::absolute(pluginBinary, code).string();
    unlink(dir.program.c_str());
    if (symlink(target.c_str(), dir.program.c_str()) != 0) {
        error = dir.program + ": " + strerror(errno);
        return false;
    }
    return WriteText(dir.settings, settingsText, {}, error);
}

bool WriteSpool(const std::string& spoolDir, const std::vector<Message>& messages,
                const EnvelopeOptions& options, std::vector<SpoolEntry>& entries, std::string& error)
{
    entries.reserve(entries.size() + messages.size());
    for (size_t i = 0; i < messages.size(); i++) {
        std::string envelope = FormatEnvelope(EnvelopeFor(messages[i].bytes, options));
        std::string path = spoolDir + "/" + std::to_string(i + 1) + ".msg";
        if (!WriteText(path, envelope, messages[i].bytes, error))
            return false;
        entries.push_back(SpoolEntry{path, messages[i].label, envelope.size()});
    }
    return true;
}

bool ReadSpoolFile(const std::string& path, std::string& text)
{
    Fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st;
    if (fd.Get() < 0 || fstat(fd.Get(), &st) != 0)
        return false;
    size_t size = std::min(static_cast<size_t>(st.st_size), kReadLimit);
    text.resize(size);
    size_t got = 0;
    while (got < size) {
        ssize_t n = read(fd.Get(), text.data() + got, size - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            break;
        got += static_cast<size_t>(n);
    }
    text.resize(got);
    return true;
}

}  // namespace replay
