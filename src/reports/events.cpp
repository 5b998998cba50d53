#include "reports/events.h"

#include <cerrno>
#include <cstdarg>

#include "base/output.h"
#include "base/system.h"
#include "config/settings.h"
#include "reports/drop.h"

namespace {

bool SwitchedOff(const char* value) { return value != nullptr && (value[0] == 'N' || value[0] == 'n'); }

const char* ValueOr(const cfgfItem* dict, const char* key, const char* fallback)
{
    const char* value = cfgfGetDictValueStr(dict, key);
    return value != nullptr ? value : fallback;
}

// LifecycleNotice - the started and stopped notices, which differ only in
// their key, their error text and the verb of their body.
constexpr const char* kMissingStarted = "Missing EventsReports={Started={...} ... };";
constexpr const char* kMissingStopped = "Missing EventsReports={Stopped={...} ... };";

void LifecycleNotice(const Settings& settings, const char* key, const char* missingText, const char* verb)
{
    const cfgfItem* events = cfgfGetDictValue(settings.pConf.get(), "EventsReports", cfgfDictionary);
    if (events == nullptr)
        cfgfFileError(ConfigFilePath(), "Missing EventsReports={...};");
    const cfgfItem* notice = cfgfGetDictValue(events, key, cfgfDictionary);
    if (notice == nullptr)
        cfgfFileError(ConfigFilePath(), "%s", missingText);
    if (SwitchedOff(cfgfGetDictValueStr(notice, "Enabled")))
        return;

    std::string name;
    ReportFile file = OpenTempFile(settings.submittedDirName, "reportSA_", ".tmp", name);
    if (!file) {
        PrintMsg("* Can't create temp file %s, errno=%d\n", name.c_str(), errno);
        return;
    }
    const time_t now = Now();
    WriteReportHeader(file.get(), ValueOr(events, "From", kDefaultReportFrom),
                      ValueOr(events, "To", kDefaultReportTo), cfgfGetDictValueStr(notice, "Subject"),
                      ValueOr(events, "ExtraHeaders", kDefaultReportExtraHeaders), now);
    fprintf(file.get(), "Velmora SpamAssassin plugin %s on %s.\n\n", verb, mkDate(now).c_str());
    ReleaseReport(std::move(file), name);
}

}  // namespace

void EventReportStarted(const Settings& settings)
{
    LifecycleNotice(settings, "Started", kMissingStarted, "started");
}

void EventReportStoped(const Settings& settings)
{
    LifecycleNotice(settings, "Stopped", kMissingStopped, "stopped");
}

void EventReportProblem(const Settings& settings, const char* format, ...)
{
    const char* subject = "SpamAssassin plugin problem occurred on ^1";
    const char* from = kDefaultReportFrom;
    const char* to = kDefaultReportTo;
    const char* extraHeaders = kDefaultReportExtraHeaders;

    // Problems are reported however incomplete the configuration is: its
    // absence is not mentioned here, the defaults stand in.
    const cfgfItem* events = cfgfGetDictValue(settings.pConf.get(), "EventsReports", cfgfDictionary);
    if (events != nullptr) {
        from = ValueOr(events, "From", from);
        to = ValueOr(events, "To", to);
        extraHeaders = ValueOr(events, "ExtraHeaders", extraHeaders);
        if (const cfgfItem* problem = cfgfGetDictValue(events, "ProblemOccured", cfgfDictionary)) {
            if (SwitchedOff(cfgfGetDictValueStr(problem, "Enabled")))
                return;
            subject = cfgfGetDictValueStr(problem, "Subject");
        }
    }

    std::string name;
    ReportFile file = OpenTempFile(settings.submittedDirName, "reportSA_", ".tmp", name);
    if (!file) {
        PrintMsg("* Can't create temp file %s, errno=%d\n", name.c_str(), errno);
        return;
    }
    WriteReportHeader(file.get(), from, to, subject, extraHeaders, Now());
    fputs("\nVelmora SpamAssassin plugin detected a problem.\n\n", file.get());
    va_list args;
    va_start(args, format);
    vfprintf(file.get(), format, args);
    va_end(args);
    fputs("\n\n", file.get());
    ReleaseReport(std::move(file), name);
}

void CheckNoticeSettings(const cfgfItem* conf)
{
    const cfgfItem* events = cfgfGetDictValue(conf, "EventsReports", cfgfDictionary);
    if (events == nullptr)
        return;  // reported with the settings
    for (const char* key : {"From", "To", "ExtraHeaders"})
        cfgfGetDictValueStr(events, key);
    const struct {
        const char* key;
        const char* missing;
    } notices[] = {{"Started", kMissingStarted}, {"Stopped", kMissingStopped}, {"ProblemOccured", nullptr}};
    for (const auto& notice : notices) {
        const cfgfItem* dict = cfgfGetDictValue(events, notice.key, cfgfDictionary);
        if (dict == nullptr && notice.missing != nullptr)
            cfgfFileError(ConfigFilePath(), "%s", notice.missing);
        for (const char* key : {"Enabled", "Subject"})
            cfgfGetDictValueStr(dict, key);
    }
}
