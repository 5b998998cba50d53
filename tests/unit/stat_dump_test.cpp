// The statistics dump: what it writes, when, how it replaces the old file,
// and what a restart on the same day takes back from it.

#include "report_fixture.h"

#include <thread>

#include "protocol/text.h"

namespace {

std::string Num(time_t t) { return std::to_string(static_cast<unsigned long>(t)); }

struct RecordValues {
    int32_t messages = 0;
    uint64_t min = 0, max = 0, total = 0;
    time_t restart = 0;
};

void SetRecord(const RecordValues& v)
{
    PluginLock lock(reportMutex);
    nScannedMessagesTotal = v.messages;
    scanTimeMin = v.min;
    scanTimeMax = v.max;
    scanTimeTotal = v.total;
    restartTime = v.restart;
}

std::vector<std::pair<std::string, int>> ListContent(reportObject& list)
{
    PluginLock lock(reportMutex);
    std::vector<std::pair<std::string, int>> content;
    for (const reportItem& item : list.EntriesInNameOrder())
        content.emplace_back(item.name, item.count);
    return content;
}

}  // namespace

class StatDump : public ReportTest {
protected:
    std::string DumpPath() const { return work.File("statistics.dat"); }
    std::string Dumped() const { return ReadFileText(DumpPath()); }
};

TEST_F(StatDump, WritesTheRecordLineByLine)
{
    const time_t start = LocalSecond(2026, 3, 9, 0, 0, 5);
    const time_t restart = LocalSecond(2026, 3, 9, 8, 0, 0);
    const time_t now = GetNow();
    prevReportTime.store(start);
    SetRecord({42, 12, 3400, 9000, restart});
    msgStat[0] = 30;
    msgStat[55] = 2;
    msgStat[100] = 10;
    ReportAddItem(&reportSourceList, "[10.1.2.3]", 3);
    ReportAddItem(&reportSourceList, "Unknown", 1);
    ReportAddItem(&reportTargetList, "bob@example.org", 2);

    DumpReportData(false);

    EXPECT_EQ(Dumped(), "StatStart=" + Num(start) + "; #Mon, 9 Mar 2026 00:00:05\n"
                        "StatEnd=" + Num(now) + "; #Mon, 9 Mar 2026 12:00:00\n"
                        "RestartTime=" + Num(restart) + "; #Mon, 9 Mar 2026 08:00:00\n"
                        "MessagesTotal=42;\n"
                        "ScanTimeMin=12;\n"
                        "ScanTimeMax=3400;\n"
                        "ScanTimeTotal=9000;\n"
                        "Scores={\n"
                        "\"0\"=30;\n"
                        "\"55\"=2;\n"
                        "\"100\"=10;\n"
                        "};\nSources={\n"
                        "\"Unknown\"=1;\n"
                        "\"[10.1.2.3]\"=3;\n"
                        "};\nTargets={\n"
                        "\"bob@example.org\"=2;\n"
                        "};\n");
    EXPECT_EQ(prevDumpTime, now);
}

TEST_F(StatDump, EmptyRecordGivesEmptyNestedDictionariesAndNoRestartLine)
{
    prevReportTime.store(GetNow() - 100);
    DumpReportData(false);
    EXPECT_EQ(Dumped(), "StatStart=" + Num(GetNow() - 100) + "; #Mon, 9 Mar 2026 11:58:20\n"
                        "StatEnd=" + Num(GetNow()) + "; #Mon, 9 Mar 2026 12:00:00\n"
                        "MessagesTotal=0;\nScanTimeMin=0;\nScanTimeMax=0;\nScanTimeTotal=0;\n"
                        "Scores={\n};\nSources={\n};\nTargets={\n};\n");
}

TEST_F(StatDump, ForcedDumpCarriesTheOrderlyShutdownMark)
{
    prevReportTime.store(GetNow());
    DumpReportData(true);
    EXPECT_NE(Dumped().find("ScanTimeTotal=0;\nNormalShutdown=YES;\nScores={\n"), std::string::npos) << Dumped();
}

TEST_F(StatDump, UnsetPeriodStartBecomesTheStartupTime)
{
    startupTime.store(GetNow() - 60);
    DumpReportData(false);
    EXPECT_EQ(prevReportTime.load(), GetNow() - 60);
    EXPECT_TRUE(Dumped().starts_with("StatStart=" + Num(GetNow() - 60) + ";"));
}

TEST_F(StatDump, DebugModeAnnouncesTheDump)
{
    doDebug.store(true);
    DumpReportData(false);
    EXPECT_EQ(output.Take(), "* dumping the statistics data\n");
}

TEST_F(StatDump, FirstCallDumpsThenOnlyAfterMoreThanTheInterval)
{
    DumpReportData(false);
    ASSERT_TRUE(FileExists(DumpPath()));
    unlink(DumpPath().c_str());

    SetNow(GetNow() + 10);
    DumpReportData(false);
    EXPECT_FALSE(FileExists(DumpPath()));

    SetNow(GetNow() + 1);
    DumpReportData(false);
    EXPECT_TRUE(FileExists(DumpPath()));
}

TEST_F(StatDump, ForceIgnoresTheInterval)
{
    DumpReportData(false);
    unlink(DumpPath().c_str());
    DumpReportData(true);
    EXPECT_TRUE(FileExists(DumpPath()));
}

TEST_F(StatDump, IntervalZeroSwitchesDumpingOffEvenWhenForced)
{
    UseSettings("", [](Settings& s) { s.statDumpInterval = 0; });
    DumpReportData(false);
    DumpReportData(true);
    EXPECT_FALSE(FileExists(DumpPath()));
}

TEST_F(StatDump, FileNameIsTakenRelativeToTheWorkingDirectory)
{
    UseSettings("", [](Settings& s) { s.statDumpFileName = "day.dat"; });
    DumpReportData(false);
    EXPECT_TRUE(FileExists(work.File("day.dat")));
    EXPECT_EQ(StatDumpFilePath(*CurrentSettings()), workPath + "day.dat");
}

TEST_F(StatDump, ReplacesTheOldDumpWholeAndLeavesNoTemporaryFile)
{
    WriteFile(DumpPath(), "old dump");
    DumpReportData(false);
    EXPECT_TRUE(Dumped().starts_with("StatStart="));
    std::vector<std::string> files = ListDirectory(work.Path());
    EXPECT_EQ(std::count_if(files.begin(), files.end(), [](const std::string& n) { return n.ends_with(".tmp"); }),
              0);
}

TEST_F(StatDump, FailedWriteKeepsTheOldDumpAndRetriesAtTheNextCall)
{
    WriteFile(DumpPath(), "old dump");
    // The temporary name is taken by a directory: the new dump cannot be written.
    const std::string tempPath = DumpPath() + ".tmp";
    mkdir(tempPath.c_str(), 0755);
    DumpReportData(false);
    EXPECT_EQ(output.Take(), "* unable create " + tempPath + ": " + strerror(EISDIR) + "\n");
    EXPECT_EQ(Dumped(), "old dump");
    EXPECT_EQ(prevDumpTime, 0);

    rmdir(tempPath.c_str());
    DumpReportData(false);
    EXPECT_TRUE(Dumped().starts_with("StatStart="));
    EXPECT_EQ(prevDumpTime, GetNow());
}

class StatRestore : public StatDump {
protected:
    time_t Today(int hour, int minute = 0) const { return LocalSecond(2026, 3, 9, hour, minute, 0); }
    time_t Yesterday() const { return LocalSecond(2026, 3, 8, 23, 59, 59); }

    void WriteDump(time_t start, time_t end, const std::string& rest)
    {
        WriteFile(DumpPath(), "StatStart=" + Num(start) + "; #x\nStatEnd=" + Num(end) + "; #y\n" + rest);
    }
};

TEST_F(StatRestore, NoFileLeavesTheRecordEmpty)
{
    ReadReportData();
    EXPECT_EQ(output.Take(), "");
    EXPECT_EQ(prevReportTime.load(), 0);
    EXPECT_EQ(restartTime, 0);
}

TEST_F(StatRestore, DumpOfTodayIsTakenBack)
{
    WriteDump(Today(1), Today(11),
              "MessagesTotal=7;\nScanTimeMin=100;\nScanTimeMax=900;\nScanTimeTotal=3000;\nNormalShutdown=YES;\n"
              "Scores={\n\"0\"=4;\n\"90\"=2;\n\"100\"=1;\n};\nSources={\n};\nTargets={\n};\n");
    ReadReportData();
    EXPECT_EQ(prevReportTime.load(), Today(1));
    EXPECT_EQ(nScannedMessagesTotal, 7);
    EXPECT_EQ(scanTimeMin, 100u);
    EXPECT_EQ(scanTimeMax, 900u);
    EXPECT_EQ(scanTimeTotal, 3000u);
    EXPECT_EQ(msgStat[0], 4);
    EXPECT_EQ(msgStat[90], 2);
    EXPECT_EQ(msgStat[100], 1);
    EXPECT_EQ(restartTime, 0);
    EXPECT_TRUE(FileExists(DumpPath()));
    EXPECT_EQ(output.Take(), "");
}

TEST_F(StatRestore, DumpOfThisRunRoundTrips)
{
    prevReportTime.store(Today(2));
    SetRecord({5, 10, 70, 200, Today(3)});
    msgStat[12] = 5;
    ReportAddItem(&reportSourceList, "[192.168.1.9]", 4);
    ReportAddItem(&reportTargetList, "eve@example.org", 5);
    DumpReportData(true);

    ResetAll();
    ReadReportData();
    EXPECT_EQ(prevReportTime.load(), Today(2));
    EXPECT_EQ(restartTime, Today(3));
    EXPECT_EQ(nScannedMessagesTotal, 5);
    EXPECT_EQ(scanTimeTotal, 200u);
    EXPECT_EQ(msgStat[12], 5);
    EXPECT_EQ(ListContent(reportSourceList), (std::vector<std::pair<std::string, int>>{{"[192.168.1.9]", 4}}));
    EXPECT_EQ(ListContent(reportTargetList), (std::vector<std::pair<std::string, int>>{{"eve@example.org", 5}}));
}

TEST_F(StatRestore, ListsComeBackWithTheirCountsAndTotals)
{
    WriteDump(Today(1), Today(11),
              "NormalShutdown=YES;\nScores={\n};\nSources={\n\"Unknown\"=3;\n\"[10.0.0.1]\"=2;\n};\n"
              "Targets={\n\"a@example.org\"=1;\n\"b@example.org\"=6;\n};\n");
    ReadReportData();
    EXPECT_EQ(ListContent(reportSourceList),
              (std::vector<std::pair<std::string, int>>{{"Unknown", 3}, {"[10.0.0.1]", 2}}));
    EXPECT_EQ(reportSourceList.total, 5);
    EXPECT_EQ(ListContent(reportTargetList),
              (std::vector<std::pair<std::string, int>>{{"a@example.org", 1}, {"b@example.org", 6}}));
    EXPECT_EQ(reportTargetList.total, 7);
}

TEST_F(StatRestore, NamesOfEveryKindReadBackUnchanged)
{
    const std::vector<std::string> names = {
        "quote\"inside",    "back\\slash",       "two\\\\back",         "line\nfeed",
        "pair\\eseparator", "control\x01\x1f\t\r", "high\xc3\xa9\xff\x80", "#not a comment",
        "semi;colon={}()",  "trailing\\",        "",                     "plain@example.org"};
    prevReportTime.store(Today(1));
    for (size_t i = 0; i < names.size(); i++)
        ReportAddItem(&reportTargetList, names[i].c_str(), static_cast<int>(i + 1));
    const auto before = ListContent(reportTargetList);
    DumpReportData(true);

    ResetAll();
    ReadReportData();
    EXPECT_TRUE(FileExists(DumpPath())) << "the dump was not readable and has been deleted";
    EXPECT_EQ(ListContent(reportTargetList), before);
    EXPECT_EQ(output.Take(), "");
}

TEST_F(StatRestore, UnparsableDumpIsDeletedAndNamedInDebugMode)
{
    doDebug.store(true);
    WriteFile(DumpPath(), "StatStart=1;\nStatEnd=\n");
    ReadReportData();
    EXPECT_FALSE(FileExists(DumpPath()));
    const std::string said = output.Take();
    EXPECT_TRUE(said.starts_with("* Error in " + DumpPath() + " ")) << said;
    EXPECT_TRUE(said.ends_with("* Failed to parse the " + DumpPath() + "\n")) << said;
    EXPECT_EQ(prevReportTime.load(), 0);
}

TEST_F(StatRestore, UnparsableDumpIsDeletedQuietlyWithoutDebug)
{
    WriteFile(DumpPath(), "Scores={\n\"1\"=2\n};\n");
    ReadReportData();
    EXPECT_FALSE(FileExists(DumpPath()));
    EXPECT_EQ(output.Take().find("Failed to parse"), std::string::npos);
}

TEST_F(StatRestore, LaterSettingsErrorsNameTheSettingsFileAgain)
{
    cfgfSetFileName("/srv/plugin/VelmoraSpamAssassin.cfg", false);
    WriteFile(DumpPath(), "broken");
    ReadReportData();
    EXPECT_EQ(cfgfGetFileName(), "/srv/plugin/VelmoraSpamAssassin.cfg");
    output.Take();
    cfgfError(nullptr, "Missing Header item");
    EXPECT_EQ(output.Take(), "* Error in /srv/plugin/VelmoraSpamAssassin.cfg \n* Missing Header item\n");

    WriteDump(Today(1), Today(11), "NormalShutdown=YES;\n");
    ReadReportData();
    EXPECT_EQ(cfgfGetFileName(), "/srv/plugin/VelmoraSpamAssassin.cfg");
}

TEST_F(StatRestore, DumpWrittenBeforeMidnightIsObsolete)
{
    doDebug.store(true);
    WriteDump(LocalSecond(2026, 3, 8, 1, 0, 0), Yesterday(), "MessagesTotal=9;\n");
    ReadReportData();
    EXPECT_FALSE(FileExists(DumpPath()));
    EXPECT_EQ(output.Take(), "* Dumped statistics found for Sun, 8 Mar 2026 23:59:59\n"
                             "* The found data is obsolete\n");
    EXPECT_EQ(nScannedMessagesTotal, 0);
    EXPECT_EQ(prevReportTime.load(), 0);
}

TEST_F(StatRestore, PeriodBegunYesterdayIsObsolete)
{
    doDebug.store(true);
    WriteDump(Yesterday(), Today(11), "MessagesTotal=9;\n");
    ReadReportData();
    EXPECT_FALSE(FileExists(DumpPath()));
    EXPECT_EQ(output.Take(), "* Dumped statistics found for Mon, 9 Mar 2026 11:00:00\n"
                             "* The found data is obsolete.\n");
    EXPECT_EQ(nScannedMessagesTotal, 0);
}

TEST_F(StatRestore, ObsoleteDumpsAreDeletedSilentlyWithoutDebug)
{
    WriteDump(Yesterday(), Today(11), "MessagesTotal=9;\n");
    ReadReportData();
    EXPECT_FALSE(FileExists(DumpPath()));
    EXPECT_EQ(output.Take(), "");
}

TEST_F(StatRestore, MissingStatEndDeletesWithoutAMessage)
{
    doDebug.store(true);
    WriteFile(DumpPath(), "StatStart=" + Num(Today(1)) + ";\nMessagesTotal=3;\n");
    ReadReportData();
    EXPECT_FALSE(FileExists(DumpPath()));
    EXPECT_EQ(output.Take(), "");
    EXPECT_EQ(nScannedMessagesTotal, 0);
}

TEST_F(StatRestore, MissingStatStartDeletes)
{
    WriteFile(DumpPath(), "StatEnd=" + Num(Today(11)) + ";\nMessagesTotal=3;\n");
    ReadReportData();
    EXPECT_FALSE(FileExists(DumpPath()));
    EXPECT_EQ(nScannedMessagesTotal, 0);
    EXPECT_EQ(prevReportTime.load(), 0);
}

TEST_F(StatRestore, StatEndThatIsNotAStringCountsAsMissing)
{
    WriteFile(DumpPath(), "StatStart=" + Num(Today(1)) + ";\nStatEnd={};\n");
    ReadReportData();
    EXPECT_FALSE(FileExists(DumpPath()));
    EXPECT_NE(output.Take().find("* incorrect value type; expected String got Dictionary\n"), std::string::npos);
}

TEST_F(StatRestore, OrderlyShutdownLeavesNoRestartTime)
{
    WriteDump(Today(1), Today(11), "NormalShutdown=YES;\n");
    ReadReportData();
    EXPECT_EQ(restartTime, 0);
}

TEST_F(StatRestore, MissingShutdownMarkMakesTheLastDumpTheRestartTime)
{
    WriteDump(Today(1), Today(11), "MessagesTotal=1;\n");
    ReadReportData();
    EXPECT_EQ(restartTime, Today(11));
}

TEST_F(StatRestore, ShutdownMarkMustBeginWithY)
{
    WriteDump(Today(1), Today(11), "NormalShutdown=no;\n");
    ReadReportData();
    EXPECT_EQ(restartTime, Today(11));
}

TEST_F(StatRestore, RecordedRestartTimeOfThePeriodIsKept)
{
    WriteDump(Today(1), Today(11), "RestartTime=" + Num(Today(5)) + ";\nNormalShutdown=YES;\n");
    ReadReportData();
    EXPECT_EQ(restartTime, Today(5));
}

TEST_F(StatRestore, RestartTimeBeforeThePeriodIsDropped)
{
    WriteDump(Today(1), Today(11), "RestartTime=" + Num(Today(0, 30)) + ";\nNormalShutdown=YES;\n");
    ReadReportData();
    EXPECT_EQ(restartTime, 0);
}

TEST_F(StatRestore, DroppedRestartTimeWithoutShutdownMarkBecomesTheLastDump)
{
    WriteDump(Today(1), Today(11), "RestartTime=" + Num(Today(0, 30)) + ";\n");
    ReadReportData();
    EXPECT_EQ(restartTime, Today(11));
}

TEST_F(StatRestore, ScanTimesWithoutMessagesComeBackAsZeros)
{
    WriteDump(Today(1), Today(11),
              "MessagesTotal=0;\nScanTimeMin=5;\nScanTimeMax=50;\nScanTimeTotal=500;\nNormalShutdown=YES;\n");
    ReadReportData();
    EXPECT_EQ(scanTimeMin, 0u);
    EXPECT_EQ(scanTimeMax, 0u);
    EXPECT_EQ(scanTimeTotal, 0u);
}

TEST_F(StatRestore, OneScanTimeAtZeroZeroesAllThree)
{
    WriteDump(Today(1), Today(11),
              "MessagesTotal=3;\nScanTimeMin=0;\nScanTimeMax=50;\nScanTimeTotal=500;\nNormalShutdown=YES;\n");
    ReadReportData();
    EXPECT_EQ(nScannedMessagesTotal, 3);
    EXPECT_EQ(scanTimeMax, 0u);
    EXPECT_EQ(scanTimeTotal, 0u);
}

TEST_F(StatRestore, NumbersAreReadIntoTheFullWidthOfTheirField)
{
    WriteDump(Today(1), Today(11),
              "MessagesTotal=3;\nScanTimeMin=1;\nScanTimeMax=2;\nScanTimeTotal=12345678901234;\nNormalShutdown=YES;\n");
    ReadReportData();
    EXPECT_EQ(scanTimeTotal, 12345678901234u);
}

TEST_F(StatRestore, ValueWithoutLeadingDigitsCountsAsZero)
{
    WriteDump(Today(1), Today(11), "MessagesTotal=many;\nNormalShutdown=YES;\nScores={\n\"3\"=lots;\n};\n");
    ReadReportData();
    EXPECT_EQ(nScannedMessagesTotal, 0);
    EXPECT_EQ(msgStat[3], 0);
}

TEST_F(StatRestore, ScoreKeysOutsideTheRatingsAreIgnored)
{
    WriteDump(Today(1), Today(11),
              "NormalShutdown=YES;\nScores={\n\"101\"=4;\n\"-1\"=4;\n\"abc\"=4;\n\"1000\"=4;\n\"7\"=2;\n};\n");
    ReadReportData();
    EXPECT_EQ(msgStat[7], 2);
    int sum = 0;
    for (int i = 0; i < kRatings; i++)
        sum += msgStat[i];
    EXPECT_EQ(sum, 2);
}

TEST_F(StatRestore, FileIsLookedForEvenWhenDumpingIsOff)
{
    UseSettings("", [](Settings& s) { s.statDumpInterval = 0; });
    WriteDump(Today(1), Today(11), "MessagesTotal=4;\nNormalShutdown=YES;\n");
    ReadReportData();
    EXPECT_EQ(nScannedMessagesTotal, 4);
}

TEST_F(StatDump, DumpsWhileCountsArriveShowOneMomentOfTheRecord)
{
    std::atomic<bool> done{false};
    std::thread scanner([&] {
        for (int i = 0; i < 3000; i++) {
            ReportAddItem(&reportTargetList, FormatText("user%d@example.org", i % 13).c_str(), 1);
            CountHandledRequest(7);
        }
        done.store(true);
    });
    int dumps = 0;
    while (!done.load() || dumps == 0) {
        DumpReportData(true);
        dumps++;
        // The scanner adds the target before it counts the message, so a
        // dump taken at one moment holds as many targets or one more.
        std::unique_ptr<cfgfItem> tree = cfgfReadConfigText(Dumped(), "dump", false);
        ASSERT_NE(tree, nullptr);
        const long messages = atol(cfgfGetDictValueStr(tree.get(), "MessagesTotal"));
        const cfgfItem* targets = cfgfGetDictValue(tree.get(), "Targets", cfgfDictionary);
        ASSERT_NE(targets, nullptr);
        long counted = 0;
        for (int n = 0; n < targets->count; n++)
            counted += atol(cfgfGetDictNthValue(targets, n)->text.c_str());
        EXPECT_TRUE(counted == messages || counted == messages + 1) << counted << " targets, " << messages;
    }
    scanner.join();
    DumpReportData(true);
    EXPECT_NE(Dumped().find("MessagesTotal=3000;\nScanTimeMin=7;\nScanTimeMax=7;\nScanTimeTotal=21000;\n"),
              std::string::npos);
}
