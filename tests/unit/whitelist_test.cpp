#include <gtest/gtest.h>

#include "rating_fixture.h"

TEST(Wildcmp, FollowsThePatternTable)
{
    EXPECT_EQ(wildcmp("a*c", "abc"), 1);
    EXPECT_EQ(wildcmp("a*c", "ac"), 1);
    EXPECT_EQ(wildcmp("a*c", "abd"), 0);
    EXPECT_EQ(wildcmp("a*c", "abcd"), 0);
    EXPECT_EQ(wildcmp("x?z", "xyz"), 1);
    EXPECT_EQ(wildcmp("x?z", "xz"), 0);
    EXPECT_EQ(wildcmp("joex", "JOEX"), 1);
    EXPECT_EQ(wildcmp("***", "a"), 1);
}

TEST(Wildcmp, DomainPatternAcceptsOnlyThatDomain)
{
    EXPECT_EQ(wildcmp("*@example.org", "Joe@Example.ORG"), 1);
    EXPECT_EQ(wildcmp("*@example.org", "joe@example.org.evil.net"), 0);
    EXPECT_EQ(wildcmp("*@example.org", "joe@sub.example.org"), 0);
    EXPECT_EQ(wildcmp("*a*b", "xaxxaxb"), 1);
}

using Whitelist = RatingTest;

TEST_F(Whitelist, SkipsCommentsAndShortLinesAndCutsLineEnds)
{
    WriteFile(dir.File("whitelist.txt"),
              "# a comment\n #x@y\nab\ncd\r\nxyz\r\nJoe@Example.ORG\n\n\r\nwith blank \n");
    OutputCapture output;
    whitelist.InitializeFrom(dir.File("whitelist.txt"));
    EXPECT_EQ(output.Text(), "* 4 items read from " + dir.File("whitelist.txt") + "\n");
    EXPECT_EQ(whitelist.Patterns(), (std::vector<std::string>{" #x@y", "xyz", "joe@example.org", "with blank "}));
}

TEST_F(Whitelist, MissingFileLeavesTheListEmptyAndSaysNothing)
{
    OutputCapture output;
    whitelist.InitializeFrom(dir.File("none.txt"));
    EXPECT_EQ(output.Text(), "");
    EXPECT_EQ(whitelist.Size(), 0u);
}

TEST_F(Whitelist, PatternWithTrailingBlankNeedsTheBlank)
{
    WriteFile(dir.File("whitelist.txt"), "joe@example.org \n");
    whitelist.InitializeFrom(dir.File("whitelist.txt"));
    EXPECT_FALSE(whitelist.IsListed("joe@example.org"));
}

TEST_F(Whitelist, ListedSenderIsAnsweredWithoutSpamd)
{
    WriteFile(dir.File("whitelist.txt"), "*@example.org\n");
    whitelist.InitializeFrom(dir.File("whitelist.txt"));
    EXPECT_EQ(ScanMessage(kEnvelopedMessage),
              "* sender@example.org is whitelisted by *@example.org\n"
              "17 ADDHEADER \"X-Junk-Score: 0 []\\eX-SA-Score: 0 []\"\n");
    EXPECT_EQ(spamd->CheckCount(), 0);
    PluginLock lock(reportMutex);
    EXPECT_EQ(nScannedMessagesTotal, 1);
    EXPECT_EQ(msgStat[0], 0);
    EXPECT_EQ(reportSourceList.nItems(), 0);
}

TEST_F(Whitelist, WhitelistedReplyNeverCarriesTheAlert)
{
    WriteFile(dir.File("whitelist.txt"), "*@example.org\n");
    whitelist.InitializeFrom(dir.File("whitelist.txt"));
    Settings settings;
    settings.alertLevel = 0;
    settings.pMainHeader = "X-Score: ^1^1 [^2]";
    Publish(settings);
    EXPECT_TRUE(ScanMessage(kEnvelopedMessage).ends_with("17 ADDHEADER \"X-Score: 00 []\"\n"));
}

TEST(SenderOfEnvelope, SecondSenderLineDecides)
{
    const char text[] = "P <first@a.b>\r\nP <second@c.d>\r\n\r\n";
    EXPECT_EQ(SenderOfEnvelope(text, sizeof text - 1), "second@c.d");
}

TEST(SenderOfEnvelope, EmptyOrOneCharacterBracketsGiveNoSender)
{
    const char empty[] = "P <>\nR <x@y.z>\n\n";
    EXPECT_EQ(SenderOfEnvelope(empty, sizeof empty - 1), "");
    const char one[] = "P <a>\n\n";
    EXPECT_EQ(SenderOfEnvelope(one, sizeof one - 1), "");
}

TEST(SenderOfEnvelope, NoEnvelopeGivesNoSender)
{
    EXPECT_EQ(SenderOfEnvelope("P <joe@example.org>\n\nbody", 0), "");
}

TEST_F(Whitelist, EmptySenderBracketsAreNeverWhitelisted)
{
    WriteFile(dir.File("whitelist.txt"), "***\n");
    whitelist.InitializeFrom(dir.File("whitelist.txt"));
    ScanMessage("P <>\nR <x@y.z>\n\nSubject: x\n\nhi\n");
    EXPECT_EQ(spamd->CheckCount(), 1);
}
