// The statistics dump: what it writes, when, how it replaces the old file,
// and what a restart on the same day takes back from it.

#include "report_fixture.h"

#include <numeric>
#include <thread>

namespace {

std::string Num(time_t t) { return std::to_string(static_cast<unsigned long>(t)); }

using Entries = std::vector<std::pair<std::string, int>>;

Entries ListContent(reportObject& list)
{
    PluginLock lock(reportMutex);
    Entries content;
    for (const reportItem& item : list.EntriesInNameOrder())
        content.emplace_back(item.name, item.count);
    return content;
}

}  // namespace

class StatDump : public ReportTest {
protected:
    std::string DumpPath() const { return work.File("statistics.dat"); }
    std::string Dumped() const { return ReadFileText(DumpPath()); }
    time_t Today(int hour, int minute = 0) const { return LocalSecond(2026, 3, 9, hour, minute, 0); }

    void WriteDump(time_t start, time_t end, const std::string& rest)
    {
        WriteFile(DumpPath(), "StatStart=" + Num(start) + "; #x\nStatEnd=" + Num(end) + "; #y\n" + rest);
    }
};

TEST_F(StatDump, WritesTheRecordLineByLine)
{
    doDebug.store(true);
    prevReportTime.store(LocalSecond(2026, 3, 9, 0, 0, 5));
    {
        PluginLock lock(reportMutex);
        nScannedMessagesTotal = 42;
        scanTimeMin = 12;
        scanTimeMax = 3400;
        scanTimeTotal = 9000;
        restartTime = Today(8);
        msgStat[0] = 30;
        msgStat[55] = 2;
        msgStat[100] = 10;
    }
    ReportAddItem(&reportSourceList, "[10.1.2.3]", 3);
    ReportAddItem(&reportSourceList, "Unknown", 1);
    ReportAddItem(&reportTargetList, "bob@example.org", 2);

    DumpReportData(false);

    EXPECT_EQ(output.Take(), "* dumping the statistics data\n");
    EXPECT_EQ(Dumped(), "StatStart=" + Num(prevReportTime.load()) + "; #Mon, 9 Mar 2026 00:00:05\n"
                        "StatEnd=" + Num(GetNow()) + "; #Mon, 9 Mar 2026 12:00:00\n"
                        "RestartTime=" + Num(Today(8)) + "; #Mon, 9 Mar 2026 08:00:00\n"
                        "MessagesTotal=42;\nScanTimeMin=12;\nScanTimeMax=3400;\nScanTimeTotal=9000;\n"
                        "Scores={\n\"0\"=30;\n\"55\"=2;\n\"100\"=10;\n};\n"
                        "Sources={\n\"Unknown\"=1;\n\"[10.1.2.3]\"=3;\n};\n"
                        "Targets={\n\"bob@example.org\"=2;\n};\n");
    EXPECT_EQ(prevDumpTime, GetNow());
}

TEST_F(StatDump, ForcedDumpOfAnEmptyRecordCarriesTheOrderlyShutdownMark)
{
    startupTime.store(GetNow() - 100);  // an unset period start becomes the start-up time
    DumpReportData(true);
    EXPECT_EQ(prevReportTime.load(), GetNow() - 100);
    EXPECT_EQ(Dumped(), "StatStart=" + Num(GetNow() - 100) + "; #Mon, 9 Mar 2026 11:58:20\n"
                        "StatEnd=" + Num(GetNow()) + "; #Mon, 9 Mar 2026 12:00:00\n"
                        "MessagesTotal=0;\nScanTimeMin=0;\nScanTimeMax=0;\nScanTimeTotal=0;\nNormalShutdown=YES;\n"
                        "Scores={\n};\nSources={\n};\nTargets={\n};\n");
}

TEST_F(StatDump, FirstCallDumpsThenOnlyAfterMoreThanTheIntervalUnlessForced)
{
    DumpReportData(false);
    ASSERT_TRUE(FileExists(DumpPath()));
    unlink(DumpPath().c_str());
    SetNow(GetNow() + 10);
    DumpReportData(false);
    EXPECT_FALSE(FileExists(DumpPath()));
    DumpReportData(true);
    EXPECT_TRUE(FileExists(DumpPath()));
    unlink(DumpPath().c_str());
    SetNow(GetNow() + 11);
    DumpReportData(false);
    EXPECT_TRUE(FileExists(DumpPath()));
}

TEST_F(StatDump, IntervalZeroSwitchesDumpingOffEvenWhenForcedButNotTheRestore)
{
    UseSettings("", [](Settings& s) { s.statDumpInterval = 0; });
    DumpReportData(false);
    DumpReportData(true);
    EXPECT_FALSE(FileExists(DumpPath()));
    WriteDump(Today(1), Today(11), "MessagesTotal=4;\nNormalShutdown=YES;\n");
    ReadReportData();
    EXPECT_EQ(nScannedMessagesTotal, 4);
}

TEST_F(StatDump, FileNameIsTakenRelativeToTheWorkingDirectory)
{
    UseSettings("", [](Settings& s) { s.statDumpFileName = "day.dat"; });
    DumpReportData(false);
    EXPECT_TRUE(FileExists(work.File("day.dat")));
}

TEST_F(StatDump, ReplacesTheOldDumpWholeAndLeavesNoTemporaryFile)
{
    WriteFile(DumpPath(), "old dump");
    DumpReportData(false);
    EXPECT_TRUE(Dumped().starts_with("StatStart="));
    for (const std::string& name : ListDirectory(work.Path()))
        EXPECT_FALSE(name.ends_with(".tmp")) << name;
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
    while (!done.load() || dumps++ == 0) {
        DumpReportData(true);
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

using StatRestore = StatDump;

TEST_F(StatRestore, DumpOfTodayIsTakenBack)
{
    ReadReportData();  // no file yet: nothing happens
    EXPECT_EQ(prevReportTime.load(), 0);
    WriteDump(Today(1), Today(11),
              "MessagesTotal=7;\nScanTimeMin=100;\nScanTimeMax=900;\nScanTimeTotal=3000;\nNormalShutdown=YES;\n"
              "Scores={\n\"0\"=4;\n\"90\"=2;\n\"100\"=1;\n};\nSources={\n\"Unknown\"=3;\n\"[10.0.0.1]\"=2;\n};\n"
              "Targets={\n\"a@example.org\"=1;\n\"b@example.org\"=6;\n};\n");
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
    EXPECT_EQ(ListContent(reportSourceList), (Entries{{"Unknown", 3}, {"[10.0.0.1]", 2}}));
    EXPECT_EQ(reportSourceList.total, 5);
    EXPECT_EQ(ListContent(reportTargetList), (Entries{{"a@example.org", 1}, {"b@example.org", 6}}));
    EXPECT_EQ(reportTargetList.total, 7);
    EXPECT_TRUE(FileExists(DumpPath()));
    EXPECT_EQ(output.Take(), "");
}

TEST_F(StatRestore, NamesOfEveryKindReadBackUnchanged)
{
    const std::vector<std::string> names = {
        "quote\"inside",    "back\\slash",         "two\\\\back",          "line\nfeed",
        "pair\\eseparator", "control\x01\x1f\t\r", "high\xc3\xa9\xff\x80", "#not a comment",
        "semi;colon={}()",  "trailing\\",          "",                     "plain@example.org"};
    prevReportTime.store(Today(2));
    {
        PluginLock lock(reportMutex);
        restartTime = Today(3);
        nScannedMessagesTotal = 5;
        scanTimeMin = 10;
        scanTimeMax = 70;
        scanTimeTotal = 200;
        msgStat[12] = 5;
    }
    for (size_t i = 0; i < names.size(); i++)
        ReportAddItem(&reportTargetList, names[i].c_str(), static_cast<int>(i + 1));
    ReportAddItem(&reportSourceList, "[192.168.1.9]", 4);
    const Entries targets = ListContent(reportTargetList);
    DumpReportData(true);

    ResetAll();
    ReadReportData();
    EXPECT_TRUE(FileExists(DumpPath())) << "the dump was not readable and has been deleted";
    EXPECT_EQ(ListContent(reportTargetList), targets);
    EXPECT_EQ(ListContent(reportSourceList), (Entries{{"[192.168.1.9]", 4}}));
    EXPECT_EQ(prevReportTime.load(), Today(2));
    EXPECT_EQ(restartTime, Today(3));
    EXPECT_EQ(nScannedMessagesTotal, 5);
    EXPECT_EQ(scanTimeTotal, 200u);
    EXPECT_EQ(msgStat[12], 5);
    EXPECT_EQ(output.Take(), "");
}

TEST_F(StatRestore, UnusableDumpsAreDeletedAndNamedOnlyInDebugMode)
{
    const std::string yesterday = Num(LocalSecond(2026, 3, 8, 23, 59, 59));
    const std::string error = "* Error in " + DumpPath() + " ";
    const std::string parseFailure = "* Failed to parse the " + DumpPath() + "\n";
    struct Row {
        std::string content, quiet, debug;
    };
    const Row table[] = {
        {"StatStart=1;\nStatEnd=\n", error + "\n* Line 3: unexpected character '\xff'\n", parseFailure},
        {"Scores={\n\"1\"=2\n};\n", error + "line 1 \n* Syntax error: ';' expected\n", parseFailure},
        {"StatStart=" + Num(LocalSecond(2026, 3, 8, 1, 0, 0)) + ";\nStatEnd=" + yesterday + ";\nMessagesTotal=9;\n", "",
         "* Dumped statistics found for Sun, 8 Mar 2026 23:59:59\n* The found data is obsolete\n"},
        {"StatStart=" + yesterday + ";\nStatEnd=" + Num(Today(11)) + ";\nMessagesTotal=9;\n", "",
         "* Dumped statistics found for Mon, 9 Mar 2026 11:00:00\n* The found data is obsolete.\n"},
        {"StatStart=" + Num(Today(1)) + ";\nMessagesTotal=3;\n", "", ""},
        {"StatEnd=" + Num(Today(11)) + ";\nMessagesTotal=3;\n", "",
         "* Dumped statistics found for Mon, 9 Mar 2026 11:00:00\n"},
        {"StatStart=" + Num(Today(1)) + ";\nStatEnd={};\n",
         error + "line 2 \n* incorrect value type; expected String got Dictionary\n", ""},
    };
    for (const Row& row : table) {
        for (bool debug : {false, true}) {
            SCOPED_TRACE(row.content + (debug ? " (debug)" : ""));
            doDebug.store(debug);
            WriteFile(DumpPath(), row.content);
            ReadReportData();
            EXPECT_FALSE(FileExists(DumpPath()));
            EXPECT_EQ(output.Take(), row.quiet + (debug ? row.debug : ""));
            EXPECT_EQ(nScannedMessagesTotal, 0);
            EXPECT_EQ(prevReportTime.load(), 0);
        }
    }
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

TEST_F(StatRestore, RestartTimeComesFromTheRecordOrTheLastDumpOfAnUnorderlyEnd)
{
    const std::pair<std::string, time_t> table[] = {
        {"NormalShutdown=YES;\n", 0},
        {"MessagesTotal=1;\n", Today(11)},
        {"NormalShutdown=no;\n", Today(11)},  // the mark must begin with Y
        {"RestartTime=" + Num(Today(5)) + ";\nNormalShutdown=YES;\n", Today(5)},
        {"RestartTime=" + Num(Today(0, 30)) + ";\nNormalShutdown=YES;\n", 0},  // before the period
        {"RestartTime=" + Num(Today(0, 30)) + ";\n", Today(11)},
    };
    for (const auto& [rest, restart] : table) {
        ResetAll();
        WriteDump(Today(1), Today(11), rest);
        ReadReportData();
        EXPECT_EQ(restartTime, restart) << rest;
    }
}

TEST_F(StatRestore, CountsAreCheckedAsTheyComeBack)
{
    struct Row {
        std::string rest;
        int32_t messages;
        uint64_t min, max, total;
    };
    const Row table[] = {
        // Scan times without messages, or with one of them at zero, come back as zeros.
        {"MessagesTotal=0;\nScanTimeMin=5;\nScanTimeMax=50;\nScanTimeTotal=500;\n", 0, 0, 0, 0},
        {"MessagesTotal=3;\nScanTimeMin=0;\nScanTimeMax=50;\nScanTimeTotal=500;\n", 3, 0, 0, 0},
        {"MessagesTotal=3;\nScanTimeMin=1;\nScanTimeMax=2;\nScanTimeTotal=12345678901234;\n", 3, 1, 2, 12345678901234},
        {"MessagesTotal=many;\nScores={\n\"3\"=lots;\n\"101\"=4;\n\"-1\"=4;\n\"abc\"=4;\n\"1000\"=4;\n\"7\"=2;\n};\n",
         0, 0, 0, 0},
    };
    for (const Row& row : table) {
        SCOPED_TRACE(row.rest);
        ResetAll();
        WriteDump(Today(1), Today(11), row.rest + "NormalShutdown=YES;\n");
        ReadReportData();
        EXPECT_EQ(nScannedMessagesTotal, row.messages);
        EXPECT_EQ(scanTimeMin, row.min);
        EXPECT_EQ(scanTimeMax, row.max);
        EXPECT_EQ(scanTimeTotal, row.total);
    }
    // Of the last row's scores only the rating 7 is one.
    EXPECT_EQ(msgStat[7], 2);
    EXPECT_EQ(std::accumulate(msgStat, msgStat + kRatings, 0), 2);
}
