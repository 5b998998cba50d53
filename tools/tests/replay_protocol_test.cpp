#include <gtest/gtest.h>

#include "replay/baselines.h"
#include "replay/fake_spamd.h"
#include "replay/figures.h"
#include "replay/host_protocol.h"
#include "replay/options.h"

using namespace replay;

TEST(OutputLines, RepliesAreSplitIntoIdKindAndText)
{
    OutputLine header = ParseOutputLine("17 ADDHEADER \"X-Junk-Score:  45 [XX]\\eX-SA-Score:  45 [XX]\"");
    EXPECT_FALSE(header.diagnostic);
    EXPECT_EQ(header.id, "17");
    EXPECT_EQ(header.kind, ReplyKind::AddHeader);
    EXPECT_EQ(header.headerText, "X-Junk-Score:  45 [XX]\\eX-SA-Score:  45 [XX]");

    EXPECT_EQ(ParseOutputLine("3 REJECTED timed-out, we'll try again later").kind, ReplyKind::Rejected);
    EXPECT_EQ(ParseOutputLine("4 FAILURE Unable to access file: /x, errno=2").kind, ReplyKind::Failure);
    EXPECT_EQ(ParseOutputLine("5 OK").kind, ReplyKind::Ok);
    EXPECT_EQ(ParseOutputLine("0 INTF 3 PROD=CLAM").kind, ReplyKind::Intf);
    EXPECT_EQ(ParseOutputLine("6 OKAY").kind, ReplyKind::Other);
}

TEST(OutputLines, StarLinesAreDiagnostics)
{
    EXPECT_TRUE(ParseOutputLine("* SpamAssassin plugin finished.").diagnostic);
    // A late second answer goes out with the id "*": it is no reply.
    EXPECT_TRUE(ParseOutputLine("* REJECTED timed-out, we'll try again later").diagnostic);
    EXPECT_FALSE(ParseOutputLine("*x OK").diagnostic);
}

TEST(OutputLines, RatingIsTheFirstNumberAfterTheFirstColon)
{
    EXPECT_EQ(RatingOfHeaderText("X-Junk-Score:   0 []\\eX-SA-Score:   0 []"), 0);
    EXPECT_EQ(RatingOfHeaderText("X-Junk-Score:  45 [XX]"), 45);
    EXPECT_EQ(RatingOfHeaderText("X-Junk-Score: 100 [XXXXXX]\\eX-Alert: possible spam!"), 100);
    EXPECT_EQ(RatingOfHeaderText("X-Checked: yes"), std::nullopt);
}

TEST(ExactlyOnce, EachIdIsAnsweredOnce)
{
    ReplyTracker tracker;
    ASSERT_TRUE(tracker.Sent("1"));
    ASSERT_TRUE(tracker.Sent("2"));
    EXPECT_FALSE(tracker.Sent("2"));
    EXPECT_EQ(tracker.Answer("2"), ReplyTracker::Outcome::First);
    EXPECT_EQ(tracker.Answer("1"), ReplyTracker::Outcome::First);
    EXPECT_TRUE(tracker.Clean());
    EXPECT_TRUE(tracker.Problems().empty());
}

TEST(ExactlyOnce, SecondAnswerIsADuplicate)
{
    ReplyTracker tracker;
    tracker.Sent("1");
    tracker.Answer("1");
    EXPECT_EQ(tracker.Answer("1"), ReplyTracker::Outcome::Duplicate);
    EXPECT_FALSE(tracker.Clean());
    EXPECT_EQ(tracker.Problems(), (std::vector<std::string>{"request 1 was answered more than once"}));
}

TEST(ExactlyOnce, AnswerForAnIdNeverSentIsUnknown)
{
    ReplyTracker tracker;
    tracker.Sent("1");
    tracker.Answer("1");
    EXPECT_EQ(tracker.Answer("99"), ReplyTracker::Outcome::Unknown);
    EXPECT_FALSE(tracker.Clean());
    EXPECT_EQ(tracker.UnknownAnswers(), 1u);
}

TEST(ExactlyOnce, MissingAnswersAreListedInSendingOrder)
{
    ReplyTracker tracker;
    for (const char* id : {"1", "2", "3", "4"})
        tracker.Sent(id);
    tracker.Answer("3");
    EXPECT_EQ(tracker.Outstanding(), 3u);
    EXPECT_EQ(tracker.Unanswered(), (std::vector<std::string>{"1", "2", "4"}));
    EXPECT_EQ(tracker.Problems().back(), "request 4 got no answer");
}

TEST(ExactlyOnce, ProblemsNameTheCommandOfRequestsOtherThanFile)
{
    ReplyTracker tracker;
    tracker.Sent("0", "INTF");
    tracker.Sent("5", "QUIT");
    tracker.Answer("0");
    tracker.Answer("0");
    EXPECT_EQ(tracker.Problems(), (std::vector<std::string>{"request 0 (INTF) was answered more than once",
                                                            "request 5 (QUIT) got no answer"}));
}

TEST(RatingHistogram, RatingsFallIntoTheFirstRangeWhoseBoundIsNotBelowThem)
{
    RatingHistogram histogram(kDefaultScoreRanges);
    for (int rating : {0, 1, 39, 40, 90, 91, 100})
        histogram.Add(rating);
    ASSERT_EQ(histogram.Ranges(), 8u);
    EXPECT_EQ(histogram.Label(0), "0");
    EXPECT_EQ(histogram.Label(1), "1-39");
    EXPECT_EQ(histogram.Label(6), "100");
    EXPECT_EQ(histogram.Label(7), "101-");
    EXPECT_EQ(histogram.Count(0), 1u);
    EXPECT_EQ(histogram.Count(1), 2u);
    EXPECT_EQ(histogram.Count(2), 1u);
    EXPECT_EQ(histogram.Count(4), 1u);
    EXPECT_EQ(histogram.Count(5), 1u);
    EXPECT_EQ(histogram.Count(6), 1u);
}

TEST(RatingHistogram, ScoreRangesMustIncrease)
{
    std::vector<int> bounds;
    EXPECT_TRUE(ParseScoreRanges("10,50", bounds));
    EXPECT_EQ(bounds, (std::vector<int>{10, 50}));
    EXPECT_FALSE(ParseScoreRanges("10,10", bounds));
    EXPECT_FALSE(ParseScoreRanges("10,x", bounds));
    EXPECT_FALSE(ParseScoreRanges("", bounds));
    EXPECT_FALSE(ParseScoreRanges("101", bounds));
}

TEST(Percentiles, NearestRankOfSortedValues)
{
    std::vector<double> values;
    for (int i = 1; i <= 100; i++)
        values.push_back(i);
    EXPECT_EQ(Percentile(values, 50), 50);
    EXPECT_EQ(Percentile(values, 99), 99);
    EXPECT_EQ(Percentile({7}, 90), 7);
    EXPECT_EQ(Percentile({}, 50), 0);
}

TEST(FakeSpamdVerdict, ScoreThresholdAndOptionalDelay)
{
    FakeVerdict verdict;
    ASSERT_TRUE(ParseFakeVerdict("1000/5", verdict));
    EXPECT_EQ(verdict.score, 1000);
    EXPECT_EQ(verdict.threshold, 5);
    EXPECT_EQ(verdict.delayMs, 0);
    ASSERT_TRUE(ParseFakeVerdict("2.5/5.0:20", verdict));
    EXPECT_EQ(verdict.score, 2.5);
    EXPECT_EQ(verdict.delayMs, 20);
    EXPECT_FALSE(ParseFakeVerdict("5", verdict));
    EXPECT_FALSE(ParseFakeVerdict("5/x", verdict));
    EXPECT_FALSE(ParseFakeVerdict("5/5:", verdict));
    EXPECT_EQ(FakeCheckReply(FakeVerdict{2.5, 5, 0}), "SPAMD/1.1 0 EX_OK\r\nSpam: False ; 2.5 / 5.0\r\n\r\n");
}

TEST(FakeSpamdVerdict, RequestIsCompleteWhenItsBodyHasArrived)
{
    EXPECT_TRUE(RequestComplete("PING SPAMC/1.0\r\n"));
    EXPECT_FALSE(RequestComplete("CHECK SPAMC/1.2\r\nContent-length: 5\r\n\r\nabc"));
    EXPECT_TRUE(RequestComplete("CHECK SPAMC/1.2\r\nContent-length: 5\r\n\r\nabcd\n"));
    EXPECT_TRUE(RequestComplete("CHECK SPAMC/1.5\r\nUser: root\r\ncontent-length: 2\r\n\r\na\n"));
    EXPECT_FALSE(RequestComplete("CHECK SPAMC/1.2\r\nContent-length: 5\r\n"));
}

TEST(FloorRequest, IsTheCheckRequestOfTheBodyAfterTheEnvelope)
{
    std::string request;
    BuildCheckRequest("P <a@example.org>\nR <b@example.org>\nS [192.0.2.1]\n\nSubject: x\n\nhi\n", request);
    EXPECT_EQ(request, "CHECK SPAMC/1.2\r\nContent-length: 16\r\n\r\nSubject: x\n\nhi\n\n");
    BuildCheckRequest("", request);
    EXPECT_EQ(request, "CHECK SPAMC/1.2\r\nContent-length: 1\r\n\r\n\n");
}

TEST(CommandLine, ValuesAndDefaults)
{
    const char* argv[] = {"velmora-replay", "--fake-spamd", "1000/5", "--threads=4", "--recipient", "a@x",
                          "--recipient", "b@x", "--quiet", "mail/"};
    ReplayOptions options;
    std::string error;
    ASSERT_TRUE(ParseOptions(std::size(argv), argv, options, error)) << error;
    EXPECT_EQ(options.threads, 4);
    EXPECT_EQ(options.inFlight, 0u);  // settled once the thread count is known
    EXPECT_EQ(DefaultInFlight(options.threads), 8u);
    EXPECT_EQ(DefaultInFlight(1), 4u);
    EXPECT_EQ(options.envelope.recipients, (std::vector<std::string>{"a@x", "b@x"}));
    EXPECT_TRUE(options.quiet);
    EXPECT_FALSE(options.floor);
    EXPECT_EQ(options.inputs, (std::vector<std::string>{"mail/"}));
    EXPECT_EQ(options.scoreRanges, kDefaultScoreRanges);
}

TEST(CommandLine, FloorFirstAlsoAsksForTheFloor)
{
    const char* argv[] = {"velmora-replay", "--socket", "/s", "--floor-first", "mail/"};
    ReplayOptions options;
    std::string error;
    ASSERT_TRUE(ParseOptions(std::size(argv), argv, options, error)) << error;
    EXPECT_TRUE(options.floor);
    EXPECT_TRUE(options.floorFirst);
}

TEST(CommandLine, MistakesAreRefusedWithAReason)
{
    auto refused = [](std::vector<const char*> args) {
        args.insert(args.begin(), "velmora-replay");
        ReplayOptions options;
        std::string error;
        bool ok = ParseOptions(static_cast<int>(args.size()), args.data(), options, error);
        return !ok && !error.empty();
    };
    EXPECT_TRUE(refused({"mail/"}));                                           // no spamd
    EXPECT_TRUE(refused({"--socket", "/s", "--fake-spamd", "1/5", "mail/"}));  // two spamds
    EXPECT_TRUE(refused({"--socket", "/s"}));                                  // no messages
    EXPECT_TRUE(refused({"--socket", "/s", "--threads", "101", "mail/"}));
    EXPECT_TRUE(refused({"--socket", "/s", "--verbose", "mail/"}));
    EXPECT_TRUE(refused({"--socket", "/s", "mail/", "--count"}));
    EXPECT_TRUE(refused({"--config", "x.cfg", "--fake-spamd", "1/5", "mail/"}));
}

TEST(SettingsValues, TopLevelValuesAreFoundAndNestedOnesIgnored)
{
    std::string text =
        "# SocketPath = \"/commented\";\n"
        "DailyReport = { SocketPath = \"/nested\"; };\n"
        "SocketPath = \"/run/spamd/\\\"odd\\\".sock\";\n"
        "MaxScanningThreads=  16 ;\n";
    EXPECT_EQ(ConfigValue(text, "SocketPath"), "/run/spamd/\"odd\".sock");
    EXPECT_EQ(ConfigValue(text, "MaxScanningThreads"), "16");
    EXPECT_EQ(ConfigValue(text, "AlertLevel"), std::nullopt);
}
