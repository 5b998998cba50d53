#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "config/dictionary.h"
#include "output_capture.h"
#include "protocol/output.h"
#include "plugin_process.h"

namespace {

const std::string kFile = "test.cfg";

struct ReadResult {
    std::unique_ptr<cfgfItem> tree;
    std::string output;
};

ReadResult Read(std::string_view text)
{
    OutputCapture capture;
    ReadResult result;
    result.tree = cfgfReadConfigText(text, kFile, false);
    result.output = capture.Text();
    return result;
}

// ErrorText - the two lines that cfgfError writes for the test file.
std::string ErrorText(int line, const std::string& message)
{
    std::string text = "* Error in " + kFile + " ";
    if (line > 0)
        text += "line " + std::to_string(line) + " ";
    return text + "\n* " + message + "\n";
}

void ExpectFailure(std::string_view text, int line, const std::string& message)
{
    const std::string shown = testing::PrintToString(std::string(text.substr(0, 200)));
    ReadResult result = Read(text);
    EXPECT_EQ(result.tree, nullptr) << shown;
    EXPECT_EQ(result.output, ErrorText(line, message)) << shown;
}

std::unique_ptr<cfgfItem> ReadOk(std::string_view text)
{
    ReadResult result = Read(text);
    EXPECT_NE(result.tree, nullptr) << text;
    EXPECT_EQ(result.output, "") << text;
    return std::move(result.tree);
}

std::vector<std::string> ArrayTexts(const cfgfItem* array)
{
    std::vector<std::string> texts;
    for (int i = 0; const cfgfItem* element = cfgfGetArrayValue(array, i); i++)
        texts.push_back(element->text);
    return texts;
}

}  // namespace

// ---- failures: every message of the reader, byte for byte, with its line

TEST(DictionaryErrors, MissingFileIsReportedWithoutLine)
{
    OutputCapture capture;
    auto tree = cfgfReadConfigFile("/nonexistent-dir/x.cfg", false);
    EXPECT_EQ(tree, nullptr);
    EXPECT_EQ(capture.Text(), "* Error in /nonexistent-dir/x.cfg \n* unable to open file\n");
}

TEST(DictionaryErrors, DirectoryCannotBeReadAsFile)
{
    TempDir dir;
    OutputCapture capture;
    EXPECT_EQ(cfgfReadConfigFile(dir.Path(), false), nullptr);
    EXPECT_EQ(capture.Text(), "* Error in " + dir.Path() + " \n* unable to open file\n");
}

TEST(DictionaryErrors, UnexpectedCharacterNamesCurrentLine)
{
    ExpectFailure("a = b;\n\nc = /x;\n", 0, "Line 3: unexpected character '/'");
}

TEST(DictionaryErrors, BraceAtTopLevelIsUnexpected)
{
    ExpectFailure("{ a = b; };", 0, "Line 1: unexpected character '{'");
}

TEST(DictionaryErrors, EndOfFileWhereValueIsDue)
{
    // The end of the file shows as the byte that a C character of -1 prints.
    ExpectFailure("a = b;\nc =", 0, "Line 2: unexpected character '\xff'");
    ExpectFailure("a = b;\nc", 1, "Syntax error: '=' expected after 'c'");
}

TEST(DictionaryErrors, RawLineFeedInQuotedStringIsUnterminated)
{
    ExpectFailure("a = b;\nc = \"abc\ndef\";\n", 0, "Line 2: unterminated string 'abc'");
}

TEST(DictionaryErrors, MissingEqualsNamesDictionaryStartLine)
{
    ExpectFailure("a = b;\n\nkey ;\n", 1, "Syntax error: '=' expected after 'key'");
    ExpectFailure("a = b;\nd = {\n  x = 1;\n  y 2;\n};\n", 2, "Syntax error: '=' expected after 'y'");
}

TEST(DictionaryErrors, MissingSemicolonNamesDictionaryStartLine)
{
    ExpectFailure("a = b;\nn = {\n  x = 1\n};\n", 2, "Syntax error: ';' expected");
    ExpectFailure("a = b;\n\nc = d\ne = f;\n", 1, "Syntax error: ';' expected");
}

TEST(DictionaryErrors, LastEntryStillNeedsItsSemicolon)
{
    ExpectFailure("a = b;\nc = d", 1, "Syntax error: ';' expected");
}

TEST(DictionaryErrors, UnquotedPathFailsAtFirstBadCharacterOrAfterValidStart)
{
    ExpectFailure("SocketPath = /var/run/spam;", 0, "Line 1: unexpected character '/'");
    ExpectFailure("SocketPath = var/run/spam;", 1, "Syntax error: ';' expected");
}

TEST(DictionaryErrors, TwoCommasInARowAreUnexpected)
{
    ExpectFailure("a = b;\nr = (x,, y);", 0, "Line 2: unexpected character ','");
}

TEST(DictionaryErrors, ContainersOpenAtEndOfFileFailTheEntry)
{
    ExpectFailure("a = b;\nd = { x = y;", 1, "Syntax error: ';' expected");
    ExpectFailure("a = (x, y", 1, "Syntax error: ';' expected");
}

TEST(DictionaryErrors, FailureInsideNestingFailsWholeRead)
{
    ExpectFailure("a = { b = ( { c = \"x\ny\"; } ); };", 0, "Line 1: unterminated string 'x'");
}

TEST(DictionaryErrors, BytesAboveAsciiAreNotWhiteSpace)
{
    ExpectFailure("a = \xc3\xa9;", 0, "Line 1: unexpected character '\xc3'");
}

TEST(DictionaryErrors, NestingBeyondLimitIsRefused)
{
    std::string deep = "a = " + std::string(65, '(') + std::string(65, ')') + ";";
    ExpectFailure(deep, 0, "Line 1: nesting too deep");
    std::string allowed = "a = " + std::string(64, '(') + std::string(64, ')') + ";";
    ReadOk(allowed);
}

TEST(DictionaryErrors, HugeNestingFailsWithoutExhaustingTheStack)
{
    ExpectFailure("a = " + std::string(1000000, '('), 0, "Line 1: nesting too deep");
    ExpectFailure("a = " + std::string(100000, '(') + "{ b = {", 0, "Line 1: nesting too deep");
    std::string alternating = "a = ";
    for (int i = 0; i < 100000; i++)
        alternating += "{b=(";
    ExpectFailure(alternating, 0, "Line 1: nesting too deep");
}

TEST(DictionaryErrors, ExitOnErrorAbortsAfterTheMessage)
{
    TempDir dir;
    const std::string out = dir.File("out.txt");
    EXPECT_EXIT(
        {
            int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            SetOutputDescriptor(fd);
            cfgfReadConfigText("a = b", "abort.cfg", true);
            _exit(0);
        },
        testing::ExitedWithCode(1), "");
    EXPECT_EQ(ReadFileText(out), "* Error in abort.cfg line 1 \n* Syntax error: ';' expected\n* program aborted\n");
}

// ---- the syntax's edge cases

TEST(DictionarySyntax, EmptyOrCommentOnlyFileIsEmptyDictionary)
{
    for (std::string_view text : {"", "  \n\t\r\n", "# only a comment", "# one\n# two\n"}) {
        auto tree = ReadOk(text);
        ASSERT_NE(tree, nullptr);
        EXPECT_EQ(tree->type, cfgfDictionary);
        EXPECT_EQ(tree->count, 0);
        EXPECT_EQ(tree->line, 1);
    }
}

TEST(DictionarySyntax, ClosingBraceAtTopLevelEndsTheRead)
{
    auto tree = ReadOk("a = b;\n}\nthis is { not read ((");
    ASSERT_NE(tree, nullptr);
    EXPECT_EQ(tree->count, 1);
    EXPECT_STREQ(cfgfGetDictValueStr(tree.get(), "a"), "b");
}

TEST(DictionarySyntax, ArrayCommasAreOptional)
{
    const std::vector<std::string> expected = {"x", "y", "z"};
    for (std::string_view text : {"r = (x, y, z);", "r = (x y z);", "r = (x, y, z,);", "r=(x,y\n,z ,) ;"}) {
        auto tree = ReadOk(text);
        const cfgfItem* array = cfgfGetDictValue(tree.get(), "r", cfgfArray);
        ASSERT_NE(array, nullptr) << text;
        EXPECT_EQ(array->count, 3);
        EXPECT_EQ(ArrayTexts(array), expected) << text;
    }
}

TEST(DictionarySyntax, EmptyArrayAndEmptyString)
{
    auto tree = ReadOk("r = ();\ns = \"\";\nd = {};");
    EXPECT_EQ(cfgfGetDictValue(tree.get(), "r", cfgfArray)->count, 0);
    EXPECT_STREQ(cfgfGetDictValueStr(tree.get(), "s"), "");
    EXPECT_EQ(cfgfGetDictValue(tree.get(), "d", cfgfDictionary)->count, 0);
}

TEST(DictionarySyntax, QuotedStringEscapes)
{
    auto tree = ReadOk(R"(h = "X-A: 1\eX-B: 2"; q = "say \"hi\""; n = "a\nb"; b = "back\\slash"; t = "end\)"
                       "\n\";");
    EXPECT_STREQ(cfgfGetDictValueStr(tree.get(), "h"), "X-A: 1\\eX-B: 2");
    EXPECT_STREQ(cfgfGetDictValueStr(tree.get(), "q"), "say \"hi\"");
    EXPECT_STREQ(cfgfGetDictValueStr(tree.get(), "n"), "anb");
    EXPECT_STREQ(cfgfGetDictValueStr(tree.get(), "b"), "back\\slash");
    EXPECT_STREQ(cfgfGetDictValueStr(tree.get(), "t"), "end\n");
    EXPECT_EQ(cfgfGetDictValue(tree.get(), "h", cfgfString)->count, 14);
}

TEST(DictionarySyntax, QuotedStringAtEndOfFileKeepsTextRead)
{
    // The string ends without error; the entry then lacks its ';'.
    ExpectFailure("a = \"abc", 1, "Syntax error: ';' expected");
    ExpectFailure("a = \"abc\\", 1, "Syntax error: ';' expected");
}

TEST(DictionarySyntax, QuotedKeysAndHashInsideQuotes)
{
    auto tree = ReadOk("\"1.2.3.4\" = \"a # not a comment\";\n\"\" = x;");
    EXPECT_STREQ(cfgfGetDictValueStr(tree.get(), "1.2.3.4"), "a # not a comment");
    EXPECT_STREQ(cfgfGetDictValueStr(tree.get(), ""), "x");
}

TEST(DictionarySyntax, HashRightAfterUnquotedStringStartsComment)
{
    auto tree = ReadOk("a = value# the comment ; = {\n;\nb = c;");
    EXPECT_STREQ(cfgfGetDictValueStr(tree.get(), "a"), "value");
    EXPECT_STREQ(cfgfGetDictValueStr(tree.get(), "b"), "c");
}

TEST(DictionarySyntax, CommentsCountTheirLineOnce)
{
    ExpectFailure("a = b; # after the entry\n# on its own line\n\nc = /;", 0, "Line 4: unexpected character '/'");
}

TEST(DictionarySyntax, CommentAtEndOfFileWithoutLineFeed)
{
    auto tree = ReadOk("a = b; # last");
    EXPECT_STREQ(cfgfGetDictValueStr(tree.get(), "a"), "b");
}

TEST(DictionarySyntax, EscapedLineFeedIsNotCounted)
{
    ExpectFailure("a = \"x\\\ny\";\nb = /;", 0, "Line 2: unexpected character '/'");
}

TEST(DictionarySyntax, ControlCharactersAreWhiteSpace)
{
    static const char text[] = "a\r\n =\t\x01 b\x1f;\r\n\0c = d;";
    auto tree = ReadOk(std::string_view(text, sizeof text - 1));
    ASSERT_NE(tree, nullptr);
    EXPECT_STREQ(cfgfGetDictValueStr(tree.get(), "a"), "b");
    EXPECT_STREQ(cfgfGetDictValueStr(tree.get(), "c"), "d");
}

TEST(DictionarySyntax, ValuesCarryTheLineTheyBeginOn)
{
    auto tree = ReadOk("a = b;\n\nr =\n (\n x,\n y);\nd = {\n k = v; };\n");
    EXPECT_EQ(tree->line, 1);
    EXPECT_EQ(cfgfGetDictValue(tree.get(), "a", cfgfString)->line, 1);
    const cfgfItem* array = cfgfGetDictValue(tree.get(), "r", cfgfArray);
    EXPECT_EQ(array->line, 4);
    EXPECT_EQ(cfgfGetArrayValue(array, 0)->line, 5);
    EXPECT_EQ(cfgfGetArrayValue(array, 1)->line, 6);
    const cfgfItem* dict = cfgfGetDictValue(tree.get(), "d", cfgfDictionary);
    EXPECT_EQ(dict->line, 7);
    EXPECT_EQ(cfgfGetDictValue(dict, "k", cfgfString)->line, 8);
}

TEST(DictionarySyntax, UnquotedCharacterSet)
{
    auto tree = ReadOk("From = spam-report@example.org!_x.y;");
    EXPECT_STREQ(cfgfGetDictValueStr(tree.get(), "From"), "spam-report@example.org!_x.y");
}

TEST(DictionarySyntax, ReadsFileFromDisk)
{
    TempDir dir;
    WriteFile(dir.File("s.cfg"), "AlertLevel = 5;\nBarScoreRanges = (1, 3, 5, 8);\nDailyReport = { Enabled = YES; };\n");
    OutputCapture capture;
    auto tree = cfgfReadConfigFile(dir.File("s.cfg"), false);
    EXPECT_EQ(capture.Text(), "");
    ASSERT_NE(tree, nullptr);
    EXPECT_STREQ(cfgfGetDictValueStr(tree.get(), "AlertLevel"), "5");
    EXPECT_EQ(ArrayTexts(cfgfGetDictValue(tree.get(), "BarScoreRanges", cfgfArray)),
              (std::vector<std::string>{"1", "3", "5", "8"}));
    EXPECT_STREQ(cfgfGetDictValueStr(cfgfGetDictValue(tree.get(), "DailyReport", cfgfDictionary), "Enabled"), "YES");
}

// ---- lookups

TEST(DictionaryLookup, LastOfDuplicateKeysWinsAndNthShowsBoth)
{
    auto tree = ReadOk("k = first;\nother = x;\nk = second;");
    EXPECT_STREQ(cfgfGetDictValueStr(tree.get(), "k"), "second");
    EXPECT_EQ(tree->count, 3);
    EXPECT_STREQ(cfgfGetDictNthKey(tree.get(), 0, cfgfAny), "k");
    EXPECT_EQ(cfgfGetDictNthValue(tree.get(), 0)->text, "first");
    EXPECT_STREQ(cfgfGetDictNthKey(tree.get(), 2, cfgfDictionary), "k");
    EXPECT_EQ(cfgfGetDictNthValue(tree.get(), 2)->text, "second");
}

TEST(DictionaryLookup, KeysAreCaseSensitive)
{
    auto tree = ReadOk("Header = x;");
    OutputCapture capture;
    EXPECT_EQ(cfgfGetDictValueStr(tree.get(), "header"), nullptr);
    EXPECT_EQ(cfgfGetDictValueStr(tree.get(), "Missing"), nullptr);
    EXPECT_EQ(capture.Text(), "");
}

TEST(DictionaryLookup, WrongValueTypeIsReportedAtValueLine)
{
    auto tree = ReadOk("a = b;\n\nd = {\n x = y; };");
    OutputCapture capture;
    EXPECT_EQ(cfgfGetDictValueStr(tree.get(), "d"), nullptr);
    EXPECT_EQ(cfgfGetDictValue(tree.get(), "a", cfgfArray), nullptr);
    EXPECT_EQ(capture.Text(), ErrorText(3, "incorrect value type; expected String got Dictionary") +
                                  ErrorText(1, "incorrect value type; expected Array got String"));
    const cfgfItem* any = cfgfGetDictValue(tree.get(), "d", cfgfAny);
    ASSERT_NE(any, nullptr);
    EXPECT_EQ(any->type, cfgfDictionary);
}

TEST(DictionaryLookup, NonContainersAreReported)
{
    auto tree = ReadOk("a = b;\nr = (x);");
    const cfgfItem* str = cfgfGetDictValue(tree.get(), "a", cfgfString);
    const cfgfItem* array = cfgfGetDictValue(tree.get(), "r", cfgfArray);
    OutputCapture capture;
    EXPECT_EQ(cfgfGetDictValue(str, "a", cfgfAny), nullptr);
    EXPECT_EQ(cfgfGetDictNthValue(array, 0), nullptr);
    EXPECT_EQ(cfgfGetDictNthKey(str, 0, cfgfAny), nullptr);
    EXPECT_EQ(cfgfGetArrayValue(str, 0), nullptr);
    EXPECT_EQ(cfgfGetArrayValue(tree.get(), 0), nullptr);
    EXPECT_EQ(capture.Text(), ErrorText(1, "wrong item type (String), dictionary expected") +
                                  ErrorText(2, "wrong item type (Array), dictionary expected") +
                                  ErrorText(1, "wrong item type (String), dictionary expected") +
                                  ErrorText(1, "wrong item type, array expected") +
                                  ErrorText(1, "wrong item type, array expected"));
}

TEST(DictionaryLookup, OutOfRangeAndNullAreSilent)
{
    auto tree = ReadOk("r = (x, y);");
    const cfgfItem* array = cfgfGetDictValue(tree.get(), "r", cfgfArray);
    OutputCapture capture;
    EXPECT_EQ(cfgfGetArrayValue(array, -1), nullptr);
    EXPECT_EQ(cfgfGetArrayValue(array, 2), nullptr);
    EXPECT_EQ(cfgfGetDictNthValue(tree.get(), 1), nullptr);
    EXPECT_EQ(cfgfGetDictNthKey(tree.get(), -1, cfgfAny), nullptr);
    EXPECT_EQ(cfgfGetDictValue(nullptr, "r", cfgfAny), nullptr);
    EXPECT_EQ(cfgfGetDictValueStr(nullptr, "r"), nullptr);
    EXPECT_EQ(cfgfGetArrayValue(nullptr, 0), nullptr);
    EXPECT_EQ(cfgfGetDictNthValue(nullptr, 0), nullptr);
    EXPECT_EQ(cfgfGetDictNthKey(nullptr, 0, cfgfAny), nullptr);
    EXPECT_EQ(capture.Text(), "");
}

TEST(DictionaryLookup, PresenceAndValidityChecks)
{
    auto tree = ReadOk("a = x; b = (y); c = { };");
    const char* const present[] = {"a", "c", nullptr};
    const char* const absent[] = {"a", "zz", nullptr};
    const char* const listed[] = {"a", "b", "c", nullptr};
    const char* const partial[] = {"a", "c", nullptr};
    EXPECT_EQ(cfgfCheckPresence(tree.get(), present, cfgfAny), -1);
    EXPECT_EQ(cfgfCheckPresence(tree.get(), absent, cfgfAny), 1);
    EXPECT_EQ(cfgfCheckValidity(tree.get(), listed), -1);
    EXPECT_EQ(cfgfCheckValidity(tree.get(), partial), 1);
}

// ---- building, releasing, dumping, the error channel

TEST(DictionaryTree, BuiltTreesLookUpLikeReadOnes)
{
    auto dict = cfgfNewDictionary();
    auto array = cfgfNewArray();
    cfgfAddToArray(array.get(), std::move(*cfgfNewString("one")));
    cfgfAddToArray(array.get(), std::move(*cfgfNewString("two")));
    cfgfAddToDictionary(dict.get(), "list", std::move(*array));
    cfgfAddToDictionary(dict.get(), "name", std::move(*cfgfNewString("value")));
    EXPECT_EQ(dict->count, 2);
    const cfgfItem* list = cfgfGetDictValue(dict.get(), "list", cfgfArray);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->line, 0);
    EXPECT_EQ(ArrayTexts(list), (std::vector<std::string>{"one", "two"}));
    EXPECT_STREQ(cfgfGetDictValueStr(dict.get(), "name"), "value");
}

TEST(DictionaryTree, AddingToWrongTargetIsReportedAndIgnored)
{
    cfgfSetFileName(kFile, false);
    auto str = cfgfNewString("s");
    OutputCapture capture;
    cfgfAddToArray(str.get(), std::move(*cfgfNewString("x")));
    cfgfAddToDictionary(str.get(), "k", std::move(*cfgfNewString("x")));
    EXPECT_EQ(capture.Text(), ErrorText(0, "wrong item type, array expected") +
                                  ErrorText(0, "wrong item type (String), dictionary expected"));
    EXPECT_EQ(str->text, "s");
}

TEST(DictionaryTree, FreeReleasesAndMarksTheNode)
{
    auto tree = ReadOk("a = b; r = (x, { y = z; });");
    cfgfFreeItem(tree.get());
    EXPECT_EQ(tree->type, cfgfAny);
    EXPECT_EQ(tree->count, 0);
    EXPECT_TRUE(tree->values.empty());
    OutputCapture capture;
    cfgfFreeItem(tree.get());
    EXPECT_EQ(capture.Text(), ErrorText(1, "Can't deallocate: unknown item type (0)"));
    EXPECT_EQ(cfgfGetDictValue(tree.get(), "a", cfgfAny), nullptr);
}

TEST(DictionaryTree, DumpShowsTheTree)
{
    auto tree = ReadOk("a = b; r = (x, y); d = { k = v; };");
    OutputCapture capture;
    cfgfDumpItem(tree.get());
    EXPECT_EQ(capture.Text(),
              "dictionary(3)\n{a}=str=b\n{r}=array(2)\nstr=x\nstr=y\n--\n{d}=dictionary(1)\n{k}=str=v\n---\n---\n");
}

TEST(DictionaryErrorChannel, ErrorsAfterReadNameTheRestoredFile)
{
    ReadOk("a = b;");
    cfgfReadConfigText("x = y;", "other.dat", false);
    EXPECT_EQ(cfgfGetFileName(), "other.dat");
    cfgfSetFileName("settings.cfg", false);
    OutputCapture capture;
    cfgfError(nullptr, "Missing %s item", "Header");
    EXPECT_EQ(capture.Text(), "* Error in settings.cfg \n* Missing Header item\n");
}

TEST(DictionaryErrorChannel, LinesFromManyThreadsStayWhole)
{
    cfgfSetFileName(kFile, false);
    OutputCapture capture;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++) {
        threads.emplace_back([t] {
            cfgfItem item;
            item.line = t + 1;
            for (int i = 0; i < 200; i++) {
                if (i % 50 == 0)
                    cfgfSetFileName(kFile, false);
                cfgfError(&item, "message %d from %d", i, t);
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    const std::string text = capture.Text();
    int pairs = 0;
    for (size_t pos = 0; pos < text.size();) {
        size_t first = text.find('\n', pos);
        ASSERT_NE(first, std::string::npos);
        size_t second = text.find('\n', first + 1);
        ASSERT_NE(second, std::string::npos);
        std::string head = text.substr(pos, first - pos);
        std::string message = text.substr(first + 1, second - first - 1);
        ASSERT_TRUE(head.starts_with("* Error in test.cfg line ")) << head;
        int line = std::stoi(head.substr(25));
        EXPECT_TRUE(message.ends_with(" from " + std::to_string(line - 1))) << head << " / " << message;
        pos = second + 1;
        pairs++;
    }
    EXPECT_EQ(pairs, 800);
}

// ---- robustness and round trip

namespace {

const char* const kValidSample =
    "# settings\n"
    "Header = \"X-Junk-Score: ^1 [^2]\\eX-SA-Score: ^1 [^2]\";\n"
    "AlertLevel = 100;  # comment\n"
    "SocketPath = \"/var/run/spam\";\n"
    "BarScoreRanges = (0, 39, 76 84, 90, 99, 100,);\n"
    "DailyReport = { Enabled = YES; To = \"a@b.c\"; Nested = ( { x = y; }, (1 2), \"q\\\"\" ); };\n"
    "\"quoted key\" = \"\";\n"
    "}\n";

// A failed read writes exactly one error (two lines); a successful one writes nothing.
void CheckReadOutcome(const std::string& input, std::unique_ptr<cfgfItem>& tree, const std::string& output)
{
    if (tree) {
        EXPECT_EQ(tree->type, cfgfDictionary);
        EXPECT_EQ(output, "") << testing::PrintToString(input);
        return;
    }
    // Keys and texts quoted in a message may hold escaped line feeds, so only
    // the frame of the two lines is checked.
    const std::string head = "* Error in " + kFile + " ";
    ASSERT_TRUE(output.starts_with(head)) << testing::PrintToString(input);
    size_t first = output.find('\n');
    ASSERT_NE(first, std::string::npos);
    EXPECT_EQ(output.compare(first + 1, 2, "* "), 0) << testing::PrintToString(output);
    EXPECT_TRUE(output.ends_with("\n"));
    EXPECT_EQ(output.find(head, 1), std::string::npos) << testing::PrintToString(output);
}

}  // namespace

TEST(DictionaryRobustness, MutatedAndRandomInputsNeverCrashOrHang)
{
    std::mt19937 random(20230622);
    const std::string special = "{}()=;,\"\\#\n\r\t /e";
    const auto start = std::chrono::steady_clock::now();
    for (int round = 0; round < 4000; round++) {
        std::string input;
        if (round % 4 == 3) {
            size_t length = random() % 300;
            for (size_t i = 0; i < length; i++)
                input.push_back(static_cast<char>(random() % 256));
        } else {
            input = kValidSample;
            int edits = 1 + static_cast<int>(random() % 6);
            for (int e = 0; e < edits && !input.empty(); e++) {
                size_t at = random() % input.size();
                char c = random() % 3 == 0 ? static_cast<char>(random() % 256) : special[random() % special.size()];
                switch (random() % 3) {
                case 0: input.insert(input.begin() + static_cast<long>(at), c); break;
                case 1: input.erase(at, 1); break;
                default: input[at] = c; break;
                }
            }
        }
        OutputCapture capture;
        auto tree = cfgfReadConfigText(input, kFile, false);
        std::string output = capture.Text();
        CheckReadOutcome(input, tree, output);
        if (HasFatalFailure())
            return;
        ASSERT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60));
    }
}

namespace {

std::string RandomText(std::mt19937& random)
{
    std::string text;
    size_t length = random() % 12;
    for (size_t i = 0; i < length; i++) {
        switch (random() % 4) {
        case 0: text += "\\e"; break;
        case 1: text.push_back("\"\\\n#;(){}= e"[random() % 12]); break;
        default: text.push_back(static_cast<char>(random() % 256)); break;
        }
    }
    return text;
}

std::string RandomUnquoted(std::mt19937& random)
{
    const std::string set = "ABCxyz019@_-.!";
    std::string text(1 + random() % 6, 'a');
    for (char& c : text)
        c = set[random() % set.size()];
    return text;
}

cfgfItem RandomTree(std::mt19937& random, int depth, cfgfItemType type)
{
    cfgfItem item;
    item.type = type;
    if (type == cfgfString) {
        item.text = random() % 3 == 0 ? RandomUnquoted(random) : RandomText(random);
        item.count = static_cast<int32_t>(item.text.size());
        return item;
    }
    int n = static_cast<int>(random() % 5);
    for (int i = 0; i < n; i++) {
        cfgfItemType childType = depth >= 4 ? cfgfString : static_cast<cfgfItemType>(1 + random() % 3);
        item.values.push_back(RandomTree(random, depth + 1, childType));
        if (type == cfgfDictionary)
            item.keys.push_back(random() % 2 ? RandomUnquoted(random) : RandomText(random));
    }
    item.count = n;
    return item;
}

std::string Blank(std::mt19937& random)
{
    switch (random() % 4) {
    case 0: return "";
    case 1: return " ";
    case 2: return "\n\t";
    default: return " # a comment ( { \" \n";
    }
}

std::string WriteScalar(std::mt19937& random, const std::string& text)
{
    bool plain = !text.empty();
    for (char c : text)
        plain = plain && (isalnum(static_cast<unsigned char>(c)) || std::string_view("@_-.!").find(c) != std::string_view::npos);
    return plain && random() % 2 ? text : cfgfQuote(text);
}

std::string WriteValue(std::mt19937& random, const cfgfItem& item);

std::string WriteEntries(std::mt19937& random, const cfgfItem& dict)
{
    std::string out;
    for (size_t i = 0; i < dict.values.size(); i++)
        out += Blank(random) + WriteScalar(random, dict.keys[i]) + Blank(random) + "=" + Blank(random) +
               WriteValue(random, dict.values[i]) + Blank(random) + ";" + Blank(random);
    return out;
}

std::string WriteValue(std::mt19937& random, const cfgfItem& item)
{
    if (item.type == cfgfString)
        return WriteScalar(random, item.text);
    if (item.type == cfgfDictionary)
        return "{" + WriteEntries(random, item) + "}";
    std::string out = "(";
    for (const cfgfItem& element : item.values)
        out += Blank(random) + WriteValue(random, element) + (random() % 2 ? "," : " ");
    return out + Blank(random) + ")";
}

void ExpectSameTree(const cfgfItem& expected, const cfgfItem& actual)
{
    ASSERT_EQ(expected.type, actual.type);
    ASSERT_EQ(expected.count, actual.count);
    EXPECT_EQ(expected.text, actual.text);
    EXPECT_EQ(expected.keys, actual.keys);
    ASSERT_EQ(expected.values.size(), actual.values.size());
    for (size_t i = 0; i < expected.values.size(); i++)
        ExpectSameTree(expected.values[i], actual.values[i]);
}

}  // namespace

TEST(DictionaryRoundTrip, QuotedTreesReadBackUnchanged)
{
    std::mt19937 random(4242);
    for (int round = 0; round < 1500; round++) {
        cfgfItem tree = RandomTree(random, 0, cfgfDictionary);
        std::string text = WriteEntries(random, tree);
        ReadResult result = Read(text);
        ASSERT_NE(result.tree, nullptr) << testing::PrintToString(text) << result.output;
        ExpectSameTree(tree, *result.tree);
        if (HasFailure())
            FAIL() << testing::PrintToString(text);
    }
}

TEST(DictionaryRoundTrip, QuoteCoversEveryAwkwardByte)
{
    std::string all;
    for (int c = 0; c < 256; c++)
        all.push_back(static_cast<char>(c));
    all += "\\e\\\\e\"\n";
    auto tree = ReadOk("k = " + cfgfQuote(all) + ";");
    const cfgfItem* value = cfgfGetDictValue(tree.get(), "k", cfgfString);
    ASSERT_NE(value, nullptr);
    EXPECT_EQ(value->text, all);
    EXPECT_EQ(value->count, static_cast<int32_t>(all.size()));
}
