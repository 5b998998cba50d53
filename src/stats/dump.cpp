#include "stats/dump.h"

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/files.h"
#include "base/output.h"
#include "base/system.h"
#include "base/text.h"
#include "stats/ranked_list.h"

namespace {

void AppendList(std::string& text, reportObject& list)
{
    for (const reportItem& item : list.EntriesInNameOrder()) {
        text += cfgfQuote(item.name);
        text += FormatText("=%d;\n", item.count);
    }
}

// WriteWholeFile - replace path by a file of text, flushed to the disk;
// false (errno set, nothing left behind) when any step fails.  0600: the
// dump holds sender and recipient addresses.
bool WriteWholeFile(const std::string& path, const std::string& text, std::string& failedName)
{
    NewFile file = NewFile::CreateBeside(path, 0600);
    failedName = file.Name();
    if (!file.IsOpen() || !WriteAll(file.Get(), text))
        return false;
    failedName = path;
    return file.Release(path, true);
}

bool SameLocalDay(time_t a, time_t b)
{
    tm ta{}, tb{};
    localtime_r(&a, &ta);
    localtime_r(&b, &tb);
    return ta.tm_year == tb.tm_year && ta.tm_yday == tb.tm_yday;
}

const char* StringOf(const cfgfItem* item)
{
    return item != nullptr && item->type == cfgfString ? item->text.c_str() : nullptr;
}

// ReadNumber - leading digits as a decimal integer (none gives 0), accepted
// only within 0..max.
bool ReadNumber(const char* text, long long max, long long& value)
{
    errno = 0;
    value = strtoll(text, nullptr, 10);
    return errno != ERANGE && value >= 0 && value <= max;
}

// RatingKey - the rating a Scores key names, or -1 when it names none.
int RatingKey(const char* key)
{
    if (key == nullptr || key[0] == '\0' || strlen(key) > 3)
        return -1;
    for (const char* p = key; *p != '\0'; p++)
        if (*p < '0' || *p > '9')
            return -1;
    const int rating = atoi(key);
    return rating < kRatings ? rating : -1;
}

bool RestoreList(const cfgfItem* tree, const char* key, reportObject& list)
{
    const cfgfItem* dict = cfgfGetDictValue(tree, key, cfgfDictionary);
    for (int n = 0; dict != nullptr && n < dict->count; n++) {
        const char* name = cfgfGetDictNthKey(dict, n, cfgfAny);
        const char* count = StringOf(cfgfGetDictNthValue(dict, n));
        long long value = 0;
        if (name == nullptr || count == nullptr)
            continue;
        if (!ReadNumber(count, INT32_MAX, value))
            return false;
        ReportAddItem(&list, name, static_cast<int>(value));
    }
    return true;
}

}  // namespace

std::string StatDumpFilePath(const Settings& settings) { return WorkPath() + settings.statDumpFileName; }

std::string FormatDump(StatisticsSnapshot& s, time_t now, bool normalShutdown)
{
    std::string text;
    text += FormatText("StatStart=%lu; #%s\n", static_cast<unsigned long>(s.periodStart), mkDate(s.periodStart).c_str());
    text += FormatText("StatEnd=%lu; #%s\n", static_cast<unsigned long>(now), mkDate(now).c_str());
    if (s.restartTime != 0)
        text += FormatText("RestartTime=%lu; #%s\n", static_cast<unsigned long>(s.restartTime),
                           mkDate(s.restartTime).c_str());
    text += FormatText("MessagesTotal=%d;\n", s.nScannedMessagesTotal);
    if (s.nUnratedMessages != 0)
        text += FormatText("Unrated=%d;\n", s.nUnratedMessages);
    if (s.nGivenUpMessages != 0)
        text += FormatText("GivenUp=%d;\n", s.nGivenUpMessages);
    text += FormatText("ScanTimeMin=%lu;\n", static_cast<unsigned long>(s.scanTimeMin));
    text += FormatText("ScanTimeMax=%lu;\n", static_cast<unsigned long>(s.scanTimeMax));
    text += FormatText("ScanTimeTotal=%lu;\n", static_cast<unsigned long>(s.scanTimeTotal));
    if (normalShutdown)
        text += "NormalShutdown=YES;\n";
    text += "Scores={\n";
    for (int rating = 0; rating < kRatings; rating++)
        if (s.msgStat[static_cast<size_t>(rating)] != 0)
            text += FormatText("\"%d\"=%d;\n", rating, s.msgStat[static_cast<size_t>(rating)]);
    text += "};\nSources={\n";
    AppendList(text, s.sources);
    text += "};\nTargets={\n";
    AppendList(text, s.targets);
    text += "};\n";
    return text;
}

bool DumpReportData(const Settings& settings, StatisticsSnapshot& snapshot, time_t now, bool normalShutdown)
{
    if (settings.statDumpInterval == 0)
        return true;
    DebugMsg("dumping the statistics data\n");
    const std::string path = StatDumpFilePath(settings);
    const std::string text = FormatDump(snapshot, now, normalShutdown);
    std::string failedName;
    if (!WriteWholeFile(path, text, failedName)) {
        PrintMsg("* unable create %s: %s\n", failedName.c_str(), FileRefusal(errno).c_str());
        return false;
    }
    return true;
}

std::optional<StatisticsSnapshot> ParseDump(const cfgfItem* tree, time_t now, std::string& why)
{
    constexpr long long kMaxTime = LLONG_MAX;
    long long value = 0;
    const char* endText = cfgfGetDictValueStr(tree, "StatEnd");
    if (endText == nullptr)
        return std::nullopt;
    if (!ReadNumber(endText, kMaxTime, value)) {
        why = "The found data is unusable\n";
        return std::nullopt;
    }
    const time_t statEnd = static_cast<time_t>(value);
    DebugMsg("Dumped statistics found for %s\n", mkDate(statEnd).c_str());
    if (!SameLocalDay(statEnd, now)) {
        why = "The found data is obsolete\n";
        return std::nullopt;
    }
    const char* startText = cfgfGetDictValueStr(tree, "StatStart");
    if (startText == nullptr)
        return std::nullopt;
    if (!ReadNumber(startText, kMaxTime, value)) {
        why = "The found data is unusable\n";
        return std::nullopt;
    }
    const time_t statStart = static_cast<time_t>(value);
    // A period that began on an earlier day was never reported (its report
    // failed, or a quiet night made none): it goes on, and its report says
    // since when.  One that ends before it starts is no dump that was written.
    if (statStart > statEnd) {
        why = "The found data is unusable\n";
        return std::nullopt;
    }

    StatisticsSnapshot s;
    why = "The found data is unusable\n";
    if (const char* restartText = cfgfGetDictValueStr(tree, "RestartTime")) {
        if (!ReadNumber(restartText, kMaxTime, value))
            return std::nullopt;
        s.restartTime = static_cast<time_t>(value) < statStart ? 0 : static_cast<time_t>(value);
    }
    // Without the orderly-shutdown mark the earlier run ended unplanned, at
    // the latest soon after this dump was written.
    const char* normalShutdown = cfgfGetDictValueStr(tree, "NormalShutdown");
    if ((normalShutdown == nullptr || normalShutdown[0] != 'Y') && s.restartTime == 0)
        s.restartTime = statEnd;
    s.periodStart = statStart;

    struct Field {
        const char* key;
        long long max;
        long long value = 0;
    };
    Field fields[] = {{"MessagesTotal", INT32_MAX}, {"ScanTimeMin", LLONG_MAX}, {"ScanTimeMax", LLONG_MAX},
                      {"ScanTimeTotal", LLONG_MAX}, {"Unrated", INT32_MAX},
                      {"GivenUp", INT32_MAX}};
    for (Field& field : fields)
        if (const char* text = cfgfGetDictValueStr(tree, field.key); text != nullptr &&
                                                                     !ReadNumber(text, field.max, field.value))
            return std::nullopt;
    s.nScannedMessagesTotal = static_cast<int32_t>(fields[0].value);
    s.scanTimeMin = static_cast<uint64_t>(fields[1].value);
    s.scanTimeMax = static_cast<uint64_t>(fields[2].value);
    s.scanTimeTotal = static_cast<uint64_t>(fields[3].value);
    s.nUnratedMessages = static_cast<int32_t>(fields[4].value);
    s.nGivenUpMessages = static_cast<int32_t>(fields[5].value);
    if (s.scanTimeMin == 0 || s.scanTimeMax == 0 || s.scanTimeTotal == 0 || s.nScannedMessagesTotal == 0)
        s.scanTimeMin = s.scanTimeMax = s.scanTimeTotal = 0;

    const cfgfItem* scores = cfgfGetDictValue(tree, "Scores", cfgfDictionary);
    for (int n = 0; scores != nullptr && n < scores->count; n++) {
        const int rating = RatingKey(cfgfGetDictNthKey(scores, n, cfgfAny));
        const char* count = StringOf(cfgfGetDictNthValue(scores, n));
        if (rating < 0 || count == nullptr)
            continue;
        if (!ReadNumber(count, INT32_MAX, value))
            return std::nullopt;
        s.msgStat[static_cast<size_t>(rating)] = static_cast<int32_t>(value);
    }
    if (!RestoreList(tree, "Sources", s.sources) || !RestoreList(tree, "Targets", s.targets))
        return std::nullopt;
    why.clear();
    return s;
}

void ReadReportData(const Settings& settings, Statistics& statistics)
{
    const std::string path = StatDumpFilePath(settings);
    if (access(path.c_str(), F_OK) != 0)
        return;
    const std::unique_ptr<cfgfItem> tree = cfgfReadConfigFile(path);
    if (!tree) {
        unlink(path.c_str());
        DebugMsg("Failed to parse the %s\n", path.c_str());
        return;
    }
    std::string why;
    std::optional<StatisticsSnapshot> restored = ParseDump(tree.get(), Now(), why);
    if (!restored) {
        unlink(path.c_str());
        if (!why.empty())
            DebugMsg("%s", why.c_str());
        return;
    }
    statistics.Restore(std::move(*restored));
}
