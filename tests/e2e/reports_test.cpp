// Report mails and the statistics dump of a running plugin: started and
// stopped notices, the daily report at shutdown and at midnight, and the
// statistics carried across restarts on one day.
#include <signal.h>
#include <sys/stat.h>

#include <cstdlib>
#include <map>

#include "plugin_test.h"

namespace {

// Noon of a fixed day in a fixed zone, so that the runs of a test fall on the
// same local day wherever the tests run.
constexpr long kNoon = 1773075600;  // Mon, 9 Mar 2026 12:00:00 in EST5

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

class Reports : public PluginTest {
protected:
    void Run(long clockStart, std::string_view extra = "", std::string maxScanningTime = "1200")
    {
        plugin.Start({.settings = DefaultSettingsText(spamd.SocketPath(), 2, extra),
                      .env = {{"TZ", "EST5"}, {"VELMORA_TEST_CLOCK_START", std::to_string(clockStart)},
                              {"VELMORA_TEST_MAX_SCANNING_TIME", maxScanningTime}}});
    }
    // Rate - a spam with its envelope (rated 100), then plain messages (rated 0).
    void Rate(int plain)
    {
        spamd.SetResponder([](const std::string& r) { return SpamdReply{.score = Contains(r, "FREE") ? 9.0 : 0}; });
        plugin.Ask("s FILE " + Message("s", "P <x@example.net>\nR <rcpt@example.org>\nR <b@example.org>\n"
                                            "S mx.example.net [192.0.2.1]\n\nSubject: FREE\n\nhi\n"));
        for (int i = 0; i < plain; i++)
            plugin.Ask(std::to_string(i) + " FILE " + Message("m"));
    }
    // Delivered - the mails by kind ("started", "stopped", "daily"), taken out of the directory.
    std::map<std::string, std::vector<std::string>> Delivered()
    {
        std::map<std::string, std::vector<std::string>> found;
        for (const std::string& name : ListDirectory(plugin.SubmittedDir())) {
            const std::string path = plugin.SubmittedDir() + "/" + name, text = ReadFileText(path);
            struct stat st {};
            stat(path.c_str(), &st);
            EXPECT_TRUE(name.starts_with("reportSA_") && name.ends_with(".sub")) << name;
            EXPECT_EQ(st.st_mode & 07777, 0644u) << name;  // the host reads them, nobody else writes them
            const size_t verb = text.find("\nVelmora SpamAssassin plugin st");
            found[verb == text.npos ? "daily" : text.substr(verb + 29, 7)].push_back(text);
            std::remove(path.c_str());
        }
        return found;
    }
    std::string Dump() { return ReadFileText(plugin.WorkDir() + "/statistics.dat"); }
};

const char* const kScoreTable = "Range   Messages\n    0          2\n 1-39          0\n40-76          0\n"
                                "77-84          0\n85-90          0\n91-99          0\n  100          1\n"
                                "-----------------\n               3 messages rated\n\n";
const char* const kLists = "\n\nSpam Sources:\n\n      #       %  Source\n      1 100.00%  mx.example.net [192.0.2.1]\n"
                           "-----------------\n      1 sources total\n\n\n\nSpam Targets:\n\n      #       %  Target\n"
                           "      1  50.00%  b@example.org\n      1  50.00%  rcpt@example.org\n-----------------\n"
                           "      2 targets total\n\n";

}  // namespace

TEST_F(Reports, ShutdownMailsAndRestartsOnOneDayCarryTheStatisticsOn)
{
    Run(kNoon);
    Rate(2);
    Quit();
    EXPECT_EQ(plugin.Count("* Generating daily report message"), 1u);
    EXPECT_TRUE(MaskDates(Dump()).starts_with("StatStart=1773075600; #<date>\nStatEnd=177307560")) << Dump();
    EXPECT_TRUE(Contains(Dump(), "\nMessagesTotal=3;\n")) << Dump();
    EXPECT_FALSE(FileExists(plugin.WorkDir() + "/statistics.dat.tmp"));
    auto mails = Delivered();
    for (const char* kind : {"started", "stopped"}) {
        const std::vector<std::string>& notices = mails[kind];
        ASSERT_EQ(notices.size(), 1u) << kind;
        EXPECT_EQ(MaskDates(notices[0]), std::string("Return-Path: <>\nFrom: spam-plugin@example.org\nTo: postmaster\n"
                                                     "Subject: Plugin ") + (kind[2] == 'a' ? "started" : "stopped") +
                                             " <date>\nX-Auto-Generated: report\n\nVelmora SpamAssassin plugin " +
                                             kind + " on <date>.\n\n");
    }
    ASSERT_EQ(mails["daily"].size(), 1u);
    const std::string report = MaskDates(mails["daily"][0]);
    EXPECT_TRUE(report.starts_with("Return-Path: <>\nFrom: spam-report@example.org\nTo: postmaster\n"
                                   "Subject: Daily spam report <date>\nX-Auto-Generated: report\n\n"
                                   "Velmora SpamAssassin plugin activity report.\n\n"
                                   "Period start: <date>\nPeriod end: <date>\n\nUptime: 0d 00h 00m 0")) << report;
    EXPECT_TRUE(Contains(report, "\n\nSpam Scores:\n\n" + std::string(kScoreTable) + "Scanning time:\nMin: "))
        << report;
    EXPECT_TRUE(Contains(report, "\n\nResource usage:\nUser: ")) << report;
    EXPECT_TRUE(Contains(report, "\nAverage concurrent scans: ")) << report;
    EXPECT_TRUE(report.ends_with(kLists)) << report;
    EXPECT_FALSE(Contains(report, "Warning")) << report;

    // A restart on the same day goes on from the dump, and says so.
    Run(kNoon + 120);
    Rate(0);
    Quit();
    std::vector<std::string> daily = Delivered()["daily"];
    ASSERT_EQ(daily.size(), 1u);
    EXPECT_TRUE(Contains(daily[0], "Period start: Mon, 9 Mar 2026 12:00:0")) << daily[0];
    EXPECT_TRUE(Contains(daily[0], "\n               4 messages rated\n")) << daily[0];
    EXPECT_TRUE(Contains(daily[0], "      2 100.00%  mx.example.net [192.0.2.1]\n")) << daily[0];
    EXPECT_TRUE(Contains(daily[0], "Warning: the daily statistics may be inaccurate because the plugin\n"
                                   "was restarted during the reporting period.\n\n")) << daily[0];

    // After a kill the dump has no orderly-shutdown mark; the next report names the time of that dump.
    Run(kNoon + 240);
    plugin.Send("1 INTF");
    plugin.WaitFor("1 INTF 3 PROD=CLAM");
    for (int wait = 0; wait < 500 && Contains(Dump(), "NormalShutdown"); wait++)
        usleep(10000);  // the controller's first pass writes a dump
    kill(plugin.Pid(), SIGKILL);
    EXPECT_EQ(plugin.WaitExit(), 128 + SIGKILL);
    EXPECT_FALSE(Contains(Dump(), "NormalShutdown"));
    const std::string dump = Dump();
    const size_t comment = dump.find('#', dump.find("StatEnd=")) + 1;
    const std::string lastDump = dump.substr(comment, dump.find('\n', comment) - comment);
    mails = Delivered();
    EXPECT_EQ(mails["started"].size(), 1u);
    EXPECT_EQ(mails["stopped"].size(), 0u);
    Run(kNoon + 360);
    Rate(0);
    Quit();
    daily = Delivered()["daily"];
    ASSERT_EQ(daily.size(), 1u);
    EXPECT_TRUE(Contains(daily[0], "\n               5 messages rated\n")) << daily[0];
    EXPECT_TRUE(Contains(daily[0], "Warning: the daily statistics may be inaccurate because the plugin\n"
                                   "was restarted somewhere around " + lastDump + "\n\n")) << daily[0];
}

TEST_F(Reports, DailyReportGoesOutAtMidnightAndStartsANewPeriod)
{
    Run(kNoon + 12 * 3600 - 5);  // 23:59:55, time enough to rate before midnight even in a sanitizer build
    Rate(2);
    plugin.WaitForLine([](const std::string& line) { return line == "* Generating daily report message"; }, 15s);
    Quit();
    // The new period is young and empty: no second report at shutdown.
    EXPECT_EQ(plugin.Count("* Generating daily report message"), 1u);
    EXPECT_TRUE(Contains(Dump(), "\nMessagesTotal=0;\n")) << Dump();
    auto mails = Delivered();
    EXPECT_EQ(mails["started"].size(), 1u);
    EXPECT_EQ(mails["stopped"].size(), 1u);
    ASSERT_EQ(mails["daily"].size(), 1u);
    const std::string& report = mails["daily"][0];
    EXPECT_TRUE(Contains(report, "\nPeriod start: Mon, 9 Mar 2026 23:59:5")) << report;
    EXPECT_TRUE(Contains(report, "\nPeriod end: Tue, 10 Mar 2026 00:00:0")) << report;
    EXPECT_TRUE(Contains(report, kScoreTable)) << report;
    EXPECT_TRUE(report.ends_with(kLists)) << report;
}

// Number - the number that follows key in text (-1 when key is missing).
static double Number(const std::string& text, const std::string& key)
{
    const size_t at = text.find(key);
    return at == std::string::npos ? -1 : strtod(text.c_str() + at + key.size(), nullptr);
}

TEST_F(Reports, KnownTrafficGivesTheSameFiguresInTheDumpTheReportAndTheMetrics)
{
    // Host a answers after 100 ms, host b after 300 ms; "Subject: score/threshold" sets the verdict.
    FakeSpamd b{sockets.File("b.sock")};
    for (auto [host, delayMs] : {std::pair{&spamd, 100}, std::pair{&b, 300}})
        host->SetResponder([delayMs](const std::string& r) {
            const std::string subject = r.substr(r.find("Subject: ") + 9);
            return SpamdReply{.mode = subject.starts_with("hang") ? SpamdReply::Mode::Hang : SpamdReply::Mode::Answer,
                              .score = atof(subject.c_str()), .threshold = Number(subject, "/"), .delayMs = delayMs};
        });
    Run(kNoon, "AlertLevel = 90; MetricsFile = m.prom; Spamd = { Hosts = (\"" + spamd.SocketPath() + "\", \"" +
                   b.SocketPath() + "\"); ReplyTimeout = 0; };\n", "2");
    // Hosts take turns: a b a b a, then the message without a usable threshold goes to b and a; b hangs.
    for (int id = 0; const char* text : {"\nSubject: 0/5", "\nSubject: 2.5/5", "S s1\nR <x@a>\n\nSubject: 5/5",
                                         "S s1\nR <x@a>\nR <y@a>\n\nSubject: 9/5", "S s2\nR <x@a>\n\nSubject: 9/5",
                                         "\nSubject: 3/0", "\nSubject: hang"})
        plugin.Ask(std::to_string(id++) + " FILE " + Message("m", text));
    EXPECT_EQ((plugin.ReadAllUntilExit(), plugin.WaitExit()), 0);  // the stuck scan ends the plugin in order
    std::vector<std::string> mails = Delivered()["daily"];          // the problem notice and the report
    const std::string dump = Dump(), metrics = ReadFileText(plugin.WorkDir() + "/m.prom"),
                      report = mails.at(mails[0].find("activity report") == std::string::npos);
    for (const char* part :
         {"\nMessagesTotal=7;\nUnrated=1;\nGivenUp=1;\n", "\nNormalShutdown=YES;\nScores={\n\"0\"=1;\n\"45\"=1;\n"
          "\"90\"=1;\n\"100\"=2;\n};\nSources={\n\"s1\"=2;\n\"s2\"=1;\n};\nTargets={\n\"x@a\"=3;\n\"y@a\"=1;\n};\n",
          "\n    0          1\n 1-39          0\n40-76          1\n77-84          0\n85-90          1\n"
          "91-99          0\n  100          2\nunrated        1\ngiven up       1\n-----------------\n"
          "               7 messages rated\n", "      2  66.66%  s1\n      1  33.33%  s2\n",
          "      3  75.00%  x@a\n      1  25.00%  y@a\n", "\n          4   57.14%         0          0 ",
          "\n          3   42.85%         0          0 ", "{outcome=\"rated\"} 5\n", "{outcome=\"unrated\"} 1\n",
          "{outcome=\"rejected\"} 1\n", "velmora_rating_sum 335\n", "velmora_request_handling_seconds_count 7\n",
          "velmora_stuck_scans_total 1\n"})
        EXPECT_NE((dump + report + metrics).find(part), std::string::npos) << part << dump << report << metrics;
    // Handling times 100, 300, 100, 300, 100, 300 + 100 ms and the stuck scan's seconds, alike in all three.
    const double min = Number(dump, "TimeMin="), max = Number(dump, "TimeMax="), sum = Number(dump, "TimeTotal=");
    EXPECT_TRUE(min >= 100 && min < 300 && max >= 2000 && max <= 4000 && sum >= 1300 + max && sum < 2300 + max);
    for (const auto& [key, ms] : {std::pair{"Min:", min}, std::pair{"Max:", max}, std::pair{"Avg:", sum / 7}})
        EXPECT_NEAR(Number(report, key) * 1000, ms, 1) << key;
    EXPECT_NEAR(Number(metrics, "velmora_request_handling_seconds_sum "), sum / 1000, 0.01);
    // Each host's time, in the report's table and in the metrics.
    for (const auto& [host, ms] : {std::pair{spamd.SocketPath(), 400}, std::pair{b.SocketPath(), 900}}) {
        const double seconds = Number(metrics, "exchange_seconds_total{engine=\"spamd\",host=\"" + host + "\"} ");
        EXPECT_TRUE(seconds >= ms / 1000.0 && seconds < ms / 1000.0 + 0.5) << seconds;
        EXPECT_NEAR(Number(report.substr(report.rfind('\n', report.find(host + "\n"))), "0          0"), seconds, .005);
    }
}
