#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "config/dictionary.h"
#include "output_capture.h"
#include "plugin_process.h"
#include "protocol/output.h"

using namespace std::string_literals;

namespace {

const std::string kFile = "test.cfg";

struct ReadResult {
    std::unique_ptr<cfgfItem> tree;
    std::string output;
};

ReadResult Read(std::string_view text)
{
    OutputCapture capture;
    std::unique_ptr<cfgfItem> tree = cfgfReadConfigText(text, kFile, false);
    return {std::move(tree), capture.Text()};
}

// ErrorText - the two lines that cfgfError writes for the test file.
std::string ErrorText(int line, const std::string& message)
{
    return "* Error in " + kFile + " " + (line > 0 ? "line " + std::to_string(line) + " " : "") + "\n* " + message +
           "\n";
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

TEST(DictionaryErrors, EveryFailureGivesItsMessageAndLine)
{
    struct Row {
        std::string text;
        int line;  // 0: the message names the line itself
        const char* message;
    };
    std::string alternating = "a = ";
    for (int i = 0; i < 100000; i++)
        alternating += "{b=(";
    const Row table[] = {
        {"a = b;\n\nc = /x;\n", 0, "Line 3: unexpected character '/'"},
        {"a = b; # after the entry\n# on its own line\n\nc = /;", 0, "Line 4: unexpected character '/'"},
        {"a = \"x\\\ny\";\nb = /;", 0, "Line 2: unexpected character '/'"},  // an escaped line feed is not counted
        {"{ a = b; };", 0, "Line 1: unexpected character '{'"},
        {"SocketPath = /var/run/spam;", 0, "Line 1: unexpected character '/'"},
        {"a = b;\nr = (x,, y);", 0, "Line 2: unexpected character ','"},
        {"a = \xc3\xa9;", 0, "Line 1: unexpected character '\xc3'"},  // bytes above ASCII are not white space
        // The end of the file shows as the byte that a C character of -1 prints.
        {"a = b;\nc =", 0, "Line 2: unexpected character '\xff'"},
        {"a = b;\nc = \"abc\ndef\";\n", 0, "Line 2: unterminated string 'abc'"},
        {"a = { b = ( { c = \"x\ny\"; } ); };", 0, "Line 1: unterminated string 'x'"},
        // Syntax errors name the line where the dictionary began.
        {"a = b;\nc", 1, "Syntax error: '=' expected after 'c'"},
        {"a = b;\n\nkey ;\n", 1, "Syntax error: '=' expected after 'key'"},
        {"a = b;\nd = {\n  x = 1;\n  y 2;\n};\n", 2, "Syntax error: '=' expected after 'y'"},
        {"a = b;\nn = {\n  x = 1\n};\n", 2, "Syntax error: ';' expected"},
        {"a = b;\n\nc = d\ne = f;\n", 1, "Syntax error: ';' expected"},
        {"a = b;\nc = d", 1, "Syntax error: ';' expected"},
        {"SocketPath = var/run/spam;", 1, "Syntax error: ';' expected"},
        {"a = b;\nd = { x = y;", 1, "Syntax error: ';' expected"},
        {"a = (x, y", 1, "Syntax error: ';' expected"},
        // A quoted string ends with the file without error; the entry then lacks its ';'.
        {"a = \"abc", 1, "Syntax error: ';' expected"},
        {"a = \"abc\\", 1, "Syntax error: ';' expected"},
        {"a = " + std::string(65, '(') + std::string(65, ')') + ";", 0, "Line 1: nesting too deep"},
        // Deep nesting fails without exhausting the stack.
        {"a = " + std::string(1000000, '('), 0, "Line 1: nesting too deep"},
        {"a = " + std::string(100000, '(') + "{ b = {", 0, "Line 1: nesting too deep"},
        {alternating, 0, "Line 1: nesting too deep"},
    };
    for (const Row& row : table) {
        SCOPED_TRACE(testing::PrintToString(row.text.substr(0, 60)));
        ReadResult result = Read(row.text);
        EXPECT_EQ(result.tree, nullptr);
        EXPECT_EQ(result.output, ErrorText(row.line, row.message));
    }
    ReadOk("a = " + std::string(64, '(') + std::string(64, ')') + ";");
}

TEST(DictionaryErrors, FilesAreReadFromDiskAndUnopenableOnesReported)
{
    TempDir dir;
    WriteFile(dir.File("s.cfg"), "AlertLevel = 5;\nBarScoreRanges = (1, 3);\nDailyReport = { Enabled = YES; };\n");
    OutputCapture capture;
    auto tree = cfgfReadConfigFile(dir.File("s.cfg"), false);
    ASSERT_NE(tree, nullptr);
    EXPECT_STREQ(cfgfGetDictValueStr(tree.get(), "AlertLevel"), "5");
    EXPECT_EQ(ArrayTexts(cfgfGetDictValue(tree.get(), "BarScoreRanges", cfgfArray)),
              (std::vector<std::string>{"1", "3"}));
    EXPECT_STREQ(cfgfGetDictValueStr(cfgfGetDictValue(tree.get(), "DailyReport", cfgfDictionary), "Enabled"), "YES");
    EXPECT_EQ(cfgfReadConfigFile("/nonexistent-dir/x.cfg", false), nullptr);
    EXPECT_EQ(cfgfReadConfigFile(dir.Path(), false), nullptr);
    EXPECT_EQ(capture.Text(), "* Error in /nonexistent-dir/x.cfg \n* unable to open file\n"
                              "* Error in " + dir.Path() + " \n* unable to open file\n");
}

TEST(DictionaryErrors, ExitOnErrorAbortsAfterTheMessage)
{
    TempDir dir;
    const std::string out = dir.File("out.txt");
    EXPECT_EXIT(
        {
            SetOutputDescriptor(open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600));
            cfgfReadConfigText("a = b", "abort.cfg", true);
            _exit(0);
        },
        testing::ExitedWithCode(1), "");
    EXPECT_EQ(ReadFileText(out), "* Error in abort.cfg line 1 \n* Syntax error: ';' expected\n* program aborted\n");
}

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

TEST(DictionarySyntax, StringValuesReadAsWritten)
{
    const std::tuple<std::string, const char*, std::string> table[] = {
        {R"(h = "X-A: 1\eX-B: 2";)", "h", "X-A: 1\\eX-B: 2"},  // the separator pair stays two characters
        {R"(q = "say \"hi\"";)", "q", "say \"hi\""},
        {R"(n = "a\nb";)", "n", "anb"},
        {R"(b = "back\\slash";)", "b", "back\\slash"},
        {"t = \"end\\\n\";", "t", "end\n"},
        {"s = \"\";", "s", ""},
        {"\"1.2.3.4\" = \"a # not a comment\";", "1.2.3.4", "a # not a comment"},
        {"\"\" = x;", "", "x"},
        {"From = spam-report@example.org!_x.y;", "From", "spam-report@example.org!_x.y"},
        {"a = value# the comment ; = {\n;\nb = c;", "a", "value"},
        {"a = value# the comment ; = {\n;\nb = c;", "b", "c"},
        {"a = b; # last", "a", "b"},
        {"a = b;\n}\nthis is { not read ((", "a", "b"},  // a closing brace at the top ends the read
        {"a\r\n =\t\x01 b\x1f;\r\n\0c = d;"s, "a", "b"},   // control characters are white space
        {"a\r\n =\t\x01 b\x1f;\r\n\0c = d;"s, "c", "d"},
    };
    for (const auto& [text, key, value] : table) {
        SCOPED_TRACE(testing::PrintToString(text));
        auto tree = ReadOk(text);
        const cfgfItem* item = cfgfGetDictValue(tree.get(), key, cfgfString);
        ASSERT_NE(item, nullptr);
        EXPECT_EQ(item->text, value);
        EXPECT_EQ(item->count, static_cast<int32_t>(value.size()));
    }
}

TEST(DictionarySyntax, ArrayCommasAreOptional)
{
    for (std::string_view text : {"r = (x, y, z);", "r = (x y z);", "r = (x, y, z,);", "r=(x,y\n,z ,) ;"}) {
        auto tree = ReadOk(text);
        const cfgfItem* array = cfgfGetDictValue(tree.get(), "r", cfgfArray);
        ASSERT_NE(array, nullptr) << text;
        EXPECT_EQ(array->count, 3);
        EXPECT_EQ(ArrayTexts(array), (std::vector<std::string>{"x", "y", "z"})) << text;
    }
    auto tree = ReadOk("r = ();\nd = {};");
    EXPECT_EQ(cfgfGetDictValue(tree.get(), "r", cfgfArray)->count, 0);
    EXPECT_EQ(cfgfGetDictValue(tree.get(), "d", cfgfDictionary)->count, 0);
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

TEST(DictionaryLookup, WrongTypesAreReportedAtTheValueLine)
{
    auto tree = ReadOk("a = b;\n\nd = {\n x = y; };\nr = (x);");
    const cfgfItem* str = cfgfGetDictValue(tree.get(), "a", cfgfString);
    const cfgfItem* array = cfgfGetDictValue(tree.get(), "r", cfgfArray);
    EXPECT_EQ(cfgfGetDictValue(tree.get(), "d", cfgfAny)->type, cfgfDictionary);
    OutputCapture capture;
    EXPECT_EQ(cfgfGetDictValueStr(tree.get(), "d"), nullptr);
    EXPECT_EQ(cfgfGetDictValue(tree.get(), "a", cfgfArray), nullptr);
    EXPECT_EQ(cfgfGetDictValue(str, "a", cfgfAny), nullptr);
    EXPECT_EQ(cfgfGetDictNthValue(array, 0), nullptr);
    EXPECT_EQ(cfgfGetDictNthKey(str, 0, cfgfAny), nullptr);
    EXPECT_EQ(cfgfGetArrayValue(str, 0), nullptr);
    EXPECT_EQ(cfgfGetArrayValue(tree.get(), 0), nullptr);
    EXPECT_EQ(capture.Text(), ErrorText(3, "incorrect value type; expected String got Dictionary") +
                                  ErrorText(1, "incorrect value type; expected Array got String") +
                                  ErrorText(1, "wrong item type (String), dictionary expected") +
                                  ErrorText(5, "wrong item type (Array), dictionary expected") +
                                  ErrorText(1, "wrong item type (String), dictionary expected") +
                                  ErrorText(1, "wrong item type, array expected") +
                                  ErrorText(1, "wrong item type, array expected"));
}

TEST(DictionaryLookup, MissingKeysOutOfRangeAndNullAreSilent)
{
    auto tree = ReadOk("Header = x; r = (x, y);");
    const cfgfItem* array = cfgfGetDictValue(tree.get(), "r", cfgfArray);
    OutputCapture capture;
    EXPECT_EQ(cfgfGetDictValueStr(tree.get(), "header"), nullptr);  // keys are case-sensitive
    EXPECT_EQ(cfgfGetDictValueStr(tree.get(), "Missing"), nullptr);
    EXPECT_EQ(cfgfGetArrayValue(array, -1), nullptr);
    EXPECT_EQ(cfgfGetArrayValue(array, 2), nullptr);
    EXPECT_EQ(cfgfGetDictNthValue(tree.get(), 2), nullptr);
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
    EXPECT_EQ(cfgfCheckPresence(tree.get(), present, cfgfAny), -1);
    EXPECT_EQ(cfgfCheckPresence(tree.get(), absent, cfgfAny), 1);
    EXPECT_EQ(cfgfCheckValidity(tree.get(), listed), -1);
    EXPECT_EQ(cfgfCheckValidity(tree.get(), present), 1);
}

TEST(DictionaryTree, BuiltTreesLookUpLikeReadOnesAndWrongTargetsAreRefused)
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
    EXPECT_EQ(cfgfGetDictValue(tree.get(), "a", cfgfAny), nullptr);
    EXPECT_EQ(capture.Text(), ErrorText(1, "Can't deallocate: unknown item type (0)") +
                                  ErrorText(1, "wrong item type (unknown), dictionary expected"));
}

TEST(DictionaryTree, DumpShowsTheTree)
{
    auto tree = ReadOk("a = b; r = (x, y); d = { k = v; };");
    OutputCapture capture;
    cfgfDumpItem(tree.get());
    EXPECT_EQ(capture.Text(),
              "dictionary(3)\n{a}=str=b\n{r}=array(2)\nstr=x\nstr=y\n--\n{d}=dictionary(1)\n{k}=str=v\n---\n---\n");
}

TEST(DictionaryErrors, LinesFromManyThreadsStayWhole)
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
    for (size_t pos = 0; pos < text.size(); pairs++) {
        const size_t first = text.find('\n', pos), second = text.find('\n', first + 1);
        ASSERT_NE(second, std::string::npos);
        const std::string head = text.substr(pos, first - pos), message = text.substr(first + 1, second - first - 1);
        ASSERT_TRUE(head.starts_with("* Error in test.cfg line ")) << head;
        EXPECT_TRUE(message.ends_with(" from " + std::to_string(std::stoi(head.substr(25)) - 1))) << head << message;
        pos = second + 1;
    }
    EXPECT_EQ(pairs, 800);
}

TEST(DictionaryRobustness, MutatedAndRandomInputsNeverCrashOrHang)
{
    const std::string valid =
        "# settings\nHeader = \"X-Junk-Score: ^1 [^2]\\eX-SA-Score: ^1 [^2]\";\nAlertLevel = 100;  # comment\n"
        "SocketPath = \"/var/run/spam\";\nBarScoreRanges = (0, 39, 76 84, 90, 99, 100,);\n"
        "DailyReport = { Enabled = YES; To = \"a@b.c\"; Nested = ( { x = y; }, (1 2), \"q\\\"\" ); };\n"
        "\"quoted key\" = \"\";\n}\n";
    const std::string special = "{}()=;,\"\\#\n\r\t /e";
    std::mt19937 random(20230622);
    const auto start = std::chrono::steady_clock::now();
    for (int round = 0; round < 4000 && !HasFatalFailure(); round++) {
        std::string input = round % 4 == 3 ? std::string(random() % 300, ' ') : valid;
        if (round % 4 == 3) {
            for (char& c : input)
                c = static_cast<char>(random() % 256);
        } else {
            for (int e = 0, edits = 1 + static_cast<int>(random() % 6); e < edits && !input.empty(); e++) {
                const size_t at = random() % input.size();
                const char c =
                    random() % 3 == 0 ? static_cast<char>(random() % 256) : special[random() % special.size()];
                switch (random() % 3) {
                case 0: input.insert(input.begin() + static_cast<long>(at), c); break;
                case 1: input.erase(at, 1); break;
                default: input[at] = c; break;
                }
            }
        }
        // A failed read writes exactly one error (two lines); a successful one writes nothing.
        ReadResult result = Read(input);
        SCOPED_TRACE(testing::PrintToString(input));
        if (result.tree) {
            EXPECT_EQ(result.tree->type, cfgfDictionary);
            EXPECT_EQ(result.output, "");
        } else {
            // Texts quoted in a message may hold escaped line feeds: only the frame is checked.
            const std::string head = "* Error in " + kFile + " ";
            ASSERT_TRUE(result.output.starts_with(head));
            EXPECT_EQ(result.output.compare(result.output.find('\n') + 1, 2, "* "), 0);
            EXPECT_TRUE(result.output.ends_with("\n"));
            EXPECT_EQ(result.output.find(head, 1), std::string::npos);
        }
        ASSERT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60));
    }
}

namespace {

// A random tree, and random ways of writing it: quoted or plain, with or
// without commas, white space and comments between the tokens.
struct TreeWriter {
    std::mt19937 random{4242};

    std::string Text()
    {
        std::string text;
        for (size_t i = 0, length = random() % 12; i < length; i++) {
            switch (random() % 4) {
            case 0: text += "\\e"; break;
            case 1: text.push_back("\"\\\n#;(){}= e"[random() % 12]); break;
            default: text.push_back(static_cast<char>(random() % 256)); break;
            }
        }
        if (random() % 3 == 0) {
            text.assign(1 + random() % 6, 'a');
            for (char& c : text)
                c = "ABCxyz019@_-.!"[random() % 14];
        }
        return text;
    }

    cfgfItem Tree(int depth, cfgfItemType type)
    {
        cfgfItem item;
        item.type = type;
        if (type == cfgfString) {
            item.text = Text();
            item.count = static_cast<int32_t>(item.text.size());
            return item;
        }
        item.count = static_cast<int32_t>(random() % 5);
        for (int i = 0; i < item.count; i++) {
            const cfgfItemType childType = depth >= 4 ? cfgfString : static_cast<cfgfItemType>(1 + random() % 3);
            item.values.push_back(Tree(depth + 1, childType));
            if (type == cfgfDictionary)
                item.keys.push_back(Text());
        }
        return item;
    }

    std::string Blank()
    {
        const char* const blanks[] = {"", " ", "\n\t", " # a comment ( { \" \n"};
        return blanks[random() % 4];
    }

    std::string Scalar(const std::string& text)
    {
        const std::string_view marks = "@_-.!";
        bool plain = !text.empty();
        for (char c : text)
            plain = plain && (isalnum(static_cast<unsigned char>(c)) || marks.find(c) != marks.npos);
        return plain && random() % 2 ? text : cfgfQuote(text);
    }

    std::string Entries(const cfgfItem& dict)
    {
        std::string out;
        for (size_t i = 0; i < dict.values.size(); i++)
            out += Blank() + Scalar(dict.keys[i]) + Blank() + "=" + Blank() + Value(dict.values[i]) + Blank() + ";" +
                   Blank();
        return out;
    }

    std::string Value(const cfgfItem& item)
    {
        if (item.type == cfgfString)
            return Scalar(item.text);
        if (item.type == cfgfDictionary)
            return "{" + Entries(item) + "}";
        std::string out = "(";
        for (const cfgfItem& element : item.values)
            out += Blank() + Value(element) + (random() % 2 ? "," : " ");
        return out + Blank() + ")";
    }
};

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
    TreeWriter writer;
    for (int round = 0; round < 1500 && !HasFailure(); round++) {
        const cfgfItem tree = writer.Tree(0, cfgfDictionary);
        const std::string text = writer.Entries(tree);
        SCOPED_TRACE(testing::PrintToString(text));
        ReadResult result = Read(text);
        ASSERT_NE(result.tree, nullptr) << result.output;
        ExpectSameTree(tree, *result.tree);
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
