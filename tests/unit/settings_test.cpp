#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

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
    Settings settings = ApplySettingsTree(previous, tree);
    return {std::move(settings), capture.Text()};
}

std::string ErrorText(int line, const std::string& message)
{
    return "* Error in " + kFile + " " + (line > 0 ? "line " + std::to_string(line) + " " : "") + "\n* " + message +
           "\n";
}

// A file with every key, each set away from its built-in default.
const char* const kFullFile =
    "Header = \"X-Test: ^1\\eX-Bar: ^2\";\n"           // 1
    "AlertLevel = 80;\n"                                // 2
    "AlertHeader = \"X-Alert: yes\";\n"                 // 3
    "SocketPath = \"/tmp/spamd.sock\";\n"               // 4
    "MaxScanningThreads = 3;\n"                         // 5
    "OnProblem = Ignore;\n"                             // 6
    "BarScoreRanges = (5, 10, 20);\n"                   // 7
    "SubmittedDirectory = \"/var/spool/Submitted\";\n"  // 8
    "StatDumpInterval = 30;\n"                          // 9
    "StatDumpFile = \"stats.dat\";\n"                   // 10
    "DailyReport = { Enabled = YES; };\n"               // 11
    "EventsReports = { From = a@b.c; };\n";             // 12

// FullFileWith - the full file with the line of key replaced (an empty line
// keeps the line numbers of the others when a key is dropped).
std::string FullFileWith(std::string_view key, std::string_view valueLine, std::string_view text = kFullFile)
{
    std::string result;
    while (!text.empty()) {
        const std::string_view line = text.substr(0, text.find('\n') + 1);
        result += line.starts_with(std::string(key) + " =") ? std::string(valueLine) + "\n" : std::string(line);
        text.remove_prefix(line.size());
    }
    return result;
}

std::string FullFileWithout(std::string_view key) { return FullFileWith(key, ""); }

// Previous - settings that differ from the defaults and from the full file.
Settings Previous()
{
    Settings previous;
    previous.pMainHeader = "previous header";
    previous.alertLevel = 7;
    previous.pAlertHeader = "previous alert";
    previous.socketPath = "/previous.sock";
    previous.MaxScanningThreads = 6;
    previous.onProblemMode = OnProblemQuit;
    previous.scoreRange = {1, 2, 3};
    previous.submittedDirName = "previous dir";
    previous.statDumpInterval = 99;
    previous.statDumpFileName = "previous.dat";
    return previous;
}

// Values - every value of a snapshot but its tree, in the file's order.
std::string Values(const Settings& s)
{
    std::string ranges;
    for (int bound : s.scoreRange)
        ranges += std::to_string(bound) + " ";
    return s.pMainHeader + " | " + std::to_string(s.alertLevel) + " | " + s.pAlertHeader + " | " + s.socketPath +
           " | " + std::to_string(s.MaxScanningThreads) + " | " + "EQI"[s.onProblemMode] + " | " + ranges + "| " +
           s.submittedDirName + " | " + std::to_string(s.statDumpInterval) + " | " + s.statDumpFileName;
}

const char* const kPreviousValues =
    "previous header | 7 | previous alert | /previous.sock | 6 | Q | 1 2 3 | previous dir | 99 | previous.dat";

}  // namespace

TEST(SettingsApply, EveryKeyTakesEffectOverTheBuiltInDefaults)
{
    EXPECT_EQ(Values(Settings{}),
              "X-Junk-Score: ^1 [^2]\\eX-SA-Score: ^1 [^2] | 100 | X-Alert: possible spam!\\eX-Color: red | "
              "/var/run/spam | 10 | E | 0 39 76 84 90 99 100 | Submitted | 10 | statistics.dat");
    Applied applied = Apply(kFullFile);
    EXPECT_EQ(applied.output, "");
    EXPECT_EQ(Values(applied.settings), "X-Test: ^1\\eX-Bar: ^2 | 80 | X-Alert: yes | /tmp/spamd.sock | 3 | I | "
                                        "5 10 20 | /var/spool/Submitted | 30 | stats.dat");
    EXPECT_EQ(applied.settings.nScoreRanges(), 3);
    const cfgfItem* daily = cfgfGetDictValue(applied.settings.pConf.get(), "DailyReport", cfgfDictionary);
    EXPECT_STREQ(cfgfGetDictValueStr(daily, "Enabled"), "YES");
}

TEST(SettingsApply, NoTreeReportsEveryRequiredKeyAndKeepsValues)
{
    OutputCapture capture;
    cfgfSetFileName(kFile, false);
    Settings next = ApplySettingsTree(Previous(), nullptr);
    EXPECT_EQ(capture.Text(), ErrorText(0, "Missing Header item") + ErrorText(0, "Missing AlertLevel item") +
                                  ErrorText(0, "Missing AlertHeader item") +
                                  ErrorText(0, "Missing BarScoreRanges item") +
                                  ErrorText(0, "Missing SubmittedDirectory") +
                                  ErrorText(0, "Missing DailyReport={...};") +
                                  ErrorText(0, "Missing EventsReports={...};"));
    EXPECT_EQ(Values(next), kPreviousValues);
    EXPECT_EQ(next.pConf, nullptr);

    Applied applied = Apply("Header = x;\nAlertLevel = 5", Previous());
    EXPECT_TRUE(applied.output.starts_with(ErrorText(1, "Syntax error: ';' expected") +
                                           ErrorText(0, "Missing Header item")));
    EXPECT_EQ(Values(applied.settings), kPreviousValues);
}

TEST(SettingsApply, MissingOrWrongKeysAreReportedAndKeepThePreviousValue)
{
    const std::pair<std::string, std::string> table[] = {
        {FullFileWithout("Header"), ErrorText(0, "Missing Header item")},
        {FullFileWithout("AlertLevel"), ErrorText(0, "Missing AlertLevel item")},
        {FullFileWithout("AlertHeader"), ErrorText(0, "Missing AlertHeader item")},
        {FullFileWithout("BarScoreRanges"), ErrorText(0, "Missing BarScoreRanges item")},
        {FullFileWithout("SubmittedDirectory"), ErrorText(0, "Missing SubmittedDirectory")},
        {FullFileWithout("DailyReport"), ErrorText(0, "Missing DailyReport={...};")},
        {FullFileWithout("EventsReports"), ErrorText(0, "Missing EventsReports={...};")},
        {FullFileWith("Header", "Header = (a, b);"),
         ErrorText(1, "incorrect value type; expected String got Array") + ErrorText(0, "Missing Header item")},
        {FullFileWith("DailyReport", "DailyReport = YES;"),
         ErrorText(11, "incorrect value type; expected Dictionary got String") +
             ErrorText(0, "Missing DailyReport={...};")},
        {FullFileWith("SocketPath", "SocketPath = { a = b; };"),
         ErrorText(4, "incorrect value type; expected String got Dictionary")},
        // A line feed in a template would split the reply to the host.
        {FullFileWith("Header", "Header = \"X-A: ^1\\\nX-B: 1\";"), ErrorText(1, "Header may not hold a line feed")},
    };
    for (const auto& [text, said] : table)
        EXPECT_EQ(Apply(text, Previous()).output, said) << text;
    EXPECT_EQ(Apply(FullFileWithout("Header"), Previous()).settings.pMainHeader, "previous header");
    EXPECT_EQ(Apply(FullFileWithout("AlertLevel"), Previous()).settings.alertLevel, 7);
    EXPECT_EQ(Apply(FullFileWithout("AlertHeader"), Previous()).settings.pAlertHeader, "previous alert");
    EXPECT_EQ(Apply(FullFileWithout("BarScoreRanges"), Previous()).settings.scoreRange, (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(Apply(FullFileWithout("SubmittedDirectory"), Previous()).settings.submittedDirName, "previous dir");
    EXPECT_EQ(Apply(table[7].first, Previous()).settings.pMainHeader, "previous header");
    EXPECT_EQ(Apply(table[9].first, Previous()).settings.socketPath, "/previous.sock");
    EXPECT_EQ(Apply(table[10].first, Previous()).settings.pMainHeader, "previous header");
}

TEST(SettingsApply, OptionalKeysMissingAreSilentAndKeepValues)
{
    std::string text = kFullFile;
    for (const char* key : {"SocketPath", "MaxScanningThreads", "OnProblem", "StatDumpInterval", "StatDumpFile"})
        text = FullFileWith(key, "", text);
    Applied applied = Apply(text, Previous());
    EXPECT_EQ(applied.output, "");
    EXPECT_EQ(Values(applied.settings), "X-Test: ^1\\eX-Bar: ^2 | 80 | X-Alert: yes | /previous.sock | 6 | Q | "
                                        "5 10 20 | /var/spool/Submitted | 99 | previous.dat");
}

TEST(SettingsApply, NumbersReadLikeAtoiWithoutMessages)
{
    const std::pair<const char*, int> table[] = {
        {"high", 0}, {"\"  42abc\"", 42}, {"-5", -5}, {"\"+7\"", 7}, {"99999999999999999999", 2147483647}};
    for (const auto& [value, level] : table) {
        Applied applied = Apply(FullFileWith("AlertLevel", std::string("AlertLevel = ") + value + ";"));
        EXPECT_EQ(applied.output, "") << value;
        EXPECT_EQ(applied.settings.alertLevel, level) << value;
    }
}

TEST(SettingsApply, ThreadCountAndOnProblemOutOfRangeAreReportedAndKeepPrevious)
{
    const std::tuple<const char*, const char*, bool, int, OnProblemMode> table[] = {
        {"MaxScanningThreads", "0", true, 6, OnProblemQuit},
        {"MaxScanningThreads", "101", true, 6, OnProblemQuit},
        {"MaxScanningThreads", "-3", true, 6, OnProblemQuit},
        {"MaxScanningThreads", "many", true, 6, OnProblemQuit},
        {"MaxScanningThreads", "99999999999", true, 6, OnProblemQuit},
        {"MaxScanningThreads", "1", false, 1, OnProblemQuit},
        {"MaxScanningThreads", "100", false, 100, OnProblemQuit},
        {"OnProblem", "quit", true, 6, OnProblemQuit},
        {"OnProblem", "exit", true, 6, OnProblemQuit},
        {"OnProblem", "Stop", true, 6, OnProblemQuit},
        {"OnProblem", "\"\"", true, 6, OnProblemQuit},
        // The first letter, a capital, selects the mode.
        {"OnProblem", "Quickly", false, 6, OnProblemQuit},
        {"OnProblem", "Exit", false, 6, OnProblemExit},
        {"OnProblem", "I", false, 6, OnProblemIgnore},
    };
    for (const auto& [key, value, refused, threads, mode] : table) {
        SCOPED_TRACE(std::string(key) + " = " + value);
        std::string text = FullFileWith(key, std::string(key) + " = " + value + ";");
        text = FullFileWith(key == std::string("OnProblem") ? "MaxScanningThreads" : "OnProblem", "", text);
        Applied applied = Apply(text, Previous());
        const std::string error = key == std::string("OnProblem")
                                      ? ErrorText(6, "OnProblem can be either Ignore,Exit or Quit")
                                      : ErrorText(5, "MaxScanningThreads is out of range, must be >=1 and <= 100");
        EXPECT_EQ(applied.output, refused ? error : "");
        EXPECT_EQ(applied.settings.MaxScanningThreads, threads);
        EXPECT_EQ(applied.settings.onProblemMode, mode);
    }
}

TEST(SettingsApply, ScoreRangesAreCheckedAndRefusedOnlyWhenNotAllStrings)
{
    std::string list;
    for (int i = 1; i <= 25; i++)
        list += std::to_string(i * 4) + (i < 25 ? ", " : "");
    const std::string outOfOrder = ErrorText(7, "Error in BarScoreRanges");
    const std::tuple<std::string, std::string, std::vector<int>> table[] = {
        // Bounds beyond twenty are ignored silently.
        {"(" + list + ")", "", {4, 8, 12, 16, 20, 24, 28, 32, 36, 40, 44, 48, 52, 56, 60, 64, 68, 72, 76, 80}},
        // Bounds out of order are reported at the array's line, once for each, and used.
        {"\n (10, 10)", ErrorText(8, "Error in BarScoreRanges"), {10, 10}},
        {"(50, 40, 30, 60)", outOfOrder + outOfOrder, {50, 40, 30, 60}},
        {"(10, 20,\n (30), 40)", ErrorText(8, "Error in BarScoreRanges"), {1, 2, 3}},
        {"()", "", {1, 2, 3}},
        {"10", ErrorText(7, "incorrect value type; expected Array got String") +
                   ErrorText(0, "Missing BarScoreRanges item"),
         {1, 2, 3}},
    };
    for (const auto& [value, said, ranges] : table) {
        SCOPED_TRACE(value);
        Applied applied = Apply(FullFileWith("BarScoreRanges", "BarScoreRanges = " + value + ";"), Previous());
        EXPECT_EQ(applied.output, said);
        EXPECT_EQ(applied.settings.scoreRange, ranges);
    }
}

TEST(SettingsApply, DumpFileIsReadOnlyWithAnIntervalAboveZero)
{
    // Were StatDumpFile read, its wrong kind would be reported.
    Applied applied = Apply(
        FullFileWith("StatDumpFile", "StatDumpFile = (x);", FullFileWith("StatDumpInterval", "StatDumpInterval = 0;")),
        Previous());
    EXPECT_EQ(applied.output, "");
    EXPECT_EQ(applied.settings.statDumpInterval, 0);
    EXPECT_EQ(applied.settings.statDumpFileName, "previous.dat");
    applied = Apply(FullFileWithout("StatDumpInterval"), Previous());
    EXPECT_EQ(applied.output, "");
    EXPECT_EQ(applied.settings.statDumpFileName, "previous.dat");
    applied = Apply(FullFileWith("StatDumpInterval", "StatDumpInterval = 5;"), Previous());
    EXPECT_EQ(applied.settings.statDumpInterval, 5);
    EXPECT_EQ(applied.settings.statDumpFileName, "stats.dat");
}

TEST(SettingsApply, OldTreeLivesWhileItsSnapshotIsHeld)
{
    PublishSettings(Apply(kFullFile).settings);
    std::shared_ptr<const Settings> held = CurrentSettings();
    PublishSettings(Apply(FullFileWith("DailyReport", "DailyReport = { Enabled = NO; };")).settings);
    auto enabled = [](const Settings& s) {
        const cfgfItem* daily = cfgfGetDictValue(s.pConf.get(), "DailyReport", cfgfDictionary);
        return std::string(cfgfGetDictValueStr(daily, "Enabled"));
    };
    EXPECT_EQ(enabled(*held), "YES");
    EXPECT_EQ(enabled(*CurrentSettings()), "NO");
    PublishSettings(Settings{});
}

namespace {

// WorkingDirectory - the plugin's directory with its settings file.
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
    std::string SettingsPath() const { return dir.File("VelmoraSpamAssassin.cfg"); }

    // ReadEndingTheProcess - what ReadConfigFile writes before it ends the process with status 1.
    std::string ReadEndingTheProcess() const
    {
        const std::string out = dir.File("out.txt");
        EXPECT_EXIT(
            {
                SetOutputDescriptor(open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600));
                ReadConfigFile();
                _exit(0);
            },
            testing::ExitedWithCode(1), "");
        return ReadFileText(out);
    }
};

}  // namespace

TEST(SettingsFile, ReadConfigFilePublishesTheFileAndNamesItInMessages)
{
    WorkingDirectory work;
    WriteFile(work.SettingsPath(),
              FullFileWith("SubmittedDirectory", "SubmittedDirectory = \"" + work.dir.File("Submitted") + "\";",
                           FullFileWith("MaxScanningThreads", "MaxScanningThreads = 0;")));
    OutputCapture capture;
    ReadConfigFile();
    EXPECT_EQ(capture.Text(), "* Error in " + work.SettingsPath() +
                                  " line 5 \n* MaxScanningThreads is out of range, must be >=1 and <= 100\n");
    auto settings = CurrentSettings();
    EXPECT_EQ(settings->socketPath, "/tmp/spamd.sock");
    EXPECT_EQ(settings->submittedDirName, work.dir.File("Submitted"));
    EXPECT_NE(settings->pConf, nullptr);
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
    const std::string error = "* Error in " + work.SettingsPath() + " \n* ";
    EXPECT_TRUE(capture.Text().starts_with(error + "unable to open file\n" + error + "Missing Header item\n"));
    EXPECT_EQ(CurrentSettings()->socketPath, "/kept.sock");
}

TEST(SettingsFile, SubmittedDirectoryThatCannotOpenEndsTheProcess)
{
    WorkingDirectory work;
    const std::string missing = work.dir.File("NoSuchDir");
    WriteFile(work.SettingsPath(), FullFileWith("SubmittedDirectory", "SubmittedDirectory = \"" + missing + "\";"));
    EXPECT_EQ(work.ReadEndingTheProcess(), "* FAILURE unable to access directory " + missing + "\n");

    // Without the key the check runs with the current value.
    WriteFile(work.SettingsPath(), FullFileWithout("SubmittedDirectory"));
    Settings previous;
    previous.submittedDirName = work.dir.File("Gone");
    PublishSettings(previous);
    EXPECT_TRUE(work.ReadEndingTheProcess().ends_with(
        "* Missing SubmittedDirectory\n* FAILURE unable to access directory " + work.dir.File("Gone") + "\n"));
}
