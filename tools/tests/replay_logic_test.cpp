// The replay tool's own logic, through its library: the envelope it makes
// from the headers, the spooled files, the raw client's rspamd request, the
// mbox split, the figures and the exactly-once bookkeeping of the plugin's
// answers.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "plugin_process.h"
#include "rating/envelope.h"
#include "replay/baselines.h"
#include "replay/envelope.h"
#include "replay/figures.h"
#include "replay/host_protocol.h"
#include "replay/messages.h"
#include "replay/spool.h"

using namespace replay;
using Strings = std::vector<std::string>;

TEST(Envelope, ComesFromTheHeadersUnlessOptionsSayOtherwise)
{
    const Envelope full = EnvelopeFor(
        "Received: from localhost by mx.example.com; Mon, 5 Jan 2026 09:00:00 +0000\n"
        "Received: from relay.example.net (relay.example.net\n\t[198.51.100.7]) by mx.example.com\n"
        "Received: from old.example.net ([203.0.113.9]) by relay.example.net\n"
        "From: \"Doe, Jane\" <jane@example.com>\nTo: Bob <bob@example.org>, \"Smith, Carol\" <carol@example.org>\n"
        "Subject: x\nCc: dave@example.org,\n bob@example.org\n\nTo: body@example.org\n",
        {});
    EXPECT_EQ(full.sender, "jane@example.com");
    EXPECT_EQ(full.recipients, (Strings{"bob@example.org", "carol@example.org", "dave@example.org"}));
    EXPECT_EQ(full.source, "[198.51.100.7]");
    const Envelope crlf =
        EnvelopeFor("from: jane@example.com (Jane)\r\nTo: team: a@example.org, b@example.org;, c@example.org\r\n\r\n",
                    {});
    EXPECT_EQ(crlf.sender, "jane@example.com");
    EXPECT_EQ(crlf.recipients, (Strings{"a@example.org", "b@example.org", "c@example.org"}));
    EXPECT_EQ(FormatEnvelope(EnvelopeFor("To: undisclosed-recipients:;\n\nFrom: not-a-header@example.com\n", {})),
              "P <>\nR <postmaster@localhost>\nS [127.0.0.1]\n\n");
    EnvelopeOptions options;
    options.sender = "bounce@example.net";
    options.recipients = {"x@example.net", "y@example.net"};
    options.source = "[192.0.2.1]";
    EXPECT_EQ(FormatEnvelope(EnvelopeFor("From: a@example.org\nTo: b@example.org\n\nbody\n", options)),
              "P <bounce@example.net>\nR <x@example.net>\nR <y@example.net>\nS [192.0.2.1]\n\n");
    options.sender = "";
    EXPECT_EQ(EnvelopeFor("From: a@example.org\n\nbody\n", options).sender, "");
}

TEST(Spool, EnvelopeComesFirstAndThePluginFindsItsEnd)
{
    TempDir dir;
    const std::vector<Message> messages = {{"one", "From: a@example.org\nTo: b@example.org\n\nHello\n"},
                                           {"two", "From: c@example.org\r\nTo: d@example.org\r\n\r\nHi\r\n"}};
    std::vector<SpoolEntry> spool;
    std::string error;
    ASSERT_TRUE(WriteSpool(dir.Path(), messages, {}, spool, error)) << error;
    ASSERT_EQ(spool.size(), 2u);
    const std::string texts[] = {ReadFileText(spool[0].path), ReadFileText(spool[1].path)};
    EXPECT_EQ(texts[0], "P <a@example.org>\nR <b@example.org>\nS [127.0.0.1]\n\n" + messages[0].bytes);
    // The plugin reads the envelope the spool wrote, whatever the message's own line ends.
    for (int n : {0, 1}) {
        EXPECT_EQ(FindEnvelopeLength(texts[n].c_str()), spool[n].envelopeLength);
        EXPECT_EQ(texts[n].substr(spool[n].envelopeLength), messages[n].bytes);
    }
}

TEST(Floor, RspamdRequestCarriesTheEnvelopeAsHeadersAndTheMessageAsBody)
{
    std::string request;
    const std::string file = "P <a@x.test>\nR <b@y.test>\nR <c@y.test>\nS relay [192.0.2.7]\n\nSubject: s\n\nhi\n";
    BuildRspamdRequest(file, "127.0.0.1:11333", "7", request);
    EXPECT_EQ(request, "POST /checkv2 HTTP/1.1\r\nHost: 127.0.0.1:11333\r\nConnection: close\r\nContent-Length: 15\r\n"
                       "From: a@x.test\r\nRcpt: b@y.test\r\nRcpt: c@y.test\r\nIP: 192.0.2.7\r\nQueue-Id: 7\r\n\r\n"
                       "Subject: s\n\nhi\n");
    EXPECT_EQ(EngineNames({"/run/spamd.sock", "rspamd:/run/rspamd.sock"}), "spamd and rspamd");
}

TEST(Messages, MboxSplitsAtSeparatorsAndDirectoriesAreWalkedInNameOrder)
{
    const std::vector<Message> box = SplitMbox("From alice@example.com Mon Jan  5 09:00:00 2026\nSubject: one\n\n"
                                               "We wrote:\nFrom now on.\n>From the start\n>>From here\n>Fromage\n\n\n"
                                               "From bob@example.com Mon Jan  5 09:01:00 2026\nSubject: two\n\nhi",
                                               "box");
    ASSERT_EQ(box.size(), 2u);
    EXPECT_EQ(box[0].label, "box#1");
    EXPECT_EQ(box[0].bytes, "Subject: one\n\nWe wrote:\nFrom now on.\nFrom the start\n>From here\n>Fromage\n\n");
    EXPECT_EQ(box[1].label, "box#2");
    EXPECT_EQ(box[1].bytes, "Subject: two\n\nhi");
    EXPECT_FALSE(LooksLikeMbox("From: a@example.com\n"));

    TempDir dir;
    mkdir(dir.File("sub").c_str(), 0755);
    mkdir(dir.File(".hidden").c_str(), 0755);
    for (const char* name : {"b.eml", "a.eml", ".skipped.eml", ".hidden/c.eml"})
        WriteFile(dir.File(name), "Subject: x\n\nx\n");
    WriteFile(dir.File("sub/box.mbox"), "From x@example.com Mon Jan  5 09:00:00 2026\nSubject: m1\n\n1\n\n"
                                        "From y@example.com Mon Jan  5 09:00:00 2026\nSubject: m2\n\n2\n");
    std::vector<Message> messages;
    std::string error;
    ASSERT_TRUE(CollectMessages({dir.Path()}, messages, error)) << error;
    Strings labels;
    for (const Message& message : messages)
        labels.push_back(message.label.substr(dir.Path().size()));
    EXPECT_EQ(labels, (Strings{"/a.eml", "/b.eml", "/sub/box.mbox#1", "/sub/box.mbox#2"}));
    EXPECT_FALSE(CollectMessages({"/nonexistent/message.eml"}, messages, error));
    EXPECT_NE(error.find("/nonexistent/message.eml"), std::string::npos);
}

TEST(Figures, RatingsFallIntoTheirRangesAndPercentilesAreNearestRank)
{
    RatingHistogram histogram(kDefaultScoreRanges);
    for (int rating : {0, 1, 39, 40, 90, 91, 100})
        histogram.Add(rating);
    ASSERT_EQ(histogram.Ranges(), 8u);
    const std::pair<const char*, size_t> expected[] = {{"0", 1},     {"1-39", 2},  {"40-76", 1}, {"77-84", 0},
                                                       {"85-90", 1}, {"91-99", 1}, {"100", 1},   {"101-", 0}};
    for (size_t range = 0; range < 8; range++) {
        EXPECT_EQ(histogram.Label(range), expected[range].first);
        EXPECT_EQ(histogram.Count(range), expected[range].second) << expected[range].first;
    }
    std::vector<int> bounds;
    EXPECT_TRUE(ParseScoreRanges("10,50", bounds));
    EXPECT_EQ(bounds, (std::vector<int>{10, 50}));
    for (const char* wrong : {"10,10", "10,x", "", "101"})
        EXPECT_FALSE(ParseScoreRanges(wrong, bounds)) << wrong;
    std::vector<double> values;
    for (int i = 1; i <= 100; i++)
        values.push_back(i);
    EXPECT_EQ(Percentile(values, 50), 50);
    EXPECT_EQ(Percentile(values, 99), 99);
    EXPECT_EQ(Percentile({7}, 90), 7);
    EXPECT_EQ(Percentile({}, 50), 0);
    EXPECT_EQ(RatingOfHeaderText("X-Junk-Score: 100 [XXXXXX]\\eX-Alert: possible spam!"), 100);
    EXPECT_EQ(RatingOfHeaderText("X-Checked: yes"), std::nullopt);
}

TEST(ExactlyOnce, RepliesAreTrackedByIdAndEveryFaultIsNamed)
{
    const OutputLine header = ParseOutputLine("17 ADDHEADER \"X-Junk-Score:  45 [XX]\"");
    EXPECT_EQ(header.id, "17");
    EXPECT_EQ(header.kind, ReplyKind::AddHeader);
    EXPECT_EQ(header.headerText, "X-Junk-Score:  45 [XX]");
    EXPECT_EQ(ParseOutputLine("3 REJECTED timed-out, we'll try again later").kind, ReplyKind::Rejected);
    EXPECT_EQ(ParseOutputLine("4 FAILURE Unable to access file: /x, errno=2").kind, ReplyKind::Failure);
    EXPECT_TRUE(ParseOutputLine("* REJECTED timed-out, we'll try again later").diagnostic);  // a late second answer
    EXPECT_FALSE(ParseOutputLine("*x OK").diagnostic);

    ReplyTracker tracker;
    for (const char* id : {"1", "2", "3"})
        ASSERT_TRUE(tracker.Sent(id));
    EXPECT_FALSE(tracker.Sent("2"));
    tracker.Sent("0", "INTF");
    tracker.Sent("9", "QUIT");
    EXPECT_EQ(tracker.Answer("2"), ReplyTracker::Outcome::First);
    EXPECT_EQ(tracker.Answer("2"), ReplyTracker::Outcome::Duplicate);
    EXPECT_EQ(tracker.Answer("0"), ReplyTracker::Outcome::First);
    EXPECT_EQ(tracker.Answer("0"), ReplyTracker::Outcome::Duplicate);
    EXPECT_EQ(tracker.Answer("77"), ReplyTracker::Outcome::Unknown);
    EXPECT_EQ(tracker.Answer("3"), ReplyTracker::Outcome::First);
    EXPECT_FALSE(tracker.Clean());
    EXPECT_EQ(tracker.Unanswered(), (Strings{"1", "9"}));
    EXPECT_EQ(tracker.Problems(), (Strings{"request 2 was answered more than once",
                                           "request 0 (INTF) was answered more than once",
                                           "a reply came for the unknown request id \"77\"", "request 1 got no answer",
                                           "request 9 (QUIT) got no answer"}));
}
