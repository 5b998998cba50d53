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

}  // namespace

void Statistics::RecordMessage(const MessageRecord& record)
{
    const uint64_t ms = std::min(record.milliseconds, kMaxScanTime);
    std::lock_guard lock(mutex);
    if (record.rating >= 0 && record.rating < kRatings)
        Increment(data.msgStat[static_cast<size_t>(record.rating)]);
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

void Statistics::RecordSpamdExchange(std::string_view host, SpamdOutcome outcome, uint64_t milliseconds)
{
    std::lock_guard lock(mutex);
    auto entry = data.spamdHosts.find(host);
    if (entry == data.spamdHosts.end())
        entry = data.spamdHosts.emplace(std::string(host), SpamdHostFigures{}).first;
    SpamdHostFigures& figures = entry->second;
    int64_t& counter = outcome == SpamdOutcome::Answered ? figures.exchanges
                       : outcome == SpamdOutcome::Failed ? figures.failures
                                                         : figures.timeouts;
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

StatisticsSnapshot Statistics::TakePeriod()
{
    StatisticsSnapshot fresh;
    std::lock_guard lock(mutex);
    fresh.restartTime = data.restartTime;
    fresh.periodStart = data.periodStart;
    fresh.nActiveThreadsChecks = 0;
    std::swap(fresh, data);
    return fresh;
}

void Statistics::Restore(StatisticsSnapshot restored)
{
    std::lock_guard lock(mutex);
    data = std::move(restored);
}

time_t Statistics::PeriodStart(time_t fallback)
{
    std::lock_guard lock(mutex);
    if (data.periodStart == 0)
        data.periodStart = fallback;
    return data.periodStart;
}

void Statistics::SetPeriodStart(time_t start)
{
    std::lock_guard lock(mutex);
    data.periodStart = start;
}

void Statistics::ClearRestartTime()
{
    std::lock_guard lock(mutex);
    data.restartTime = 0;
}

int32_t Statistics::MessagesTotal() const
{
    std::lock_guard lock(mutex);
    return data.nScannedMessagesTotal;
}

void Statistics::Reset()
{
    std::lock_guard lock(mutex);
    data = StatisticsSnapshot();
}
