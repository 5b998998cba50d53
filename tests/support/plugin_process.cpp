#include "plugin_process.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

constexpr int kSanitizerExitCode = 99;

std::string SanitizerOptions(const std::string& dir)
{
    return "halt_on_error=1:exitcode=" + std::to_string(kSanitizerExitCode) + ":log_path=" + dir +
           "/sanitizer-report";
}

}  // namespace

TempDir::TempDir()
{
    std::string base = std::filesystem::temp_directory_path().string() + "/vsa-test-XXXXXX";
    std::vector<char> name(base.begin(), base.end());
    name.push_back('\0');
    if (mkdtemp(name.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    path = name.data();
}

TempDir::~TempDir()
{
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

void WriteFile(const std::string& path, std::string_view content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
}

std::string ReadFileText(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool FileExists(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

std::vector<std::string> ListDirectory(const std::string& path)
{
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(path, error))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::string DefaultSettingsText(const std::string& socketPath, int threads, std::string_view extra)
{
    std::string text;
    text += "Header = \"X-Junk-Score: ^1 [^2]\\eX-SA-Score: ^1 [^2]\";\n";
    text += "AlertLevel = 100;\n";
    text += "AlertHeader = \"X-Alert: possible spam!\\eX-Color: red\";\n";
    text += "SocketPath = \"" + socketPath + "\";\n";
    text += "MaxScanningThreads = " + std::to_string(threads) + ";\n";
    text += "OnProblem = Exit;\n";
    text += "BarScoreRanges = (0, 39, 76, 84, 90, 99, 100);\n";
    text += "SubmittedDirectory = Submitted;\n";
    text += "StatDumpInterval = 10;\n";
    text += "DailyReport = { Enabled = YES; From = \"spam-report@example.org\"; To = postmaster; "
            "Subject = \"Daily spam report ^1\"; ExtraHeaders = \"X-Auto-Generated: report\"; };\n";
    text += "EventsReports = { From = \"spam-plugin@example.org\"; To = postmaster; "
            "ExtraHeaders = \"X-Auto-Generated: report\"; Started = { Subject = \"Plugin started ^1\"; }; "
            "Stopped = { Subject = \"Plugin stopped ^1\"; }; };\n";
    text += extra;
    return text;
}

PluginProcess::PluginProcess() = default;

PluginProcess::~PluginProcess()
{
    if (pid > 0) {
        kill(pid, SIGKILL);
        int status;
        waitpid(pid, &status, 0);
        pid = -1;
    }
    if (toPlugin >= 0)
        close(toPlugin);
    if (fromPlugin >= 0)
        close(fromPlugin);
    CheckSanitizerReports();
}

void PluginProcess::Start(const Options& options)
{
    if (!options.settings.empty())
        WriteFile(dir.File("VelmoraSpamAssassin.cfg"), options.settings);
    if (options.whitelist)
        WriteFile(dir.File("whitelist.txt"), *options.whitelist);
    if (options.createSubmitted)
        mkdir(dir.File("Submitted").c_str(), 0755);
    std::string link = dir.File("VelmoraSpamAssassin");
    if (symlink(VSA_PLUGIN_BINARY, link.c_str()) != 0 && errno != EEXIST)
        FAIL() << "symlink: " << strerror(errno);
    Launch(options);
}

void PluginProcess::Restart(const Options& options)
{
    if (pid > 0)
        WaitExit();
    if (toPlugin >= 0)
        close(toPlugin);
    if (fromPlugin >= 0)
        close(fromPlugin);
    toPlugin = fromPlugin = -1;
    pending.clear();
    outputClosed = false;
    transcript.clear();
    if (!options.settings.empty())
        WriteFile(dir.File("VelmoraSpamAssassin.cfg"), options.settings);
    Launch(options);
}

void PluginProcess::Launch(const Options& options)
{
    int in[2], out[2];
    ASSERT_EQ(pipe2(in, O_CLOEXEC), 0);
    ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
    std::string program = dir.File("VelmoraSpamAssassin");
    std::vector<std::string> argStrings{program};
    argStrings.insert(argStrings.end(), options.args.begin(), options.args.end());
    std::vector<std::string> envStrings;
    for (char** e = environ; *e != nullptr; e++)
        envStrings.emplace_back(*e);
    std::string sanitizer = SanitizerOptions(dir.Path());
    envStrings.push_back("ASAN_OPTIONS=" + sanitizer + ":detect_leaks=0");
    envStrings.push_back("UBSAN_OPTIONS=" + sanitizer + ":print_stacktrace=1");
    envStrings.push_back("TSAN_OPTIONS=" + sanitizer);
    for (const auto& [name, value] : options.env)
        envStrings.push_back(name + "=" + value);
    std::vector<char*> argv, envp;
    for (auto& s : argStrings)
        argv.push_back(s.data());
    argv.push_back(nullptr);
    for (auto& s : envStrings)
        envp.push_back(s.data());
    envp.push_back(nullptr);
    std::string workDir = dir.Path();
    std::string stderrPath = dir.File("plugin-stderr.txt");

    pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        int err = open(stderrPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (err >= 0)
            dup2(err, 2);
        if (chdir(workDir.c_str()) != 0)
            _exit(127);
        signal(SIGPIPE, SIG_DFL);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    toPlugin = in[1];
    fromPlugin = out[0];
    exitStatus = -1;
}

void PluginProcess::Send(std::string_view line)
{
    std::string bytes(line);
    bytes += '\n';
    SendRaw(bytes);
}

void PluginProcess::SendRaw(std::string_view bytes)
{
    ASSERT_GE(toPlugin, 0) << "input already closed";
    signal(SIGPIPE, SIG_IGN);
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(toPlugin, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            ADD_FAILURE() << "writing to the plugin: " << strerror(errno);
            return;
        }
        done += static_cast<size_t>(n);
    }
}

void PluginProcess::CloseInput()
{
    if (toPlugin >= 0)
        close(toPlugin);
    toPlugin = -1;
}

std::optional<std::string> PluginProcess::ReadLine(std::chrono::milliseconds limit)
{
    auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        size_t newline = pending.find('\n');
        if (newline != std::string::npos) {
            std::string line = pending.substr(0, newline);
            pending.erase(0, newline + 1);
            transcript.push_back(line);
            return line;
        }
        if (outputClosed || fromPlugin < 0)
            return std::nullopt;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return std::nullopt;
        pollfd p{fromPlugin, POLLIN, 0};
        int ready = poll(&p, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return std::nullopt;
        char buffer[65536];
        ssize_t n = read(fromPlugin, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            outputClosed = true;
            continue;
        }
        pending.append(buffer, static_cast<size_t>(n));
    }
}

std::string PluginProcess::WaitForLine(const std::function<bool(const std::string&)>& match,
                                       std::chrono::milliseconds limit)
{
    auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() < 0)
            left = 0ms;
        auto line = ReadLine(left);
        if (!line) {
            std::string seen;
            for (const auto& l : transcript)
                seen += "  " + l + "\n";
            ADD_FAILURE() << "no expected line within " << limit.count() << " ms; lines seen:\n" << seen;
            return std::string();
        }
        if (match(*line))
            return *line;
    }
}

std::string PluginProcess::WaitForLineStartingWith(std::string_view prefix, std::chrono::milliseconds limit)
{
    return WaitForLine([&](const std::string& line) { return line.starts_with(prefix); }, limit);
}

std::vector<std::string> PluginProcess::ReadAllUntilExit(std::chrono::milliseconds limit)
{
    std::vector<std::string> lines;
    auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            ADD_FAILURE() << "the plugin did not close its output in time";
            return lines;
        }
        auto line = ReadLine(left);
        if (!line) {
            if (outputClosed)
                return lines;
            continue;
        }
        lines.push_back(*line);
    }
}

int PluginProcess::WaitExit(std::chrono::milliseconds limit)
{
    if (pid <= 0)
        return exitStatus;
    auto deadline = std::chrono::steady_clock::now() + limit;
    int status = 0;
    for (;;) {
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid)
            break;
        if (std::chrono::steady_clock::now() > deadline) {
            ADD_FAILURE() << "the plugin did not exit in time; killed";
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            pid = -1;
            return exitStatus = -1;
        }
        usleep(10000);
    }
    pid = -1;
    exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    EXPECT_NE(exitStatus, kSanitizerExitCode) << "a sanitizer reported an error in the plugin:\n"
                                              << ReadFileText(dir.File("plugin-stderr.txt"));
    CheckSanitizerReports();
    return exitStatus;
}

void PluginProcess::CheckSanitizerReports()
{
    for (const auto& name : ListDirectory(dir.Path())) {
        if (name.starts_with("sanitizer-report")) {
            ADD_FAILURE() << "sanitizer report from the plugin:\n" << ReadFileText(dir.File(name));
            std::filesystem::remove(dir.File(name));
        }
    }
}
