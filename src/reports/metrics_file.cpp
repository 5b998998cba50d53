#include "reports/metrics_file.h"

#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>

#include "base/files.h"
#include "base/system.h"

namespace {

// Number - the shortest text that reads back as the same double.
std::string Number(double value)
{
    char buffer[32];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, result.ptr);
}

// LabelValue - backslash, double quote and line feed escaped.
std::string LabelValue(std::string_view text)
{
    std::string out;
    for (char c : text) {
        if (c == '\\' || c == '"')
            out.push_back('\\');
        if (c == '\n')
            out += "\\n";
        else
            out.push_back(c);
    }
    return out;
}

class MetricsText {
public:
    void Metric(const char* name, const char* type, const char* help)
    {
        text += "# HELP ";
        text += name;
        text += ' ';
        text += help;
        text += "\n# TYPE ";
        text += name;
        text += ' ';
        text += type;
        text += '\n';
    }
    // Sample - labels as written between the braces ("" for none).
    void Sample(const std::string& name, const std::string& labels, const std::string& value)
    {
        text += name;
        if (!labels.empty())
            text += '{' + labels + '}';
        text += ' ';
        text += value;
        text += '\n';
    }
    void Sample(const std::string& name, const std::string& labels, uint64_t value)
    {
        Sample(name, labels, std::to_string(value));
    }
    void Single(const char* name, const char* type, const char* help, const std::string& value)
    {
        Metric(name, type, help);
        Sample(name, "", value);
    }
    // Histogram - cumulative (upper bound text, count) pairs, "+Inf" last.
    void Histogram(const char* name, const char* help, const std::vector<std::pair<std::string, uint64_t>>& buckets,
                   double sum)
    {
        Metric(name, "histogram", help);
        const std::string base = name;
        for (const auto& [bound, count] : buckets)
            Sample(base + "_bucket", "le=\"" + bound + "\"", count);
        Sample(base + "_sum", "", Number(sum));
        Sample(base + "_count", "", buckets.empty() ? 0 : buckets.back().second);
    }
    std::string text;
};

}  // namespace

std::vector<std::pair<int, uint64_t>> RatingHistogram(const std::array<uint64_t, kRatings>& ratings,
                                                      const std::vector<int>& bounds)
{
    std::vector<std::pair<int, uint64_t>> buckets;
    uint64_t below = 0;
    int rating = 0;
    // A bound out of order (reported when the settings were read) would
    // break the increasing order of the buckets; it is left out.
    for (int bound : bounds) {
        if (bound >= kRatings || (!buckets.empty() && bound <= buckets.back().first))
            continue;
        for (; rating <= bound; rating++)
            below += rating >= 0 ? ratings[static_cast<size_t>(rating)] : 0;
        buckets.emplace_back(bound, below);
    }
    for (; rating < kRatings; rating++)
        below += rating >= 0 ? ratings[static_cast<size_t>(rating)] : 0;
    buckets.emplace_back(kRatings, below);
    return buckets;
}

std::string FormatMetrics(const MetricsSample& s)
{
    const CountersSnapshot& c = s.counters;
    MetricsText m;
    m.Metric("velmora_build_info", "gauge", "The plugin's version; always 1.");
    m.Sample("velmora_build_info", "version=\"" + LabelValue(s.version) + "\"", "1");
    m.Single("velmora_start_time_seconds", "gauge", "When the plugin started, in seconds since the epoch.",
             std::to_string(static_cast<long long>(s.startTime)));

    m.Metric("velmora_requests_total", "counter", "FILE requests answered, by outcome.");
    for (int i = 0; i < kRequestOutcomes; i++)
        m.Sample("velmora_requests_total",
                 std::string("outcome=\"") + RequestOutcomeName(static_cast<RequestOutcome>(i)) + "\"",
                 c.requests[static_cast<size_t>(i)]);

    std::vector<std::pair<std::string, uint64_t>> buckets;
    uint64_t ratingSum = 0;
    for (size_t rating = 0; rating < c.ratings.size(); rating++)
        ratingSum += rating * c.ratings[rating];
    for (const auto& [bound, count] : RatingHistogram(c.ratings, s.ratingBounds))
        buckets.emplace_back(bound == kRatings ? "+Inf" : std::to_string(bound), count);
    m.Histogram("velmora_rating", "Ratings (0-100, 90 is the engine's threshold) of the messages an engine rated.",
                buckets, static_cast<double>(ratingSum));

    buckets.clear();
    uint64_t handled = 0;
    for (size_t i = 0; i < c.handling.size(); i++) {
        handled += c.handling[i];
        buckets.emplace_back(i < kHandlingBounds.size() ? Number(kHandlingBounds[i]) : "+Inf", handled);
    }
    m.Histogram("velmora_request_handling_seconds", "Time from taking a FILE request to its answer.", buckets,
                c.handlingSeconds);

    m.Single("velmora_queue_length", "gauge", "FILE requests waiting for a scanning thread.",
             std::to_string(s.queueLength));
    m.Single("velmora_busy_threads", "gauge", "Scanning threads rating a message.", std::to_string(s.busyThreads));
    m.Single("velmora_scanning_threads", "gauge", "Scanning threads in the pool (MaxScanningThreads).",
             std::to_string(s.scanningThreads));

    // Every host of the farm is named with its engine, spamd or rspamd; labels
    // in name order, as node_exporter writes them again.
    const auto hostLabels = [](const EngineHostSample& host) {
        return "engine=\"" + LabelValue(host.engine) + "\",host=\"" + LabelValue(host.name) + "\"";
    };
    int hostsUp = 0;
    m.Metric("velmora_spamd_up", "gauge", "1 when the spamd or rspamd host answers, 0 when it does not.");
    for (const EngineHostSample& host : s.hosts) {
        m.Sample("velmora_spamd_up", hostLabels(host), host.up ? "1" : "0");
        hostsUp += host.up ? 1 : 0;
    }
    m.Single("velmora_spamd_hosts_up", "gauge", "spamd and rspamd hosts that answer.", std::to_string(hostsUp));
    m.Metric("velmora_spamd_exchanges_total", "counter", "Exchanges with spamd and rspamd, by host and outcome.");
    for (const EngineHostSample& host : s.hosts)
        for (int outcome = 0; outcome < kExchangeOutcomes; outcome++)
            if (const uint64_t count = host.exchanges[static_cast<size_t>(outcome)]; count != 0)
                m.Sample("velmora_spamd_exchanges_total",
                         hostLabels(host) + ",outcome=\"" +
                             ExchangeOutcomeName(static_cast<ExchangeOutcome>(outcome)) + "\"",
                         count);
    m.Metric("velmora_spamd_exchange_seconds_total", "counter", "Time spent in exchanges with each host.");
    for (const EngineHostSample& host : s.hosts)
        m.Sample("velmora_spamd_exchange_seconds_total", hostLabels(host), Number(host.seconds));

    m.Single("velmora_crashes_total", "counter", "Scans that crashed.", std::to_string(c.crashes));
    m.Single("velmora_stuck_scans_total", "counter", "Scans given up after the scan time limit.",
             std::to_string(c.stuckScans));
    m.Single("velmora_reloads_total", "counter", "Settings reloads.", std::to_string(c.reloads));
    return std::move(m.text);
}

bool WriteMetricsFile(const std::string& path, std::string_view text, std::string& error)
{
    // 0644: a collector under another user reads it.
    NewFile file = NewFile::CreateBeside(path, 0644);
    if (file.IsOpen() && WriteAll(file.Get(), text) && file.Release(path, true))
        return true;
    error = (file.IsOpen() ? path : file.Name()) + ": " + FileRefusal(errno);
    return false;
}

std::string MetricsFilePath(const Settings& settings)
{
    if (settings.metricsFile.empty() || settings.metricsFile[0] == '/')
        return settings.metricsFile;
    return WorkPath() + settings.metricsFile;
}
