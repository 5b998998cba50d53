#include <gtest/gtest.h>

#include "replay/envelope.h"
#include "replay/spool.h"
#include "replay_test_support.h"

using namespace replay;

TEST(EnvelopeFromHeaders, SenderIsTheFirstFromAddress)
{
    Envelope envelope = EnvelopeFor("From: \"Doe, Jane\" <jane@example.com>\nTo: a@example.org\n\nbody\n", {});
    EXPECT_EQ(envelope.sender, "jane@example.com");
}

TEST(EnvelopeFromHeaders, BareFromAddressWithCommentIsTheSender)
{
    Envelope envelope = EnvelopeFor("from: jane@example.com (Jane Doe)\n\nbody\n", {});
    EXPECT_EQ(envelope.sender, "jane@example.com");
}

TEST(EnvelopeFromHeaders, MissingFromGivesTheNullSender)
{
    Envelope envelope = EnvelopeFor("To: a@example.org\n\nFrom: not-a-header@example.com\n", {});
    EXPECT_EQ(envelope.sender, "");
    EXPECT_EQ(FormatEnvelope(envelope).substr(0, 5), "P <>\n");
}

TEST(EnvelopeFromHeaders, RecipientsComeFromToAndCcInOrderWithoutDuplicates)
{
    std::string message =
        "To: Bob <bob@example.org>, \"Smith, Carol\" <carol@example.org>\n"
        "Subject: x\n"
        "Cc: dave@example.org,\n bob@example.org\n"
        "\n"
        "To: body@example.org\n";
    Envelope envelope = EnvelopeFor(message, {});
    EXPECT_EQ(envelope.recipients,
              (std::vector<std::string>{"bob@example.org", "carol@example.org", "dave@example.org"}));
}

TEST(EnvelopeFromHeaders, GroupSyntaxGivesItsMembersAndAnEmptyGroupNone)
{
    EXPECT_EQ(ExtractAddresses("team: a@example.org, b@example.org;, c@example.org"),
              (std::vector<std::string>{"a@example.org", "b@example.org", "c@example.org"}));
    EXPECT_TRUE(ExtractAddresses("undisclosed-recipients:;").empty());
}

TEST(EnvelopeFromHeaders, MessageWithoutRecipientsGetsTheFallback)
{
    Envelope envelope = EnvelopeFor("From: a@example.org\nTo: undisclosed-recipients:;\n\nbody\n", {});
    EXPECT_EQ(envelope.recipients, (std::vector<std::string>{kFallbackRecipient}));
}

TEST(EnvelopeFromHeaders, SourceIsTheAddressOfTheNewestReceivedField)
{
    std::string message =
        "Received: from localhost by mx.example.com; Mon, 5 Jan 2026 09:00:00 +0000\n"
        "Received: from relay.example.net (relay.example.net\n"
        "\t[198.51.100.7]) by mx.example.com; Mon, 5 Jan 2026 09:00:00 +0000\n"
        "Received: from old.example.net ([203.0.113.9]) by relay.example.net\n"
        "From: a@example.org\n\nbody\n";
    EXPECT_EQ(EnvelopeFor(message, {}).source, "[198.51.100.7]");
}

TEST(EnvelopeFromHeaders, NoReceivedAddressGivesTheFallbackSource)
{
    EXPECT_EQ(EnvelopeFor("From: a@example.org\n\nbody\n", {}).source, kFallbackSource);
}

TEST(EnvelopeFromHeaders, CrlfHeadersAreReadLikeLfHeaders)
{
    Envelope envelope = EnvelopeFor("From: <a@example.org>\r\nTo: b@example.org\r\n\r\nbody\r\n", {});
    EXPECT_EQ(envelope.sender, "a@example.org");
    EXPECT_EQ(envelope.recipients, (std::vector<std::string>{"b@example.org"}));
}

TEST(EnvelopeFromOptions, OptionsReplaceWhatTheHeadersSay)
{
    EnvelopeOptions options;
    options.sender = "bounce@example.net";
    options.recipients = {"x@example.net", "y@example.net"};
    options.source = "[192.0.2.1]";
    Envelope envelope = EnvelopeFor("From: a@example.org\nTo: b@example.org\n\nbody\n", options);
    EXPECT_EQ(FormatEnvelope(envelope),
              "P <bounce@example.net>\nR <x@example.net>\nR <y@example.net>\nS [192.0.2.1]\n\n");
}

TEST(EnvelopeFromOptions, AnEmptySenderOptionGivesTheNullSender)
{
    EnvelopeOptions options;
    options.sender = "";
    EXPECT_EQ(EnvelopeFor("From: a@example.org\n\nbody\n", options).sender, "");
}

TEST(SpooledFile, EnvelopeComesFirstAndThePluginFindsItsEnd)
{
    TestDir dir;
    std::vector<Message> messages = {{"one", "From: a@example.org\nTo: b@example.org\n\nHello\n"},
                                     {"two", "From: c@example.org\r\nTo: d@example.org\r\n\r\nHi\r\n"}};
    std::vector<SpoolEntry> spool;
    std::string error;
    ASSERT_TRUE(WriteSpool(dir.Path(), messages, {}, spool, error)) << error;
    ASSERT_EQ(spool.size(), 2u);

    std::string first = ReadAll(spool[0].path);
    EXPECT_EQ(first, "P <a@example.org>\nR <b@example.org>\nS [127.0.0.1]\n\n" + messages[0].bytes);
    EXPECT_EQ(EnvelopeLength(first), spool[0].envelopeLength);
    EXPECT_EQ(first.substr(spool[0].envelopeLength), messages[0].bytes);

    std::string second = ReadAll(spool[1].path);
    EXPECT_EQ(EnvelopeLength(second), spool[1].envelopeLength);
    EXPECT_EQ(second.substr(spool[1].envelopeLength), messages[1].bytes);
}

TEST(SpooledFile, FileNotStartingWithCapitalAndBlankHasNoEnvelope)
{
    EXPECT_EQ(EnvelopeLength("From: a\n\nbody"), 0u);
    EXPECT_EQ(EnvelopeLength("P <a>\r\nS x\r\n\r\nbody"), 14u);
    EXPECT_EQ(EnvelopeLength("P <a>\nS x\n"), 0u);
}
