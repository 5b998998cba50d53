#include <sys/stat.h>

#include <gtest/gtest.h>

#include "replay/messages.h"
#include "replay_test_support.h"

using namespace replay;

TEST(MboxSplitting, FromLinesSeparateMessagesAndTheBlankLineBeforeThemIsDropped)
{
    std::string mbox =
        "From alice@example.com Mon Jan  5 09:00:00 2026\n"
        "Subject: one\n\nFirst body\n\n"
        "From bob@example.com Mon Jan  5 09:01:00 2026\n"
        "Subject: two\n\nSecond body\n\n";
    std::vector<Message> messages = SplitMbox(mbox, "box");
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0].label, "box#1");
    EXPECT_EQ(messages[0].bytes, "Subject: one\n\nFirst body\n");
    EXPECT_EQ(messages[1].label, "box#2");
    EXPECT_EQ(messages[1].bytes, "Subject: two\n\nSecond body\n");
}

TEST(MboxSplitting, FromLineInsideAParagraphDoesNotSeparate)
{
    std::string mbox =
        "From a@example.com Mon Jan  5 09:00:00 2026\n"
        "Subject: one\n\nWe wrote:\nFrom now on, all is well.\n";
    std::vector<Message> messages = SplitMbox(mbox, "box");
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].bytes, "Subject: one\n\nWe wrote:\nFrom now on, all is well.\n");
}

TEST(MboxSplitting, QuotedFromLinesLoseOneQuoteMark)
{
    std::string mbox =
        "From a@example.com Mon Jan  5 09:00:00 2026\n"
        "Subject: one\n\n>From the start\n>>From here\n> From there\n>Fromage\n";
    std::vector<Message> messages = SplitMbox(mbox, "box");
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].bytes, "Subject: one\n\nFrom the start\n>From here\n> From there\n>Fromage\n");
}

TEST(MboxSplitting, ExtraBlankLinesBeforeASeparatorStayWithTheMessage)
{
    std::string mbox =
        "From a@example.com Mon Jan  5 09:00:00 2026\n"
        "Subject: one\n\nbody\n\n\n"
        "From b@example.com Mon Jan  5 09:00:00 2026\n"
        "Subject: two\n\nbody";
    std::vector<Message> messages = SplitMbox(mbox, "box");
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0].bytes, "Subject: one\n\nbody\n\n");
    EXPECT_EQ(messages[1].bytes, "Subject: two\n\nbody");
}

TEST(MboxSplitting, OnlyTextStartingWithFromIsAnMbox)
{
    EXPECT_TRUE(LooksLikeMbox("From a@example.com Mon Jan  5 09:00:00 2026\n"));
    EXPECT_FALSE(LooksLikeMbox("From: a@example.com\n"));
    EXPECT_FALSE(LooksLikeMbox("Return-Path: <a@example.com>\n"));
}

TEST(CollectingMessages, DirectoriesAreWalkedInNameOrderAndMboxFilesSplit)
{
    TestDir dir;
    mkdir(dir.File("sub").c_str(), 0755);
    mkdir(dir.File(".hidden").c_str(), 0755);
    WriteText(dir.File("b.eml"), "Subject: b\n\nb\n");
    WriteText(dir.File("a.eml"), "Subject: a\n\na\n");
    WriteText(dir.File(".skipped.eml"), "Subject: hidden\n\nx\n");
    WriteText(dir.File(".hidden/c.eml"), "Subject: hidden\n\nx\n");
    WriteText(dir.File("sub/box.mbox"),
              "From x@example.com Mon Jan  5 09:00:00 2026\nSubject: m1\n\n1\n\n"
              "From y@example.com Mon Jan  5 09:00:00 2026\nSubject: m2\n\n2\n");
    std::vector<Message> messages;
    std::string error;
    ASSERT_TRUE(CollectMessages({dir.Path()}, messages, error)) << error;
    std::vector<std::string> labels;
    for (const Message& message : messages)
        labels.push_back(message.label);
    EXPECT_EQ(labels, (std::vector<std::string>{dir.File("a.eml"), dir.File("b.eml"), dir.File("sub/box.mbox") + "#1",
                                                dir.File("sub/box.mbox") + "#2"}));
    EXPECT_EQ(messages[3].bytes, "Subject: m2\n\n2\n");
}

TEST(CollectingMessages, AMissingPathIsAnError)
{
    std::vector<Message> messages;
    std::string error;
    EXPECT_FALSE(CollectMessages({"/nonexistent/message.eml"}, messages, error));
    EXPECT_NE(error.find("/nonexistent/message.eml"), std::string::npos);
}

TEST(RepeatingMessages, CyclesThroughTheInputsAndMarksTheRounds)
{
    std::vector<Message> repeated = RepeatMessages({{"a", "A"}, {"b", "B"}}, 5);
    ASSERT_EQ(repeated.size(), 5u);
    EXPECT_EQ(repeated[0].label, "a");
    EXPECT_EQ(repeated[2].label, "a~2");
    EXPECT_EQ(repeated[2].bytes, "A");
    EXPECT_EQ(repeated[4].label, "a~3");
}

TEST(SyntheticMessages, HaveTheRequestedSizeAndAddresses)
{
    std::vector<Message> messages = SyntheticMessages(3, 4096);
    ASSERT_EQ(messages.size(), 3u);
    for (const Message& message : messages) {
        EXPECT_GE(message.bytes.size(), 4000u);
        EXPECT_LE(message.bytes.size(), 4200u);
        EXPECT_NE(message.bytes.find("\nFrom: "), std::string::npos);
        EXPECT_NE(message.bytes.find("\nTo: "), std::string::npos);
    }
    EXPECT_EQ(SyntheticMessages(3, 4096)[2].bytes, messages[2].bytes);
}
