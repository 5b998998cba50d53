// metrics_file - the counters in the Prometheus text format, for the textfile
// collector of node_exporter
//
// FormatMetrics     the text of a metrics file (pure)
// RatingHistogram   cumulative rating buckets on the BarScoreRanges bounds (pure)
// WriteMetricsFile  replace the file atomically: the text goes to a fresh
//                   temporary name in the same directory that does not end in
//                   ".prom" (the collector reads only those), then is renamed
//                   over it; mode 0644
// MetricsFilePath   the MetricsFile setting; a relative name is taken from the
//                   working directory, an empty one means no metrics file
//
// The top floor gathers a MetricsSample (the counters, the gauges of the pool
// and one sample per spamd host from whoever knows the hosts) and calls these
// from the controller, every statistics dump interval, and at shutdown.  No
// lock: the caller writes one file at a time.
//
// The text: UTF-8, "\n" line ends including the last line, one "# HELP" and
// one "# TYPE" per metric ahead of its samples, no timestamps, names with the
// prefix "velmora_", base units, counters ending in "_total", histogram
// buckets in increasing "le" order ending with "+Inf", then "_sum" and "_count".
#pragma once

#include <array>
#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "config/settings.h"
#include "stats/counters.h"

struct MetricsSample {
    CountersSnapshot counters;
    std::vector<int> ratingBounds;       // BarScoreRanges in force
    std::vector<EngineHostSample> hosts;  // every spamd host in force
    int queueLength = 0;
    int busyThreads = 0;
    int scanningThreads = 0;
    time_t startTime = 0;
    std::string version;
};

std::string FormatMetrics(const MetricsSample& sample);

// RatingHistogram - (bound, ratings at or below it) for every bound that is
// greater than the one before, ending with (101, all) for "+Inf".
std::vector<std::pair<int, uint64_t>> RatingHistogram(const std::array<uint64_t, kRatings>& ratings,
                                                      const std::vector<int>& bounds);

// WriteMetricsFile - false with error set ("<path>: <reason>") on failure;
// the temporary file is then removed and the old file stays.
bool WriteMetricsFile(const std::string& path, std::string_view text, std::string& error);

std::string MetricsFilePath(const Settings& settings);
