// The drop of report messages: header texts, the header block, the date
// text, temporary names and their release.

#include "report_fixture.h"

#include <thread>

namespace {

// Written - what a writer puts into a stream, as text.
template <typename Writer>
std::string Written(Writer writer)
{
    char* buffer = nullptr;
    size_t size = 0;
    FILE* stream = open_memstream(&buffer, &size);
    writer(stream);
    fclose(stream);
    std::string text(buffer, size);
    free(buffer);
    return text;
}

}  // namespace

TEST(ReportHeaderText, BackslashPairsFollowTheSeparatorRule)
{
    const std::pair<const char*, const char*> table[] = {
        {"A: 1\\eB: 2", "A: 1\nB: 2"},  {"a\\\\b", "a\\b"}, {"a\\nb\\\"c", "anb\"c"},
        {"abc\\", "abc"},  // a lone backslash at the end writes nothing
        {"Gr\xc3\xbc\xc3\x9f", "Gr\xc3\xbc\xc3\x9f"}, {"", ""}, {nullptr, ""}};
    for (const auto& [text, expected] : table)
        EXPECT_EQ(Written([&](FILE* f) { fprintS(f, text); }), expected) << (text ? text : "(null)");
}

using ReportDrop = ReportTest;

TEST_F(ReportDrop, DateIsLocalWithThePaddedTimeButNotTheDay)
{
    EXPECT_EQ(mkDate(LocalSecond(2026, 1, 1, 0, 0, 0)), "Thu, 1 Jan 2026 00:00:00");
    EXPECT_EQ(mkDate(LocalSecond(2026, 3, 9, 7, 5, 3)), "Mon, 9 Mar 2026 07:05:03");
    EXPECT_EQ(mkDate(LocalSecond(2025, 12, 31, 23, 59, 59)), "Wed, 31 Dec 2025 23:59:59");
    EXPECT_EQ(mkDate(0), "Wed, 31 Dec 1969 19:00:00");  // EST5 is five hours behind UTC
}

TEST_F(ReportDrop, ConcurrentDateCallersEachGetTheirOwnText)
{
    std::atomic<int> wrong{0};
    auto work = [&](time_t t, const char* expected) {
        for (int i = 0; i < 2000; i++)
            wrong += mkDate(t) != expected;
    };
    std::thread first(work, LocalSecond(2026, 1, 1, 0, 0, 0), "Thu, 1 Jan 2026 00:00:00");
    std::thread second(work, LocalSecond(2026, 3, 9, 7, 5, 3), "Mon, 9 Mar 2026 07:05:03");
    first.join();
    second.join();
    EXPECT_EQ(wrong.load(), 0);
}

TEST_F(ReportDrop, HeaderBlockFromItsValues)
{
    struct Row {
        const char *from, *to, *subject, *extra, *expected;
    };
    const Row table[] = {
        {"me@example.org", "postmaster", "Hi", "X-Auto-Generated: report",
         "From: me@example.org\nTo: postmaster\nSubject: Hi\nX-Auto-Generated: report\n\n"},
        {"a", "b", "c", "X-One: 1\\eX-Two: 2", "From: a\nTo: b\nSubject: c\nX-One: 1\nX-Two: 2\n\n"},
        // Empty extra headers, or ones ending in the separator, give the body a first empty line.
        {"a", "b", "c", "", "From: a\nTo: b\nSubject: c\n\n\n"},
        {"a", "b", "c", "X-One: 1\\e", "From: a\nTo: b\nSubject: c\nX-One: 1\n\n\n"},
        {"a", "b", "c", nullptr, "From: a\nTo: b\nSubject: c\n\n"},
        {nullptr, nullptr, nullptr, "X: 1", "From: \nTo: \nSubject: \nX: 1\n\n"},
        {"a\\\\b", "x\\ey", "s", "X: 1", "From: a\\b\nTo: x\ny\nSubject: s\nX: 1\n\n"},
        {"a", "b", "Problem on ^1", "X: 1", "From: a\nTo: b\nSubject: Problem on Thu, 1 Jan 2026 00:00:00\nX: 1\n\n"},
        {"a", "b", "^1 / ^1 ^2", "X: 1",
         "From: a\nTo: b\nSubject: Thu, 1 Jan 2026 00:00:00 / Thu, 1 Jan 2026 00:00:00 ^2\nX: 1\n\n"},
    };
    for (const Row& row : table)
        EXPECT_EQ(Written([&](FILE* f) {
                      WriteReportHeader(f, row.from, row.to, row.subject, row.extra, LocalSecond(2026, 1, 1, 0, 0, 0));
                  }),
                  std::string("Return-Path: <>\n") + row.expected);
}

TEST_F(ReportDrop, TempNameIsDirectoryPrefixAndClockPlusGeneratorInSixteenBits)
{
    SetNow(70000);
    SetRandomSourceForTesting([]() { return 65536 + 5; });
    std::string name;
    ReportFile file = OpenTempFile(SubmittedDir(), "reportSA_", ".tmp", name);
    ASSERT_TRUE(file);
    EXPECT_EQ(name, SubmittedDir() + "/reportSA_" + std::to_string((70000 + 5) & 0xFFFF) + ".tmp");
    fputs("body", file.get());
    file.reset();
    EXPECT_EQ(ReadFileText(name), "body");
}

TEST_F(ReportDrop, TakenNamesAndNumbersAwaitingDeliveryAreDrawnAgain)
{
    WriteFile(SubmittedDir() + "/reportSA_5.tmp", "keep");
    WriteFile(SubmittedDir() + "/reportSA_6.sub", "waiting for delivery");
    PlanDraws({5, 6, 5, 7});
    std::string name;
    ReportFile file = OpenTempFile(SubmittedDir(), "reportSA_", ".tmp", name);
    ASSERT_TRUE(file);
    fputs("new", file.get());
    file.reset();
    EXPECT_EQ(name, SubmittedDir() + "/reportSA_7.tmp");
    EXPECT_EQ(nextDraw, 4u);
    RenameTempToSub(name);
    EXPECT_EQ(Messages(), (std::vector<std::string>{"reportSA_5.tmp", "reportSA_6.sub", "reportSA_7.sub"}));
    EXPECT_EQ(ReadFileText(SubmittedDir() + "/reportSA_5.tmp"), "keep");
    EXPECT_EQ(ReadFileText(SubmittedDir() + "/reportSA_6.sub"), "waiting for delivery");
    EXPECT_EQ(ReadFileText(SubmittedDir() + "/reportSA_7.sub"), "new");
}

TEST_F(ReportDrop, ReleaseRenamesToSubWithMode0666WhateverTheMask)
{
    PlanDraws({321});
    const mode_t oldMask = umask(077);
    std::string name;
    {
        ReportFile file = OpenTempFile(SubmittedDir(), "reportSA_", ".tmp", name);
        ASSERT_TRUE(file);
    }
    RenameTempToSub(name);
    umask(oldMask);
    EXPECT_EQ(Messages(), std::vector<std::string>{"reportSA_321.sub"});
    EXPECT_EQ(ModeOf("reportSA_321.sub"), 0666u);
    EXPECT_EQ(output.Take(), "");
}

TEST_F(ReportDrop, FailedRenameIsReportedAndLeavesTheTemporaryFile)
{
    PlanDraws({9});
    std::string name;
    ASSERT_TRUE(OpenTempFile(SubmittedDir(), "reportSA_", ".tmp", name));
    // A non-empty directory that appears under the final name makes the rename fail.
    const std::string blocker = SubmittedDir() + "/reportSA_9.sub";
    mkdir(blocker.c_str(), 0755);
    WriteFile(blocker + "/inside", "x");
    RenameTempToSub(name);
    const std::string line = output.Take();
    EXPECT_TRUE(line.starts_with("* failed renaming " + name + " to " + blocker + ", error code=")) << line;
    const int code = atoi(line.substr(line.find("code=") + 5).c_str());
    EXPECT_TRUE(code == EISDIR || code == ENOTEMPTY || code == EEXIST) << line;
    EXPECT_TRUE(line.ends_with("\n"));
    EXPECT_TRUE(FileExists(name));
}
