// The dictionary reader and the settings it gives.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "config/dictionary.h"
#include "config/settings.h"
#include "output_capture.h"
#include "plugin_process.h"

namespace {

const std::string kFile = "test.cfg";

std::string ErrorText(int line, const std::string& message, const std::string& file = kFile)
{
    return "* Error in " + file + " " + (line > 0 ? "line " + std::to_string(line) + " " : "") + "\n* " + message +
           "\n";
}

struct ReadResult {
    std::unique_ptr<cfgfItem> tree;
    std::string output;
};

ReadResult Read(std::string_view text)
{
    OutputCapture capture;
    return {cfgfReadConfigText(text, kFile), capture.Text()};  // in this order
}

const char* const kFullFile =
    "Header = \"X-Test: ^1\\eX-Bar: ^2\";\n"           // 1
    "AlertLevel = 80;\n"                                // 2
    "AlertHeader = \"X-Alert: yes\";\n"                 // 3
    "SocketPath = \"/tmp/spamd.sock\";\n"               // 4
    "MaxScanningThreads = 3;\n"                         // 5
    "OnProblem = Ignore;\n"                             // 6
    "BarScoreRanges = (5, 10x, 20);\n"                  // 7: numbers read like atoi
    "SubmittedDirectory = \"/var/spool/Submitted\";\n"  // 8
    "StatDumpInterval = 30;\n"                          // 9
    "StatDumpFile = \"stats.dat\";\n"                   // 10
    "DailyReport = { Enabled = YES; };\n"               // 11
    "EventsReports = { From = a@b.c; };\n";             // 12

std::string Values(const Settings& s)
{
    std::string ranges;
    for (int bound : s.scoreRange)
        ranges += std::to_string(bound) + " ";
    return s.pMainHeader + " | " + std::to_string(s.alertLevel) + " | " + s.pAlertHeader + " | " + s.socketPath +
           " | " + std::to_string(s.MaxScanningThreads) + " | " + "EQI"[s.onProblemMode] + " | " + ranges + "| " +
           s.submittedDirName + " | " + std::to_string(s.statDumpInterval) + " | " + s.statDumpFileName;
}

struct Applied {
    Settings settings;
    std::string output;
};

Applied Apply(std::string_view text, const Settings& previous = Settings{})
{
    OutputCapture capture;
    return {ApplySettingsTree(previous, cfgfReadConfigText(text, kFile), kFile), capture.Text()};
}

// With replaces the line of key in the full file (an empty line drops it).
std::string With(const std::string& key, const std::string& line)
{
    std::string result, text = kFullFile;
    for (size_t at = 0, end; at < text.size(); at = end) {
        end = text.find('\n', at) + 1;
        result += text.compare(at, key.size() + 2, key + " =") == 0 ? line + "\n" : text.substr(at, end - at);
    }
    return result;
}

}  // namespace

TEST(Dictionary, EveryFailureGivesItsMessageAndLine)
{
    const struct {
        std::string text;
        int line;
        std::string message;
    } table[] = {
        {"a = b;\n\nc = /x;\n", 0, "Line 3: unexpected character '/'"},
        {"a = b; # comment\n# line\n\nc = /;", 0, "Line 4: unexpected character '/'"},
        {"a = \"x\\\ny\";\nb = /;", 0, "Line 2: unexpected character '/'"},
        {"a = b;\nc =", 0, "Line 2: unexpected character '\xff'"},
        {"a = b;\nc = \"abc\ndef\";\n", 0, "Line 2: unterminated string 'abc'"},
        {"a = \"" + std::string(1000, 'v') + "\n", 0, "Line 1: unterminated string '" + std::string(300, 'v') + "...'"},
        {"a = b;\nd = {\n  x = 1;\n  y 2;\n};\n", 2, "Syntax error: '=' expected after 'y'"},
        {"a = b;\nn = {\n  x = 1\n};\n", 2, "Syntax error: ';' expected"},
        {"a = b;\nc = d", 1, "Syntax error: ';' expected"},
        {"a = (x, y", 1, "Syntax error: ';' expected"},
        {"a = " + std::string(65, '(') + std::string(65, ')') + ";", 0, "Line 1: nesting too deep"},
        {"a = " + std::string(1000000, '('), 0, "Line 1: nesting too deep"},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.text.substr(0, 40));
        ReadResult result = Read(row.text);
        EXPECT_EQ(result.tree, nullptr);
        EXPECT_EQ(result.output, ErrorText(row.line, row.message));
    }
    EXPECT_NE(Read("a = " + std::string(64, '(') + std::string(64, ')') + ";").tree, nullptr);
}

TEST(Dictionary, ValuesLookupsAndTheirErrorsNameTheFileTheyCameFrom)
{
    ReadResult r = Read("# settings\nS = \"a\\\"b\\ec\";\nA = (x y, \"z\");\nD = {\n k = v;\n};\nS2 = @_-.!9;\nD = {};\n");
    ASSERT_NE(r.tree, nullptr);
    EXPECT_EQ(r.output, "");
    const cfgfItem* tree = r.tree.get();
    EXPECT_STREQ(cfgfGetDictValueStr(tree, "S"), "a\"b\\ec");  // the \e pair survives the read
    EXPECT_STREQ(cfgfGetDictValueStr(tree, "S2"), "@_-.!9");
    const cfgfItem* array = cfgfGetDictValue(tree, "A", cfgfArray);
    ASSERT_NE(array, nullptr);
    EXPECT_EQ(array->count, 3);
    EXPECT_EQ(cfgfGetArrayValue(array, 2)->text, "z");
    EXPECT_EQ(cfgfGetArrayValue(array, 3), nullptr);
    EXPECT_EQ(cfgfGetDictValue(tree, "D", cfgfDictionary)->count, 0);  // the last of duplicate keys wins
    EXPECT_STREQ(cfgfGetDictNthKey(tree, 2, cfgfAny), "D");
    EXPECT_EQ(cfgfGetDictNthValue(tree, 2)->line, 4);
    EXPECT_EQ(cfgfGetDictValue(tree, "missing", cfgfAny), nullptr);

    OutputCapture capture;
    EXPECT_EQ(cfgfGetDictValue(tree, "S", cfgfArray), nullptr);
    EXPECT_EQ(cfgfGetArrayValue(cfgfGetDictValue(tree, "S", cfgfString), 0), nullptr);
    TempDir dir;
    WriteFile(dir.File("other.cfg"), "x = (1);\n");
    std::unique_ptr<cfgfItem> other = cfgfReadConfigFile(dir.File("other.cfg"));
    EXPECT_EQ(cfgfGetDictValue(other.get(), "x", cfgfDictionary), nullptr);
    ASSERT_EQ(mkfifo(dir.File("fifo.cfg").c_str(), 0600), 0);
    EXPECT_EQ(cfgfReadConfigFile(dir.File("fifo.cfg")), nullptr);  // refused at once, never waited on
    EXPECT_EQ(cfgfReadConfigFile(dir.Path()), nullptr);
    EXPECT_EQ(capture.Text(), ErrorText(2, "incorrect value type; expected Array got String") +
                                  ErrorText(2, "wrong item type, array expected") +
                                  ErrorText(1, "incorrect value type; expected Dictionary got Array",
                                            dir.File("other.cfg")) +
                                  ErrorText(0, "unable to open file", dir.File("fifo.cfg")) +
                                  ErrorText(0, "unable to open file", dir.Path()));
}

TEST(Dictionary, QuotedTextReadsBackUnchangedAndRandomInputNeverCrashes)
{
    std::string awkward;
    for (int c = 1; c < 256; c++)
        awkward += static_cast<char>(c);
    ReadResult r = Read("k = " + cfgfQuote(awkward) + ";\n" + cfgfQuote("a=b;{}") + " = 1;\n");
    ASSERT_NE(r.tree, nullptr);
    EXPECT_EQ(cfgfGetDictValueStr(r.tree.get(), "k"), awkward);
    EXPECT_STREQ(cfgfGetDictValueStr(r.tree.get(), "a=b;{}"), "1");

    std::mt19937 random(7);
    const std::string alphabet = "ab=;{}()\",\\\n# e";
    OutputCapture capture;
    for (int i = 0; i < 3000; i++) {
        std::string text;
        for (int n = random() % 60; n > 0; n--)
            text += alphabet[random() % alphabet.size()];
        cfgfReadConfigText(text, kFile);
    }
}

TEST(Settings, EveryKeyTakesEffectAndMistakesKeepThePreviousValue)
{
    Applied full = Apply(kFullFile);
    EXPECT_EQ(full.output, "");
    EXPECT_EQ(Values(full.settings), "X-Test: ^1\\eX-Bar: ^2 | 80 | X-Alert: yes | /tmp/spamd.sock | 3 | I | "
                                     "5 10 20 | /var/spool/Submitted | 30 | stats.dat");
    EXPECT_EQ(Values(Settings{}), "X-Junk-Score: ^1 [^2]\\eX-SA-Score: ^1 [^2] | 100 | X-Alert: possible spam!"
                                  "\\eX-Color: red | /var/run/spam | 10 | E | 0 39 76 84 90 99 100 | Submitted | "
                                  "10 | statistics.dat");
    const Settings previous = full.settings;
    const auto E = [](int line, const std::string& message) { return ErrorText(line, message); };
    const std::string range = "MaxScanningThreads is out of range, must be >=1 and <= 100";
    const struct {
        std::string key, line, output;
    } table[] = {
        {"Header", "", E(0, "Missing Header item")},
        // A control character would split or end the reply line that carries the template.
        {"Header", "Header = \"a\\\nb\";", E(1, "Header may not hold a control character")},
        {"Header", "Header = \"X-A: 1\rX-B: 2\";", E(1, "Header may not hold a control character")},
        {"AlertHeader", "AlertHeader = \"a\tb\";", E(3, "AlertHeader may not hold a control character")},
        {"AlertHeader", "AlertHeader = \"a\x7f\";", E(3, "AlertHeader may not hold a control character")},
        {"SocketPath", "SocketPath = \"/" + std::string(107, 's') + "\";", E(4, "SocketPath holds at most 107 bytes")},
        {"AlertLevel", "", E(0, "Missing AlertLevel item")},
        {"AlertLevel", "AlertLevel = 102;", E(2, "AlertLevel is out of range, must be >=0 and <= 101")},
        {"StatDumpInterval", "StatDumpInterval = -1;", E(9, "StatDumpInterval is out of range, must be >=0 and <= 86400")},
        {"StatDumpInterval", "StatDumpInterval = 2147483647;",
         E(9, "StatDumpInterval is out of range, must be >=0 and <= 86400")},
        {"BarScoreRanges", "BarScoreRanges = (10, 101);", E(7, "BarScoreRanges is out of range, must be >=0 and <= 100")},
        {"AlertHeader", "AlertHeader = (x);",
         E(3, "incorrect value type; expected String got Array") + E(0, "Missing AlertHeader item")},
        {"MaxScanningThreads", "MaxScanningThreads = 0;", E(5, range)},
        {"MaxScanningThreads", "MaxScanningThreads = 101;", E(5, range)},
        {"OnProblem", "OnProblem = ignore;", E(6, "OnProblem can be either Ignore,Exit or Quit")},
        {"BarScoreRanges", "", E(0, "Missing BarScoreRanges item")},
        {"BarScoreRanges", "BarScoreRanges = (1, (2));", E(7, "Error in BarScoreRanges")},
        {"BarScoreRanges", "BarScoreRanges = (0, 80, 40, 100);", E(7, "Error in BarScoreRanges")},
        {"SubmittedDirectory", "", E(0, "Missing SubmittedDirectory")},
        {"DailyReport", "", E(0, "Missing DailyReport={...};")},
        {"EventsReports", "EventsReports = x;",
         E(12, "incorrect value type; expected Dictionary got String") + E(0, "Missing EventsReports={...};")},
    };
    // Kept - s with other values for key (for every key when key is "").
    const auto Kept = [](Settings s, const std::string& key) {
        const auto is = [&](const char* name) { return key.empty() || key == name; };
        s.pMainHeader = is("Header") ? "kept" : s.pMainHeader;
        s.alertLevel = is("AlertLevel") ? 7 : s.alertLevel;
        s.pAlertHeader = is("AlertHeader") ? "kept alert" : s.pAlertHeader;
        s.MaxScanningThreads = is("MaxScanningThreads") ? 9 : s.MaxScanningThreads;
        s.onProblemMode = is("OnProblem") ? int{OnProblemQuit} : s.onProblemMode;
        s.scoreRange = is("BarScoreRanges") ? std::vector<int>{1, 2} : s.scoreRange;
        s.submittedDirName = is("SubmittedDirectory") ? "kept dir" : s.submittedDirName;
        s.statDumpInterval = is("StatDumpInterval") ? 11 : s.statDumpInterval;
        return s;
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.line.empty() ? row.key + " missing" : row.line);
        Applied applied = Apply(With(row.key, row.line), Kept(previous, ""));
        EXPECT_EQ(applied.output, row.output);
        EXPECT_EQ(Values(applied.settings), Values(Kept(full.settings, row.key)));
    }
    // Without a dump interval the dump file is not read; an unreadable file reports every required key.
    Applied noDump = Apply(With("StatDumpInterval", "StatDumpInterval = 0;"));
    EXPECT_EQ(noDump.settings.statDumpFileName, "statistics.dat");
    OutputCapture capture;
    Settings none = ApplySettingsTree(previous, nullptr, kFile);
    EXPECT_EQ(Values(none), Values(previous));
    EXPECT_EQ(capture.Text(), ErrorText(0, "Missing Header item") + ErrorText(0, "Missing AlertLevel item") +
                                  ErrorText(0, "Missing AlertHeader item") + ErrorText(0, "Missing BarScoreRanges item") +
                                  ErrorText(0, "Missing SubmittedDirectory") +
                                  ErrorText(0, "Missing DailyReport={...};") +
                                  ErrorText(0, "Missing EventsReports={...};"));
}

TEST(Settings, AnOldTreeLivesWhileItsSnapshotIsHeld)
{
    Applied first = Apply(kFullFile);
    PublishSettings(first.settings);
    const std::shared_ptr<const Settings> held = CurrentSettings();
    PublishSettings(Apply(With("DailyReport", "DailyReport = { Enabled = NO; };")).settings);
    EXPECT_STREQ(cfgfGetDictValueStr(cfgfGetDictValue(held->pConf.get(), "DailyReport", cfgfDictionary), "Enabled"),
                 "YES");
    EXPECT_STREQ(cfgfGetDictValueStr(cfgfGetDictValue(CurrentSettings()->pConf.get(), "DailyReport", cfgfDictionary),
                                     "Enabled"),
                 "NO");
    PublishSettings(Settings{});
}
