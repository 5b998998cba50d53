// figures - the numbers of a replay: rating histogram, latency percentiles,
// the plugin's peak memory
//
// RatingHistogram  counts ratings per score range (same ranges as the score bar)
// Percentile       nearest-rank percentile of sorted values
// ReadPeakRssKiB   VmHWM of a running process
// ReadCpuSeconds   processor time of a running process
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace replay {

inline const std::vector<int> kDefaultScoreRanges = {0, 39, 76, 84, 90, 99, 100};

// ParseScoreRanges - "0,39,76" into increasing bounds; false when a bound is
// not a number from 0 to 100, the order is not increasing, or there are more than 20.
bool ParseScoreRanges(const std::string& text, std::vector<int>& bounds);

class RatingHistogram {
public:
    explicit RatingHistogram(std::vector<int> bounds);

    // Add - a rating falls into the first range whose bound is not below it.
    void Add(int rating);
    void AddUnreadable() { unreadable++; }

    // Ranges - one per bound, and one above the last bound.
    size_t Ranges() const { return counts.size(); }
    size_t Count(size_t range) const { return counts[range]; }
    // Label - "0", "1-39", "40-76", ..., "101-" for the range above the last bound.
    std::string Label(size_t range) const;
    size_t Unreadable() const { return unreadable; }

private:
    std::vector<int> bounds;
    std::vector<size_t> counts;
    size_t unreadable = 0;  // header texts that show no rating
};

// Percentile - the value at rank ceil(p/100 * n) of sorted values (0 when empty).
double Percentile(const std::vector<double>& sorted, double p);

std::optional<long> ReadPeakRssKiB(pid_t pid);

// ReadCpuSeconds - user plus system processor time of a running process.
std::optional<double> ReadCpuSeconds(pid_t pid);

}  // namespace replay
