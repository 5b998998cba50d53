#include "spamd_farm.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "config/spamd_settings.h"
#include "plugin_process.h"
#include "rating/spamd_connection.h"

void SpamdProcess::Launch()
{
    std::vector<std::string> args = {"spamd", "-L", "-m", "2", "--min-spare=1", "--max-spare=2", "-s", "stderr", "-x",
                                     "--cf=use_bayes 0", "--cf=bayes_auto_learn 0"};
    args.insert(args.end(), listen.begin(), listen.end());
    if (geteuid() == 0)
        args.insert(args.end(), {"-u", "nobody"});  // spamd keeps root for its children otherwise
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    const std::string log = dir + "/spamd-" + std::to_string(++runs) + ".log";
    pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int in = open("/dev/null", O_RDONLY);
        dup2(in, STDIN_FILENO);
        dup2(out, STDOUT_FILENO);
        dup2(out, STDERR_FILENO);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    setpgid(pid, pid);  // here too, so that Kill never misses the group
}

bool SpamdProcess::WaitReady(const std::string& host, std::string& error)
{
    std::string why;
    const std::optional<SpamdHost> target = ParseSpamdHost(host, why);
    SpamdAddresses addresses;
    char reply[512];
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(90);
    while (std::chrono::steady_clock::now() < deadline && pid > 0) {
        int status;
        if (waitpid(pid, &status, WNOHANG) == pid) {
            pid = -1;
            break;
        }
        if (target && ResolveSpamdHost(*target, addresses, why) &&
            ExchangeWithHost(*target, addresses, nullptr, {"PING SPAMC/1.0\r\n"}, reply, sizeof reply - 1, false,
                             {1, 5}).status == ExchangeStatus::Answered)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    error = "spamd at " + host + " did not answer; its log:\n" + Log();
    return false;
}

void SpamdProcess::Kill()
{
    if (pid <= 0)
        return;
    kill(-pid, SIGKILL);
    int status;
    waitpid(pid, &status, 0);
    pid = -1;
}

std::string SpamdProcess::Log() const { return ReadFileText(dir + "/spamd-" + std::to_string(runs) + ".log"); }

int FreeLoopbackPort()
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    close(fd);
    return port;
}

bool MakeCertificate(const std::string& dir, const std::string& name, std::string& error)
{
    const std::string base = dir + "/" + name;
    const std::string command = "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=127.0.0.1 "
                                "-addext subjectAltName=IP:127.0.0.1 -keyout " + base + ".key -out " + base +
                                ".pem >" + base + ".log 2>&1 && chmod 644 " + base + ".key";
    if (system(command.c_str()) == 0)
        return true;
    error = "openssl could not make a certificate: " + ReadFileText(base + ".log");
    return false;
}
