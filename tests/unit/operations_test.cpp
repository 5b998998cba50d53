// What administrators operate with: the metrics text and its file, the
// settings written back in the file's syntax, and the whitelist lines that
// the check reports.
#include <gtest/gtest.h>

#include "config/dictionary.h"
#include "config/settings.h"
#include "output_capture.h"
#include "plugin_process.h"
#include "prometheus_text.h"
#include "rating/whitelist.h"
#include "reports/metrics_file.h"

static bool HasLine(const std::string& text, const std::string& line) { return text.find("\n" + line + "\n") != std::string::npos; }

TEST(Metrics, CountersBecomeTheTextFormat)
{
    Counters counters;
    counters.CountMessage(RequestOutcome::Rated, 0, 0.003);
    counters.CountMessage(RequestOutcome::Rated, 45, 0.25);
    counters.CountMessage(RequestOutcome::Rated, 150, 5000.0);
    for (RequestOutcome outcome :
         {RequestOutcome::Whitelisted, RequestOutcome::Unrated, RequestOutcome::Failed, RequestOutcome::Rejected})
        counters.CountRequest(outcome);
    counters.CountExchange("/run/spamd\"1\".sock", ExchangeOutcome::Rated, 0.25);
    counters.CountExchange("/run/spamd\"1\".sock", ExchangeOutcome::Cut, 0.5);
    counters.CountCrash();
    counters.CountReload();
    counters.CountReload();
    MetricsSample sample{counters.Snapshot(), {0, 39, 30, 99, 100, 200}, {}, 2, 1, 10, 1700000000, "0.3"};
    sample.hosts = {counters.HostSample("/run/spamd\"1\".sock"), counters.HostSample("other")};
    sample.hosts[0].up = false;
    sample.hosts[1].engine = "rspamd";
    const std::string text = FormatMetrics(sample);
    EXPECT_EQ(ExpositionProblems(text), std::vector<std::string>{}) << text;
    for (const char* line :
         {"velmora_build_info{version=\"0.3\"} 1", "velmora_start_time_seconds 1700000000",
          "velmora_requests_total{outcome=\"rated\"} 3", "velmora_requests_total{outcome=\"whitelisted\"} 1",
          "velmora_requests_total{outcome=\"failed\"} 1", "velmora_requests_total{outcome=\"rejected\"} 1",
          "velmora_requests_total{outcome=\"unrated\"} 1",
          "velmora_rating_bucket{le=\"0\"} 1", "velmora_rating_bucket{le=\"39\"} 1",
          "velmora_rating_bucket{le=\"99\"} 2", "velmora_rating_bucket{le=\"100\"} 3",
          "velmora_rating_bucket{le=\"+Inf\"} 3", "velmora_rating_sum 145", "velmora_rating_count 3",
          "velmora_request_handling_seconds_bucket{le=\"0.005\"} 1",
          "velmora_request_handling_seconds_bucket{le=\"0.25\"} 2",
          "velmora_request_handling_seconds_bucket{le=\"1200\"} 2",
          "velmora_request_handling_seconds_bucket{le=\"+Inf\"} 3", "velmora_request_handling_seconds_sum 5000.253",
          "velmora_request_handling_seconds_count 3", "velmora_queue_length 2", "velmora_busy_threads 1",
          "velmora_scanning_threads 10", "velmora_spamd_up{engine=\"spamd\",host=\"/run/spamd\\\"1\\\".sock\"} 0",
          "velmora_spamd_up{engine=\"rspamd\",host=\"other\"} 1", "velmora_spamd_hosts_up 1",
          "velmora_spamd_exchanges_total{engine=\"spamd\",host=\"/run/spamd\\\"1\\\".sock\",outcome=\"cut\"} 1",
          "velmora_spamd_exchanges_total{engine=\"spamd\",host=\"/run/spamd\\\"1\\\".sock\",outcome=\"rated\"} 1",
          "velmora_spamd_exchange_seconds_total{engine=\"spamd\",host=\"/run/spamd\\\"1\\\".sock\"} 0.75",
          "velmora_spamd_exchange_seconds_total{engine=\"rspamd\",host=\"other\"} 0", "velmora_crashes_total 1",
          "velmora_stuck_scans_total 0", "velmora_reloads_total 2"})
        EXPECT_TRUE(HasLine(text, line)) << line << "\n" << text;
    EXPECT_FALSE(HasLine(text, "velmora_rating_bucket{le=\"30\"} 1"));  // a bound out of order is left out
    EXPECT_EQ(ExpositionProblems("# HELP velmora_x_total x\n# TYPE velmora_x_total counter\nvelmora_x_total 1 17\n"
                                 "# HELP velmora_y y\n# TYPE velmora_y counter\nvelmora_x_total 2"),
              (std::vector<std::string>{"lines must end with \\n, the last one too",
                                        "not one value (a timestamp?): velmora_x_total 1 17",
                                        "counter without _total: velmora_y", "samples of velmora_x_total are not in one group"}));
}

TEST(Metrics, TheFileIsReplacedWholeOrNotAtAll)
{
    TempDir dir;
    std::string error;
    ASSERT_TRUE(WriteMetricsFile(dir.File("v.prom"), "old\n", error));
    ASSERT_TRUE(WriteMetricsFile(dir.File("v.prom"), "new\n", error));
    EXPECT_EQ(ReadFileText(dir.File("v.prom")), "new\n");
    EXPECT_EQ(ListDirectory(dir.Path()), std::vector<std::string>{"v.prom"});
    EXPECT_FALSE(WriteMetricsFile(dir.File("gone/v.prom"), "x\n", error));
    EXPECT_TRUE(error.starts_with(dir.File("gone/v.prom.")) && error.ends_with(".tmp: No such file or directory"))
        << error;
    Settings settings;
    EXPECT_EQ(MetricsFilePath(settings), "");
    settings.metricsFile = "/var/lib/x.prom";
    EXPECT_EQ(MetricsFilePath(settings), "/var/lib/x.prom");
}

TEST(SettingsSyntax, TreesAndSettingsAreWrittenBackAsTheReaderReadsThem)
{
    const std::string text = "A = plain;\nB = \"two words \\\"q\\\" \\\\ \\e\";\nC = (1, \"\", x);\nD = {\n"
                             "    E = {\n    };\n    \"F G\" = 1;\n};\n";
    OutputCapture capture;
    const std::unique_ptr<cfgfItem> tree = cfgfReadConfigText(text, "t");
    ASSERT_TRUE(tree);
    EXPECT_EQ(cfgfFormatItem(*tree), text);

    Settings settings;
    settings.pMainHeader = "X-S: ^1\\eX-T: \"^2\"";
    settings.onProblemMode = OnProblemIgnore;
    settings.scoreRange = {5, 50};
    settings.metricsFile = "/m/v.prom";
    settings.pConf = cfgfReadConfigText("DailyReport = { Enabled = NO; }; EventsReports = { From = a; };", "t");
    const std::string written = cfgfFormatItem(*SettingsTree(settings));
    const int errors = cfgfErrorCount();
    const Settings back = ApplySettingsTree(Settings(), cfgfReadConfigText(written, "t"), "t");
    EXPECT_EQ(capture.Text(), "");
    EXPECT_EQ(cfgfErrorCount(), errors);
    EXPECT_EQ(cfgfFormatItem(*SettingsTree(back)), written);
    EXPECT_NE(written.find("OnProblem = Ignore;\nBarScoreRanges = (5, 50);"), std::string::npos) << written;
    EXPECT_TRUE(IsSettingsKey("MetricsFile"));
    EXPECT_FALSE(IsSettingsKey("SocketPth"));
}

TEST(WhitelistCheck, LinesThatCanNeverMatchAreNamed)
{
    const struct {
        std::string line;
        const char* problem;
    } table[] = {{"*@example.org", ""},
                 {"ab", "is shorter than 3 characters and is ignored"},
                 {"a b@example.org", "holds a blank or an angle bracket, which no sender address holds"},
                 {"<a@example.org>", "holds a blank or an angle bracket, which no sender address holds"},
                 {std::string(1023, 'a'), "is longer than 1022 characters, the longest sender address compared"}};
    for (const auto& row : table)
        EXPECT_EQ(WhitelistLineProblem(row.line), row.problem) << row.line;
}
