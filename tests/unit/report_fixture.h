// report_fixture - the in-process stage on which the report, notice and dump
// tests run: a temporary working directory with a Submitted directory, a
// settings snapshot built from dictionary text, a clock that the test sets,
// the output channel captured, and every piece of period state reset before
// and after each test.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "config/dictionary.h"
#include "config/settings.h"
#include "output_capture.h"
#include "plugin_process.h"
#include "protocol/output.h"
#include "protocol/process.h"
#include "protocol/system.h"
#include "protocol/text.h"
#include "reports/daily.h"
#include "reports/drop.h"
#include "stats/dump.h"
#include "stats/ranked_list.h"
#include "stats/record.h"

inline std::atomic<time_t> testNow{0};
inline time_t TestClock() { return testNow.load(); }

// LocalSecond - a local wall-clock time as seconds since the epoch.
inline time_t LocalSecond(int year, int month, int day, int hour, int minute, int second)
{
    tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    t.tm_isdst = -1;
    return mktime(&t);
}

// PlanDraws - the name numbers that OpenTempFile is to draw, in order; the
// generator's values are chosen against the test clock to give them.
inline std::vector<unsigned> plannedDraws;
inline size_t nextDraw = 0;
inline int PlannedRandom()
{
    const unsigned wanted = nextDraw < plannedDraws.size() ? plannedDraws[nextDraw++] : 40000u + nextDraw++;
    return static_cast<int>((wanted - static_cast<uint32_t>(TestClock())) & 0xFFFFu);
}
inline void PlanDraws(std::vector<unsigned> numbers)
{
    plannedDraws = std::move(numbers);
    nextDraw = 0;
    SetRandomSourceForTesting(PlannedRandom);
}

class ReportTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        // A zone without daylight saving and away from UTC, so that local
        // dates differ from UTC ones and every local day has 24 hours.
        setenv("TZ", "EST5", 1);
        tzset();
        workPath = work.Path() + "/";
        mkdir(SubmittedDir().c_str(), 0755);
        SetClockForTesting(TestClock);
        SetNow(LocalSecond(2026, 3, 9, 12, 0, 0));
        startupTime.store(testNow.load());
        ResetAll();
        UseSettings("");
    }

    void TearDown() override
    {
        ResetAll();
        SetClockForTesting(nullptr);
        SetRandomSourceForTesting(nullptr);
        SetProcessorTimesForTesting(nullptr);
        PublishSettings(Settings{});
        workPath.clear();
    }

    static void ResetAll()
    {
        ResetStatistics();
        {
            PluginLock lock(reportMutex);
            ReportClearList(&reportSourceList);
            ReportClearList(&reportTargetList);
        }
        ResetDailyReportState();
        ResetDumpState();
        doDebug.store(false);
    }

    static void SetNow(time_t t) { testNow.store(t); }
    static time_t GetNow() { return testNow.load(); }

    std::string SubmittedDir() const { return work.File("Submitted"); }

    // UseSettings - a snapshot whose tree is read from text; adjust may change
    // other fields before it is published.
    template <typename Adjust>
    void UseSettings(std::string_view treeText, Adjust adjust)
    {
        Settings settings;
        settings.submittedDirName = SubmittedDir();
        if (!treeText.empty()) {
            std::unique_ptr<cfgfItem> tree = cfgfReadConfigText(treeText, "test.cfg", false);
            EXPECT_NE(tree, nullptr) << "settings text does not parse:\n" << treeText;
            settings.pConf = std::shared_ptr<const cfgfItem>(std::move(tree));
        }
        adjust(settings);
        PublishSettings(std::move(settings));
    }
    void UseSettings(std::string_view treeText) { UseSettings(treeText, [](Settings&) {}); }

    // Messages - every file in the Submitted directory, by name.
    std::vector<std::string> Messages() const { return ListDirectory(SubmittedDir()); }
    void ClearSubmitted() const
    {
        for (const std::string& name : Messages())
            unlink((SubmittedDir() + "/" + name).c_str());
    }

    // OnlyMessage - the text of the one delivered message (fails otherwise).
    std::string OnlyMessage() const
    {
        const std::vector<std::string> names = Messages();
        EXPECT_EQ(names.size(), 1u);
        return names.size() == 1 ? ReadFileText(SubmittedDir() + "/" + names[0]) : std::string();
    }

    mode_t ModeOf(const std::string& name) const
    {
        struct stat st {};
        stat((SubmittedDir() + "/" + name).c_str(), &st);
        return st.st_mode & 07777;
    }

    TempDir work;
    OutputCapture output;
};
