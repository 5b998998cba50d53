#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "config/settings.h"
#include "output_capture.h"
#include "plugin_process.h"
#include "protocol/output.h"
#include "protocol/process.h"

namespace {

const std::string kFile = "test.cfg";

struct Applied {
    Settings settings;
    std::string output;
};

// Apply - read text as the settings file and apply it over previous; the
// output holds the reader's and the settings' messages alike.
Applied Apply(std::string_view text, const Settings& previous = Settings{})
{
    OutputCapture capture;
    std::shared_ptr<const cfgfItem> tree = cfgfReadConfigText(text, kFile, false);
    Applied applied{ApplySettingsTree(previous, tree), ""};
    applied.output = capture.Text();
    return applied;
}

std::string ErrorText(int line, const std::string& message)
{
    std::string text = "* Error in " + kFile + " ";
    if (line > 0)
        text += "line " + std::to_string(line) + " ";
    return text + "\n* " + message + "\n";
}

// A file with every key, each set away from its built-in default.
const char* const kFullFile =
    "Header = \"X-Test: ^1\\eX-Bar: ^2\";\n"                  // 1
    "AlertLevel = 80;\n"                                       // 2
    "AlertHeader = \"X-Alert: yes\";\n"                        // 3
    "SocketPath = \"/tmp/spamd.sock\";\n"                      // 4
    "MaxScanningThreads = 3;\n"                                // 5
    "OnProblem = Ignore;\n"                                    // 6
    "BarScoreRanges = (5, 10, 20);\n"                          // 7
    "SubmittedDirectory = \"/var/spool/Submitted\";\n"         // 8
    "StatDumpInterval = 30;\n"                                 // 9
    "StatDumpFile = \"stats.dat\";\n"                          // 10
    "DailyReport = { Enabled = YES; };\n"                      // 11
    "EventsReports = { From = a@b.c; };\n";                    // 12

// WithLine - text with the line of key replaced (an empty line keeps the
// line numbers of the others when a key is dropped).
std::string WithLine(std::string_view text, std::string_view key, std::string_view valueLine)
{
    std::string result;
    while (!text.empty()) {
        size_t end = text.find('\n');
        std::string_view line = text.substr(0, end + 1);
        if (line.starts_with(std::string(key) + " ="))
            result += std::string(valueLine) + "\n";
        else
            result += line;
        text.remove_prefix(end + 1);
    }
    return result;
}

std::string FullFileWith(std::string_view key, std::string_view valueLine)
{
    return WithLine(kFullFile, key, valueLine);
}

std::string FullFileWithout(std::string_view key) { return WithLine(kFullFile, key, ""); }

void ExpectSameValues(const Settings& expected, const Settings& actual)
{
    EXPECT_EQ(expected.pMainHeader, actual.pMainHeader);
    EXPECT_EQ(expected.alertLevel, actual.alertLevel);
    EXPECT_EQ(expected.pAlertHeader, actual.pAlertHeader);
    EXPECT_EQ(expected.socketPath, actual.socketPath);
    EXPECT_EQ(expected.MaxScanningThreads, actual.MaxScanningThreads);
    EXPECT_EQ(expected.onProblemMode, actual.onProblemMode);
    EXPECT_EQ(expected.scoreRange, actual.scoreRange);
    EXPECT_EQ(expected.submittedDirName, actual.submittedDirName);
    EXPECT_EQ(expected.statDumpInterval, actual.statDumpInterval);
    EXPECT_EQ(expected.statDumpFileName, actual.statDumpFileName);
}

}  // namespace

// ---- every key takes effect

TEST(SettingsApply, EveryKeyTakesEffect)
{
    Applied applied = Apply(kFullFile);
    EXPECT_EQ(applied.output, "");
    const Settings& s = applied.settings;
    EXPECT_EQ(s.pMainHeader, "X-Test: ^1\\eX-Bar: ^2");
    EXPECT_EQ(s.alertLevel, 80);
    EXPECT_EQ(s.pAlertHeader, "X-Alert: yes");
    EXPECT_EQ(s.socketPath, "/tmp/spamd.sock");
    EXPECT_EQ(s.MaxScanningThreads, 3);
    EXPECT_EQ(s.onProblemMode, OnProblemIgnore);
    EXPECT_EQ(s.scoreRange, (std::vector<int>{5, 10, 20}));
    EXPECT_EQ(s.nScoreRanges(), 3);
    EXPECT_EQ(s.submittedDirName, "/var/spool/Submitted");
    EXPECT_EQ(s.statDumpInterval, 30);
    EXPECT_EQ(s.statDumpFileName, "stats.dat");
    ASSERT_NE(s.pConf, nullptr);
    const cfgfItem* daily = cfgfGetDictValue(s.pConf.get(), "DailyReport", cfgfDictionary);
    EXPECT_STREQ(cfgfGetDictValueStr(daily, "Enabled"), "YES");
}

TEST(SettingsApply, BuiltInDefaults)
{
    Settings s;
    EXPECT_EQ(s.pMainHeader, "X-Junk-Score: ^1 [^2]\\eX-SA-Score: ^1 [^2]");
    EXPECT_EQ(s.alertLevel, 100);
    EXPECT_EQ(s.pAlertHeader, "X-Alert: possible spam!\\eX-Color: red");
    EXPECT_EQ(s.socketPath, "/var/run/spam");
    EXPECT_EQ(s.MaxScanningThreads, 10);
    EXPECT_EQ(s.onProblemMode, OnProblemExit);
    EXPECT_EQ(s.scoreRange, (std::vector<int>{0, 39, 76, 84, 90, 99, 100}));
    EXPECT_EQ(s.submittedDirName, "Submitted");
    EXPECT_EQ(s.statDumpInterval, 10);
    EXPECT_EQ(s.statDumpFileName, "statistics.dat");
}

// ---- what is missing or wrong keeps the previous value

TEST(SettingsApply, NoTreeReportsEveryRequiredKeyAndKeepsValues)
{
    Settings previous = Apply(kFullFile).settings;
    OutputCapture capture;
    cfgfSetFileName(kFile, false);
    Settings next = ApplySettingsTree(previous, nullptr);
    EXPECT_EQ(capture.Text(), ErrorText(0, "Missing Header item") + ErrorText(0, "Missing AlertLevel item") +
                                  ErrorText(0, "Missing AlertHeader item") +
                                  ErrorText(0, "Missing BarScoreRanges item") +
                                  ErrorText(0, "Missing SubmittedDirectory") +
                                  ErrorText(0, "Missing DailyReport={...};") +
                                  ErrorText(0, "Missing EventsReports={...};"));
    ExpectSameValues(previous, next);
    EXPECT_EQ(next.pConf, nullptr);
}

TEST(SettingsApply, SyntaxErrorGivesNoTree)
{
    Settings previous = Apply(kFullFile).settings;
    Applied applied = Apply("Header = x;\nAlertLevel = 5", previous);
    EXPECT_TRUE(applied.output.starts_with(ErrorText(1, "Syntax error: ';' expected") +
                                           ErrorText(0, "Missing Header item")));
    ExpectSameValues(previous, applied.settings);
}

TEST(SettingsApply, EachMissingRequiredKeyIsReportedAlone)
{
    const std::vector<std::pair<std::string, std::string>> keys = {
        {"Header", "Missing Header item"},
        {"AlertLevel", "Missing AlertLevel item"},
        {"AlertHeader", "Missing AlertHeader item"},
        {"BarScoreRanges", "Missing BarScoreRanges item"},
        {"SubmittedDirectory", "Missing SubmittedDirectory"},
        {"DailyReport", "Missing DailyReport={...};"},
        {"EventsReports", "Missing EventsReports={...};"},
    };
    Settings previous;
    previous.pMainHeader = "previous header";
    previous.alertLevel = 7;
    previous.pAlertHeader = "previous alert";
    previous.scoreRange = {1, 2};
    previous.submittedDirName = "previous dir";
    for (const auto& [key, message] : keys) {
        Applied applied = Apply(FullFileWithout(key), previous);
        EXPECT_EQ(applied.output, ErrorText(0, message)) << key;
    }
    EXPECT_EQ(Apply(FullFileWithout("Header"), previous).settings.pMainHeader, "previous header");
    EXPECT_EQ(Apply(FullFileWithout("AlertLevel"), previous).settings.alertLevel, 7);
    EXPECT_EQ(Apply(FullFileWithout("AlertHeader"), previous).settings.pAlertHeader, "previous alert");
    EXPECT_EQ(Apply(FullFileWithout("BarScoreRanges"), previous).settings.scoreRange, (std::vector<int>{1, 2}));
    EXPECT_EQ(Apply(FullFileWithout("SubmittedDirectory"), previous).settings.submittedDirName, "previous dir");
}

TEST(SettingsApply, OptionalKeysMissingAreSilentAndKeepValues)
{
    Settings previous;
    previous.socketPath = "/previous.sock";
    previous.MaxScanningThreads = 7;
    previous.onProblemMode = OnProblemQuit;
    previous.statDumpInterval = 99;
    previous.statDumpFileName = "previous.dat";
    std::string text = kFullFile;
    for (const char* key : {"SocketPath", "MaxScanningThreads", "OnProblem", "StatDumpInterval", "StatDumpFile"})
        text = WithLine(text, key, "");
    Applied applied = Apply(text, previous);
    EXPECT_EQ(applied.output, "");
    EXPECT_EQ(applied.settings.socketPath, "/previous.sock");
    EXPECT_EQ(applied.settings.MaxScanningThreads, 7);
    EXPECT_EQ(applied.settings.onProblemMode, OnProblemQuit);
    EXPECT_EQ(applied.settings.statDumpInterval, 99);
    EXPECT_EQ(applied.settings.statDumpFileName, "previous.dat");
}

TEST(SettingsApply, WrongKindIsReportedThenMissing)
{
    Applied applied = Apply(FullFileWith("Header", "Header = (a, b);"));
    EXPECT_EQ(applied.output, ErrorText(1, "incorrect value type; expected String got Array") +
                                  ErrorText(0, "Missing Header item"));
    EXPECT_EQ(applied.settings.pMainHeader, Settings{}.pMainHeader);

    applied = Apply(FullFileWith("DailyReport", "DailyReport = YES;"));
    EXPECT_EQ(applied.output, ErrorText(11, "incorrect value type; expected Dictionary got String") +
                                  ErrorText(0, "Missing DailyReport={...};"));

    applied = Apply(FullFileWith("SocketPath", "SocketPath = { a = b; };"));
    EXPECT_EQ(applied.output, ErrorText(4, "incorrect value type; expected String got Dictionary"));
    EXPECT_EQ(applied.settings.socketPath, "/var/run/spam");
}

TEST(SettingsApply, SocketPathRemovedKeepsPrevious)
{
    Settings first = Apply(kFullFile).settings;
    Applied second = Apply(FullFileWithout("SocketPath"), first);
    EXPECT_EQ(second.output, "");
    EXPECT_EQ(second.settings.socketPath, "/tmp/spamd.sock");
}

TEST(SettingsApply, HeaderTemplateWithALineFeedIsRefused)
{
    Settings first = Apply(kFullFile).settings;
    Applied second = Apply(FullFileWith("Header", "Header = \"X-A: ^1\\\nX-B: 1\";"), first);
    EXPECT_EQ(second.output, ErrorText(1, "Header may not hold a line feed"));
    EXPECT_EQ(second.settings.pMainHeader, "X-Test: ^1\\eX-Bar: ^2");
}

// ---- numbers

TEST(SettingsApply, NumbersReadLikeAtoi)
{
    EXPECT_EQ(Apply(FullFileWith("AlertLevel", "AlertLevel = high;")).settings.alertLevel, 0);
    EXPECT_EQ(Apply(FullFileWith("AlertLevel", "AlertLevel = \"  42abc\";")).settings.alertLevel, 42);
    EXPECT_EQ(Apply(FullFileWith("AlertLevel", "AlertLevel = -5;")).settings.alertLevel, -5);
    EXPECT_EQ(Apply(FullFileWith("AlertLevel", "AlertLevel = \"+7\";")).settings.alertLevel, 7);
    EXPECT_EQ(Apply(FullFileWith("AlertLevel", "AlertLevel = 99999999999999999999;")).settings.alertLevel,
              2147483647);
}

TEST(SettingsApply, AlertLevelWordReadsAsZeroWithoutMessage)
{
    Applied applied = Apply(FullFileWith("AlertLevel", "AlertLevel = high;"));
    EXPECT_EQ(applied.output, "");
    EXPECT_EQ(applied.settings.alertLevel, 0);
}

TEST(SettingsApply, ThreadCountOutOfRangeIsReportedAndKeepsPrevious)
{
    Settings previous;
    previous.MaxScanningThreads = 6;
    for (const char* value : {"0", "101", "-3", "many", "99999999999"}) {
        Applied applied = Apply(FullFileWith("MaxScanningThreads", std::string("MaxScanningThreads = ") + value + ";"),
                                previous);
        EXPECT_EQ(applied.output, ErrorText(5, "MaxScanningThreads is out of range, must be >=1 and <= 100")) << value;
        EXPECT_EQ(applied.settings.MaxScanningThreads, 6) << value;
    }
    EXPECT_EQ(Apply(FullFileWith("MaxScanningThreads", "MaxScanningThreads = 1;")).settings.MaxScanningThreads, 1);
    EXPECT_EQ(Apply(FullFileWith("MaxScanningThreads", "MaxScanningThreads = 100;")).settings.MaxScanningThreads, 100);
}

// ---- OnProblem

TEST(SettingsApply, OnProblemFirstCapitalLetterSelectsMode)
{
    EXPECT_EQ(Apply(FullFileWith("OnProblem", "OnProblem = Quit;")).settings.onProblemMode, OnProblemQuit);
    EXPECT_EQ(Apply(FullFileWith("OnProblem", "OnProblem = Quickly;")).settings.onProblemMode, OnProblemQuit);
    EXPECT_EQ(Apply(FullFileWith("OnProblem", "OnProblem = Exit;")).settings.onProblemMode, OnProblemExit);
    EXPECT_EQ(Apply(FullFileWith("OnProblem", "OnProblem = I;")).settings.onProblemMode, OnProblemIgnore);
}

TEST(SettingsApply, OnProblemLowerCaseIsReportedAtItsLineAndKeepsMode)
{
    Settings previous;
    previous.onProblemMode = OnProblemIgnore;
    for (const char* value : {"quit", "exit", "Stop", "\"\""}) {
        Applied applied = Apply(FullFileWith("OnProblem", std::string("OnProblem = ") + value + ";"), previous);
        EXPECT_EQ(applied.output, ErrorText(6, "OnProblem can be either Ignore,Exit or Quit")) << value;
        EXPECT_EQ(applied.settings.onProblemMode, OnProblemIgnore) << value;
    }
}

// ---- BarScoreRanges

TEST(SettingsApply, ScoreRangesBeyondTwentyAreIgnoredSilently)
{
    std::string list;
    for (int i = 1; i <= 25; i++)
        list += std::to_string(i * 4) + (i < 25 ? ", " : "");
    Applied applied = Apply(FullFileWith("BarScoreRanges", "BarScoreRanges = (" + list + ");"));
    EXPECT_EQ(applied.output, "");
    ASSERT_EQ(applied.settings.nScoreRanges(), 20);
    EXPECT_EQ(applied.settings.scoreRange.front(), 4);
    EXPECT_EQ(applied.settings.scoreRange.back(), 80);
}

TEST(SettingsApply, ScoreRangesOutOfOrderAreReportedAtArrayLineAndUsed)
{
    Applied applied = Apply(FullFileWith("BarScoreRanges", "BarScoreRanges =\n (10, 10);"));
    EXPECT_EQ(applied.output, ErrorText(8, "Error in BarScoreRanges"));
    EXPECT_EQ(applied.settings.scoreRange, (std::vector<int>{10, 10}));

    applied = Apply(FullFileWith("BarScoreRanges", "BarScoreRanges = (50, 40, 30, 60);"));
    EXPECT_EQ(applied.output, ErrorText(7, "Error in BarScoreRanges") + ErrorText(7, "Error in BarScoreRanges"));
    EXPECT_EQ(applied.settings.scoreRange, (std::vector<int>{50, 40, 30, 60}));
}

TEST(SettingsApply, ScoreRangesWithNonStringAreRefusedWhole)
{
    Settings previous;
    previous.scoreRange = {1, 2, 3};
    Applied applied = Apply(FullFileWith("BarScoreRanges", "BarScoreRanges = (10, 20,\n (30), 40);"), previous);
    EXPECT_EQ(applied.output, ErrorText(8, "Error in BarScoreRanges"));
    EXPECT_EQ(applied.settings.scoreRange, (std::vector<int>{1, 2, 3}));
}

TEST(SettingsApply, EmptyScoreRangesKeepPrevious)
{
    Settings previous;
    previous.scoreRange = {1, 2, 3};
    Applied applied = Apply(FullFileWith("BarScoreRanges", "BarScoreRanges = ();"), previous);
    EXPECT_EQ(applied.output, "");
    EXPECT_EQ(applied.settings.nScoreRanges(), 3);
}

TEST(SettingsApply, ScoreRangesOfWrongKindReportedThenMissing)
{
    Applied applied = Apply(FullFileWith("BarScoreRanges", "BarScoreRanges = 10;"));
    EXPECT_EQ(applied.output, ErrorText(7, "incorrect value type; expected Array got String") +
                                  ErrorText(0, "Missing BarScoreRanges item"));
}

// ---- statistics dump keys

TEST(SettingsApply, DumpIntervalZeroLeavesDumpFileUnread)
{
    Settings previous;
    previous.statDumpFileName = "previous.dat";
    // Were StatDumpFile read, its wrong kind would be reported.
    std::string text = WithLine(FullFileWith("StatDumpInterval", "StatDumpInterval = 0;"), "StatDumpFile",
                                "StatDumpFile = (x);");
    Applied applied = Apply(text, previous);
    EXPECT_EQ(applied.output, "");
    EXPECT_EQ(applied.settings.statDumpInterval, 0);
    EXPECT_EQ(applied.settings.statDumpFileName, "previous.dat");
}

TEST(SettingsApply, DumpFileReadOnlyWithIntervalPresent)
{
    Settings previous;
    previous.statDumpFileName = "previous.dat";
    Applied applied = Apply(FullFileWithout("StatDumpInterval"), previous);
    EXPECT_EQ(applied.output, "");
    EXPECT_EQ(applied.settings.statDumpFileName, "previous.dat");
    applied = Apply(FullFileWith("StatDumpInterval", "StatDumpInterval = 5;"), previous);
    EXPECT_EQ(applied.settings.statDumpInterval, 5);
    EXPECT_EQ(applied.settings.statDumpFileName, "stats.dat");
}

// ---- the tree kept in the snapshot

TEST(SettingsApply, OldTreeLivesWhileItsSnapshotIsHeld)
{
    PublishSettings(Apply(kFullFile).settings);
    std::shared_ptr<const Settings> held = CurrentSettings();
    PublishSettings(Apply(FullFileWith("DailyReport", "DailyReport = { Enabled = NO; };")).settings);
    EXPECT_STREQ(cfgfGetDictValueStr(cfgfGetDictValue(held->pConf.get(), "DailyReport", cfgfDictionary), "Enabled"),
                 "YES");
    EXPECT_STREQ(cfgfGetDictValueStr(
                     cfgfGetDictValue(CurrentSettings()->pConf.get(), "DailyReport", cfgfDictionary), "Enabled"),
                 "NO");
    PublishSettings(Settings{});
}

// ---- reading the file from the working directory

namespace {

struct WorkingDirectory {
    TempDir dir;
    std::string savedWorkPath = workPath;
    WorkingDirectory()
    {
        workPath = dir.Path() + "/";
        mkdir(dir.File("Submitted").c_str(), 0755);
    }
    ~WorkingDirectory()
    {
        workPath = savedWorkPath;
        PublishSettings(Settings{});
    }
    std::string SettingsText(std::string_view extra = "") const
    {
        return FullFileWith("SubmittedDirectory", "SubmittedDirectory = \"" + dir.File("Submitted") + "\";") +
               std::string(extra);
    }
};

}  // namespace

TEST(SettingsFile, ReadConfigFilePublishesTheFile)
{
    WorkingDirectory work;
    WriteFile(work.dir.File("VelmoraSpamAssassin.cfg"), work.SettingsText());
    OutputCapture capture;
    ReadConfigFile();
    EXPECT_EQ(capture.Text(), "");
    auto settings = CurrentSettings();
    EXPECT_EQ(settings->socketPath, "/tmp/spamd.sock");
    EXPECT_EQ(settings->submittedDirName, work.dir.File("Submitted"));
    ASSERT_NE(settings->pConf, nullptr);
}

TEST(SettingsFile, MessagesNameTheFileInTheWorkingDirectory)
{
    WorkingDirectory work;
    WriteFile(work.dir.File("VelmoraSpamAssassin.cfg"),
              FullFileWith("MaxScanningThreads", "MaxScanningThreads = 0;") + "SubmittedDirectory = \"" +
                  work.dir.File("Submitted") + "\";\n");
    OutputCapture capture;
    ReadConfigFile();
    EXPECT_EQ(capture.Text(), "* Error in " + work.dir.Path() +
                                  "/VelmoraSpamAssassin.cfg line 5 \n* MaxScanningThreads is out of range, must be "
                                  ">=1 and <= 100\n");
}

TEST(SettingsFile, MissingFileKeepsValuesWhenSubmittedOpens)
{
    WorkingDirectory work;
    Settings previous;
    previous.submittedDirName = work.dir.File("Submitted");
    previous.socketPath = "/kept.sock";
    PublishSettings(previous);
    OutputCapture capture;
    ReadConfigFile();
    const std::string name = work.dir.Path() + "/VelmoraSpamAssassin.cfg";
    EXPECT_TRUE(capture.Text().starts_with("* Error in " + name + " \n* unable to open file\n* Error in " + name +
                                           " \n* Missing Header item\n"));
    EXPECT_EQ(CurrentSettings()->socketPath, "/kept.sock");
}

TEST(SettingsFile, SubmittedDirectoryThatCannotOpenEndsTheProcess)
{
    WorkingDirectory work;
    const std::string out = work.dir.File("out.txt");
    const std::string missing = work.dir.File("NoSuchDir");
    WriteFile(work.dir.File("VelmoraSpamAssassin.cfg"),
              FullFileWith("SubmittedDirectory", "SubmittedDirectory = \"" + missing + "\";"));
    EXPECT_EXIT(
        {
            int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            SetOutputDescriptor(fd);
            ReadConfigFile();
            _exit(0);
        },
        testing::ExitedWithCode(1), "");
    EXPECT_EQ(ReadFileText(out), "* FAILURE unable to access directory " + missing + "\n");
}

TEST(SettingsFile, SubmittedCheckRunsWithCurrentValueWhenKeyMissing)
{
    WorkingDirectory work;
    const std::string out = work.dir.File("out.txt");
    WriteFile(work.dir.File("VelmoraSpamAssassin.cfg"), FullFileWithout("SubmittedDirectory"));
    Settings previous;
    previous.submittedDirName = work.dir.File("Gone");
    PublishSettings(previous);
    EXPECT_EXIT(
        {
            int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            SetOutputDescriptor(fd);
            ReadConfigFile();
            _exit(0);
        },
        testing::ExitedWithCode(1), "");
    EXPECT_TRUE(ReadFileText(out).ends_with("* Missing SubmittedDirectory\n* FAILURE unable to access directory " +
                                            work.dir.File("Gone") + "\n"));
}
