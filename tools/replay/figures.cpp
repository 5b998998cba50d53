#include "replay/figures.h"

#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace replay {

bool ParseScoreRanges(const std::string& text, std::vector<int>& bounds)
{
    std::vector<int> parsed;
    std::stringstream in(text);
    std::string item;
    while (std::getline(in, item, ',')) {
        char* end = nullptr;
        long value = std::strtol(item.c_str(), &end, 10);
        if (item.empty() || *end != '\0' || value < 0 || value > 100)
            return false;
        if (!parsed.empty() && value <= parsed.back())
            return false;
        parsed.push_back(static_cast<int>(value));
    }
    if (parsed.empty() || parsed.size() > 20)
        return false;
    bounds = std::move(parsed);
    return true;
}

RatingHistogram::RatingHistogram(std::vector<int> b) : bounds(std::move(b)), counts(bounds.size() + 1, 0) {}

void RatingHistogram::Add(int rating)
{
    size_t range = 0;
    while (range < bounds.size() && bounds[range] < rating)
        range++;
    counts[range]++;
}

std::string RatingHistogram::Label(size_t range) const
{
    int low = range == 0 ? 0 : bounds[range - 1] + 1;
    if (range == bounds.size())
        return std::to_string(low) + "-";
    int high = bounds[range];
    return low == high ? std::to_string(low) : std::to_string(low) + "-" + std::to_string(high);
}

double Percentile(const std::vector<double>& sorted, double p)
{
    if (sorted.empty())
        return 0;
    size_t rank = static_cast<size_t>(std::ceil(p / 100.0 * static_cast<double>(sorted.size())));
    if (rank < 1)
        rank = 1;
    if (rank > sorted.size())
        rank = sorted.size();
    return sorted[rank - 1];
}

std::optional<long> ReadPeakRssKiB(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.starts_with("VmHWM:"))
            return std::strtol(line.c_str() + 6, nullptr, 10);
    }
    return std::nullopt;
}

std::optional<double> ReadCpuSeconds(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    if (!std::getline(stat, text))
        return std::nullopt;
    // The command name in parentheses may hold blanks; fields are counted after it.
    size_t close = text.rfind(')');
    if (close == std::string::npos)
        return std::nullopt;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    unsigned long long user = 0, system = 0;
    for (int i = 3; i <= 15 && fields >> field; i++) {
        if (i == 14)
            user = std::strtoull(field.c_str(), nullptr, 10);
        if (i == 15)
            system = std::strtoull(field.c_str(), nullptr, 10);
    }
    long ticks = sysconf(_SC_CLK_TCK);
    if (ticks <= 0)
        return std::nullopt;
    return static_cast<double>(user + system) / static_cast<double>(ticks);
}

}  // namespace replay
