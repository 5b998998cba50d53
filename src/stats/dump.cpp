#include "stats/dump.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "config/dictionary.h"
#include "config/settings.h"
#include "protocol/output.h"
#include "protocol/process.h"
#include "protocol/system.h"
#include "protocol/text.h"
#include "stats/ranked_list.h"
#include "stats/record.h"

time_t prevDumpTime = 0;

namespace {

// DumpText - the whole dump, composed under reportMutex so that it shows one
// moment of the record; the file is written after the lock is released.
std::string DumpText(time_t now, bool normalShutdown)
{
    std::string text;
    const time_t periodStart = prevReportTime.load();
    text += FormatText("StatStart=%lu; #%s\n", static_cast<unsigned long>(periodStart), mkDate(periodStart).c_str());
    text += FormatText("StatEnd=%lu; #%s\n", static_cast<unsigned long>(now), mkDate(now).c_str());

    PluginLock lock(reportMutex);
    if (restartTime != 0)
        text += FormatText("RestartTime=%lu; #%s\n", static_cast<unsigned long>(restartTime),
                           mkDate(restartTime).c_str());
    text += FormatText("MessagesTotal=%d;\n", nScannedMessagesTotal);
    text += FormatText("ScanTimeMin=%lu;\n", static_cast<unsigned long>(scanTimeMin));
    text += FormatText("ScanTimeMax=%lu;\n", static_cast<unsigned long>(scanTimeMax));
    text += FormatText("ScanTimeTotal=%lu;\n", static_cast<unsigned long>(scanTimeTotal));
    if (normalShutdown)
        text += "NormalShutdown=YES;\n";
    text += "Scores={\n";
    for (int rating = 0; rating < kRatings; rating++)
        if (msgStat[rating] != 0)
            text += FormatText("\"%d\"=%d;\n", rating, msgStat[rating]);
    text += "};\nSources={\n";
    for (const reportItem& item : reportSourceList.EntriesInNameOrder())
        text += cfgfQuote(item.name) + FormatText("=%d;\n", item.count);
    text += "};\nTargets={\n";
    for (const reportItem& item : reportTargetList.EntriesInNameOrder())
        text += cfgfQuote(item.name) + FormatText("=%d;\n", item.count);
    text += "};\n";
    return text;
}

// WriteWholeFile - create path with text, flushed to the disk; false (errno
// set, the file removed) when any step fails.
bool WriteWholeFile(const std::string& path, const std::string& text)
{
    FileDescriptor fd(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (!fd.IsOpen())
        return false;
    if (!WriteAll(fd.Get(), text) || fsync(fd.Get()) != 0) {
        const int error = errno;
        fd.Close();
        unlink(path.c_str());
        errno = error;
        return false;
    }
    if (close(fd.Release()) != 0) {
        const int error = errno;
        unlink(path.c_str());
        errno = error;
        return false;
    }
    return true;
}

bool SameLocalDay(time_t a, time_t b)
{
    tm ta{}, tb{};
    localtime_r(&a, &ta);
    localtime_r(&b, &tb);
    return ta.tm_year == tb.tm_year && ta.tm_yday == tb.tm_yday;
}

// Numbers of the dump: leading digits as a decimal integer, none gives 0.
int64_t SignedValue(const char* text) { return text ? strtoll(text, nullptr, 10) : 0; }
uint64_t UnsignedValue(const char* text) { return text ? strtoull(text, nullptr, 10) : 0; }

const char* StringOf(const cfgfItem* item)
{
    return item != nullptr && item->type == cfgfString ? item->text.c_str() : nullptr;
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

void RestoreList(const cfgfItem* tree, const char* key, reportObject* list)
{
    const cfgfItem* dict = cfgfGetDictValue(tree, key, cfgfDictionary);
    if (dict == nullptr)
        return;
    for (int n = 0; n < dict->count; n++) {
        const char* name = cfgfGetDictNthKey(dict, n, cfgfAny);
        const char* count = StringOf(cfgfGetDictNthValue(dict, n));
        if (name != nullptr && count != nullptr)
            ReportAddItem(list, name, static_cast<int>(SignedValue(count)));
    }
}

// Errors of the settings that come after the restore must name the settings
// file again, not the dump.
class ConfigFileNameKeeper {
public:
    ConfigFileNameKeeper() : saved(cfgfGetFileName()) {}
    ~ConfigFileNameKeeper() { cfgfSetFileName(saved, false); }
    ConfigFileNameKeeper(const ConfigFileNameKeeper&) = delete;
    ConfigFileNameKeeper& operator=(const ConfigFileNameKeeper&) = delete;

private:
    std::string saved;
};

void Discard(const std::string& path, const char* debugText)
{
    unlink(path.c_str());
    if (debugText != nullptr)
        DebugMsg("%s", debugText);
}

}  // namespace

std::string StatDumpFilePath(const Settings& settings) { return workPath + settings.statDumpFileName; }

void ResetDumpState() { prevDumpTime = 0; }

void DumpReportData(bool force)
{
    const std::shared_ptr<const Settings> settings = CurrentSettings();
    if (settings->statDumpInterval == 0)
        return;
    const time_t now = Now();
    if (!force && now - prevDumpTime <= settings->statDumpInterval)
        return;
    DebugMsg("dumping the statistics data\n");
    time_t unset = 0;
    prevReportTime.compare_exchange_strong(unset, startupTime.load());

    const std::string path = StatDumpFilePath(*settings);
    const std::string tempPath = path + ".tmp";
    const std::string text = DumpText(now, force);
    if (!WriteWholeFile(tempPath, text)) {
        PrintMsg("* unable create %s: %s\n", tempPath.c_str(), strerror(errno));
        return;
    }
    if (rename(tempPath.c_str(), path.c_str()) != 0) {
        PrintMsg("* unable create %s: %s\n", path.c_str(), strerror(errno));
        unlink(tempPath.c_str());
        return;
    }
    prevDumpTime = now;
}

void ReadReportData()
{
    const std::shared_ptr<const Settings> settings = CurrentSettings();
    const std::string path = StatDumpFilePath(*settings);
    if (access(path.c_str(), F_OK) != 0)
        return;

    ConfigFileNameKeeper keeper;
    const std::unique_ptr<cfgfItem> tree = cfgfReadConfigFile(path, false);
    if (!tree) {
        unlink(path.c_str());
        DebugMsg("Failed to parse the %s\n", path.c_str());
        return;
    }
    const time_t now = Now();

    const char* endText = cfgfGetDictValueStr(tree.get(), "StatEnd");
    if (endText == nullptr)
        return Discard(path, nullptr);
    const time_t statEnd = static_cast<time_t>(SignedValue(endText));
    DebugMsg("Dumped statistics found for %s\n", mkDate(statEnd).c_str());
    if (!SameLocalDay(statEnd, now))
        return Discard(path, "The found data is obsolete\n");

    const char* startText = cfgfGetDictValueStr(tree.get(), "StatStart");
    if (startText == nullptr)
        return Discard(path, nullptr);
    const time_t statStart = static_cast<time_t>(SignedValue(startText));
    if (!SameLocalDay(statStart, now))
        return Discard(path, "The found data is obsolete.\n");

    const char* restartText = cfgfGetDictValueStr(tree.get(), "RestartTime");
    const char* normalShutdown = cfgfGetDictValueStr(tree.get(), "NormalShutdown");
    const char* messagesText = cfgfGetDictValueStr(tree.get(), "MessagesTotal");
    const char* minText = cfgfGetDictValueStr(tree.get(), "ScanTimeMin");
    const char* maxText = cfgfGetDictValueStr(tree.get(), "ScanTimeMax");
    const char* totalText = cfgfGetDictValueStr(tree.get(), "ScanTimeTotal");
    const cfgfItem* scores = cfgfGetDictValue(tree.get(), "Scores", cfgfDictionary);
    {
        // No other thread runs yet; the lock only keeps the rule that the
        // record is touched under it.
        PluginLock lock(reportMutex);
        if (restartText != nullptr) {
            restartTime = static_cast<time_t>(SignedValue(restartText));
            if (restartTime < statStart)
                restartTime = 0;
        }
        // Without the orderly-shutdown mark the earlier run ended unplanned,
        // at the latest soon after this dump was written.
        if ((normalShutdown == nullptr || normalShutdown[0] != 'Y') && restartTime == 0)
            restartTime = statEnd;
        prevReportTime.store(statStart);

        if (messagesText != nullptr)
            nScannedMessagesTotal = static_cast<int32_t>(SignedValue(messagesText));
        if (minText != nullptr)
            scanTimeMin = UnsignedValue(minText);
        if (maxText != nullptr)
            scanTimeMax = UnsignedValue(maxText);
        if (totalText != nullptr)
            scanTimeTotal = UnsignedValue(totalText);
        if (scanTimeMin == 0 || scanTimeMax == 0 || scanTimeTotal == 0 || nScannedMessagesTotal == 0)
            scanTimeMin = scanTimeMax = scanTimeTotal = 0;

        for (int n = 0; scores != nullptr && n < scores->count; n++) {
            const int rating = RatingKey(cfgfGetDictNthKey(scores, n, cfgfAny));
            const char* count = StringOf(cfgfGetDictNthValue(scores, n));
            if (rating >= 0 && count != nullptr)
                msgStat[rating] = static_cast<int32_t>(SignedValue(count));
        }
    }
    RestoreList(tree.get(), "Sources", &reportSourceList);
    RestoreList(tree.get(), "Targets", &reportTargetList);
}
