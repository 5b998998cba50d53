#include "stats/statistics.h"

#include <algorithm>
#include <climits>
#include <mutex>

namespace {

// Sources and recipients are counted by their first 98 characters.
constexpr size_t kMaxCountedName = 98;

void Increment(int32_t& counter)
{
    if (counter < INT32_MAX)
        counter++;
}

template <typename T>
void AddCapped(T& counter, T value, T max)
{
    counter = counter > max - value ? max : counter + value;
}

void MergeList(reportObject& into, const reportObject& from)
{
    for (const reportItem& item : from.Entries())
        ReportAddItem(&into, item.name, item.count);
}

}  // namespace

void Statistics::RecordMessage(const MessageRecord& record)
{
    const uint64_t ms = std::min(record.milliseconds, kMaxScanTime);
    std::lock_guard lock(mutex);
    if (record.rating >= 0 && record.rating < kRatings)
        Increment(data.msgStat[static_cast<size_t>(record.rating)]);
    if (record.unrated)
        Increment(data.nUnratedMessages);
    if (record.givenUp)
        Increment(data.nGivenUpMessages);
    if (record.spam) {
        if (record.targets != nullptr)
            for (std::string_view target : *record.targets)
                ReportAddItem(&data.targets, target.substr(0, kMaxCountedName), 1);
        if (record.sources != nullptr && !record.sources->empty())
            for (std::string_view source : *record.sources)
                ReportAddItem(&data.sources, source.substr(0, kMaxCountedName), 1);
        else
            ReportAddItem(&data.sources, "Unknown", 1);
    }
    Increment(data.nScannedMessagesTotal);
    // 0 means "no value yet", so a handling time of 0 ms is replaced by the next one.
    if (ms < data.scanTimeMin || data.scanTimeMin == 0)
        data.scanTimeMin = ms;
    if (ms > data.scanTimeMax || data.scanTimeMax == 0)
        data.scanTimeMax = ms;
    data.scanTimeTotal = data.scanTimeTotal > kMaxScanTime - ms ? kMaxScanTime : data.scanTimeTotal + ms;
}

void Statistics::SampleConcurrency(int busyThreads)
{
    std::lock_guard lock(mutex);
    if (data.nActiveThreadsChecks < INT64_MAX / 2) {
        data.nActiveThreadsTotal += busyThreads;
        data.nActiveThreadsChecks += 1;
    }
}

void Statistics::RecordExchange(std::string_view host, ExchangeOutcome outcome, uint64_t milliseconds)
{
    std::lock_guard lock(mutex);
    auto entry = data.spamdHosts.find(host);
    if (entry == data.spamdHosts.end())
        entry = data.spamdHosts.emplace(std::string(host), EngineHostFigures{}).first;
    EngineHostFigures& figures = entry->second;
    const bool answered = outcome == ExchangeOutcome::Rated || outcome == ExchangeOutcome::Unrated;
    int64_t& counter = answered                               ? figures.exchanges
                       : outcome == ExchangeOutcome::TimedOut ? figures.timeouts
                                                              : figures.failures;
    if (counter < INT64_MAX)
        counter++;
    const uint64_t ms = std::min(milliseconds, kMaxScanTime);
    figures.milliseconds = figures.milliseconds > kMaxScanTime - ms ? kMaxScanTime : figures.milliseconds + ms;
}

StatisticsSnapshot Statistics::Snapshot() const
{
    std::lock_guard lock(mutex);
    return data;
}

StatisticsSnapshot Statistics::TakePeriod(time_t now, bool nightly)
{
    StatisticsSnapshot fresh;
    std::lock_guard lock(mutex);
    fresh.restartTime = nightly ? 0 : data.restartTime;
    fresh.periodStart = now;
    fresh.nActiveThreadsChecks = 0;
    std::swap(fresh, data);
    return fresh;
}

void Statistics::GiveBack(StatisticsSnapshot period)
{
    std::lock_guard lock(mutex);
    for (int rating = 0; rating < kRatings; rating++)
        AddCapped(data.msgStat[static_cast<size_t>(rating)], period.msgStat[static_cast<size_t>(rating)], INT32_MAX);
    AddCapped(data.nScannedMessagesTotal, period.nScannedMessagesTotal, INT32_MAX);
    AddCapped(data.nUnratedMessages, period.nUnratedMessages, INT32_MAX);
    AddCapped(data.nGivenUpMessages, period.nGivenUpMessages, INT32_MAX);
    // 0 means "no value yet" in either.
    if (period.scanTimeMin != 0 && (data.scanTimeMin == 0 || period.scanTimeMin < data.scanTimeMin))
        data.scanTimeMin = period.scanTimeMin;
    data.scanTimeMax = std::max(data.scanTimeMax, period.scanTimeMax);
    AddCapped(data.scanTimeTotal, period.scanTimeTotal, kMaxScanTime);
    AddCapped(data.nActiveThreadsTotal, period.nActiveThreadsTotal, int64_t{INT64_MAX / 2});
    AddCapped(data.nActiveThreadsChecks, period.nActiveThreadsChecks, int64_t{INT64_MAX / 2});
    MergeList(data.sources, period.sources);
    MergeList(data.targets, period.targets);
    for (const auto& [name, figures] : period.spamdHosts) {
        EngineHostFigures& into = data.spamdHosts[name];
        AddCapped(into.exchanges, figures.exchanges, int64_t{INT64_MAX});
        AddCapped(into.failures, figures.failures, int64_t{INT64_MAX});
        AddCapped(into.timeouts, figures.timeouts, int64_t{INT64_MAX});
        AddCapped(into.milliseconds, figures.milliseconds, kMaxScanTime);
    }
    data.periodStart = period.periodStart;
    // The report that would have spent the restart mark never went out.
    if (data.restartTime == 0)
        data.restartTime = period.restartTime;
}

void Statistics::Restore(StatisticsSnapshot restored)
{
    std::lock_guard lock(mutex);
    data = std::move(restored);
}

void Statistics::BeginPeriod(time_t startup)
{
    std::lock_guard lock(mutex);
    if (data.periodStart == 0)
        data.periodStart = startup;
}

void Statistics::MovePeriodStart(time_t now)
{
    std::lock_guard lock(mutex);
    data.periodStart = now;
}

time_t Statistics::PeriodStart() const
{
    std::lock_guard lock(mutex);
    return data.periodStart;
}

int32_t Statistics::MessagesTotal() const
{
    std::lock_guard lock(mutex);
    return data.nScannedMessagesTotal;
}
