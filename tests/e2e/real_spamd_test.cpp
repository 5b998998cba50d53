#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <thread>

#include "config/settings.h"
#include "output_capture.h"
#include "plugin_process.h"
#include "base/text.h"
#include "protocol/request.h"
#include "stats/counters.h"
#include "rating/scan.h"
#include "rating/spamd_client.h"
#include "real_spamd.h"

namespace {

// Messages that this spamd rates differently from one another.
const char* const kMessageKinds[] = {
    "Subject: hello\n\nhello\n",
    "From: a@example.org\nTo: b@example.org\nSubject: hello\n\nhello\n",
    "From: a@example.org\nSubject: hello\nMessage-ID: <1@example.org>\n\nhello\n",
    "From: a@example.org\nTo: b@example.org\nSubject: hello\nDate: Thu, 1 Jan 2026 10:00:00 +0000\n\nhello\n",
    "From: a@example.org\nTo: b@example.org\nSubject: FREE MONEY\nDate: Thu, 1 Jan 2026 10:00:00 +0000\n"
    "Message-ID: <1@example.org>\n\nClick here.\n",
    "From: a@example.org\nTo: b@example.org\nSubject: Meeting notes\nDate: Thu, 1 Jan 2026 10:00:00 +0000\n"
    "Message-ID: <1@example.org>\n\nHere are the notes from the meeting.\n",
    "Subject: x\n\nXJS*C4JDBQADN1.NSBN3*2IDNEN*GTUBE-STANDARD-ANTI-UBE-TEST-EMAIL*C.34X\n",
};
constexpr int kKinds = sizeof kMessageKinds / sizeof kMessageKinds[0];

int RatingOfReply(const std::string& line) { return atoi(line.c_str() + line.find("Score:") + 6); }

// RealSpamdTest - one spamd for every test of this binary.
class RealSpamdTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        if (!RealSpamd::FindBinary().empty())
            spamd = std::make_unique<RealSpamd>();
    }
    static void TearDownTestSuite() { spamd.reset(); }

    void SetUp() override
    {
        if (!spamd) {
            const char* ci = getenv("CI");
            if (ci != nullptr && strcmp(ci, "true") == 0)
                FAIL() << "spamd is not installed, and CI needs the tests against it";
            GTEST_SKIP() << "spamd is not installed; the tests against the real spamd are skipped";
        }
        ASSERT_TRUE(spamd->Ready()) << spamd->Error();
        signal(SIGPIPE, SIG_IGN);
        Settings settings;
        settings.socketPath = spamd->SocketPath();
        PublishSettings(settings);
    }

    void TearDown() override { PublishSettings(Settings{}); }

    // Scan - the replies to requests 0, 1, ... for the messages, scanned all at once.
    std::string Scan(const std::vector<std::string>& messages)
    {
        std::vector<std::unique_ptr<FileRequest>> items;
        for (size_t n = 0; n < messages.size(); n++) {
            const std::string id = std::to_string(n), path = dir.File("message-" + id);
            WriteFile(path, messages[n]);
            items.push_back(std::make_unique<FileRequest>());
            items.back()->Assign(id, path);
        }
        const std::shared_ptr<const Settings> settings = CurrentSettings();
        whitelist senders;
        Statistics statistics;
        Counters counters;
        OutputCapture output;
        std::vector<std::thread> threads;
        for (auto& item : items)
            threads.emplace_back([&] { ScanFile(*item, *settings, senders, statistics, counters); });
        for (auto& thread : threads)
            thread.join();
        return output.Text();
    }

    // DirectRating - the rating of one CHECK of the message, made here.
    static int DirectRating(const std::string& message)
    {
        const std::string length = std::to_string(message.size() + 1);
        const std::string header = "CHECK SPAMC/1.2\r\nContent-length: " + length + "\r\n\r\n";
        char reply[kReplyCapacity + 1];
        sendCommand(spamd->SocketPath(), {header, message, "\n"}, reply, kReplyCapacity);
        const SpamdVerdict verdict = ParseCheckReply(reply);
        return RatingOf(verdict.score, verdict.threshold);
    }

    static inline std::unique_ptr<RealSpamd> spamd;
    TempDir dir;
};

}  // namespace

TEST_F(RealSpamdTest, GtubeIsRatedHundredWithTheAlertAndTheSampleNonSpamBelowNinety)
{
    const std::string spam = ReadSampleMessage("sample-spam.txt"), ham = ReadSampleMessage("sample-nonspam.txt");
    ASSERT_FALSE(spam.empty()) << "sample-spam.txt is missing";
    ASSERT_FALSE(ham.empty()) << "sample-nonspam.txt is missing";
    const std::string replies = Scan({"P <spammer@example.org>\nR <victim@example.org>\n\n" + spam, ham});
    EXPECT_NE(replies.find("0 ADDHEADER \"X-Junk-Score: 100 [XXXXXX]\\eX-SA-Score: 100 [XXXXXX]"
                           "\\eX-Alert: possible spam!\\eX-Color: red\"\n"),
              std::string::npos)
        << replies;
    const size_t hamReply = replies.find("1 ADDHEADER \"X-Junk-Score: ");
    ASSERT_NE(hamReply, std::string::npos) << replies;
    EXPECT_LT(RatingOfReply(replies.substr(hamReply)), 90) << replies;
}

TEST_F(RealSpamdTest, BurstOfRequestsGetsTheRatingsOfDirectChecks)
{
    int expected[kKinds];
    std::set<int> distinct;
    for (int kind = 0; kind < kKinds; kind++)
        distinct.insert(expected[kind] = DirectRating(kMessageKinds[kind]));
    ASSERT_GE(distinct.size(), 4u) << "the messages should be rated apart";

    std::vector<std::string> messages;
    for (int n = 0; n < 200; n++)
        messages.push_back("P <a@example.org>\nR <b@example.org>\n\n" + std::string(kMessageKinds[n % kKinds]));
    const std::string text = Scan(messages);
    std::map<int, int> ratings;
    for (size_t start = 0, end; start < text.size(); start = end + 1) {
        end = text.find('\n', start);
        const std::string line = text.substr(start, end - start);
        ASSERT_TRUE(ratings.emplace(atoi(line.c_str()), RatingOfReply(line)).second) << "again: " << line;
    }
    ASSERT_EQ(ratings.size(), messages.size());
    for (const auto& [id, rating] : ratings)
        EXPECT_EQ(rating, expected[id % kKinds]) << "request " << id;
}
