#include "prometheus_text.h"

#include <cstdlib>
#include <map>
#include <set>
#include <sstream>
#include <utility>

namespace {

struct Family {
    std::string type;
    bool help = false, closed = false;
    std::vector<std::pair<double, double>> buckets;  // (le, count)
    bool sum = false, count = false;
    double countValue = -1;
};

// FamilyOf - the metric a sample name belongs to, with the histogram suffix it carries.
std::string FamilyOf(const std::string& name, const std::map<std::string, Family>& families, std::string& suffix)
{
    for (const char* s : {"_bucket", "_sum", "_count"}) {
        const std::string base = name.substr(0, name.size() - std::string(s).size());
        if (name.ends_with(s) && families.count(base) && families.at(base).type == "histogram") {
            suffix = s;
            return base;
        }
    }
    suffix.clear();
    return name;
}

}  // namespace

std::vector<std::string> ExpositionProblems(const std::string& text)
{
    std::vector<std::string> problems;
    if (text.empty() || text.back() != '\n' || text.find('\r') != std::string::npos)
        problems.push_back("lines must end with \\n, the last one too");
    std::map<std::string, Family> families;
    std::string current;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (line.starts_with("# HELP ") || line.starts_with("# TYPE ")) {
            std::istringstream words(line.substr(7));
            std::string name, type;
            words >> name >> type;
            Family& family = families[name];
            // Each mark set once: HELP sets help, TYPE the type.
            if (line[2] == 'H' ? std::exchange(family.help, true) : !std::exchange(family.type, type).empty())
                problems.push_back("second HELP or TYPE for " + name);
            if (!current.empty() && name != current)
                families[current].closed = true;
            current = name;
            if (!name.starts_with("velmora_"))
                problems.push_back("no velmora_ prefix: " + name);
            if (type == "counter" && !name.ends_with("_total"))
                problems.push_back("counter without _total: " + name);
            continue;
        }
        const size_t nameEnd = line.find_first_of("{ ");
        const size_t valueStart = line[nameEnd] == '{' ? line.find("} ", nameEnd) + 2 : nameEnd + 1;
        const std::string name = line.substr(0, nameEnd), value = line.substr(valueStart);
        std::string suffix;
        const std::string base = FamilyOf(name, families, suffix);
        Family& family = families[base];
        if (!family.help || family.type.empty())
            problems.push_back("sample before HELP and TYPE: " + line);
        if (family.closed)
            problems.push_back("samples of " + base + " are not in one group");
        if (!current.empty() && base != current)
            families[current].closed = true;
        current = base;
        char* end = nullptr;
        const double number = value == "+Inf" ? 1e308 : strtod(value.c_str(), &end);
        if (value.find(' ') != std::string::npos || (value != "+Inf" && (end == value.c_str() || *end != '\0')))
            problems.push_back("not one value (a timestamp?): " + line);
        if (suffix == "_bucket") {
            const size_t le = line.find("le=\"") + 4;
            const std::string bound = line.substr(le, line.find('"', le) - le);
            const double upper = bound == "+Inf" ? 1e308 : atof(bound.c_str());
            if (!family.buckets.empty() && (upper <= family.buckets.back().first || number < family.buckets.back().second))
                problems.push_back("bucket out of order: " + line);
            family.buckets.emplace_back(upper, number);
        } else if (suffix == "_sum") {
            family.sum = true;
        } else if (suffix == "_count") {
            family.count = true;
            family.countValue = number;
        }
    }
    for (const auto& [name, family] : families) {
        if (family.type != "histogram")
            continue;
        if (family.buckets.empty() || family.buckets.back().first != 1e308 || !family.sum || !family.count ||
            family.buckets.back().second != family.countValue)
            problems.push_back("histogram " + name + " lacks +Inf equal to _count, or _sum, or _count");
    }
    return problems;
}
