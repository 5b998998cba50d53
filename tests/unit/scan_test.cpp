#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <thread>

#include "rating/envelope.h"
#include "rating_fixture.h"

using namespace std::string_literals;

namespace {

// Reply - the reply to request 17 for a rating and its bar, as "%3d [bar]".
std::string Reply(const std::string& score, const std::string& alert = "")
{
    return "17 ADDHEADER \"X-Junk-Score: " + score + "\\eX-SA-Score: " + score + alert + "\"\n";
}
const std::string kAlert = "\\eX-Alert: possible spam!\\eX-Color: red";

std::string CheckRequest(const std::string& body)
{
    return "CHECK SPAMC/1.2\r\nContent-length: " + std::to_string(body.size() + 1) + "\r\n\r\n" + body + "\n";
}

using Entries = std::vector<std::pair<std::string, int>>;

Entries Counted(reportObject& list)
{
    PluginLock lock(reportMutex);
    Entries entries;
    for (const reportItem& entry : list.EntriesInNameOrder())
        entries.emplace_back(entry.name, entry.count);
    return entries;
}

}  // namespace

using Rating = RatingTest;

TEST_F(Rating, RepliesFollowTheRatingExamples)
{
    const std::pair<const char*, std::string> table[] = {
        {"Spam: False ; 0.0 / 5.0", Reply("  0 []")},       {"Spam: False ; 2.5 / 5.0", Reply(" 45 [XX]")},
        {"Spam: False ; 4.99 / 5.0", Reply(" 89 [XXXX]")},  {"Spam: True ; 5.0 / 5.0", Reply(" 90 [XXXX]")},
        {"Spam: True ; 5.5 / 5.0", Reply(" 99 [XXXXX]")},   {"Spam: True ; 5.6 / 5.0", Reply("100 [XXXXXX]", kAlert)},
        {"Spam: True ; 12.0 / 5.0", Reply("100 [XXXXXX]", kAlert)},
        {"Spam: False ; -3.1 / 5.0", Reply("  0 []")},      {"Spam: True ; 7.0 / 7.0", Reply(" 90 [XXXX]")},
        // A reply without its ';' or its '/' rates 0.
        {"Spam: False", Reply("  0 []")},                   {"Spam: False ; 3.0", Reply("  0 []")},
    };
    for (const auto& [spamLine, expected] : table) {
        spamd->SetReply({.raw = "SPAMD/1.1 0 EX_OK\r\n"s + spamLine + "\r\n\r\n"});
        EXPECT_EQ(ScanMessage("Subject: x\n\nhello\n"), expected) << spamLine;
    }
    EXPECT_EQ(RatingOf(3.0, 0.0), 0);
    EXPECT_EQ(RatingOf(0.0, 0.0), 0);
    EXPECT_EQ(RatingOf(1e12, 5.0), 0);  // beyond an int
    EXPECT_EQ(RatingOf(1000.0, 5.0), 100);
}

TEST_F(Rating, CheckRequestCarriesTheMessageWithoutItsEnvelope)
{
    const std::pair<std::string, std::string> table[] = {
        {"P <a@b.c>\nR <d@e.f>\n\nSubject: x\n\nhello\n", "Subject: x\n\nhello\n"},
        {"P <a@b.c>\r\nR <d@e.f>\r\n\r\nSubject: x\r\n\r\nhello\r\n", "Subject: x\r\n\r\nhello\r\n"},
        {"Subject: x\n\nhello\n", "Subject: x\n\nhello\n"},
        {"Subject: x\n\nab\0cd\n"s, "Subject: x\n\nab"},  // the body ends at its first NUL
        {"", ""},
    };
    for (const auto& [content, body] : table) {
        ScanMessage(content);
        EXPECT_EQ(spamd->Requests().back(), CheckRequest(body)) << content;
    }
    EXPECT_EQ(spamd->CheckCount(), 5);
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
    std::string content = "P <a@b.c>\n\n";
    for (int i = 0; content.size() < 2 * kReadLimit; i++)
        content += "line " + std::to_string(i) + "\n";
    ScanMessage(content);
    EXPECT_EQ(spamd->Requests().back(), CheckRequest(content.substr(11, kReadLimit - 11)));
}

TEST_F(Rating, SplitReplyAndMessageShorterThanTheReplyAreRatedByTheirScore)
{
    const std::string split = FormatSpamdReply(5.5, 5.0);
    spamd->SetReply({.raw = split, .splitAt = {19, 25, split.size() - 2}});
    EXPECT_EQ(ScanMessage("Subject: x\n\nhello\n"), Reply(" 99 [XXXXX]"));
    spamd->SetReply({.score = 5.0});
    EXPECT_EQ(ScanMessage("x"), Reply(" 90 [XXXX]"));
    spamd->SetReply({.score = 2.5});
    EXPECT_EQ(ScanMessage(""), Reply(" 45 [XX]"));
    spamd->SetReply({.mode = SpamdReply::Mode::Close});
    EXPECT_EQ(ScanMessage("Subject: x\n\nhello\n"), Reply("  0 []"));
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
    EXPECT_TRUE(output.ends_with(Reply("  0 []"))) << output;
}

TEST_F(Rating, HandledRequestIsCountedAndTimed)
{
    spamd->SetReply({.delayMs = 30});
    ScanMessage("Subject: x\n\nhello\n");
    PluginLock lock(reportMutex);
    EXPECT_EQ(nScannedMessagesTotal, 1);
    EXPECT_GE(scanTimeMin, 30u);
    EXPECT_EQ(scanTimeMin, scanTimeMax);
    EXPECT_EQ(scanTimeTotal, scanTimeMax);
}

TEST(HandlingTime, MillisecondsTruncateTowardZero)
{
    // Seconds and microseconds are taken apart: 1000 - 999 and 2000 - 899.
    EXPECT_EQ(HandlingTime({10, 999999}, {11, 0}), 1u);
    EXPECT_EQ(HandlingTime({10, 500}, {12, 1400}), 2000u);
    EXPECT_EQ(HandlingTime({10, 900000}, {12, 100}), 1101u);
    EXPECT_EQ(HandlingTime({12, 0}, {10, 0}), 0u);
}

TEST_F(Rating, ScanKeepsTheSettingsItStartedWith)
{
    // The reply arrives after new settings are published; the scan still
    // uses its own snapshot's templates.
    Settings changed;
    changed.pMainHeader = "X-Changed: ^1";
    spamd->SetResponder([&](const std::string&) {
        Publish(changed);
        return SpamdReply{};
    });
    EXPECT_EQ(ScanMessage("Subject: x\n\nhello\n"), Reply("  0 []"));
}

TEST_F(Rating, SpamCountsItsSourceOrUnknownAndEveryRecipient)
{
    spamd->SetReply({.score = 5.5});
    ScanMessage(kEnvelopedMessage);  // below the alert level: not counted
    spamd->SetReply({.score = 20});
    const std::string longAddress(120, 'a');
    ScanMessage("P <s@x.y>\r\nR <b@x.y>\r\nR <>\r\nR <" + longAddress + ">\r\nS host [10.0.0.1]\r\n\r\nbody\r\n");
    ScanMessage("P <s@x.y>\nR <b@x.y>\n\nbody\n");
    ScanMessage("Subject: no envelope\n\nbody\n");
    EXPECT_EQ(Counted(reportSourceList), (Entries{{"Unknown", 2}, {"host [10.0.0.1]", 1}}));
    EXPECT_EQ(Counted(reportTargetList), (Entries{{"", 1}, {std::string(98, 'a'), 1}, {"b@x.y", 2}}));
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
