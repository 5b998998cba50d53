// plugin_process - runs the built plugin as the host does: through a symlink
// in a fresh temporary working directory, request lines on its standard
// input, reply lines read from its standard output with time limits.
// Sanitizer builds of the plugin report into files of the working directory,
// which fail the test that started the process.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

using namespace std::chrono_literals;

// TempDir - a fresh directory, removed with everything in it.
class TempDir {
public:
    TempDir();
    ~TempDir() { std::filesystem::remove_all(path, ignored); }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& Path() const { return path; }
    std::string File(std::string_view name) const { return path + "/" + std::string(name); }

private:
    std::string path;
    std::error_code ignored;  // of the removal
};

void WriteFile(const std::string& path, std::string_view content);
std::string ReadFileText(const std::string& path);
inline bool FileExists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }
std::vector<std::string> ListDirectory(const std::string& path);  // names, sorted
// MaskDates - every date of the reports ("Mon, 9 Mar 2026 12:00:04") as "<date>".
std::string MaskDates(const std::string& text);
// SignalScanWaitingOnSpamd - send signal to the thread of process pid that
// waits for a reply on a socket (a scan waiting for spamd); false when no
// thread does within a few seconds.
bool SignalScanWaitingOnSpamd(pid_t pid, int signal);
// Spawn - run args (args[0] looked up in PATH) with in, out and err as its standard
// descriptors, in a process group of its own when asked; its pid.
pid_t Spawn(std::vector<std::string> args, int in, int out, int err, bool ownGroup = false);
// DefaultSettingsText - a complete settings file pointing at a spamd socket;
// extra comes last, and a key given there again wins.
std::string DefaultSettingsText(const std::string& socketPath, int threads = 4, std::string_view extra = "");

class PluginProcess {
public:
    struct Options {
        std::string settings;                    // settings file text; empty: the file is left as it is
        std::optional<std::string> whitelist{};  // whitelist.txt content
        std::vector<std::string> args{};
        std::vector<std::pair<std::string, std::string>> env{};
        bool createSubmitted = true;
    };

    ~PluginProcess();
    // Start - lay out the working directory and start the plugin in it; once
    // the plugin has ended, it starts again in the same directory.
    void Start(const Options& options);
    const std::string& WorkDir() const { return dir.Path(); }
    std::string SubmittedDir() const { return dir.File("Submitted"); }
    pid_t Pid() const { return pid; }

    void Send(std::string_view line) { SendRaw(std::string(line) + "\n"); }
    void SendRaw(std::string_view bytes);
    void CloseInput();

    // ReadLine - the next output line without its line feed, or nothing at the limit.
    std::optional<std::string> ReadLine(std::chrono::milliseconds limit = 10s);
    // WaitForLine - read lines until one satisfies match; fails the test at the limit.
    std::string WaitForLine(const std::function<bool(const std::string&)>& match,
                            std::chrono::milliseconds limit = 10s);
    void WaitFor(const std::string& line) { WaitForLine([&](const std::string& l) { return l == line; }); }
    // NextReply - the next line that is no diagnostic ("* ...").
    std::string NextReply(std::chrono::milliseconds limit = 10s)
    {
        return WaitForLine([](const std::string& line) { return !line.starts_with("* "); }, limit);
    }
    // Ask - send a request line; its reply.
    std::string Ask(std::string_view line, std::chrono::milliseconds limit = 10s) { return Send(line), NextReply(limit); }
    // ReadAllUntilExit - every remaining line until the plugin closes its output.
    std::vector<std::string> ReadAllUntilExit(std::chrono::milliseconds limit = 30s);
    // WaitExit - exit status, or 128 + signal; kills the plugin at the limit.
    int WaitExit(std::chrono::milliseconds limit = 30s);
    // Quit - QUIT, every remaining line, and the exit status.
    int Quit() { return Send("q QUIT"), ReadAllUntilExit(60s), WaitExit(); }

    // Every line of the current run, in order, and how often a line came.
    const std::vector<std::string>& Transcript() const { return transcript; }
    size_t Count(const std::string& line) const { return std::count(transcript.begin(), transcript.end(), line); }
    size_t CountStarting(std::string_view prefix) const { return CountIf([&](auto& l) { return l.starts_with(prefix); }); }
    size_t CountHolding(std::string_view part) const { return CountIf([&](auto& l) { return l.find(part) != l.npos; }); }

private:
    template <typename F> size_t CountIf(F f) const { return std::count_if(transcript.begin(), transcript.end(), f); }

    TempDir dir;
    pid_t pid = -1;
    int toPlugin = -1;
    int fromPlugin = -1;
    std::string pending;
    std::vector<std::string> transcript;
    int exitStatus = -1;
};
