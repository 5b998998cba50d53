// Rating one message: the scan against a scripted spamd, the verdict
// headers, the whitelist and spamd's replies.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <numeric>
#include <string>
#include <vector>

#include "app/answers.h"
#include "fake_spamd.h"
#include "output_capture.h"
#include "plugin_process.h"
#include "rating/envelope.h"
#include "rating/headers.h"
#include "rating/scan.h"
#include "rating/spamc_protocol.h"
#include "rating/whitelist.h"

namespace {

class Rating : public ::testing::Test {
protected:
    Rating() : spamd(dir.File("spamd.sock"))
    {
        settings.socketPath = spamd.SocketPath();
        settings.spamd = SocketPathFarm(settings.socketPath);
        settings.alertLevel = 95;
        OutputCapture capture;
        farm.Start(settings.spamd);
    }
    std::string Message(const std::string& name, const std::string& text)
    {
        WriteFile(dir.File(name), text);
        return dir.File(name);
    }
    // Scan - the reply line (or lines) written for one request.
    std::string Scan(const std::string& path, const char* id = "7")
    {
        OutputCapture capture;
        FileRequest request;
        request.Assign(id, path);
        AnswerScan(recorder, request, scanner.Scan(request, settings), settings, 0.001);
        return capture.Text();
    }
    TempDir dir;
    FakeSpamd spamd;
    Settings settings;
    whitelist senders;
    Statistics statistics;
    Counters counters;
    Recorder recorder{statistics, counters};
    // Requests by outcome and exchanges by outcome, as the metrics count them.
    std::string Counted()
    {
        const CountersSnapshot c = counters.Snapshot();
        std::string text;
        for (uint64_t n : c.requests)
            text += std::to_string(n) + " ";
        const auto& exchanges = counters.HostSample(settings.socketPath).exchanges;
        for (int outcome = 0; outcome < kExchangeOutcomes; outcome++)
            if (const uint64_t n = exchanges[static_cast<size_t>(outcome)])
                text += ExchangeOutcomeName(static_cast<ExchangeOutcome>(outcome)) + ("=" + std::to_string(n)) + " ";
        return text;
    }
    EngineFarm farm;
    Scanner scanner{senders, farm, recorder};
};

const char* const kSpam = "P <bad@spam.example>\nR <a@example.org>\nS host [192.0.2.1]\r\nR <b@example.org>\n\n"
                          "Subject: buy\n\nbody\n";

}  // namespace

TEST_F(Rating, RepliesFollowTheRatingExamples)
{
    const struct {
        double score, threshold;
        const char* reply;
    } table[] = {
        {0, 5, "7 ADDHEADER \"X-Junk-Score:   0 []\\eX-SA-Score:   0 []\"\n"},
        {2.5, 5, "7 ADDHEADER \"X-Junk-Score:  45 [XX]\\eX-SA-Score:  45 [XX]\"\n"},
        {5, 5, "7 ADDHEADER \"X-Junk-Score:  90 [XXXX]\\eX-SA-Score:  90 [XXXX]\"\n"},
        {5.5, 5, "7 ADDHEADER \"X-Junk-Score:  99 [XXXXX]\\eX-SA-Score:  99 [XXXXX]\\eX-Alert: possible spam!"
                 "\\eX-Color: red\"\n"},
        {1000, 5, "7 ADDHEADER \"X-Junk-Score: 100 [XXXXXX]\\eX-SA-Score: 100 [XXXXXX]\\eX-Alert: possible spam!"
                  "\\eX-Color: red\"\n"},
        {-3, 5, "7 ADDHEADER \"X-Junk-Score:   0 []\\eX-SA-Score:   0 []\"\n"},
    };
    const std::string path = Message("m", "P <a@b.c>\n\nSubject: x\n\nhello\n");
    for (const auto& row : table) {
        spamd.SetReply({.score = row.score, .threshold = row.threshold});
        EXPECT_EQ(Scan(path), row.reply) << row.score;
    }
    // The request carries the message without its envelope, and a newline behind it.
    EXPECT_EQ(spamd.Requests().back(), "CHECK SPAMC/1.2\r\nContent-length: 19\r\n\r\nSubject: x\n\nhello\n\n");
    const StatisticsSnapshot s = statistics.Snapshot();
    EXPECT_EQ(s.nScannedMessagesTotal, 6);
    EXPECT_EQ(s.msgStat[0], 2);
    EXPECT_EQ(s.msgStat[99], 1);
    EXPECT_EQ(s.msgStat[100], 1);
    EXPECT_EQ(s.sources.total, 2);  // only ratings at the alert level count as spam
    EXPECT_EQ(Counted(), "6 0 0 0 0 rated=6 ");
    const CountersSnapshot c = counters.Snapshot();
    EXPECT_EQ(c.ratings[0] + c.ratings[45] + c.ratings[90] + c.ratings[99] + c.ratings[100], 6u);
    EXPECT_EQ(std::accumulate(c.handling.begin(), c.handling.end(), uint64_t{0}), 6u);

    // A scan that the watchdog gave up answers as "*" and is not counted a second time.
    FileRequest givenUp;
    givenUp.Assign("8", path);
    ClaimAnswer(givenUp);
    OutputCapture capture;
    AnswerScan(recorder, givenUp, scanner.Scan(givenUp, settings), settings, 0.001);
    EXPECT_TRUE(capture.Text().starts_with("* ADDHEADER")) << capture.Text();
    EXPECT_EQ(statistics.Snapshot().nScannedMessagesTotal, 6);
    EXPECT_EQ(Counted(), "6 0 0 0 0 rated=7 ");
}

TEST_F(Rating, SpamCountsItsSourcesAndRecipientsAndSplitRepliesAreRated)
{
    spamd.SetReply({.score = 10, .splitAt = {5, 19, 30}});
    EXPECT_TRUE(Scan(Message("spam", kSpam)).starts_with("7 ADDHEADER \"X-Junk-Score: 100"));
    spamd.SetReply({.score = 10});
    Scan(Message("nosource", "P <x@y.z>\nR <c@example.org>\n\nbody\n"));
    StatisticsSnapshot s = statistics.Snapshot();
    const auto counted = [](reportObject& list) {
        std::string text;
        for (const reportItem& item : list.EntriesInNameOrder())
            text += item.name + "=" + std::to_string(item.count) + " ";
        return text;
    };
    EXPECT_EQ(counted(s.sources), "Unknown=1 host [192.0.2.1]=1 ");
    EXPECT_EQ(counted(s.targets), "a@example.org=1 b@example.org=1 c@example.org=1 ");
}

TEST_F(Rating, FilesThatCannotBeReadGetOneFailureAndUnusableRepliesAreLogged)
{
    ASSERT_EQ(mkfifo(dir.File("fifo").c_str(), 0600), 0);
    EXPECT_EQ(Scan(dir.File("fifo")), "7 FAILURE Unable to access file: " + dir.File("fifo") + ", errno=22\n");
    EXPECT_EQ(Scan(dir.Path()), "7 FAILURE Unable to access file: " + dir.Path() + ", errno=21\n");
    EXPECT_EQ(Scan(dir.File("gone")), "7 FAILURE Unable to access file: " + dir.File("gone") + ", errno=2\n");
    EXPECT_EQ(spamd.CheckCount(), 0);

    const std::string path = Message("m", "hello\n");
    const std::string zero = "7 ADDHEADER \"X-Junk-Score:   0 []\\eX-SA-Score:   0 []\"\n";
    spamd.SetReply({.raw = "SPAMD/1.0 76 Bad header line: (Content-Length mismatch)\r\n"});
    EXPECT_EQ(Scan(path), "* spamd gave no rating for " + path + ": SPAMD/1.0 76 Bad header line: "
                          "(Content-Length mismatch)\n" + zero);
    spamd.SetReply({.mode = SpamdReply::Mode::Close});
    EXPECT_EQ(Scan(path), "* spamd gave no rating for " + path + ": closed without a reply\n" + zero);
    spamd.SetReply({.score = 3, .threshold = 0});  // every score would rate 100
    EXPECT_EQ(Scan(path), "* spamd gave no rating for " + path + ": no usable threshold: 0.0\n" + zero);
    // Failures count, files that do not exist do not; no verdict is no rating 0.
    EXPECT_EQ(statistics.Snapshot().nScannedMessagesTotal, 5);
    EXPECT_EQ(statistics.Snapshot().nUnratedMessages, 3);
    EXPECT_EQ(statistics.Snapshot().msgStat[0], 0);
    EXPECT_EQ(Counted(), "0 0 3 3 0 unrated=2 cut=1 ");
}

TEST_F(Rating, WhitelistedSendersAreAnsweredWithoutSpamd)
{
    WriteFile(dir.File("whitelist.txt"), "# comment\nab\n*@GOOD.example\r\nboss?@corp.example\n");
    OutputCapture capture;
    senders.InitializeFrom(dir.File("whitelist.txt"));
    EXPECT_EQ(capture.Text(), "* 2 items read from " + dir.File("whitelist.txt") + "\n");
    settings.pMainHeader = "X-Score: ^1 [^2]";
    EXPECT_EQ(Scan(Message("w", "P <x@good.example>\nP <>\n\nbody\n")),
              "* x@good.example is whitelisted by *@good.example\n7 ADDHEADER \"X-Score: 0 []\"\n");
    EXPECT_EQ(spamd.CheckCount(), 0);
    EXPECT_EQ(Counted(), "0 1 0 0 0 ");

    const struct {
        const char* pattern;
        const char* address;
        int match;
    } table[] = {{"*@good.example", "A@Good.Example", 1}, {"boss?@corp.example", "boss1@corp.example", 1},
                 {"boss?@corp.example", "boss@corp.example", 0}, {"a*b*c", "aXbYbZc", 1}, {"a*b*c", "aXbYc d", 0},
                 {"*", "", 1}, {"abc", "abcd", 0}};
    for (const auto& row : table)
        EXPECT_EQ(wildcmp(row.pattern, row.address), row.match) << row.pattern << " " << row.address;
    const char* envelope = "P <first@x.y>\nP <a>\nP <last@x.y>\nR <r@x.y>\n\n";
    EXPECT_EQ(SenderOfEnvelope(envelope, static_cast<int>(FindEnvelopeLength(envelope))), "last@x.y");
    // The envelope is read line by line: nothing in the message can pass for it.
    EXPECT_EQ(FindEnvelopeLength("P <a>\r\n\r\nbody\n\nmore"), 9u);
    EXPECT_EQ(FindEnvelopeLength("P <a>\nR <b>\n\n"), 13u);
    EXPECT_EQ(FindEnvelopeLength("Subject: x\n\n"), 0u);
    EXPECT_EQ(FindEnvelopeLength("P <a>\nSubject: x\n\n"), 0u);
    EXPECT_EQ(FindEnvelopeLength("P <a>\r\nR <b>"), 0u);
    WriteFile(dir.File("whitelist.txt"), "*@partner.example\n");
    senders.InitializeFrom(dir.File("whitelist.txt"));
    const std::string forged = Message("forged", "P <x@spam.example>\r\nR <b@c.d>\r\n\r\nSubject: hi\n\n"
                                                 "P <ceo@partner.example>\n\nbody\n");
    EXPECT_TRUE(Scan(forged).starts_with("7 ADDHEADER"));
    EXPECT_EQ(spamd.Requests().back(), "CHECK SPAMC/1.2\r\nContent-length: 44\r\n\r\n"
                                       "Subject: hi\n\nP <ceo@partner.example>\n\nbody\n\n");
}

TEST(SpamdReplies, CompletenessAndVerdictsFollowTheProtocol)
{
    const struct {
        const char* reply;
        bool complete;
    } table[] = {
        {"SPAMD/1.1 0 EX_OK\r\n", false},
        {"SPAMD/1.1 0 EX_OK\r\nSpam: True ; 1.0 / 5.0\r\n\r\n", true},
        {"SPAMD/1.1 0 EX_OK\r\nContent-length: 5\r\nSpam: True ; 1 / 5\r\n\r\nGTU", false},
        {"SPAMD/1.1 0 EX_OK\r\nContent-length: 5\r\nSpam: True ; 1 / 5\r\n\r\nGTUBE", true},
        {"SPAMD/1.0 76 Bad header line\r\n", true},
        {"SPAMD/1.5 0 PONG\r\n", true},
    };
    for (const auto& row : table)
        EXPECT_EQ(SpamcReplyState(row.reply, false, false) == ReplyState::Complete, row.complete) << row.reply;
    const SpamdAnswer verdict = ParseSpamdReply("SPAMD/1.1 0 EX_OK\r\nSpam: True ; 1003.3 / 5.0\r\n\r\n");
    EXPECT_TRUE(verdict.rated);
    EXPECT_DOUBLE_EQ(verdict.score, 1003.3);
    EXPECT_DOUBLE_EQ(verdict.threshold, 5.0);
    EXPECT_FALSE(ParseSpamdReply("SPAMD/1.0 76 Bad ; 1 / 2").rated);
    EXPECT_EQ(RatingOf(5, 5), 90);
    EXPECT_EQ(RatingOf(4.99, 5), 89);
    EXPECT_EQ(RatingOf(1, 0), 0);  // no finite rating: the lowest
    EXPECT_EQ(RatingOf(0, 0), 0);
    EXPECT_EQ(RatingOf(-1, 0), 0);

    Settings settings;
    settings.scoreRange = {10, 20};
    settings.alertLevel = 50;
    settings.pAlertHeader = "X-A: ^1";
    EXPECT_EQ(BuildHeaderText(settings, 15), "X-Junk-Score:  15 [X]\\eX-SA-Score:  15 [X]");
    EXPECT_EQ(BuildHeaderText(settings, 150), "X-Junk-Score: 100 [XX]\\eX-SA-Score: 100 [XX]\\eX-A: ^1");
}
