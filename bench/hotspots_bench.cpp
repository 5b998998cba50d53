// hotspots_bench - timings of the in-process work that grows with traffic:
// counting sources and targets, the periodic statistics dump, the daily
// report, the verdict reply with its recording, reading a large
// dictionary file, and rspamd's verdict with many symbols (the time must
// grow linearly with the symbols: 1,000 / 10,000 / 100,000).
//
// Everything the plugin would write to the host goes to /dev/null; files go
// into a temporary working directory that is removed at the end.

#include <fcntl.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "app/answers.h"
#include "base/output.h"
#include "base/system.h"
#include "config/dictionary.h"
#include "config/paths.h"
#include "config/settings.h"
#include "protocol/request.h"
#include "rating/rspamd_protocol.h"
#include "reports/daily.h"
#include "stats/dump.h"
#include "stats/ranked_list.h"
#include "stats/recorder.h"
#include "stats/statistics.h"

namespace {

namespace fs = std::filesystem;

std::string benchDir;
Statistics statistics;
Counters counters;
Recorder recorder{statistics, counters};
DailyReporter dailyReports;

// Names that stay distinct under the list's own order: addresses by their
// text, sources by the first three numbers of their bracket.
std::string TargetName(size_t i)
{
    char name[64];
    snprintf(name, sizeof name, "user%zu@target%zu.example", i, i % 97);
    return name;
}

std::string SourceName(size_t i)
{
    char name[32];
    snprintf(name, sizeof name, "[%zu.%zu.%zu.1]", (i >> 16) & 255, (i >> 8) & 255, i & 255);
    return name;
}

// DictionaryEntry - one "  "name" = count;" line of a dump.
std::string DictionaryEntry(const std::string& name, size_t count)
{
    char line[96];
    snprintf(line, sizeof line, "  \"%s\" = %zu;\n", name.c_str(), count);
    return line;
}

void FillLists(size_t sources, size_t targets)
{
    StatisticsSnapshot s;
    for (size_t i = 0; i < sources; i++)
        ReportAddItem(&s.sources, SourceName(i), static_cast<int>(1 + i % 7));
    for (size_t i = 0; i < targets; i++)
        ReportAddItem(&s.targets, TargetName(i), static_cast<int>(1 + i % 5));
    s.nScannedMessagesTotal = 250000;
    s.scanTimeMin = 3;
    s.scanTimeMax = 900;
    s.scanTimeTotal = 250000 * 80ULL;
    for (int rating = 0; rating < kRatings; rating++)
        s.msgStat[static_cast<size_t>(rating)] = 1000 + rating;
    statistics.Restore(std::move(s));
}

std::string SettingsFileText(const std::string& submitted)
{
    return "Header = \"X-Junk-Score: ^1 [^2]\\eX-SA-Score: ^1 [^2]\";\n"
           "AlertLevel = 100;\n"
           "AlertHeader = \"X-Alert: possible spam!\\eX-Color: red\";\n"
           "SocketPath = \"/nonexistent/spamd.sock\";\n"
           "BarScoreRanges = (0, 39, 76, 84, 90, 99, 100);\n"
           "SubmittedDirectory = \"" + submitted + "\";\n"
           "StatDumpInterval = 10;\n"
           "DailyReport = { Enabled = YES; From = \"spam-report@example.com\"; To = postmaster; "
           "Subject = \"Daily spam report ^1\"; ExtraHeaders = \"X-Auto-Generated: report\"; "
           "ReportSourcesMax = 1000; ReportTargetsMax = 1000; };\n"
           "EventsReports = { From = \"spam-plugin@example.com\"; To = postmaster; };\n";
}

void SetUp()
{
    char pattern[] = "/tmp/vsa-bench-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        perror("mkdtemp");
        exit(1);
    }
    benchDir = pattern;
    fs::create_directories(benchDir + "/Submitted");
    SetWorkPath(benchDir + "/");
    SetStartupTime(Now() - 3 * 3600);

    int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    SetOutputDescriptor(null);

    Settings settings;
    settings.submittedDirName = benchDir + "/Submitted";
    settings.statDumpInterval = 10;
    settings.statDumpFileName = "statistics.dat";
    std::string text = SettingsFileText(settings.submittedDirName);
    settings.pConf = cfgfReadConfigText(text, ConfigFilePath());
    PublishSettings(std::move(settings));
}

void RemoveReports()
{
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(benchDir + "/Submitted", ignored))
        fs::remove(entry.path(), ignored);
}

// ReportAddItem: 1,000,000 distinct recipient addresses into an empty list.
void BM_ReportAddItemMillionNames(benchmark::State& state)
{
    std::vector<std::string> names;
    names.reserve(1000000);
    for (size_t i = 0; i < 1000000; i++)
        names.push_back(TargetName(i));
    reportObject list;
    for (auto _ : state) {
        state.PauseTiming();
        ReportClearList(&list);
        state.ResumeTiming();
        for (const std::string& name : names)
            ReportAddItem(&list, name, 1);
    }
    state.counters["entries"] = list.nItems();
}
BENCHMARK(BM_ReportAddItemMillionNames)->Unit(benchmark::kMillisecond)->Iterations(3);

// One forced statistics dump with 100,000 sources and 100,000 targets; a new
// name before each dump makes it order the lists again, as in service.
void BM_DumpReportData(benchmark::State& state)
{
    FillLists(100000, 100000);
    std::vector<std::string_view> sources, targets;
    std::vector<std::string> names;
    for (auto _ : state) {
        state.PauseTiming();
        names = {SourceName(100000 + names.size()), TargetName(100000 + names.size())};
        sources = {names[0]};
        targets = {names[1]};
        statistics.RecordMessage({.rating = 100, .spam = true, .sources = &sources, .targets = &targets});
        state.ResumeTiming();
        StatisticsSnapshot snapshot = statistics.Snapshot();
        DumpReportData(*CurrentSettings(), snapshot, Now(), true);
    }
    std::error_code missing;
    uintmax_t bytes = fs::file_size(WorkPath() + "statistics.dat", missing);
    state.counters["dump_bytes"] = missing ? 0.0 : static_cast<double>(bytes);
}

// The time that one message's record waits while a dump copies the lists:
// how long rating stalls behind a dump of 100,000 sources and targets.
void BM_RecordDuringDump(benchmark::State& state)
{
    FillLists(100000, 100000);
    for (auto _ : state) {
        StatisticsSnapshot copy = statistics.Snapshot();
        benchmark::DoNotOptimize(copy);
    }
}
BENCHMARK(BM_RecordDuringDump)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_DumpReportData)->Unit(benchmark::kMillisecond)->Iterations(5);

// One daily report (forced, as at shutdown) over 100,000 sources and targets.
void BM_DailyReport(benchmark::State& state)
{
    for (auto _ : state) {
        state.PauseTiming();
        RemoveReports();
        FillLists(100000, 100000);
        state.ResumeTiming();
        dailyReports.Offer(statistics, *CurrentSettings(), Now(), true);
    }
    state.counters["report_files"] = static_cast<double>(
        std::distance(fs::directory_iterator(benchDir + "/Submitted"), fs::directory_iterator()));
    RemoveReports();
}
BENCHMARK(BM_DailyReport)->Unit(benchmark::kMillisecond)->Iterations(3);

// The verdict reply of one rated message and its recording, ratings 0 to 100 in turn.
void BM_AnswerScan(benchmark::State& state)
{
    std::shared_ptr<const Settings> settings = CurrentSettings();
    FileRequest request;
    ScanResult result;
    result.verdict = ScanVerdict::Rated;
    for (auto _ : state) {
        request.Assign("1234567", "/var/spool/queue/1234567.msg");
        AnswerScan(recorder, request, result, *settings, 0.001);
        result.rating = result.record.rating = result.rating == 100 ? 0 : result.rating + 1;
    }
}
BENCHMARK(BM_AnswerScan);

// Reading a 1 MB dictionary file: a statistics dump of many sources and targets.
void BM_cfgfReadConfigText(benchmark::State& state)
{
    std::string text = "Date = \"Mon, 5 Jan 2026 00:00:10\";\nSources = {\n";
    size_t i = 0;
    for (; text.size() < 500000; i++)
        text += DictionaryEntry(SourceName(i), 1 + i % 9);
    text += "};\nTargets = {\n";
    i = 0;
    for (; text.size() < 1000000; i++)
        text += DictionaryEntry(TargetName(i), 1 + i % 9);
    text += "};\n";
    size_t entries = 0;
    for (auto _ : state) {
        std::unique_ptr<cfgfItem> tree = cfgfReadConfigText(text, "bench.dat");
        entries = tree ? static_cast<size_t>(tree->count) : 0;
        benchmark::DoNotOptimize(tree);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(text.size()));
    state.counters["top_entries"] = static_cast<double>(entries);
}
BENCHMARK(BM_cfgfReadConfigText)->Unit(benchmark::kMillisecond);

// rspamd's /checkv2 reply with state.range(0) symbols, in rspamd's layout.
void BM_ParseRspamdVerdict(benchmark::State& state)
{
    std::string json = "{\"is_skipped\":false,\"score\":20.0,\"required_score\":15.0,\"action\":\"reject\","
                       "\"symbols\":{";
    for (int64_t n = 0; n < state.range(0); n++) {
        const std::string name = "SYMBOL_" + std::to_string(n);
        json += "\"" + name + "\":{\"name\":\"" + name + "\",\"score\":0.100000,\"metric_score\":0.1},";
    }
    json.back() = '}';
    json += ",\"messages\":{},\"message-id\":\"undef\"}";
    for (auto _ : state)
        benchmark::DoNotOptimize(ParseRspamdVerdict(json));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * json.size()));
}
BENCHMARK(BM_ParseRspamdVerdict)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    SetUp();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::error_code ignored;
    fs::remove_all(benchDir, ignored);
    return 0;
}
