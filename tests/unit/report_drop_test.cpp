// The drop of report messages: header texts, the header block, the date
// text, temporary names and their release.

#include "report_fixture.h"

#include <thread>

#include "protocol/text.h"

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

std::string Header(const char* from, const char* to, const char* subject, const char* extra, time_t date)
{
    return Written([&](FILE* f) { WriteReportHeader(f, from, to, subject, extra, date); });
}

std::string HeaderText(const char* text)
{
    return Written([&](FILE* f) { fprintS(f, text); });
}

}  // namespace

TEST(ReportHeaderText, SeparatorPairBecomesALineFeed)
{
    EXPECT_EQ(HeaderText("A: 1\\eB: 2"), "A: 1\nB: 2");
}

TEST(ReportHeaderText, BackslashBeforeAnotherCharacterWritesThatCharacterAlone)
{
    EXPECT_EQ(HeaderText("a\\\\b"), "a\\b");
    EXPECT_EQ(HeaderText("a\\nb\\\"c"), "anb\"c");
}

TEST(ReportHeaderText, LoneBackslashAtTheEndWritesNothing)
{
    EXPECT_EQ(HeaderText("abc\\"), "abc");
}

TEST(ReportHeaderText, BytesAbove127PassUnchanged)
{
    EXPECT_EQ(HeaderText("Gr\xc3\xbc\xc3\x9f"), "Gr\xc3\xbc\xc3\x9f");
}

TEST(ReportHeaderText, AddsNothingBeforeOrAfter)
{
    EXPECT_EQ(HeaderText(""), "");
    EXPECT_EQ(HeaderText(nullptr), "");
}

class ReportDate : public ReportTest {};

TEST_F(ReportDate, FirstSecondOf2026)
{
    EXPECT_EQ(mkDate(LocalSecond(2026, 1, 1, 0, 0, 0)), "Thu, 1 Jan 2026 00:00:00");
}

TEST_F(ReportDate, PadsTheTimeButNotTheDay)
{
    EXPECT_EQ(mkDate(LocalSecond(2026, 3, 9, 7, 5, 3)), "Mon, 9 Mar 2026 07:05:03");
    EXPECT_EQ(mkDate(LocalSecond(2025, 12, 31, 23, 59, 59)), "Wed, 31 Dec 2025 23:59:59");
}

TEST_F(ReportDate, IsLocalTime)
{
    // EST5 is five hours behind UTC.
    EXPECT_EQ(mkDate(0), "Wed, 31 Dec 1969 19:00:00");
}

TEST_F(ReportDate, ConcurrentCallersEachGetTheirOwnText)
{
    const time_t a = LocalSecond(2026, 1, 1, 0, 0, 0);
    const time_t b = LocalSecond(2026, 3, 9, 7, 5, 3);
    std::atomic<int> wrong{0};
    auto work = [&](time_t t, const char* expected) {
        for (int i = 0; i < 2000; i++)
            if (mkDate(t) != expected)
                wrong++;
    };
    std::thread first(work, a, "Thu, 1 Jan 2026 00:00:00");
    std::thread second(work, b, "Mon, 9 Mar 2026 07:05:03");
    first.join();
    second.join();
    EXPECT_EQ(wrong.load(), 0);
}

class ReportHeaderBlock : public ReportTest {};

TEST_F(ReportHeaderBlock, OneExtraHeaderThenTheEmptyLine)
{
    EXPECT_EQ(Header("me@example.org", "postmaster", "Hi", "X-Auto-Generated: report", 0),
              "Return-Path: <>\nFrom: me@example.org\nTo: postmaster\nSubject: Hi\n"
              "X-Auto-Generated: report\n\n");
}

TEST_F(ReportHeaderBlock, SeparatorInExtraHeadersGivesTwoHeaderLines)
{
    EXPECT_EQ(Header("a", "b", "c", "X-One: 1\\eX-Two: 2", 0),
              "Return-Path: <>\nFrom: a\nTo: b\nSubject: c\nX-One: 1\nX-Two: 2\n\n");
}

TEST_F(ReportHeaderBlock, EmptyExtraHeadersEndTheHeaderSectionAfterTheSubject)
{
    EXPECT_EQ(Header("a", "b", "c", "", 0), "Return-Path: <>\nFrom: a\nTo: b\nSubject: c\n\n\n");
}

TEST_F(ReportHeaderBlock, ExtraHeadersEndingInTheSeparatorAddAnEmptyLineToTheBody)
{
    EXPECT_EQ(Header("a", "b", "c", "X-One: 1\\e", 0), "Return-Path: <>\nFrom: a\nTo: b\nSubject: c\nX-One: 1\n\n\n");
}

TEST_F(ReportHeaderBlock, MissingExtraHeadersWriteNoLine)
{
    EXPECT_EQ(Header("a", "b", "c", nullptr, 0), "Return-Path: <>\nFrom: a\nTo: b\nSubject: c\n\n");
}

TEST_F(ReportHeaderBlock, MissingValuesLeaveTheirHeaderEmpty)
{
    EXPECT_EQ(Header(nullptr, nullptr, nullptr, "X: 1", 0), "Return-Path: <>\nFrom: \nTo: \nSubject: \nX: 1\n\n");
}

TEST_F(ReportHeaderBlock, SubjectPlaceholderTakesTheDateEveryTime)
{
    const time_t newYear = LocalSecond(2026, 1, 1, 0, 0, 0);
    EXPECT_EQ(Header("a", "b", "SpamAssassin plugin problem occurred on ^1", "X: 1", newYear),
              "Return-Path: <>\nFrom: a\nTo: b\n"
              "Subject: SpamAssassin plugin problem occurred on Thu, 1 Jan 2026 00:00:00\nX: 1\n\n");
    EXPECT_EQ(Header("a", "b", "^1 / ^1 ^2", "X: 1", newYear),
              "Return-Path: <>\nFrom: a\nTo: b\n"
              "Subject: Thu, 1 Jan 2026 00:00:00 / Thu, 1 Jan 2026 00:00:00 ^2\nX: 1\n\n");
}

TEST_F(ReportHeaderBlock, HeaderValuesGoThroughTheSeparatorRule)
{
    EXPECT_EQ(Header("a\\\\b", "x\\ey", "s", "X: 1", 0), "Return-Path: <>\nFrom: a\\b\nTo: x\ny\nSubject: s\nX: 1\n\n");
}

class ReportTempFile : public ReportTest {};

TEST_F(ReportTempFile, NameIsDirectoryPrefixNumberSuffix)
{
    PlanDraws({40213});
    std::string name;
    ReportFile file = OpenTempFile(SubmittedDir(), "reportSA_", ".tmp", name);
    ASSERT_TRUE(file);
    EXPECT_EQ(name, SubmittedDir() + "/reportSA_40213.tmp");
    fputs("body", file.get());
    file.reset();
    EXPECT_EQ(ReadFileText(name), "body");
}

TEST_F(ReportTempFile, NumberIsClockPlusGeneratorInSixteenBits)
{
    SetNow(70000);
    SetRandomSourceForTesting([]() { return 65536 + 5; });
    std::string name;
    ReportFile file = OpenTempFile(SubmittedDir(), "reportSA_", ".tmp", name);
    ASSERT_TRUE(file);
    EXPECT_EQ(name, SubmittedDir() + "/reportSA_" + std::to_string((70000 + 5) & 0xFFFF) + ".tmp");
}

TEST_F(ReportTempFile, ExistingNameIsNeverOpenedAnotherIsDrawn)
{
    WriteFile(SubmittedDir() + "/reportSA_5.tmp", "keep");
    WriteFile(SubmittedDir() + "/reportSA_6.tmp", "keep too");
    PlanDraws({5, 6, 5, 7});
    std::string name;
    ReportFile file = OpenTempFile(SubmittedDir(), "reportSA_", ".tmp", name);
    ASSERT_TRUE(file);
    fputs("new", file.get());
    file.reset();
    EXPECT_EQ(name, SubmittedDir() + "/reportSA_7.tmp");
    EXPECT_EQ(nextDraw, 4u);
    EXPECT_EQ(ReadFileText(SubmittedDir() + "/reportSA_5.tmp"), "keep");
    EXPECT_EQ(ReadFileText(SubmittedDir() + "/reportSA_6.tmp"), "keep too");
    EXPECT_EQ(ReadFileText(name), "new");
}

TEST_F(ReportTempFile, NumberOfAMessageNotYetDeliveredIsNotTakenAgain)
{
    WriteFile(SubmittedDir() + "/reportSA_5.sub", "waiting for delivery");
    PlanDraws({5, 8});
    std::string name;
    ReportFile file = OpenTempFile(SubmittedDir(), "reportSA_", ".tmp", name);
    ASSERT_TRUE(file);
    file.reset();
    EXPECT_EQ(name, SubmittedDir() + "/reportSA_8.tmp");
    RenameTempToSub(name);
    EXPECT_EQ(ReadFileText(SubmittedDir() + "/reportSA_5.sub"), "waiting for delivery");
    EXPECT_EQ(ListDirectory(SubmittedDir()), (std::vector<std::string>{"reportSA_5.sub", "reportSA_8.sub"}));
}

TEST_F(ReportTempFile, MissingDirectoryGivesNullAndTheNameTried)
{
    PlanDraws({12});
    std::string name;
    ReportFile file = OpenTempFile(work.File("nowhere"), "reportSA_", ".tmp", name);
    EXPECT_FALSE(file);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(name, work.File("nowhere") + "/reportSA_12.tmp");
}

class ReportRelease : public ReportTest {};

TEST_F(ReportRelease, RenamesToSubWithMode0666WhateverTheMask)
{
    PlanDraws({321});
    const mode_t oldMask = umask(077);
    std::string name;
    {
        ReportFile file = OpenTempFile(SubmittedDir(), "reportSA_", ".tmp", name);
        ASSERT_TRUE(file);
        fputs("message", file.get());
    }
    RenameTempToSub(name);
    umask(oldMask);
    EXPECT_EQ(Messages(), std::vector<std::string>{"reportSA_321.sub"});
    EXPECT_TRUE(Leftovers().empty());
    EXPECT_EQ(ModeOf("reportSA_321.sub"), 0666u);
    EXPECT_EQ(ReadFileText(SubmittedDir() + "/reportSA_321.sub"), "message");
    EXPECT_EQ(output.Take(), "");
}

TEST_F(ReportRelease, FailedRenameIsReportedAndLeavesTheTemporaryFile)
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
    EXPECT_TRUE(line.starts_with("* failed renaming " + name + " to " + blocker + ", error code="))
        << line;
    EXPECT_TRUE(line.ends_with("\n"));
    const int code = atoi(line.substr(line.find("code=") + 5).c_str());
    EXPECT_TRUE(code == EISDIR || code == ENOTEMPTY || code == EEXIST) << line;
    EXPECT_TRUE(FileExists(name));
}
