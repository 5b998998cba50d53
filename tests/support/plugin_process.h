// plugin_process - runs the built plugin as the host does: through a symlink
// in a fresh temporary working directory, request lines on its standard
// input, reply lines read from its standard output with time limits.
//
// Sanitizer builds of the plugin report into files of the working directory
// and end with exit status 99; both fail the test that started the process.
#pragma once

#include <sys/types.h>

#include <chrono>
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
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& Path() const { return path; }
    std::string File(std::string_view name) const { return path + "/" + std::string(name); }

private:
    std::string path;
};

void WriteFile(const std::string& path, std::string_view content);
std::string ReadFileText(const std::string& path);
bool FileExists(const std::string& path);
std::vector<std::string> ListDirectory(const std::string& path);

// DefaultSettingsText - a complete settings file pointing at a spamd socket.
std::string DefaultSettingsText(const std::string& socketPath, int threads = 4,
                                std::string_view extra = "");

class PluginProcess {
public:
    struct Options {
        std::string settings;                  // settings file text; empty: none written
        std::optional<std::string> whitelist;  // whitelist.txt content
        std::vector<std::string> args;
        std::vector<std::pair<std::string, std::string>> env;
        bool createSubmitted = true;
    };

    PluginProcess();
    ~PluginProcess();
    PluginProcess(const PluginProcess&) = delete;
    PluginProcess& operator=(const PluginProcess&) = delete;

    // Start - lay out the working directory and start the plugin in it.
    void Start(const Options& options);
    // Restart - start again in the same working directory (after an exit).
    void Restart(const Options& options);

    const std::string& WorkDir() const { return dir.Path(); }
    std::string SubmittedDir() const { return dir.File("Submitted"); }
    pid_t Pid() const { return pid; }

    void Send(std::string_view line);          // appends the line feed
    void SendRaw(std::string_view bytes);
    void CloseInput();

    // ReadLine - the next output line without its line feed, or nothing at the limit.
    std::optional<std::string> ReadLine(std::chrono::milliseconds limit = 10s);
    // WaitForLine - read lines until one satisfies match; fails the test at the limit.
    std::string WaitForLine(const std::function<bool(const std::string&)>& match,
                            std::chrono::milliseconds limit = 10s);
    std::string WaitForLineStartingWith(std::string_view prefix, std::chrono::milliseconds limit = 10s);
    // ReadAllUntilExit - every remaining line until the plugin closes its output.
    std::vector<std::string> ReadAllUntilExit(std::chrono::milliseconds limit = 30s);
    // WaitExit - exit status, or 128 + signal; kills the plugin at the limit (then -1).
    int WaitExit(std::chrono::milliseconds limit = 30s);

    // Lines seen so far, in order.
    const std::vector<std::string>& Transcript() const { return transcript; }
    bool Running() const { return pid > 0; }

private:
    void Launch(const Options& options);
    void CheckSanitizerReports();

    TempDir dir;
    pid_t pid = -1;
    int toPlugin = -1;
    int fromPlugin = -1;
    std::string pending;
    bool outputClosed = false;
    std::vector<std::string> transcript;
    int exitStatus = -1;
};
