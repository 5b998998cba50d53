#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <map>
#include <thread>

#include "rating/envelope.h"
#include "rating_fixture.h"

namespace {

const std::string kHeader0 = "17 ADDHEADER \"X-Junk-Score:   0 []\\eX-SA-Score:   0 []\"\n";

std::string CheckRequest(const std::string& body)
{
    return "CHECK SPAMC/1.2\r\nContent-length: " + std::to_string(body.size() + 1) + "\r\n\r\n" + body + "\n";
}

std::string RawReply(const std::string& spamLine)
{
    return "SPAMD/1.1 0 EX_OK\r\n" + spamLine + "\r\n\r\n";
}

}  // namespace

using Rating = RatingTest;

TEST_F(Rating, RepliesFollowTheRatingExamples)
{
    const std::pair<const char*, const char*> table[] = {
        {"Spam: False ; 0.0 / 5.0", "17 ADDHEADER \"X-Junk-Score:   0 []\\eX-SA-Score:   0 []\"\n"},
        {"Spam: False ; 2.5 / 5.0", "17 ADDHEADER \"X-Junk-Score:  45 [XX]\\eX-SA-Score:  45 [XX]\"\n"},
        {"Spam: False ; 4.99 / 5.0", "17 ADDHEADER \"X-Junk-Score:  89 [XXXX]\\eX-SA-Score:  89 [XXXX]\"\n"},
        {"Spam: True ; 5.0 / 5.0", "17 ADDHEADER \"X-Junk-Score:  90 [XXXX]\\eX-SA-Score:  90 [XXXX]\"\n"},
        {"Spam: True ; 5.5 / 5.0", "17 ADDHEADER \"X-Junk-Score:  99 [XXXXX]\\eX-SA-Score:  99 [XXXXX]\"\n"},
        {"Spam: True ; 5.6 / 5.0", "17 ADDHEADER \"X-Junk-Score: 100 [XXXXXX]\\eX-SA-Score: 100 [XXXXXX]"
                                   "\\eX-Alert: possible spam!\\eX-Color: red\"\n"},
        {"Spam: True ; 12.0 / 5.0", "17 ADDHEADER \"X-Junk-Score: 100 [XXXXXX]\\eX-SA-Score: 100 [XXXXXX]"
                                    "\\eX-Alert: possible spam!\\eX-Color: red\"\n"},
        {"Spam: False ; -3.1 / 5.0", kHeader0.c_str()},
        {"Spam: True ; 7.0 / 7.0", "17 ADDHEADER \"X-Junk-Score:  90 [XXXX]\\eX-SA-Score:  90 [XXXX]\"\n"},
        {"Spam: False", kHeader0.c_str()},
        {"Spam: False ; 3.0", kHeader0.c_str()},
    };
    for (const auto& [spamLine, expected] : table) {
        spamd->SetReply(RawSpamdReply(RawReply(spamLine)));
        EXPECT_EQ(ScanMessage("Subject: x\n\nhello\n"), expected) << spamLine;
    }
}

TEST(RatingOf, ValuesWithoutAnIntAreRatedZero)
{
    EXPECT_EQ(RatingOf(3.0, 0.0), 0);
    EXPECT_EQ(RatingOf(0.0, 0.0), 0);
    EXPECT_EQ(RatingOf(1e12, 5.0), 0);
    EXPECT_EQ(RatingOf(1000.0, 5.0), 100);
}

TEST_F(Rating, CheckRequestWithLineFeedEnvelopeSendsOnlyTheMessage)
{
    ScanMessage("P <a@b.c>\nR <d@e.f>\n\nSubject: x\n\nhello\n");
    ASSERT_EQ(spamd->CheckCount(), 1);
    EXPECT_EQ(spamd->Requests().back(), CheckRequest("Subject: x\n\nhello\n"));
}

TEST_F(Rating, CheckRequestWithCrLfEnvelopeSendsOnlyTheMessage)
{
    ScanMessage("P <a@b.c>\r\nR <d@e.f>\r\n\r\nSubject: x\r\n\r\nhello\r\n");
    EXPECT_EQ(spamd->Requests().back(), CheckRequest("Subject: x\r\n\r\nhello\r\n"));
}

TEST_F(Rating, FileWithoutEnvelopeIsSentWhole)
{
    ScanMessage("Subject: x\n\nhello\n");
    EXPECT_EQ(spamd->Requests().back(), CheckRequest("Subject: x\n\nhello\n"));
}

TEST(Envelope, BareLineFeedsAreLookedForFirst)
{
    EXPECT_EQ(FindEnvelopeLength("P <a@b>\r\n\r\nSubject: x\r\n\nbody"), 24u);
    EXPECT_EQ(FindEnvelopeLength("P <a@b>\r\n\r\nbody"), 11u);
    EXPECT_EQ(FindEnvelopeLength("p <a@b>\n\nbody"), 0u);
    EXPECT_EQ(FindEnvelopeLength("P<a@b>\n\nbody"), 0u);
    EXPECT_EQ(FindEnvelopeLength("P <a@b>\nno empty line"), 0u);
}

TEST_F(Rating, LargeFileIsRatedOnItsFirstMebibyte)
{
    const std::string envelope = "P <a@b.c>\n\n";
    std::string content = envelope;
    for (int i = 0; content.size() < 2 * kReadLimit; i++)
        content += "line " + std::to_string(i) + "\n";
    ScanMessage(content);
    const std::string body = content.substr(envelope.size(), kReadLimit - envelope.size());
    EXPECT_EQ(spamd->Requests().back(), CheckRequest(body));
}

TEST_F(Rating, BodyEndsAtItsFirstNulByte)
{
    ScanMessage(std::string("Subject: x\n\nab\0cd\n", 18));
    EXPECT_EQ(spamd->Requests().back(), CheckRequest("Subject: x\n\nab"));
}

TEST_F(Rating, EmptyFileIsSentAsOneLineFeedAndRatedByItsScore)
{
    spamd->SetReply(ScoredReply(2.5));
    EXPECT_EQ(ScanMessage(""), "17 ADDHEADER \"X-Junk-Score:  45 [XX]\\eX-SA-Score:  45 [XX]\"\n");
    EXPECT_EQ(spamd->Requests().back(), CheckRequest(""));
}

TEST_F(Rating, ReplyInPiecesIsRatedByItsScore)
{
    const std::string reply = FormatSpamdReply(5.5, 5.0);
    spamd->SetReply(RawSpamdReply(reply, {19, 25, reply.size() - 2}));
    EXPECT_EQ(ScanMessage("Subject: x\n\nhello\n"),
              "17 ADDHEADER \"X-Junk-Score:  99 [XXXXX]\\eX-SA-Score:  99 [XXXXX]\"\n");
}

TEST_F(Rating, MessageShorterThanTheReplyIsRatedByItsScore)
{
    spamd->SetReply(ScoredReply(5.0));
    EXPECT_EQ(ScanMessage("x"), "17 ADDHEADER \"X-Junk-Score:  90 [XXXX]\\eX-SA-Score:  90 [XXXX]\"\n");
}

TEST_F(Rating, ConnectionClosedWithoutReplyIsRatedZero)
{
    spamd->SetReply(ClosingReply());
    EXPECT_EQ(ScanMessage("Subject: x\n\nhello\n"), kHeader0);
}

TEST_F(Rating, UnreadableFileGetsOneFailure)
{
    const std::string directory = dir.File("adir");
    mkdir(directory.c_str(), 0755);
    EXPECT_EQ(ScanPath(directory), "17 FAILURE Unable to access file: " + directory + ", errno=21\n");
    const std::string gone = dir.File("gone");
    EXPECT_EQ(ScanPath(gone, "18"), "18 FAILURE Unable to access file: " + gone + ", errno=2\n");
    EXPECT_EQ(spamd->CheckCount(), 0);
    PluginLock lock(reportMutex);
    EXPECT_EQ(nScannedMessagesTotal, 2);
    EXPECT_EQ(msgStat[0], 0);
}

TEST_F(Rating, RequestAlreadyGivenUpIsNotAnsweredTwice)
{
    queueItem_t item;
    Fill(item, "17", WriteMessage("Subject: x\n\nhello\n"));
    ASSERT_TRUE(ClaimAnswer(item));  // as the controller does for a stuck scan
    OutputCapture output;
    ScanFile(item);
    EXPECT_EQ(output.Text().rfind("17 ", 0), std::string::npos);
}

TEST_F(Rating, RequestThatCannotBeWrittenIsRatedZeroAndLogged)
{
    // A spamd that accepts and hangs up at once: the request is too big to
    // vanish into the socket buffer, so its writing fails.
    const std::string path = dir.File("h.sock");
    FileDescriptor listener(socket(AF_UNIX, SOCK_STREAM, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    strnncpy(address.sun_path, path.c_str(), sizeof address.sun_path);
    ASSERT_EQ(bind(listener.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener.Get(), 4), 0);
    std::thread hangUp([&] { close(accept(listener.Get(), nullptr, nullptr)); });
    Settings settings;
    settings.socketPath = path;
    PublishSettings(settings);

    const std::string message = WriteMessage(std::string(kReadLimit, 'x'));
    const std::string output = ScanPath(message);
    hangUp.join();
    EXPECT_EQ(output.rfind("* failed to send " + message + " to spamd: ", 0), 0u) << output;
    EXPECT_TRUE(output.ends_with(kHeader0)) << output;
}

TEST_F(Rating, HandledRequestIsCountedAndTimed)
{
    spamd->SetReply(ScoredReply(0, 30));
    ScanMessage("Subject: x\n\nhello\n");
    PluginLock lock(reportMutex);
    EXPECT_EQ(nScannedMessagesTotal, 1);
    EXPECT_GE(scanTimeMin, 30u);
    EXPECT_EQ(scanTimeMin, scanTimeMax);
    EXPECT_EQ(scanTimeTotal, scanTimeMax);
}

TEST_F(Rating, ScanKeepsTheSettingsItStartedWith)
{
    // The reply arrives after new settings are published; the scan still
    // uses its own snapshot's templates.
    Settings changed;
    changed.pMainHeader = "X-Changed: ^1";
    spamd->SetResponder([&](const std::string&) {
        Publish(changed);
        return ScoredReply(0);
    });
    EXPECT_EQ(ScanMessage("Subject: x\n\nhello\n"), kHeader0);
}

TEST(HandlingTime, MillisecondsTruncateTowardZero)
{
    // Seconds and microseconds are taken apart: 1000 - 999 and 2000 - 899.
    EXPECT_EQ(HandlingTime({10, 999999}, {11, 0}), 1u);
    EXPECT_EQ(HandlingTime({10, 500}, {12, 1400}), 2000u);
    EXPECT_EQ(HandlingTime({10, 900000}, {12, 100}), 1101u);
    EXPECT_EQ(HandlingTime({12, 0}, {10, 0}), 0u);
}

TEST_F(Rating, ConcurrentScansEachGetTheirOwnRating)
{
    // The fake spamd scores message n with (n % 60) / 10, which rates
    // 18 * (n % 60) / 10.
    spamd->SetResponder([](const std::string& request) {
        const int n = atoi(request.c_str() + request.find("message ") + 8);
        return ScoredReply((n % 60) / 10.0, n % 7);
    });
    constexpr int kThreads = 20, kEach = 10;
    std::vector<std::unique_ptr<queueItem_t>> items;
    for (int n = 0; n < kThreads * kEach; n++) {
        items.push_back(std::make_unique<queueItem_t>());
        const std::string number = std::to_string(n);
        Fill(*items.back(), number, WriteMessage("Subject: x\n\nmessage " + number + "\n", "m-" + number));
    }
    OutputCapture output;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kEach; i++)
                ScanFile(*items[static_cast<size_t>(t * kEach + i)]);
        });
    for (auto& thread : threads)
        thread.join();

    std::map<int, int> ratings;
    for (const std::string& line : SplitLines(output.Text())) {
        const int id = atoi(line.c_str());
        const int rating = atoi(line.c_str() + line.find("Score:") + 6);
        EXPECT_TRUE(ratings.emplace(id, rating).second) << "second reply: " << line;
    }
    ASSERT_EQ(ratings.size(), static_cast<size_t>(kThreads * kEach));
    for (const auto& [id, rating] : ratings)
        EXPECT_EQ(rating, std::min(100, 18 * (id % 60) / 10)) << "request " << id;
}

namespace {

std::vector<std::pair<std::string, int>> Counted(reportObject& list)
{
    PluginLock lock(reportMutex);
    std::vector<std::pair<std::string, int>> entries;
    for (const reportItem& entry : list.EntriesInNameOrder())
        entries.emplace_back(entry.name, entry.count);
    return entries;
}

}  // namespace

TEST_F(Rating, SpamCountsItsSourceAndEveryRecipient)
{
    spamd->SetReply(ScoredReply(20));
    const std::string longAddress(120, 'a');
    ScanMessage("P <s@x.y>\r\nR <b@x.y>\r\nR <>\r\nR <" + longAddress + ">\r\nS host [10.0.0.1]\r\n\r\nbody\r\n");
    EXPECT_EQ(Counted(reportSourceList), (std::vector<std::pair<std::string, int>>{{"host [10.0.0.1]", 1}}));
    EXPECT_EQ(Counted(reportTargetList), (std::vector<std::pair<std::string, int>>{
                                             {"", 1}, {std::string(98, 'a'), 1}, {"b@x.y", 1}}));
}

TEST_F(Rating, SpamWithoutSourceLineCountsUnknown)
{
    spamd->SetReply(ScoredReply(20));
    ScanMessage("P <s@x.y>\nR <b@x.y>\n\nbody\n");
    ScanMessage("Subject: no envelope\n\nbody\n");
    EXPECT_EQ(Counted(reportSourceList), (std::vector<std::pair<std::string, int>>{{"Unknown", 2}}));
}

TEST_F(Rating, MessageBelowTheAlertLevelIsNotCounted)
{
    spamd->SetReply(ScoredReply(5.5));
    ScanMessage(kEnvelopedMessage);
    EXPECT_TRUE(Counted(reportSourceList).empty());
    EXPECT_TRUE(Counted(reportTargetList).empty());
}

TEST(MessageRead, ContinuesAcrossShortReadsUntilTheWantedSize)
{
    // Regular files rarely return less than asked; a pipe written in pieces
    // shows that the read the scan relies on goes on until it has everything.
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    FileDescriptor readEnd(ends[0]), writeEnd(ends[1]);
    std::thread writer([&] {
        for (const char* piece : {"P <a@b.c>\n", "\nSubject: x\n", "\nbody\n"}) {
            WriteAll(writeEnd.Get(), piece);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    char buffer[64] = {};
    EXPECT_EQ(ReadUpTo(readEnd.Get(), buffer, 28), 28);
    writer.join();
    EXPECT_STREQ(buffer, "P <a@b.c>\n\nSubject: x\n\nbody\n");
}

TEST(MessageRead, FileIsReadUpToTheLimit)
{
    TempDir dir;
    const std::string path = dir.File("big");
    WriteFile(path, "P <a@b.c>\n\n" + std::string(kReadLimit + 10, 'x'));
    MessageText text;
    unsigned long envelopeLength = 0;
    ASSERT_TRUE(ReadFile2(path.c_str(), text, envelopeLength));
    EXPECT_EQ(text.Size(), kReadLimit);
    EXPECT_EQ(envelopeLength, 11u);
    EXPECT_EQ(strlen(text.Data()), kReadLimit);
}
