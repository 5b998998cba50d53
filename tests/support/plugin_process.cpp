#include "plugin_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

constexpr int kSanitizerExitCode = 99;

static std::chrono::milliseconds Left(std::chrono::steady_clock::time_point deadline)
{
    using namespace std::chrono;
    return std::max(0ms, duration_cast<milliseconds>(deadline - steady_clock::now()));
}

static void CheckSanitizerReports(const TempDir& dir)
{
    for (const auto& name : ListDirectory(dir.Path()))
        if (name.starts_with("sanitizer-report")) {
            ADD_FAILURE() << "sanitizer report from the plugin:\n" << ReadFileText(dir.File(name));
            std::filesystem::remove(dir.File(name));
        }
}

TempDir::TempDir() : path(std::filesystem::temp_directory_path().string() + "/vsa-test-XXXXXX")
{
    if (mkdtemp(path.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
}

void WriteFile(const std::string& path, std::string_view content)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc).write(content.data(), std::ssize(content));
}

std::string ReadFileText(const std::string& path)
{
    std::ostringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
}

bool SignalScanWaitingOnSpamd(pid_t pid, int signal)
{
    // A scan waits in read or recvfrom on its socket (blocking), or in poll
    // (with a time limit); no other thread of the plugin does either on a socket.
    const std::string proc = "/proc/" + std::to_string(pid);
    for (int attempt = 0; attempt < 300; attempt++, usleep(20000)) {
        std::error_code error;
        for (const auto& task : std::filesystem::directory_iterator(proc + "/task", error)) {
            const std::string call = ReadFileText(task.path().string() + "/syscall");
            const long number = strtol(call.c_str(), nullptr, 10);
            const long fd = strtol(call.c_str() + call.find(' ') + 1, nullptr, 16);
            const bool onSocket =
                number == 7 || ((number == 0 || number == 45) && fd > 0 &&
                                std::filesystem::read_symlink(proc + "/fd/" + std::to_string(fd), error)
                                    .string()
                                    .starts_with("socket:"));
            if (call.find(' ') != std::string::npos && onSocket)
                return syscall(SYS_tgkill, pid, std::stoi(task.path().filename()), signal) == 0;
        }
    }
    return false;
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

// MaskDates - written without std::regex, which g++ 12 warns about at -O1
// under the sanitizers.  A date: "Aaa, D[D] Aaa DDDD DD:DD:DD" (A a letter, a
// a small one, D a digit).
std::string MaskDates(const std::string& text)
{
    const auto fits = [&](size_t at, std::string_view shape) {
        for (size_t i = 0; i < shape.size(); i++) {
            const auto c = static_cast<unsigned char>(at + i < text.size() ? text[at + i] : '\0');
            if (!(shape[i] == 'A' ? isalpha(c) : shape[i] == 'a' ? islower(c) : shape[i] == 'D' ? isdigit(c)
                                                                                         : c == shape[i]))
                return false;
        }
        return true;
    };
    std::string masked;
    for (size_t at = 0; at < text.size();) {
        size_t length = 0;
        for (std::string_view shape : {"Aaa, D Aaa DDDD DD:DD:DD", "Aaa, DD Aaa DDDD DD:DD:DD"})
            length = length == 0 && fits(at, shape) ? shape.size() : length;
        masked += length > 0 ? std::string("<date>") : std::string(1, text[at]);
        at += length > 0 ? length : 1;
    }
    return masked;
}

pid_t Spawn(std::vector<std::string> args, int in, int out, int err, bool ownGroup)
{
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        if (ownGroup)
            setpgid(0, 0);
        dup2(in, STDIN_FILENO), dup2(out, STDOUT_FILENO), dup2(err, STDERR_FILENO);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    if (ownGroup && pid > 0)
        setpgid(pid, pid);  // here too, so that a kill of the group never misses it
    return pid;
}

std::string DefaultSettingsText(const std::string& socketPath, int threads, std::string_view extra)
{
    return "Header = \"X-Junk-Score: ^1 [^2]\\eX-SA-Score: ^1 [^2]\";\nAlertLevel = 100;\n"
           "AlertHeader = \"X-Alert: possible spam!\\eX-Color: red\";\nSocketPath = \"" + socketPath + "\";\n"
           "MaxScanningThreads = " + std::to_string(threads) + ";\nOnProblem = Exit;\n"
           "BarScoreRanges = (0, 39, 76, 84, 90, 99, 100);\nSubmittedDirectory = Submitted;\nStatDumpInterval = 10;\n"
           "DailyReport = { Enabled = YES; From = \"spam-report@example.org\"; To = postmaster; "
           "Subject = \"Daily spam report ^1\"; ExtraHeaders = \"X-Auto-Generated: report\"; };\n"
           "EventsReports = { From = \"spam-plugin@example.org\"; To = postmaster; "
           "ExtraHeaders = \"X-Auto-Generated: report\"; Started = { Subject = \"Plugin started ^1\"; }; "
           "Stopped = { Subject = \"Plugin stopped ^1\"; }; };\n" + std::string(extra);
}

PluginProcess::~PluginProcess()
{
    if (pid > 0)
        kill(pid, SIGKILL);
    WaitExit();
    CloseInput();
    close(fromPlugin);
}

void PluginProcess::Start(const Options& options)
{
    WaitExit();
    CloseInput();
    close(std::exchange(fromPlugin, -1));
    pending.clear();
    transcript.clear();
    if (!options.settings.empty())
        WriteFile(dir.File("VelmoraSpamAssassin.cfg"), options.settings);
    if (options.whitelist)
        WriteFile(dir.File("whitelist.txt"), *options.whitelist);
    if (options.createSubmitted)
        mkdir(SubmittedDir().c_str(), 0755);
    const std::string program = dir.File("VelmoraSpamAssassin"), stderrPath = dir.File("plugin-stderr.txt");
    if (symlink(VSA_PLUGIN_BINARY, program.c_str()) != 0 && errno != EEXIST)
        FAIL() << "symlink: " << strerror(errno);
    // env runs the plugin in the directory, with the sanitizer settings and the test's variables.
    const std::string sanitizer = "halt_on_error=1:exitcode=" + std::to_string(kSanitizerExitCode) +
                                  ":log_path=" + dir.File("sanitizer-report");
    std::vector<std::string> args = {"/usr/bin/env", "-C", dir.Path(), "ASAN_OPTIONS=" + sanitizer + ":detect_leaks=0",
                                     "UBSAN_OPTIONS=" + sanitizer + ":print_stacktrace=1", "TSAN_OPTIONS=" + sanitizer};
    for (const auto& [name, value] : options.env)
        args.push_back(name + "=" + value);
    args.push_back(program);
    args.insert(args.end(), options.args.begin(), options.args.end());
    int in[2], out[2];
    ASSERT_EQ(pipe2(in, O_CLOEXEC) | pipe2(out, O_CLOEXEC), 0);
    const int err = open(stderrPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    const auto tests = signal(SIGPIPE, SIG_DFL);  // the plugin starts with the default action
    pid = Spawn(args, in[0], out[1], err);
    signal(SIGPIPE, tests);
    ASSERT_GE(pid, 0);
    close(err);
    close(in[0]);
    close(out[1]);
    toPlugin = in[1];
    fromPlugin = out[0];
}

void PluginProcess::SendRaw(std::string_view bytes)
{
    ASSERT_GE(toPlugin, 0) << "input already closed";
    signal(SIGPIPE, SIG_IGN);
    for (ssize_t done = 0, n = 0; done < std::ssize(bytes); done += n)
        if ((n = write(toPlugin, bytes.data() + done, bytes.size() - static_cast<size_t>(done))) < 0) {
            ADD_FAILURE() << "writing to the plugin: " << strerror(errno);
            return;
        }
}

void PluginProcess::CloseInput()
{
    if (toPlugin >= 0)
        close(std::exchange(toPlugin, -1));
}

std::optional<std::string> PluginProcess::ReadLine(std::chrono::milliseconds limit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (pending.find('\n') == std::string::npos) {
        pollfd p{fromPlugin, POLLIN, 0};
        if (fromPlugin < 0 || poll(&p, 1, static_cast<int>(Left(deadline).count())) <= 0)
            return std::nullopt;
        char buffer[65536];
        const ssize_t n = read(fromPlugin, buffer, sizeof buffer);
        if (n > 0)
            pending.append(buffer, static_cast<size_t>(n));
        else
            close(std::exchange(fromPlugin, -1));  // the plugin closed its output
    }
    const size_t newline = pending.find('\n');
    transcript.push_back(pending.substr(0, newline));
    pending.erase(0, newline + 1);
    return transcript.back();
}

std::string PluginProcess::WaitForLine(const std::function<bool(const std::string&)>& match,
                                       std::chrono::milliseconds limit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (auto line = ReadLine(Left(deadline)))
        if (match(*line))
            return *line;
    std::string seen;
    for (const auto& line : transcript)
        seen += "  " + line + "\n";
    ADD_FAILURE() << "no expected line within " << limit.count() << " ms; lines seen:\n" << seen;
    return std::string();
}

std::vector<std::string> PluginProcess::ReadAllUntilExit(std::chrono::milliseconds limit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    const size_t from = transcript.size();
    while (fromPlugin >= 0 && Left(deadline) > 0ms)
        ReadLine(Left(deadline));
    EXPECT_LT(fromPlugin, 0) << "the plugin did not close its output in time";
    return std::vector<std::string>(transcript.begin() + static_cast<long>(from), transcript.end());
}

int PluginProcess::WaitExit(std::chrono::milliseconds limit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    int status = 0;
    for (; pid > 0 && waitpid(pid, &status, WNOHANG) != pid; usleep(10000)) {
        if (Left(deadline) == 0ms) {
            ADD_FAILURE() << "the plugin did not exit in time; killed";
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            break;
        }
    }
    if (std::exchange(pid, -1) > 0)
        exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    CheckSanitizerReports(dir);
    return exitStatus;
}
