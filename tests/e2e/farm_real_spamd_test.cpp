// The plugin against a farm of real spamd processes on loopback: A on a TCP
// port of 127.0.0.1 and on a TLS port, B on another TCP port, C on a Unix
// socket.  They start once for this file: spamd takes seconds to start.
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <memory>
#include <set>
#include <sstream>

#include "config/spamd_settings.h"
#include "rating/engine_connection.h"
#include "fake_spamd.h"
#include "real_spamd.h"

namespace {

// SpamdProcess - one real spamd in a process group of its own, killed (its
// children too) by its pid and started again; every run logs into a file of its own.
class SpamdProcess {
public:
    SpamdProcess(std::string logs, std::vector<std::string> listen) : logs(std::move(logs)), listen(std::move(listen)) {}
    ~SpamdProcess() { Kill(); }

    void Launch()
    {
        std::vector<std::string> args = {"spamd", "-L", "-m", "2", "--min-spare=1", "--max-spare=2", "-s", "stderr",
                                         "-x", "--cf=use_bayes 0", "--cf=bayes_auto_learn 0"};
        args.insert(args.end(), listen.begin(), listen.end());
        if (geteuid() == 0)
            args.insert(args.end(), {"-u", "nobody"});  // spamd keeps root for its children otherwise
        const int log = open(Log(++runs).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        pid = Spawn(args, STDIN_FILENO, log, log, true);
        close(log);
    }
    // WaitReady - until host (a Hosts entry without TLS) answers PING, at most 90 seconds.
    bool WaitReady(const std::string& host, std::string& error)
    {
        std::string why;
        const std::optional<EngineHost> target = ParseEngineHost(host, why);
        EngineAddresses addresses;
        std::string reply;
        for (int wait = 0; wait < 900 && target && ResolveEngineHost(*target, addresses, why); wait++) {
            const ExchangeResult pong = ExchangeWithHost(*target, addresses, nullptr, {kPingRequest}, reply,
                                                         {SpamcReplyState, false, 512}, {1, 5});
            if (pong.answered)
                return true;
            usleep(100000);
        }
        error = "spamd at " + host + " did not answer; its log:\n" + ReadFileText(Log(runs));
        return false;
    }
    void Kill()
    {
        if (pid > 0 && kill(-pid, SIGKILL) == 0)
            waitpid(pid, nullptr, 0);
        pid = -1;
    }
    std::string Log(int run) const { return logs + "-" + std::to_string(run) + ".log"; }
    int Runs() const { return runs; }

private:
    std::string logs;
    std::vector<std::string> listen;
    pid_t pid = -1;
    int runs = 0;
};

int FreeLoopbackPort()
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    close(fd);
    return ntohs(address.sin_port);
}

// MakeCertificate - base.pem and base.key, self-signed for 127.0.0.1.
bool MakeCertificate(const std::string& base, std::string& error)
{
    const std::string command = "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=127.0.0.1 -addext "
                                "subjectAltName=IP:127.0.0.1 -keyout " + base + ".key -out " + base + ".pem >" + base +
                                ".log 2>&1 && chmod 644 " + base + ".key";
    if (system(command.c_str()) != 0)
        error = "openssl could not make a certificate: " + ReadFileText(base + ".log");
    return error.empty();
}

const char* const kGtube = "Subject: x\n\nXJS*C4JDBQADN1.NSBN3*2IDNEN*GTUBE-STANDARD-ANTI-UBE-TEST-EMAIL*C.34X\n";

class RealFarm : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        if (!RealSpamd::Installed())
            return;
        dir = std::make_unique<TempDir>();
        chmod(dir->Path().c_str(), 0755);  // spamd's children run as nobody
        if (!MakeCertificate(dir->File("right"), error) || !MakeCertificate(dir->File("wrong"), error))
            return;
        const std::string portA = std::to_string(FreeLoopbackPort()), portB = std::to_string(FreeLoopbackPort());
        tlsPort = std::to_string(FreeLoopbackPort());
        hostA = "127.0.0.1:" + portA, hostB = "127.0.0.1:" + portB, hostC = dir->File("c.sock");
        spamdA = std::make_unique<SpamdProcess>(
            dir->File("a"), std::vector<std::string>{"--listen=" + hostA, "--listen=ssl:127.0.0.1:" + tlsPort,
                                                     "--server-cert=" + dir->File("right.pem"),
                                                     "--server-key=" + dir->File("right.key")});
        spamdB = std::make_unique<SpamdProcess>(dir->File("b"), std::vector<std::string>{"--listen=" + hostB});
        spamdC = std::make_unique<SpamdProcess>(dir->File("c"), std::vector<std::string>{"--socketpath=" + hostC});
        spamdA->Launch(), spamdB->Launch(), spamdC->Launch();
        (void)(spamdA->WaitReady(hostA, error) && spamdB->WaitReady(hostB, error) && spamdC->WaitReady(hostC, error));
    }
    static void TearDownTestSuite()
    {
        spamdA.reset(), spamdB.reset(), spamdC.reset();
        dir.reset();
    }

    void SetUp() override
    {
        SKIP_UNLESS_INSTALLED(RealSpamd::Installed(), "spamd");
        ASSERT_TRUE(error.empty()) << error;
    }

    static std::string Settings(const std::string& hosts, const std::string& spamd = "", const std::string& more = "")
    {
        return DefaultSettingsText("/nonexistent/spamd.sock", 6,
                                   more + "Spamd = { Hosts = (" + hosts +
                                       "); ConnectTimeout = 2; ReplyTimeout = 30; DownTime = 2; " + spamd + " };\n");
    }
    std::string File(const std::string& name, const std::string& text)
    {
        WriteFile(plugin.WorkDir() + "/" + name, "P <a@example.org>\nR <b@example.org>\n\n" + text);
        return " FILE " + plugin.WorkDir() + "/" + name;
    }

    static inline std::unique_ptr<TempDir> dir;
    static inline std::unique_ptr<SpamdProcess> spamdA, spamdB, spamdC;
    static inline std::string hostA, hostB, hostC, tlsPort, error;
    PluginProcess plugin;
};

}  // namespace

TEST_F(RealFarm, ABurstSurvivesAKilledHostThatComesBackAfterItsDownTime)
{
    plugin.Start({.settings = Settings("\"" + hostA + "\", \"" + hostB + "\", \"" + hostC + "\"")});
    const std::string spam = File("spam", kGtube), ham = File("ham", "Subject: hello\n\nhello\n");
    std::string burst;
    for (int n = 0; n < 600; n++)
        burst += std::to_string(n) + (n % 5 == 0 ? ham : spam) + "\n";
    plugin.SendRaw(burst);
    std::map<int, std::string> replies;
    std::set<std::string> hamRatings;
    const auto collect = [&](int count) {
        for (int n = 0; n < count && !HasFailure(); n++) {
            const std::string reply = plugin.NextReply(120s);
            const int id = atoi(reply.c_str());
            EXPECT_TRUE(replies.emplace(id, reply).second) << "again: " << reply;
            const std::string header = reply.substr(reply.find(' ') + 1);
            if (id % 5 == 0)
                hamRatings.insert(header);
            else
                EXPECT_TRUE(header.starts_with("ADDHEADER \"X-Junk-Score: 100 [XXXXXX]")) << reply;
            if (replies.size() == 150)
                spamdB->Kill();
        }
    };
    collect(600);

    // B comes back: a probe finds it after DownTime, and it takes requests again.
    spamdB->Launch();
    ASSERT_TRUE(spamdB->WaitReady(hostB, error)) << error;
    plugin.WaitForLine([](const std::string& line) { return line == "* spamd host " + hostB + " is up again"; }, 30s);
    burst.clear();
    for (int n = 600; n < 660; n++)
        burst += std::to_string(n) + (n % 5 == 0 ? ham : spam) + "\n";
    plugin.SendRaw(burst);
    collect(60);
    const std::string log = ReadFileText(spamdB->Log(spamdB->Runs()));
    EXPECT_NE(log.find("result: Y"), std::string::npos) << log;
    EXPECT_EQ(plugin.Quit(), 0);

    EXPECT_EQ(replies.size(), 660u);
    EXPECT_EQ(hamRatings.size(), 1u) << "every ham message is rated alike, by a live host";
    EXPECT_EQ(plugin.Count("* SocketPath is not used: the Spamd dictionary names the spamd hosts"), 1u);
    EXPECT_EQ(plugin.CountHolding(" gave no rating for ") + plugin.CountHolding(" host could rate "), 0u);
    EXPECT_EQ(plugin.CountStarting("* spamd host " + hostB + " is down: "), 1u) << "down once until it is back";

    // The report lists every host; their exchanges add up to the messages rated.
    std::string report;
    for (const std::string& name : ListDirectory(plugin.SubmittedDir()))
        if (std::string text = ReadFileText(plugin.SubmittedDir() + "/" + name); text.find("spamd hosts:") != text.npos)
            report = text;
    std::istringstream rows(report.substr(report.find("Host\n") + 5));
    long long total = 0, exchanges, failures, timeouts;
    std::string share, time, unit, state, host;
    std::map<std::string, long long> byHost;
    while (rows >> exchanges >> share >> failures >> timeouts >> time >> unit >> state >> host) {
        EXPECT_EQ(state, "up") << report;
        total += byHost[host] = exchanges;
        EXPECT_TRUE(host != hostB || failures + timeouts >= 1) << report;
    }
    EXPECT_EQ(byHost.size(), 3u) << report;
    EXPECT_GT(byHost[hostA] * byHost[hostB] * byHost[hostC], 0) << report;
    EXPECT_LT(std::max(byHost[hostA], byHost[hostC]), 2 * std::min(byHost[hostA], byHost[hostC])) << report;
    EXPECT_EQ(total, 660) << report;
    EXPECT_NE(report.find("        660 messages rated"), std::string::npos) << report;
}

TEST_F(RealFarm, TlsHostsMustShowTheRightCertificateAndRuleNamesReachTheHeaders)
{
    const std::string good = "ssl:127.0.0.1:" + tlsPort, misnamed = "ssl:localhost:" + tlsPort;
    const std::string header = "Header = \"X-Score: ^1\\eX-Rules: ^3 (^4/^5)\";\n";
    plugin.Start({.settings = Settings("\"" + good + "\", \"" + misnamed + "\"",
                                       "TLS = { CAFile = \"" + dir->File("right.pem") + "\"; };", header)});
    plugin.WaitFor("* engine: SPAMD/1.5 at " + good);
    const std::string refused = "* spamd host " + misnamed + " is down: TLS certificate refused";
    plugin.WaitForLine([&](const std::string& line) { return line.starts_with(refused); });
    const std::string reply = plugin.Ask("1" + File("gtube", kGtube), 30s);
    EXPECT_TRUE(reply.starts_with("1 ADDHEADER \"X-Score: 100\\eX-Rules: GTUBE,")) << reply;
    EXPECT_NE(reply.find("/5.0)\\eX-Alert: possible spam!"), std::string::npos) << reply;

    // A certificate that the CA file does not vouch for is refused at reload; C rates.
    WriteFile(plugin.WorkDir() + "/VelmoraSpamAssassin.cfg",
              Settings("\"" + good + "\", \"" + hostC + "\"", "TLS = { CAFile = \"" + dir->File("wrong.pem") + "\"; };",
                       header));
    WriteFile(plugin.WorkDir() + "/hup.sig", "");
    plugin.Send("2" + File("gtube", kGtube));
    plugin.WaitForLine([&](const std::string& line) {
        return line.starts_with("* spamd host " + good + " is down: TLS certificate refused");
    });
    EXPECT_TRUE(plugin.NextReply(30s).starts_with("2 ADDHEADER \"X-Score: 100\\eX-Rules: GTUBE,"));
    EXPECT_EQ(plugin.Quit(), 0);

    // The check pings each host: the refused one is a warning, one that answers is enough.
    plugin.Start({.settings = "", .args = {"-check"}});
    plugin.ReadAllUntilExit();
    EXPECT_EQ(plugin.WaitExit(), 0);
    EXPECT_EQ(plugin.Count("* check passed: the plugin can run (1 warning(s))"), 1u);
    EXPECT_EQ(plugin.CountStarting("* spamd " + hostC + ": SPAMD/1.5, "), 1u);
}

TEST_F(RealFarm, AHostAnsweringTempFailIsTakenOutAndTheRealSpamdRatesEveryMessage)
{
    // The scripted host fails fast, so it has the fewest exchanges in
    // progress: it must not win the messages and rate them 0.
    FakeSpamd tempfail(dir->File("tempfail.sock"));
    tempfail.SetReply({.raw = "SPAMD/1.1 75 EX_TEMPFAIL\r\n"});
    const std::string scripted = tempfail.SocketPath();
    plugin.Start({.settings = Settings("\"" + scripted + "\", \"" + hostA + "\"", "DownTime = 600;",
                                       "MetricsFile = velmora.prom;\n")});
    plugin.WaitFor("* engine: SPAMD/1.5 at " + hostA);
    std::string burst;
    for (int n = 0; n < 20; n++)
        burst += std::to_string(n) + File("gtube" + std::to_string(n), kGtube) + "\n";
    plugin.SendRaw(burst);
    for (int n = 0; n < 20; n++)
        EXPECT_TRUE(plugin.NextReply(60s).find(" ADDHEADER \"X-Junk-Score: 100 [XXXXXX]") != std::string::npos);
    EXPECT_EQ(plugin.Quit(), 0);
    EXPECT_EQ(plugin.Count("* spamd host " + scripted + " is down: SPAMD/1.1 75 EX_TEMPFAIL"), 1u);
    EXPECT_GE(tempfail.CheckCount(), 1);  // each scanning thread may have picked it before it went down
    const std::string metrics = ReadFileText(plugin.WorkDir() + "/velmora.prom");
    EXPECT_NE(metrics.find("velmora_spamd_up{engine=\"spamd\",host=\"" + scripted + "\"} 0\n"), std::string::npos) << metrics;
    EXPECT_NE(metrics.find("velmora_requests_total{outcome=\"rated\"} 20\n"), std::string::npos) << metrics;
    bool reported = false;
    for (const std::string& name : ListDirectory(plugin.SubmittedDir()))
        reported |= ReadFileText(plugin.SubmittedDir() + "/" + name).find("  down   " + scripted + "\n") != std::string::npos;
    EXPECT_TRUE(reported) << "the daily report shows the scripted host down";
}
