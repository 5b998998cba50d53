#include "reports/daily.h"

#include <sys/resource.h>

#include <algorithm>
#include <cstdlib>
#include <mutex>

#include "base/output.h"
#include "base/system.h"
#include "base/text.h"
#include "reports/drop.h"
#include "stats/ranked_list.h"

namespace {

constexpr int64_t kDefaultListMax = 1000;
constexpr int64_t kSmallestListMax = 3;

bool SwitchedOff(const char* value) { return value != nullptr && (value[0] == 'N' || value[0] == 'n'); }

const char* ValueOr(const cfgfItem* dict, const char* key, const char* fallback)
{
    const char* value = cfgfGetDictValueStr(dict, key);
    return value != nullptr ? value : fallback;
}

int64_t ListMax(const cfgfItem* dict, const char* key)
{
    const char* value = cfgfGetDictValueStr(dict, key);
    if (value == nullptr)
        return kDefaultListMax;
    return std::max<int64_t>(strtoll(value, nullptr, 10), kSmallestListMax);
}

}  // namespace

ProcessorTimes OwnProcessorTimes()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    ProcessorTimes times;
    times.userMs = int64_t{usage.ru_utime.tv_sec} * 1000 + usage.ru_utime.tv_usec / 1000;
    times.systemMs = int64_t{usage.ru_stime.tv_sec} * 1000 + usage.ru_stime.tv_usec / 1000;
    return times;
}

namespace {

void WriteScoreTable(FILE* f, const std::vector<int>& scoreRange, const StatisticsSnapshot& s)
{
    fputs("Spam Scores:\n\n", f);
    fputs("Range   Messages\n", f);
    for (size_t i = 0; i < scoreRange.size(); i++) {
        const int bound = scoreRange[i];
        const int low = i == 0 ? 0 : scoreRange[i - 1] + 1;
        int64_t count = 0;
        for (int rating = std::max(low, 0); rating <= std::min(bound, kRatings - 1); rating++)
            count += s.msgStat[static_cast<size_t>(rating)];
        const int shown = static_cast<int>(std::min<int64_t>(count, INT32_MAX));
        if (i == 0 && bound != 0)
            fprintf(f, " 0-%5d %10d\n", bound, shown);
        else if (i > 0 && bound != 0 && bound != scoreRange[i - 1] + 1)
            fprintf(f, "%2d-%2d %10d\n", low, bound, shown);
        else
            fprintf(f, "  %3d %10d\n", bound, shown);
    }
    // Messages that no engine rated are not in the ranges: rating 0 means clean.
    if (s.nUnratedMessages != 0)
        fprintf(f, "unrated %8d\n", s.nUnratedMessages);
    if (s.nGivenUpMessages != 0)
        fprintf(f, "given up %7d\n", s.nGivenUpMessages);
    fputs("-----------------\n", f);
    fprintf(f, "      %10d messages rated\n\n", s.nScannedMessagesTotal);
}

void WriteScanningTimes(FILE* f, const StatisticsSnapshot& s)
{
    if (s.nScannedMessagesTotal <= 0)
        return;
    const auto ms = [](uint64_t value) { return static_cast<int64_t>(std::min(value, kMaxScanTime)); };
    const int64_t average = ms(s.scanTimeTotal) / s.nScannedMessagesTotal;
    const auto seconds = [](int64_t value) { return static_cast<long long>(value / 1000); };
    const auto millis = [](int64_t value) { return static_cast<int>(value % 1000); };
    fputs("Scanning time:\n", f);
    fprintf(f, "Min: %3lld.%03d sec.\n", seconds(ms(s.scanTimeMin)), millis(ms(s.scanTimeMin)));
    fprintf(f, "Avg: %3lld.%03d sec.\n", seconds(average), millis(average));
    fprintf(f, "Max: %3lld.%03d sec.\n\n", seconds(ms(s.scanTimeMax)), millis(ms(s.scanTimeMax)));
}

// WriteResourceUsage - processor time since the previous report and its share
// of one processor over the period, in thousandths of a per cent.
void WriteResourceUsage(FILE* f, int64_t periodSeconds, ProcessorTimes used)
{
    // A period decided in the second it began counts as one second, so the
    // shares stay finite.
    const int64_t p = std::max<int64_t>(periodSeconds, 1);
    const int64_t userDelta = used.userMs;
    const int64_t systemDelta = used.systemMs;
    const int64_t userShare = userDelta * 100 / p;
    const int64_t systemShare = systemDelta * 100 / p;
    fputs("Resource usage:\n", f);
    fprintf(f, "User:   %3ld.%03ld sec.  %3ld.%03ld%% \n", static_cast<long>(userDelta / 1000),
            static_cast<long>(userDelta % 1000), static_cast<long>(userShare / 1000),
            static_cast<long>(userShare % 1000));
    fprintf(f, "System: %3ld.%03ld sec.  %3ld.%03ld%%\n\n", static_cast<long>(systemDelta / 1000),
            static_cast<long>(systemDelta % 1000), static_cast<long>(systemShare / 1000),
            static_cast<long>(systemShare % 1000));
}

void WriteConcurrency(FILE* f, const StatisticsSnapshot& s)
{
    // No sample since the previous report: nothing ran that anyone saw.
    const int64_t average = s.nActiveThreadsChecks > 0 ? s.nActiveThreadsTotal * 1000 / s.nActiveThreadsChecks : 0;
    fprintf(f, "Average concurrent scans: %ld.%03ld\n\n", static_cast<long>(average / 1000),
            static_cast<long>(average % 1000));
}

// WriteEngineHosts - each host of the farm with its exchanges, its share of
// them, its failures, time-outs, the time spent with it and whether it is up
// now; hosts that a reload removed follow those configured.
void WriteEngineHosts(FILE* f, const std::vector<EngineHost>& configured, const StatisticsSnapshot& s,
                     const std::vector<HostStatus>& hosts)
{
    struct Row {
        std::string_view name;
        EngineHostFigures figures;
        const char* state;
    };
    const auto stateOf = [&hosts](std::string_view name) {
        for (const HostStatus& host : hosts)
            if (host.name == name)
                return host.up ? "up" : "down";
        return "-";
    };
    std::vector<Row> rows;
    for (const EngineHost& host : configured) {
        const auto found = s.spamdHosts.find(host.name);
        const EngineHostFigures figures = found != s.spamdHosts.end() ? found->second : EngineHostFigures{};
        rows.push_back({host.name, figures, stateOf(host.name)});
    }
    for (const auto& [name, figures] : s.spamdHosts)
        if (std::none_of(configured.begin(), configured.end(),
                         [&name](const EngineHost& host) { return host.name == name; }))
            rows.push_back({name, figures, "-"});
    int64_t total = 0;
    for (const Row& row : rows)
        total += row.figures.exchanges;
    fputs("spamd hosts:\n\n", f);
    fputs("  Exchanges    Share  Failures  Time-outs         Time  State  Host\n", f);
    for (const auto& [name, figures, state] : rows) {
        const int64_t share = total > 0 ? figures.exchanges * 10000 / total : 0;
        const int64_t ms = static_cast<int64_t>(std::min(figures.milliseconds, kMaxScanTime));
        fprintf(f, "%11lld  %3d.%02d%%  %8lld  %9lld  %7lld.%03d s  %-5s  %.*s\n",
                static_cast<long long>(figures.exchanges), static_cast<int>(share / 100),
                static_cast<int>(share % 100), static_cast<long long>(figures.failures),
                static_cast<long long>(figures.timeouts), static_cast<long long>(ms / 1000),
                static_cast<int>(ms % 1000), state, static_cast<int>(name.size()), name.data());
    }
    fputs("-----------------\n", f);
    fprintf(f, "%11lld exchanges\n\n", static_cast<long long>(total));
}

struct ListSection {
    const char* title;   // "Sources"
    const char* column;  // "Source"
    const char* noun;    // "sources"
};

// WriteRankedList - the leading entries of a list by count.
void WriteRankedList(FILE* f, reportObject& list, int64_t max, const ListSection& section)
{
    ReportSortList(&list);
    fprintf(f, "\n\nSpam %s:\n\n", section.title);
    fprintf(f, "      #       %%  %s\n", section.column);
    const std::vector<reportItem>& entries = list.Entries();
    const int64_t n = std::min<int64_t>(list.nItems(), max);
    for (int64_t i = 0; i < n; i++) {
        const reportItem& entry = entries[static_cast<size_t>(i)];
        // A restored dump can hold zero counts only; their share is 0.
        const int64_t share = list.total > 0 ? int64_t{entry.count} * 10000 / list.total : 0;
        fprintf(f, "%7d %3d.%02d%%  %s\n", entry.count, static_cast<int>(share / 100), static_cast<int>(share % 100),
                entry.name.c_str());
    }
    if (list.nItems() > max)
        fprintf(f, "      (... %ld %s truncated)\n", static_cast<long>(list.nItems() - max), section.noun);
    fputs("-----------------\n", f);
    fprintf(f, "%7d %s total\n\n", list.total, section.noun);
}

}  // namespace

void WriteDailyReport(FILE* f, const Settings& settings, const cfgfItem* dict, StatisticsSnapshot& s, time_t now,
                      ProcessorTimes used, const std::vector<HostStatus>& hosts)
{
    const time_t periodStart = s.periodStart;
    const time_t started = StartupTime();

    WriteReportHeader(f, ValueOr(dict, "From", kDefaultReportFrom), ValueOr(dict, "To", kDefaultReportTo),
                      cfgfGetDictValueStr(dict, "Subject"),
                      ValueOr(dict, "ExtraHeaders", kDefaultReportExtraHeaders), periodStart);
    fputs("Velmora SpamAssassin plugin activity report.\n\n", f);
    fprintf(f, "Period start: %s\n", mkDate(periodStart).c_str());
    fprintf(f, "Period end: %s\n\n", mkDate(now).c_str());

    const int64_t up = now - started;
    fprintf(f, "Uptime: %dd %02dh %02dm %02ds\n\n", static_cast<int>(up / 86400), static_cast<int>(up / 3600 % 24),
            static_cast<int>(up / 60 % 60), static_cast<int>(up % 60));

    if (periodStart < started) {
        // The period was begun by an earlier run; when that run ended without
        // an orderly shutdown its last dump tells about when.
        fputs("Warning: the daily statistics may be inaccurate because the plugin\nwas restarted", f);
        if (s.restartTime != 0)
            fprintf(f, " somewhere around %s\n\n", mkDate(s.restartTime).c_str());
        else
            fputs(" during the reporting period.\n\n", f);
    }

    WriteScoreTable(f, settings.scoreRange, s);
    WriteScanningTimes(f, s);
    WriteResourceUsage(f, now - std::max(started, periodStart), used);
    WriteConcurrency(f, s);
    if (!settings.spamd.single)
        WriteEngineHosts(f, settings.spamd.hosts, s, hosts);
    if (!SwitchedOff(cfgfGetDictValueStr(dict, "ReportSources")))
        WriteRankedList(f, s.sources, ListMax(dict, "ReportSourcesMax"), {"Sources", "Source", "sources"});
    if (!SwitchedOff(cfgfGetDictValueStr(dict, "ReportTargets")))
        WriteRankedList(f, s.targets, ListMax(dict, "ReportTargetsMax"), {"Targets", "Target", "targets"});
}

void DailyReporter::Offer(Statistics& statistics, const Settings& settings, time_t now, bool force,
                          const std::vector<HostStatus>& hosts)
{
    std::lock_guard lock(mutex);
    tm local{};
    localtime_r(&now, &local);
    time_t periodStart = statistics.PeriodStart();
    // A period that no start-up began (a test's) began with the process.
    if (periodStart == 0)
        periodStart = StartupTime();

    // One report a night, and none in the night the plugin was started in the hour 0.
    if (local.tm_hour > 0)
        canMakeReport = true;
    if (!force && (local.tm_hour != 0 || !canMakeReport))
        return;
    canMakeReport = false;

    // A quiet period shorter than an hour is not worth a mail; at midnight
    // the night's chance is spent all the same.
    if (statistics.MessagesTotal() == 0 && now - periodStart < 3600)
        return;

    const cfgfItem* dict = cfgfGetDictValue(settings.pConf.get(), "DailyReport", cfgfDictionary);
    // Switched off: the period start moves on, the statistics run on.
    if (SwitchedOff(cfgfGetDictValueStr(dict, "Enabled"))) {
        statistics.MovePeriodStart(now);
        return;
    }
    PrintMsg("* Generating daily report message\n");
    std::string name;
    ReportFile file = OpenTempFile(settings.submittedDirName, "reportSA_", ".tmp", name);
    if (!file) {
        PrintMsg("* Can't make the daily report: failed to create file %s\n", name.c_str());
        return;
    }
    StatisticsSnapshot period = statistics.TakePeriod(now, local.tm_hour == 0);
    if (period.periodStart == 0)
        period.periodStart = periodStart;
    const ProcessorTimes times = processorTimes();
    const ProcessorTimes used{times.userMs - previous.userMs, times.systemMs - previous.systemMs};
    WriteDailyReport(file.get(), settings, dict, period, now, used, hosts);
    if (!ReleaseReport(std::move(file), name)) {
        // The counts of a report that never reached anyone are not thrown away.
        statistics.GiveBack(std::move(period));
        return;
    }
    previous = times;
}

void CheckDailyReportSettings(const cfgfItem* conf)
{
    const cfgfItem* dict = cfgfGetDictValue(conf, "DailyReport", cfgfDictionary);
    for (const char* key : {"Enabled", "From", "To", "Subject", "ExtraHeaders", "ReportSources", "ReportSourcesMax",
                            "ReportTargets", "ReportTargetsMax"})
        cfgfGetDictValueStr(dict, key);
}
