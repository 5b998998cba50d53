#include "config/settings.h"

#include <dirent.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <mutex>

#include "base/output.h"
#include "base/system.h"

namespace {

GuardedMutex settingsMutex;
// Never destroyed: detached threads may still ask for it while the process exits.
Immortal<std::shared_ptr<const Settings>> current(std::make_shared<const Settings>());  // guarded by settingsMutex

// ReadNumber - a number the way atoi reads it (leading blanks, a sign,
// digits, 0 when there are none), held to the range of int instead of
// overflowing.
int ReadNumber(const char* text)
{
    long value = strtol(text, nullptr, 10);
    if (value > INT_MAX)
        return INT_MAX;
    if (value < INT_MIN)
        return INT_MIN;
    return static_cast<int>(value);
}

// ReadBoundedNumber - a number within its documented range; one outside it
// is reported at its line and leaves the setting as it was.
void ReadBoundedNumber(const cfgfItem* value, const char* key, NumberRange range, int& setting)
{
    const int number = ReadNumber(value->text.c_str());
    if (number < range.low || number > range.high)
        cfgfError(value, "%s is out of range, must be >=%d and <= %d", key, range.low, range.high);
    else
        setting = number;
}

// A required text setting: a missing key (or one of another kind, which the
// lookup has reported already) leaves the setting as it was.
void ReadRequiredText(const std::string& fileName, const cfgfItem* conf, const char* key, const char* missing, std::string& setting)
{
    if (const char* value = cfgfGetDictValueStr(conf, key))
        setting = value;
    else
        cfgfFileError(fileName, "%s", missing);
}

// ReadHeaderTemplate - a template goes into a one-line reply to the host: a
// line feed or carriage return in it (an escaped one is possible) would split
// the reply and make the rest pass for another line, a NUL would end it, so
// a value holding any control character (DEL included) is refused.
void ReadHeaderTemplate(const std::string& fileName, const cfgfItem* conf, const char* key, const char* missing, std::string& setting)
{
    const cfgfItem* value = cfgfGetDictValue(conf, key, cfgfString);
    if (value == nullptr)
        cfgfFileError(fileName, "%s", missing);
    else if (std::any_of(value->text.begin(), value->text.end(),
                         [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; }))
        cfgfError(value, "%s may not hold a control character", key);
    else
        setting = value->text;
}

void ReadOptionalText(const cfgfItem* conf, const char* key, std::string& setting)
{
    if (const char* value = cfgfGetDictValueStr(conf, key))
        setting = value;
}

void ReadOnProblem(const cfgfItem* conf, int& mode)
{
    const cfgfItem* value = cfgfGetDictValue(conf, "OnProblem", cfgfString);
    if (value == nullptr)
        return;
    // Only the first letter counts, compared as it stands.
    switch (value->text.empty() ? '\0' : value->text[0]) {
    case 'I': mode = OnProblemIgnore; break;
    case 'E': mode = OnProblemExit; break;
    case 'Q': mode = OnProblemQuit; break;
    default: cfgfError(value, "OnProblem can be either Ignore,Exit or Quit"); break;
    }
}

// ReadScoreRanges - the first kMaxScoreRanges elements.  An array with an
// element that is not a number of the rating range, or out of order, is
// reported and refused as a whole: the ranges in force stay.
void ReadScoreRanges(const std::string& fileName, const cfgfItem* conf, std::vector<int>& scoreRange)
{
    const cfgfItem* ranges = cfgfGetDictValue(conf, "BarScoreRanges", cfgfArray);
    if (ranges == nullptr) {
        cfgfFileError(fileName, "Missing BarScoreRanges item");
        return;
    }
    const int n = ranges->count < kMaxScoreRanges ? ranges->count : kMaxScoreRanges;
    for (int i = 0; i < n; i++) {
        const cfgfItem* element = cfgfGetArrayValue(ranges, i);
        if (element->type != cfgfString) {
            cfgfError(element, "Error in BarScoreRanges");
            return;
        }
        const int bound = ReadNumber(element->text.c_str());
        if (bound < kRatingRange.low || bound > kRatingRange.high) {
            cfgfError(element, "BarScoreRanges is out of range, must be >=%d and <= %d", kRatingRange.low,
                      kRatingRange.high);
            return;
        }
    }
    if (n == 0)
        return;
    std::vector<int> values;
    for (int i = 0; i < n; i++) {
        int value = ReadNumber(cfgfGetArrayValue(ranges, i)->text.c_str());
        if (i > 0 && value <= values.back()) {
            cfgfError(ranges, "Error in BarScoreRanges");
            return;
        }
        values.push_back(value);
    }
    scoreRange = std::move(values);
}

// ReadYesNo - a switch: YES or NO by its first letter, either case; any other
// value is refused at its line and the switch stays as it was.
void ReadYesNo(const cfgfItem* conf, const char* key, bool& setting)
{
    const cfgfItem* value = cfgfGetDictValue(conf, key, cfgfString);
    if (value == nullptr)
        return;
    const char first = value->text.empty() ? '\0' : value->text[0];
    if (first == 'Y' || first == 'y')
        setting = true;
    else if (first == 'N' || first == 'n')
        setting = false;
    else
        cfgfError(value, "%s can be either YES or NO", key);
}

void RequireDictionary(const std::string& fileName, const cfgfItem* conf, const char* key, const char* missing)
{
    if (cfgfGetDictValue(conf, key, cfgfDictionary) == nullptr)
        cfgfFileError(fileName, "%s", missing);
}

// ReadSpamd - the farm; a file without the dictionary goes back to the one
// spamd of SocketPath, one that could not be read keeps the farm in force
// (or the one of SocketPath when that was in force).
void ReadSpamd(const cfgfItem* conf, Settings& next)
{
    const cfgfItem* spamd = cfgfGetDictValue(conf, "Spamd", cfgfAny);
    if (conf == nullptr || spamd == nullptr) {
        if (conf != nullptr || next.spamd.single)
            next.spamd = SocketPathFarm(next.socketPath);
        return;
    }
    if (std::optional<SpamdSettings> farm = ReadSpamdSettings(spamd); farm && farm->single) {
        next.spamd = SocketPathFarm(next.socketPath);
        next.spamd.connectTimeout = farm->connectTimeout;
        next.spamd.replyTimeout = farm->replyTimeout;
    } else if (farm)
        next.spamd = std::move(*farm);
    else if (next.spamd.single)
        next.spamd = SocketPathFarm(next.socketPath);
    if (!next.spamd.single && cfgfGetDictValue(conf, "SocketPath", cfgfAny) != nullptr)
        PrintMsg("* SocketPath is not used: the Spamd dictionary names the spamd hosts\n");
}

struct DirectoryCloser {
    void operator()(DIR* dir) const { closedir(dir); }
};

}  // namespace

std::shared_ptr<const Settings> CurrentSettings()
{
    std::lock_guard lock(settingsMutex);
    return *current;
}

void PublishSettings(Settings settings)
{
    auto next = std::make_shared<const Settings>(std::move(settings));
    std::lock_guard lock(settingsMutex);
    current->swap(next);
}

Settings ApplySettingsTree(const Settings& previous, std::shared_ptr<const cfgfItem> tree,
                           const std::string& fileName)
{
    Settings next = previous;
    const cfgfItem* conf = tree.get();

    ReadHeaderTemplate(fileName, conf, "Header", "Missing Header item", next.pMainHeader);

    if (const cfgfItem* level = cfgfGetDictValue(conf, "AlertLevel", cfgfString))
        ReadBoundedNumber(level, "AlertLevel", kAlertLevelRange, next.alertLevel);
    else
        cfgfFileError(fileName, "Missing AlertLevel item");

    ReadHeaderTemplate(fileName, conf, "AlertHeader", "Missing AlertHeader item", next.pAlertHeader);
    if (const cfgfItem* path = cfgfGetDictValue(conf, "SocketPath", cfgfString)) {
        // A cut path would name another socket.
        if (path->text.size() > kMaxSocketPath)
            cfgfError(path, "SocketPath holds at most %zu bytes", kMaxSocketPath);
        else
            next.socketPath = path->text;
    }

    // A count out of range keeps the one in force: the pool has kMaxScanningThreadsLimit slots.
    if (const cfgfItem* threads = cfgfGetDictValue(conf, "MaxScanningThreads", cfgfString))
        ReadBoundedNumber(threads, "MaxScanningThreads", kScanningThreadsRange, next.MaxScanningThreads);

    ReadOnProblem(conf, next.onProblemMode);
    ReadScoreRanges(fileName, conf, next.scoreRange);
    ReadRequiredText(fileName, conf, "SubmittedDirectory", "Missing SubmittedDirectory", next.submittedDirName);

    if (const cfgfItem* interval = cfgfGetDictValue(conf, "StatDumpInterval", cfgfString)) {
        ReadBoundedNumber(interval, "StatDumpInterval", kDumpIntervalRange, next.statDumpInterval);
        if (next.statDumpInterval != 0)
            ReadOptionalText(conf, "StatDumpFile", next.statDumpFileName);
    }

    // Unlike the other texts, a MetricsFile that is taken out turns the file off.
    const char* metricsFile = cfgfGetDictValueStr(conf, "MetricsFile");
    next.metricsFile = metricsFile != nullptr ? metricsFile : "";

    // Hosts that parse the log today see no new line unless it is asked for;
    // a file without the key turns the lines off.
    if (conf != nullptr && cfgfGetDictValue(conf, "LogResults", cfgfAny) == nullptr)
        next.logResults = false;
    ReadYesNo(conf, "LogResults", next.logResults);

    ReadSpamd(conf, next);
    if (conf != nullptr) {
        std::optional<LearnSettings> learn = ReadLearnSettings(cfgfGetDictValue(conf, "Learn", cfgfAny));
        next.learnValid = learn.has_value();
        if (learn)
            next.learn = std::move(*learn);
    }

    // The reports look their dictionaries up in the tree each time they run.
    RequireDictionary(fileName, conf, "DailyReport", "Missing DailyReport={...};");
    RequireDictionary(fileName, conf, "EventsReports", "Missing EventsReports={...};");
    next.pConf = std::move(tree);
    return next;
}

namespace {

constexpr const char* kOnProblemNames[] = {"Exit", "Quit", "Ignore"};
constexpr const char* kReportDictionaries[] = {"DailyReport", "EventsReports"};

void AddText(cfgfItem& tree, const char* key, const std::string& value)
{
    cfgfAddToDictionary(&tree, key, std::move(*cfgfNewString(value.c_str())));
}

}  // namespace

std::unique_ptr<cfgfItem> SettingsTree(const Settings& settings)
{
    auto tree = cfgfNewDictionary();
    AddText(*tree, "Header", settings.pMainHeader);
    AddText(*tree, "AlertLevel", std::to_string(settings.alertLevel));
    AddText(*tree, "AlertHeader", settings.pAlertHeader);
    AddText(*tree, "SocketPath", settings.socketPath);
    AddText(*tree, "MaxScanningThreads", std::to_string(settings.MaxScanningThreads));
    const int mode = settings.onProblemMode;
    AddText(*tree, "OnProblem", kOnProblemNames[mode >= OnProblemExit && mode <= OnProblemIgnore ? mode : 0]);
    auto ranges = cfgfNewArray();
    for (int bound : settings.scoreRange)
        cfgfAddToArray(ranges.get(), std::move(*cfgfNewString(std::to_string(bound).c_str())));
    cfgfAddToDictionary(tree.get(), "BarScoreRanges", std::move(*ranges));
    AddText(*tree, "SubmittedDirectory", settings.submittedDirName);
    AddText(*tree, "StatDumpInterval", std::to_string(settings.statDumpInterval));
    AddText(*tree, "StatDumpFile", settings.statDumpFileName);
    AddText(*tree, "MetricsFile", settings.metricsFile);
    AddText(*tree, "LogResults", settings.logResults ? "YES" : "NO");
    cfgfAddToDictionary(tree.get(), "Spamd", std::move(*SpamdSettingsTree(settings.spamd)));
    if (settings.learn != LearnSettings())
        cfgfAddToDictionary(tree.get(), "Learn", std::move(*LearnSettingsTree(settings.learn)));
    for (const char* key : kReportDictionaries)
        if (const cfgfItem* dict = cfgfGetDictValue(settings.pConf.get(), key, cfgfDictionary))
            cfgfAddToDictionary(tree.get(), key, cfgfItem(*dict));
    return tree;
}

bool IsSettingsKey(std::string_view key)
{
    static constexpr std::string_view kKeys[] = {
        "Header",           "AlertLevel",    "AlertHeader",  "SocketPath",  "MaxScanningThreads",
        "OnProblem",        "BarScoreRanges", "SubmittedDirectory", "StatDumpInterval", "StatDumpFile",
        "MetricsFile",      "DailyReport",   "EventsReports", "Spamd", "LogResults", "Learn"};
    for (std::string_view known : kKeys)
        if (key == known)
            return true;
    return false;
}

bool ReadConfigFile(bool startUp)
{
    const std::string path = ConfigFilePath();
    std::shared_ptr<const cfgfItem> tree = cfgfReadConfigFile(path);
    const std::shared_ptr<const Settings> previous = CurrentSettings();
    Settings next = ApplySettingsTree(*previous, std::move(tree), path);
    // Without the Submitted directory no report can be delivered.
    const std::unique_ptr<DIR, DirectoryCloser> submitted(opendir(next.submittedDirName.c_str()));
    if (!submitted) {
        if (startUp) {
            PrintMsg("* FAILURE unable to access directory %s\n", next.submittedDirName.c_str());
            return false;
        }
        // A running plugin keeps delivering where it did.
        PrintMsg("* unable to access directory %s, %s stays in force\n", next.submittedDirName.c_str(),
                 previous->submittedDirName.c_str());
        next.submittedDirName = previous->submittedDirName;
    }
    PublishSettings(std::move(next));
    return true;
}
