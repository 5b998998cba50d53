// A farm of spamd hosts: its settings, spamd's replies of every protocol
// version, the rule-name headers, and failover between scripted hosts.
#include <gtest/gtest.h>

#include <csignal>
#include <memory>
#include <string>

#include "app/answers.h"
#include "config/settings.h"
#include "fake_spamd.h"
#include "output_capture.h"
#include "plugin_process.h"
#include "rating/headers.h"
#include "rating/scan.h"
#include "rating/spamc_protocol.h"
#include "rating/engine_farm.h"
#include "reports/daily.h"

// Described - a farm's settings in one line, or the errors that refused it.
static std::string Described(const std::string& dictionary)
{
    OutputCapture capture;
    const std::unique_ptr<cfgfItem> tree = cfgfReadConfigText("Spamd = " + dictionary + ";\n", "f.cfg");
    const std::optional<SpamdSettings> s = ReadSpamdSettings(cfgfGetDictValue(tree.get(), "Spamd", cfgfAny));
    if (!s)
        return capture.Text();
    std::string text;
    for (const EngineHost& host : s->hosts)
        text += "UTS"[static_cast<int>(host.transport)] + (" " + host.address + " " + host.port + "|");
    return text + std::to_string(s->connectTimeout) + " " + std::to_string(s->replyTimeout) + " " +
           std::to_string(s->retries) + " " + std::to_string(s->downTime) + " [" + s->user + "] " +
           "RNE"[static_cast<int>(s->onUnavailable)] + " " + s->tls.caFile + " " + s->tls.certFile + " " +
           s->tls.keyFile + capture.Text();
}

TEST(SpamdSettings, HostFormsDefaultsAndEveryMistakeRefuseTheDictionary)
{
    EXPECT_EQ(Described("{ Hosts = (\"/run/s.sock\", \"10.0.0.5:783\", \"ssl:scan2.example.org:7830\", "
                        "\"[2001:db8::7]:784\", scan3); }"),
              "U /run/s.sock |T 10.0.0.5 783|S scan2.example.org 7830|T 2001:db8::7 784|T scan3 783|"
              "5 240 3 30 [] R /etc/ssl/certs/ca-certificates.crt  ");
    // The times are taken, but a message's exchanges end before the watchdog gives its scan up.
    EXPECT_NE(Described("{ Hosts = (h); ReplyTimeout = 600; }")
                  .find("600 3 30 [] R /etc/ssl/certs/ca-certificates.crt  * Spamd: (Retries + 1) x ReplyTimeout is "
                        "2400 seconds, more than the 1080 seconds"),
              std::string::npos);
    EXPECT_EQ(Described("{ Hosts = (\"ssl:[::1]:9\"); ConnectTimeout = 2; ReplyTimeout = 0; Retries = 0; "
                        "DownTime = 0; User = recipient; OnUnavailable = neutral; "
                        "TLS = { CAFile = ca.pem; CertFile = c.pem; KeyFile = k.pem; }; }"),
              "S ::1 9|2 0 0 0 [recipient] N ca.pem c.pem k.pem");
    const struct {
        const char* dictionary;
        const char* error;
    } mistakes[] = {
        {"{ Hosts = (); }", "Spamd: Hosts must name 1 to 64 hosts"},
        {"{ Hosts = (\"a:b:c\"); }", "Spamd: host a:b:c: write an IPv6 address in brackets"},
        {"{ Hosts = (\"h:99999\"); }", "the port must be a number from 1 to 65535"},
        {"{ Hosts = (\"ssl:/x\"); }", "TLS needs host:port"},
        {"{ Hosts = (\"[::1\"); }", "needs its closing bracket"},
        {"{ Hosts = (h, h); }", "host h is named twice"},
        {"{ Hosts = h; }", "Spamd: Hosts must be an Array"},
        {"{ Retries = 1; }", "Spamd: Hosts = ( ... ); is missing"},
        {"{ Hosts = (h); ConnectTimeout = 0; }", "ConnectTimeout must be a number from 1 to 3600"},
        {"{ Hosts = (h); Retries = x; }", "Retries must be a number from 0 to 100"},
        {"{ Hosts = (h); OnUnavailable = Maybe; }", "OnUnavailable can be either Reject, Neutral or Exit"},
        {"{ Hosts = (h); Retry = 1; }", "Spamd has no key Retry"},
        {"{ Hosts = (h); TLS = { KeyFile = k; }; }", "Spamd: TLS KeyFile needs a CertFile"},
        {"{ Hosts = (h); User = \"a\\\nb\"; }", "User may not hold control characters"},
        {"x", "Spamd must be a dictionary"},
    };
    for (const auto& row : mistakes)
        EXPECT_NE(Described(row.dictionary).find(row.error), std::string::npos) << row.dictionary;
    // The check writes a farm back in the file's syntax, which reads back the same.
    const auto farm = cfgfReadConfigText("Spamd = { Hosts = (\"ssl:[::1]:9\", \"/s\"); OnUnavailable = Exit; };", "f");
    const std::optional<SpamdSettings> read = ReadSpamdSettings(cfgfGetDictValue(farm.get(), "Spamd", cfgfAny));
    auto written = cfgfNewDictionary();
    cfgfAddToDictionary(written.get(), "Spamd", std::move(*SpamdSettingsTree(*read)));
    const auto back = cfgfReadConfigText(cfgfFormatItem(*written), "f");
    EXPECT_EQ(ReadSpamdSettings(cfgfGetDictValue(back.get(), "Spamd", cfgfAny)), read);

    // In the whole file: Spamd wins over SocketPath; a wrong one keeps the farm in force.
    OutputCapture capture;
    const std::string file = DefaultSettingsText("/run/one.sock", 4, "Spamd = { Hosts = (\"/run/a.sock\"); };\n");
    const Settings first = ApplySettingsTree(Settings{}, cfgfReadConfigText(file, "f.cfg"), "f.cfg");
    const std::string wrong = file + "Spamd = { Hosts = (); };\n";
    const Settings second = ApplySettingsTree(first, cfgfReadConfigText(wrong, "f.cfg"), "f.cfg");
    const Settings third = ApplySettingsTree(second, cfgfReadConfigText(DefaultSettingsText("/s"), "f.cfg"), "f.cfg");
    EXPECT_EQ(capture.Text(), "* SocketPath is not used: the Spamd dictionary names the spamd hosts\n"
                              "* Error in f.cfg line 13 \n* Spamd: Hosts must name 1 to 64 hosts\n"
                              "* SocketPath is not used: the Spamd dictionary names the spamd hosts\n");
    EXPECT_EQ(second.spamd.hosts.at(0).address, "/run/a.sock");
    EXPECT_TRUE(third.spamd.single);  // without the dictionary, the one spamd of SocketPath
    EXPECT_EQ(third.spamd.hosts.at(0).address, "/s");
}

TEST(SpamdReplies, EveryProtocolVersionGivesItsVerdictAndRules)
{
    const char* const table[][2] = {
        {"Spam: True ; 1000.0 / 5.0\r\n\r\n", "rated spam 1000.0/5.0 []"},
        {"Spam: True ; 1000.0 / 5.0\r\n\r\nGTUBE,NO_RECEIVED\r\n", "rated spam 1000.0/5.0 [GTUBE,NO_RECEIVED]"},
        {"Content-length: 5\r\nSpam: True ; 1000.0 / 5.0\r\n\r\nGTUBE", "rated spam 1000.0/5.0 [GTUBE]"},
        {"Spam: False ; 3.3 / 5.0\r\nContent-length: 5\r\n\r\nA,B,Cmore", "rated ham 3.3/5.0 [A,B,C]"},
        {"spam: No ; -0.5 / 5.0\r\n\r\n", "rated ham -0.5/5.0 []"},
        {"Spam: Yes ; 6 / 5\r\n\r\n", "rated spam 6/5 []"},
        {"Spam: True ; lots / 5.0\r\n\r\n", "unrated spam / []"},
    };
    EXPECT_FALSE(ParseSpamdReply("SPAMD/1.0 76 Bad header line: FOO SPAMC/1.5\r\nSpam: True ; 6 / 5\r\n").rated);
    for (const auto& row : table) {
        const std::string reply = std::string("SPAMD/1.1 0 EX_OK\r\n") + row[0];
        const SpamdAnswer a = ParseSpamdReply(reply);
        EXPECT_EQ(std::string(a.rated ? "rated " : "unrated ") + (a.spam ? "spam " : "ham ") +
                      std::string(a.scoreText) + "/" + std::string(a.thresholdText) + " [" + std::string(a.body) + "]",
                  row[1]);
    }
    // Protocol 1.2 SYMBOLS announces no length: its one line ends the reply.
    EXPECT_EQ(SpamcReplyState("SPAMD/1.1 0 EX_OK\r\nSpam: True ; 1 / 5\r\n\r\n", true, false), ReplyState::Incomplete);
    EXPECT_EQ(SpamcReplyState("SPAMD/1.1 0 EX_OK\r\nSpam: True ; 1 / 5\r\n\r\nGTUBE\r\n", true, false),
              ReplyState::Complete);
    // What a spamd in trouble answers takes the host out; any other answer only fails the message.
    EXPECT_EQ(SpamcOutcome(ParseSpamdReply("SPAMD/1.1 75 EX_TEMPFAIL\r\n")), ExchangeOutcome::HostError);
    EXPECT_EQ(SpamcOutcome(ParseSpamdReply("SPAMD/1.1 69 EX_UNAVAILABLE\r\n")), ExchangeOutcome::HostError);
    EXPECT_EQ(SpamcOutcome(ParseSpamdReply("SPAMD/1.1 76 Bad header line\r\n")), ExchangeOutcome::Unrated);
    EXPECT_EQ(SpamcOutcome(ParseSpamdReply("SPAMD/1.1 0 EX_OK\r\n\r\n")), ExchangeOutcome::Unrated);
    std::string header;
    BuildRequestHeader(header, true, 12, SpamdUserOf("recipient", "R <b@example.org>\n\n", 19));
    EXPECT_EQ(header, "SYMBOLS SPAMC/1.5\r\nContent-length: 12\r\nUser: b@example.org\r\n\r\n");
    EXPECT_EQ(SpamdUserOf("recipient", "R <b@example.org>\nR <c@example.org>\n\n", 37), "");
    EXPECT_EQ(SpamdUserOf("filter", "", 0), "filter");
}

TEST(VerdictHeaders, RuleNamesScoreAndThresholdFillBothTemplates)
{
    Settings settings;
    settings.pMainHeader = "X-Score: ^1 [^2]\\eX-Rules: ^3 (^4/^5)";
    settings.pAlertHeader = "X-Alert: ^1 ^2 ^3 ^4 ^5";
    EXPECT_TRUE(UsesRuleNames(settings));
    std::string rules;
    RuleNamesText("GTUBE,\"NO_RECEIVED\"\r\n", rules);
    EXPECT_EQ(BuildHeaderText(settings, 100, {rules, "1000.0", "5.0"}),
              "X-Score: 100 [XXXXXX]\\eX-Rules: GTUBE,NO_RECEIVED (1000.0/5.0)"
              "\\eX-Alert: ^1 ^2 GTUBE,NO_RECEIVED 1000.0 5.0");
    EXPECT_EQ(BuildHeaderText(settings, 0), "X-Score:   0 []\\eX-Rules:  (/)");
    RuleNamesText(std::string(600, 'A'), rules);
    EXPECT_EQ(rules, std::string(500, 'A') + "...");
}

class Farm : public ::testing::Test {
protected:
    Farm()
    {
        signal(SIGPIPE, SIG_IGN);
        a = std::make_unique<FakeSpamd>(dir.File("a.sock"));
        b = std::make_unique<FakeSpamd>(dir.File("b.sock"));
        settings.spamd = SpamdSettings{};
        settings.spamd.hosts = {Host("a.sock"), Host("dead.sock"), Host("b.sock")};
        settings.spamd.connectTimeout = settings.spamd.replyTimeout = 1;
    }

    EngineHost Host(const std::string& name) { return {dir.File(name), EngineKind::Spamd, EngineTransport::Unix, dir.File(name), ""}; }
    // Scan - what the host is answered for a message (and the lines before it).
    std::string Scan(const std::string& body = "hi", AfterAnswer expected = AfterAnswer::Continue,
                     const std::string& envelope = "P <a@b.c>\n")
    {
        WriteFile(dir.File("m"), envelope + "\nSubject: x\n\n" + body + "\n");
        FileRequest request;
        request.Assign("7", dir.File("m"));
        EXPECT_EQ(AnswerScan(recorder, request, scanner.Scan(request, settings), settings, 0.01), expected);
        return capture.Take();
    }
    std::string States()
    {
        std::string text;
        for (const EngineFarm::HostState& state : farm.HostStates())
            text += state.up ? "up " : "down ";
        return text;
    }
    std::string ReportSection()
    {
        FILE* f = tmpfile();
        StatisticsSnapshot period = statistics.Snapshot();
        std::vector<HostStatus> hosts;
        for (const EngineFarm::HostState& state : farm.HostStates())
            hosts.push_back({state.name, state.up});
        WriteDailyReport(f, settings, nullptr, period, Now(), {}, hosts);
        std::string report(8192, '\0');
        rewind(f);
        report.resize(fread(report.data(), 1, report.size(), f));
        fclose(f);
        const size_t at = report.find("spamd hosts:\n\n");
        std::string section = report.substr(at, report.find("\n\n", at + 14) - at);
        for (size_t time = 0; (time = section.find(" s  ", time)) != std::string::npos;)
            section.replace(time - 11, 13, "T");  // the time column: "%7lld.%03d s"
        return section;
    }

    TempDir dir;
    std::unique_ptr<FakeSpamd> a, b;
    Settings settings;
    whitelist senders;
    Statistics statistics;
    Counters counters;
    Recorder recorder{statistics, counters};
    EngineFarm farm;
    Scanner scanner{senders, farm, recorder};
    OutputCapture capture;
};

const std::string kRated = "7 ADDHEADER \"X-Junk-Score:  54 [XX]\\eX-SA-Score:  54 [XX]\"\n";
const std::string kUnrated = "7 ADDHEADER \"X-Junk-Score:   0 []\\eX-SA-Score:   0 []\"\n";

TEST_F(Farm, RequestsSpreadFailOverAndComeBackAfterTheProbe)
{
    ASSERT_TRUE(farm.Start(settings.spamd));
    const std::string a = dir.File("a.sock"), b = dir.File("b.sock"), dead = dir.File("dead.sock");
    EXPECT_EQ(capture.Take(), "* Connecting to spamd host " + a + "\n* engine: SPAMD/1.5 at " + a + "\n* Connecting to "
              "spamd host " + dead + "\n* spamd host " + dead + " is down: connect: No such file or directory\n"
              "* Connecting to spamd host " + b + "\n* engine: SPAMD/1.5 at " + b + "\n");
    this->a->SetReply({.score = 3});
    this->b->SetReply({.score = 3});
    for (int n = 0; n < 4; n++)
        EXPECT_EQ(Scan(), kRated);
    EXPECT_EQ(this->a->CheckCount() * 10 + this->b->CheckCount(), 22);  // equal hosts take turns

    // A spamd that answers EX_TEMPFAIL fails fast; it must not win every
    // message and rate it 0: it is taken out and the message goes on.
    this->a->SetReply({.raw = "SPAMD/1.1 75 EX_TEMPFAIL\r\n"});
    for (int n = 0; n < 6; n++)
        EXPECT_EQ(Scan(), n == 0 ? "* spamd host " + a + " is down: SPAMD/1.1 75 EX_TEMPFAIL\n" + kRated : kRated);
    EXPECT_EQ(States(), "down down up ");
    EXPECT_EQ(this->a->CheckCount() * 10 + this->b->CheckCount(), 38);

    // With no host left the request is answered as OnUnavailable says.
    this->b.reset();
    EXPECT_EQ(Scan(), "* spamd host " + b + " is down: connect: No such file or directory\n"
                      "* no spamd host could rate " + dir.File("m") + "\n"
                      "7 REJECTED no spamd host could rate it, we'll try again later\n");
    settings.spamd.onUnavailable = OnUnavailableMode::Neutral;
    EXPECT_EQ(Scan(), "* no spamd host could rate " + dir.File("m") + ", answered with rating 0\n" + kUnrated);
    settings.spamd.onUnavailable = OnUnavailableMode::Exit;
    EXPECT_EQ(Scan("hi", AfterAnswer::ShutDown), "* no spamd host could rate " + dir.File("m") + ", we'll quit\n"
              "7 REJECTED no spamd host could rate it, we'll try again later\n");

    // DownTime later the probe brings back the host that answers again.
    this->a->SetReply({.score = 6});
    farm.ProbeDownHosts(MonotonicSeconds());
    EXPECT_EQ(States(), "down down down ");
    farm.ProbeDownHosts(MonotonicSeconds() + 31);  // one host a pass: the one down longest
    farm.ProbeDownHosts(MonotonicSeconds() + 31);
    EXPECT_EQ(capture.Take(), "* spamd host " + a + " is up again\n");
    EXPECT_EQ(States(), "up down down ");
    EXPECT_TRUE(Scan().starts_with("7 ADDHEADER \"X-Junk-Score: 100"));

    // Rejected messages come again and are not counted; neither are those no engine rated.
    EXPECT_EQ(statistics.MessagesTotal(), 12);
    EXPECT_EQ(statistics.Snapshot().nUnratedMessages, 1);
    EXPECT_EQ(ReportSection(),
              "spamd hosts:\n\n  Exchanges    Share  Failures  Time-outs         Time  State  Host\n"
              "          3   27.27%         1          0  T  up     " + a + "\n" +
                  "          0    0.00%         0          0  T  down   " + dead + "\n" +
                  "          8   72.72%         1          0  T  down   " + b + "\n-----------------\n"
                  "         11 exchanges");
}

TEST_F(Farm, AMessageNoHostCanRateIsUnratedAndLeavesTheHostsUp)
{
    settings.spamd.hosts = {Host("a.sock"), Host("b.sock")};
    ASSERT_TRUE(farm.Start(settings.spamd));
    capture.Take();
    const auto slowOrCut = [](const std::string& request) {
        if (request.find("slow") != std::string::npos)
            return SpamdReply{.mode = SpamdReply::Mode::Hang};
        if (request.find("cut") != std::string::npos)
            return SpamdReply{.mode = SpamdReply::Mode::Close};
        return SpamdReply{.score = 3};
    };
    a->SetResponder(slowOrCut);
    b->SetResponder(slowOrCut);
    EXPECT_EQ(Scan(), kRated);
    // Each host gets the slow message once, within its reply time, and
    // answers the PING that follows: both stay up.
    EXPECT_EQ(Scan("slow"), "* spamd gave no rating for " + dir.File("m") + ": no reply in time\n" + kUnrated);
    EXPECT_EQ(a->CheckCount() + b->CheckCount(), 3);
    EXPECT_EQ(Scan("cut"), "* spamd gave no rating for " + dir.File("m") + ": closed without a reply\n" + kUnrated);
    EXPECT_EQ(States(), "up up ");
    for (int n = 0; n < 4; n++)
        EXPECT_EQ(Scan(), kRated);
    a->ReleaseHung();
    b->ReleaseHung();
    // A host that fails three messages in a row is out, though it answers PING.
    const std::string said = Scan("cut") + Scan("cut") + Scan("cut");
    EXPECT_NE(said.find(" is down: 3 messages in a row failed, the last: closed"), std::string::npos) << said;
    EXPECT_EQ(States(), "down down ");
    // Without retries a host that cannot be reached costs its request.
    settings.spamd.retries = 0;
    settings.spamd.user = "filter";
    ASSERT_TRUE(farm.Start(settings.spamd));
    capture.Take();
    a.reset();
    EXPECT_TRUE(Scan().ends_with("7 REJECTED no spamd host could rate it, we'll try again later\n"));
    EXPECT_EQ(Scan(), kRated);
    EXPECT_NE(b->Requests().back().find("\r\nUser: filter\r\n"), std::string::npos);

    // After a failed message, a host that cannot be reached does not use up the one other host.
    FakeSpamd c(dir.File("c.sock"));
    a = std::make_unique<FakeSpamd>(dir.File("a.sock"));
    settings.spamd.hosts = {Host("c.sock"), Host("a.sock"), Host("b.sock")};
    settings.spamd.retries = 1;
    ASSERT_TRUE(farm.Start(settings.spamd));
    c.SetReply({.mode = SpamdReply::Mode::Close});
    a.reset();
    EXPECT_TRUE(Scan().ends_with("\n* spamd host " + dir.File("a.sock") + " is down: connect: No such file or directory\n" +
                                 kRated));
}

TEST_F(Farm, AnRspamdHostIsAskedInItsOwnProtocolWithTheEnvelope)
{
    const auto http = [](int status, const std::string& body) {
        return SpamdReply{.raw = "HTTP/1.1 " + std::to_string(status) + " X\r\nServer: rspamd/3.4\r\nContent-Length: " +
                                 std::to_string(body.size()) + "\r\n\r\n" + body};
    };
    int status = 200;
    a->SetResponder([&](const std::string& request) {
        return request.starts_with("GET /ping") ? http(200, "pong\r\n")
                                                : http(status, R"({"score":7,"required_score":15,"action":"add header",)"
                                                               R"("symbols":{"R2":{"score":2},"R1":{"score":5}}})");
    });
    settings.spamd.hosts = {Host("a.sock"), Host("b.sock")};
    settings.spamd.hosts[0].name = "rspamd:" + settings.spamd.hosts[0].name;
    settings.spamd.hosts[0].engine = EngineKind::Rspamd;
    settings.spamd.user = "filter";
    settings.pMainHeader = "X: ^1 ^3 (^4/^5) ^6";
    ASSERT_TRUE(farm.Start(settings.spamd));
    EXPECT_NE(capture.Take().find("* engine: rspamd/3.4 at rspamd:" + dir.File("a.sock") + "\n"), std::string::npos);
    EXPECT_EQ(Scan("hi", AfterAnswer::Continue, "P <s@example.org>\nR <r@example.org>\nS SMTP [192.0.2.7]\n"),
              "7 ADDHEADER \"X:  42 R1,R2 (7.00/15.00) add header\"\n");
    EXPECT_EQ(a->Requests().back(), "POST /checkv2 HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n"
                                    "Content-Length: 15\r\nFrom: s@example.org\r\nRcpt: r@example.org\r\n"
                                    "IP: 192.0.2.7\r\nQueue-Id: 7\r\n\r\nSubject: x\n\nhi\n");
    // An HTTP 5xx is a host in trouble: the message goes on to spamd, which gets the User.
    status = 503;
    EXPECT_TRUE(Scan().starts_with("7 ADDHEADER"));  // the turn of spamd
    EXPECT_TRUE(Scan().starts_with("* rspamd host rspamd:" + dir.File("a.sock") + " is down: HTTP 503 "));
    EXPECT_EQ(b->Requests().size(), 3u);  // its PING, then SYMBOLS for the rule names
    EXPECT_NE(b->Requests().back().find("\r\nUser: filter\r\n"), std::string::npos);
}
