#include "stats/counters.h"

#include <algorithm>
#include <mutex>

void Counters::CountRequest(RequestOutcome outcome)
{
    std::lock_guard lock(mutex);
    data.requests[static_cast<size_t>(outcome)]++;
}

void Counters::CountMessage(RequestOutcome outcome, int rating, double seconds)
{
    seconds = std::max(seconds, 0.0);
    const size_t bucket = static_cast<size_t>(
        std::lower_bound(kHandlingBounds.begin(), kHandlingBounds.end(), seconds) - kHandlingBounds.begin());
    std::lock_guard lock(mutex);
    data.requests[static_cast<size_t>(outcome)]++;
    if (rating >= 0)
        data.ratings[static_cast<size_t>(std::min(rating, kRatings - 1))]++;
    data.handling[bucket]++;
    data.handlingSeconds += seconds;
}

void Counters::CountExchange(std::string_view host, ExchangeOutcome outcome, double seconds)
{
    std::lock_guard lock(mutex);
    // Looked up by view: a host seen before costs no allocation.
    auto entry = data.hosts.find(host);
    if (entry == data.hosts.end()) {
        entry = data.hosts.emplace(std::string(host), EngineHostSample{}).first;
        entry->second.name = entry->first;
    }
    EngineHostSample& sample = entry->second;
    sample.exchanges[static_cast<size_t>(outcome)]++;
    sample.seconds += std::max(seconds, 0.0);
}

void Counters::CountCrash()
{
    std::lock_guard lock(mutex);
    data.crashes++;
}

void Counters::CountStuckScan()
{
    std::lock_guard lock(mutex);
    data.stuckScans++;
}

void Counters::CountReload()
{
    std::lock_guard lock(mutex);
    data.reloads++;
}

CountersSnapshot Counters::Snapshot() const
{
    std::lock_guard lock(mutex);
    return data;
}

EngineHostSample Counters::HostSample(const std::string& host) const
{
    std::lock_guard lock(mutex);
    if (const auto found = data.hosts.find(host); found != data.hosts.end())
        return found->second;
    EngineHostSample sample;
    sample.name = host;
    return sample;
}
