#include "reports/daily.h"

#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>

#include "config/settings.h"
#include "protocol/output.h"
#include "protocol/process.h"
#include "protocol/system.h"
#include "protocol/text.h"
#include "reports/drop.h"
#include "stats/ranked_list.h"
#include "stats/record.h"

namespace {

// Armed by any pass outside the hour 0, consumed by the report: one report a
// night, and none in the night the plugin was started in the hour 0.
std::atomic<bool> canMakeReport{false};

// The report's settings and the processor times at the previous report;
// guarded by reportMutex like the record they describe.
bool doReportSources = true;
bool doReportTargets = true;
int64_t ReportSourcesMax = 1000;
int64_t ReportTargetsMax = 1000;
int64_t uTimePrev = 0;
int64_t sTimePrev = 0;

std::atomic<ProcessorTimes (*)()> processorTimesSource{nullptr};

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

ProcessorTimes OwnProcessorTimes()
{
    if (ProcessorTimes (*source)() = processorTimesSource.load())
        return source();
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    ProcessorTimes times;
    times.userMs = int64_t{usage.ru_utime.tv_sec} * 1000 + usage.ru_utime.tv_usec / 1000;
    times.systemMs = int64_t{usage.ru_stime.tv_sec} * 1000 + usage.ru_stime.tv_usec / 1000;
    return times;
}

void WriteScoreTable(FILE* f, const std::vector<int>& scoreRange)
{
    fputs("Spam Scores:\n\n", f);
    fputs("Range   Messages\n", f);
    for (size_t i = 0; i < scoreRange.size(); i++) {
        const int bound = scoreRange[i];
        const int low = i == 0 ? 0 : scoreRange[i - 1] + 1;
        int count = 0;
        for (int rating = std::max(low, 0); rating <= std::min(bound, kRatings - 1); rating++)
            count += msgStat[rating];
        if (i == 0 && bound != 0)
            fprintf(f, " 0-%5d %10d\n", bound, count);
        else if (i > 0 && bound != 0 && bound != scoreRange[i - 1] + 1)
            fprintf(f, "%2d-%2d %10d\n", low, bound, count);
        else
            fprintf(f, "  %3d %10d\n", bound, count);
    }
    fputs("-----------------\n", f);
    fprintf(f, "      %10d messages rated\n\n", nScannedMessagesTotal);
}

void WriteScanningTimes(FILE* f)
{
    if (nScannedMessagesTotal == 0)
        return;
    const int64_t average = static_cast<int64_t>(scanTimeTotal) / nScannedMessagesTotal;
    const auto seconds = [](int64_t ms) { return static_cast<int>(ms / 1000); };
    const auto millis = [](int64_t ms) { return static_cast<int>(ms % 1000); };
    fputs("Scanning time:\n", f);
    fprintf(f, "Min: %3d.%03d sec.\n", seconds(static_cast<int64_t>(scanTimeMin)),
            millis(static_cast<int64_t>(scanTimeMin)));
    fprintf(f, "Avg: %3d.%03d sec.\n", seconds(average), millis(average));
    fprintf(f, "Max: %3d.%03d sec.\n\n", seconds(static_cast<int64_t>(scanTimeMax)),
            millis(static_cast<int64_t>(scanTimeMax)));
}

// WriteResourceUsage - processor time since the previous report and its share
// of one processor over the period, in thousandths of a per cent.
void WriteResourceUsage(FILE* f, int64_t periodSeconds)
{
    // A period decided in the second it began counts as one second, so the
    // shares stay finite.
    const int64_t p = std::max<int64_t>(periodSeconds, 1);
    const ProcessorTimes times = OwnProcessorTimes();
    const int64_t userDelta = times.userMs - uTimePrev;
    const int64_t systemDelta = times.systemMs - sTimePrev;
    uTimePrev = times.userMs;
    sTimePrev = times.systemMs;
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

void WriteConcurrency(FILE* f)
{
    // No sample since the previous report: nothing ran that anyone saw.
    const int64_t average = nActiveThreadsChecks != 0 ? nActiveThreadsTotal * 1000 / nActiveThreadsChecks : 0;
    fprintf(f, "Average concurrent scans: %ld.%03ld\n\n", static_cast<long>(average / 1000),
            static_cast<long>(average % 1000));
}

void ResetPeriodCounters()
{
    std::fill(std::begin(msgStat), std::end(msgStat), 0);
    nScannedMessagesTotal = 0;
    scanTimeTotal = 0;
    scanTimeMax = 0;
    scanTimeMin = 0;
    nActiveThreadsChecks = 0;
    nActiveThreadsTotal = 0;
}

struct ListSection {
    const char* title;   // "Sources"
    const char* column;  // "Source"
    const char* noun;    // "sources"
};

// WriteRankedList - the leading entries of a list by count; the list is
// emptied whether or not it is shown.
void WriteRankedList(FILE* f, reportObject* list, bool shown, int64_t max, const ListSection& section)
{
    if (shown) {
        ReportSortList(list);
        fprintf(f, "\n\nSpam %s:\n\n", section.title);
        fprintf(f, "      #       %%  %s\n", section.column);
        const std::vector<reportItem>& entries = list->Entries();
        const int64_t n = std::min<int64_t>(list->nItems(), max);
        for (int64_t i = 0; i < n; i++) {
            const reportItem& entry = entries[static_cast<size_t>(i)];
            // A restored dump can hold zero counts only; their share is 0.
            const int64_t share = list->total != 0 ? int64_t{entry.count} * 10000 / list->total : 0;
            fprintf(f, "%7d %3d.%02d%%  %s\n", entry.count, static_cast<int>(share / 100),
                    static_cast<int>(share % 100), entry.name.c_str());
        }
        if (list->nItems() > max)
            fprintf(f, "      (... %ld %s truncated)\n", static_cast<long>(list->nItems() - max), section.noun);
        fputs("-----------------\n", f);
        fprintf(f, "%7d %s total\n\n", list->total, section.noun);
    }
    ReportClearList(list);
}

// WriteDailyReport - the report message for the period ending at now; the
// caller holds reportMutex.
void WriteDailyReport(const Settings& settings, const cfgfItem* dict, time_t now)
{
    std::string name;
    ReportFile file = OpenTempFile(settings.submittedDirName, "reportSA_", ".tmp", name);
    if (!file) {
        PrintMsg("* Can't make the daily report: failed to create file %s\n", name.c_str());
        return;
    }
    FILE* f = file.get();
    const time_t periodStart = prevReportTime.load();
    const time_t started = startupTime.load();

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
        if (restartTime != 0)
            fprintf(f, " somewhere around %s\n\n", mkDate(restartTime).c_str());
        else
            fputs(" during the reporting period.\n\n", f);
    }

    WriteScoreTable(f, settings.scoreRange);
    WriteScanningTimes(f);
    WriteResourceUsage(f, now - std::max(started, periodStart));
    WriteConcurrency(f);
    ResetPeriodCounters();
    WriteRankedList(f, &reportSourceList, doReportSources, ReportSourcesMax, {"Sources", "Source", "sources"});
    WriteRankedList(f, &reportTargetList, doReportTargets, ReportTargetsMax, {"Targets", "Target", "targets"});

    file.reset();
    RenameTempToSub(name);
}

}  // namespace

void GenerateDailyReport(bool force)
{
    const time_t now = Now();
    tm local{};
    localtime_r(&now, &local);
    time_t unset = 0;
    prevReportTime.compare_exchange_strong(unset, startupTime.load());

    if (local.tm_hour > 0)
        canMakeReport.store(true);
    if (!force && (local.tm_hour != 0 || !canMakeReport.load()))
        return;
    canMakeReport.store(false);

    int32_t rated;
    {
        PluginLock lock(reportMutex);
        rated = nScannedMessagesTotal;
    }
    // A quiet period shorter than an hour is not worth a mail; at midnight
    // the night's chance is spent all the same.
    if (rated == 0 && now - prevReportTime.load() < 3600)
        return;

    const std::shared_ptr<const Settings> settings = CurrentSettings();
    const cfgfItem* dict = cfgfGetDictValue(settings->pConf.get(), "DailyReport", cfgfDictionary);
    const char* enabled = cfgfGetDictValueStr(dict, "Enabled");
    {
        PluginLock lock(reportMutex);
        // Switched off: the period start moves on, the statistics run on.
        if (!SwitchedOff(enabled)) {
            doReportSources = !SwitchedOff(cfgfGetDictValueStr(dict, "ReportSources"));
            doReportTargets = !SwitchedOff(cfgfGetDictValueStr(dict, "ReportTargets"));
            ReportSourcesMax = ListMax(dict, "ReportSourcesMax");
            ReportTargetsMax = ListMax(dict, "ReportTargetsMax");
            PrintMsg("* Generating daily report message\n");
            WriteDailyReport(*settings, dict, now);
            if (local.tm_hour == 0)
                restartTime = 0;
        }
    }
    prevReportTime.store(now);
}

void DoWriteDailyReport(const cfgfItem* dict) { WriteDailyReport(*CurrentSettings(), dict, Now()); }

void ResetDailyReportState()
{
    canMakeReport.store(false);
    PluginLock lock(reportMutex);
    doReportSources = doReportTargets = true;
    ReportSourcesMax = ReportTargetsMax = kDefaultListMax;
    uTimePrev = sTimePrev = 0;
}

void SetProcessorTimesForTesting(ProcessorTimes (*source)()) { processorTimesSource.store(source); }
