#include <gtest/gtest.h>

#include "rating_fixture.h"

TEST(Whitelist, WildcmpFollowsThePatternTable)
{
    const std::tuple<const char*, const char*, int> table[] = {
        {"a*c", "abc", 1},  {"a*c", "ac", 1},    {"a*c", "abd", 0},  {"a*c", "abcd", 0},
        {"x?z", "xyz", 1},  {"x?z", "xz", 0},    {"joex", "JOEX", 1}, {"***", "a", 1},
        {"*a*b", "xaxxaxb", 1},
        // A domain pattern accepts that domain only.
        {"*@example.org", "Joe@Example.ORG", 1}, {"*@example.org", "joe@example.org.evil.net", 0},
        {"*@example.org", "joe@sub.example.org", 0},
    };
    for (const auto& [pattern, address, match] : table)
        EXPECT_EQ(wildcmp(pattern, address), match) << pattern << " / " << address;
}

TEST(Whitelist, SenderOfEnvelopeIsTheLastSenderLineWithABracketedAddress)
{
    const std::tuple<std::string, size_t, const char*> table[] = {
        {"P <first@a.b>\r\nP <second@c.d>\r\n\r\n", 33, "second@c.d"},
        {"P <>\nR <x@y.z>\n\n", 16, ""},  // empty or one-character brackets give no sender
        {"P <a>\n\n", 7, ""},
        {"P <joe@example.org>\n\nbody", 0, ""},  // no envelope
    };
    for (const auto& [text, length, sender] : table)
        EXPECT_EQ(SenderOfEnvelope(text.c_str(), length), sender) << text;
}

using WhitelistFile = RatingTest;

TEST_F(WhitelistFile, SkipsCommentsAndShortLinesAndCutsLineEnds)
{
    WriteFile(dir.File("whitelist.txt"),
              "# a comment\n #x@y\nab\ncd\r\nxyz\r\nJoe@Example.ORG\n\n\r\nwith blank \n");
    OutputCapture output;
    whitelist.InitializeFrom(dir.File("none.txt"));
    EXPECT_EQ(whitelist.Size(), 0u);
    whitelist.InitializeFrom(dir.File("whitelist.txt"));
    EXPECT_EQ(output.Text(), "* 4 items read from " + dir.File("whitelist.txt") + "\n");
    EXPECT_EQ(whitelist.Patterns(), (std::vector<std::string>{" #x@y", "xyz", "joe@example.org", "with blank "}));
    EXPECT_FALSE(whitelist.IsListed("with blank"));  // the trailing blank is needed
}

TEST_F(WhitelistFile, ListedSenderIsAnsweredWithoutSpamdOrAlert)
{
    WriteFile(dir.File("whitelist.txt"), "*@example.org\n");
    whitelist.InitializeFrom(dir.File("whitelist.txt"));
    EXPECT_EQ(ScanMessage(kEnvelopedMessage), "* sender@example.org is whitelisted by *@example.org\n"
                                              "17 ADDHEADER \"X-Junk-Score: 0 []\\eX-SA-Score: 0 []\"\n");
    Settings settings;
    settings.pMainHeader = "X-Score: ^1^1 [^2]";
    settings.alertLevel = 0;
    Publish(settings);
    EXPECT_TRUE(ScanMessage(kEnvelopedMessage).ends_with("17 ADDHEADER \"X-Score: 00 []\"\n"));
    EXPECT_EQ(spamd->CheckCount(), 0);
    PluginLock lock(reportMutex);
    EXPECT_EQ(nScannedMessagesTotal, 2);
    EXPECT_EQ(msgStat[0], 0);
    EXPECT_EQ(reportSourceList.nItems(), 0);
}

TEST_F(WhitelistFile, EmptySenderBracketsAreNeverWhitelisted)
{
    WriteFile(dir.File("whitelist.txt"), "***\n");
    whitelist.InitializeFrom(dir.File("whitelist.txt"));
    ScanMessage("P <>\nR <x@y.z>\n\nSubject: x\n\nhi\n");
    EXPECT_EQ(spamd->CheckCount(), 1);
}
