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
#include "protocol/text.h"
#include "rating/scan.h"
#include "rating/spamd_client.h"
#include "real_spamd.h"

namespace {

const char* const kAlertReply =
    "17 ADDHEADER \"X-Junk-Score: 100 [XXXXXX]\\eX-SA-Score: 100 [XXXXXX]"
    "\\eX-Alert: possible spam!\\eX-Color: red\"\n";

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

    std::string Scan(const std::string& content, const std::string& id = "17")
    {
        const std::string path = dir.File("message-" + id);
        WriteFile(path, content);
        queueItem_t item;
        strnncpy(item.requestId, id.c_str(), kRequestIdSize);
        strnncpy(item.fileName, path.c_str(), kFileNameSize);
        OutputCapture output;
        ScanFile(item);
        return output.Text();
    }

    // DirectRating - the rating of one CHECK of the message, made here.
    static int DirectRating(const std::string& message)
    {
        const std::string header = "CHECK SPAMC/1.2\r\nContent-length: " + std::to_string(message.size() + 1) + "\r\n\r\n";
        char reply[kReplyCapacity + 1];
        sendCommand(spamd->SocketPath(), {header, message, "\n"}, reply, kReplyCapacity);
        const SpamdVerdict verdict = ParseCheckReply(reply);
        return RatingOf(verdict.score, verdict.threshold);
    }

    static inline std::unique_ptr<RealSpamd> spamd;
    TempDir dir;
};

int RatingOfReply(const std::string& line) { return atoi(line.c_str() + line.find("Score:") + 6); }

}  // namespace

TEST_F(RealSpamdTest, GtubeIsRatedHundredWithTheAlertHeader)
{
    const std::string message = ReadSampleMessage("sample-spam.txt");
    ASSERT_FALSE(message.empty()) << "sample-spam.txt is missing";
    EXPECT_EQ(Scan("P <spammer@example.org>\nR <victim@example.org>\n\n" + message), kAlertReply);
}

TEST_F(RealSpamdTest, SampleNonSpamIsRatedBelowNinety)
{
    const std::string message = ReadSampleMessage("sample-nonspam.txt");
    ASSERT_FALSE(message.empty()) << "sample-nonspam.txt is missing";
    const std::string reply = Scan(message);
    ASSERT_TRUE(reply.starts_with("17 ADDHEADER \"X-Junk-Score: ")) << reply;
    EXPECT_LT(RatingOfReply(reply), 90) << reply;
}

TEST_F(RealSpamdTest, BurstOfRequestsGetsTheRatingsOfDirectChecks)
{
    int expected[kKinds];
    std::set<int> distinct;
    for (int kind = 0; kind < kKinds; kind++)
        distinct.insert(expected[kind] = DirectRating(kMessageKinds[kind]));
    ASSERT_GE(distinct.size(), 4u) << "the messages should be rated apart";

    constexpr int kRequests = 200;
    std::vector<std::unique_ptr<queueItem_t>> items;
    for (int n = 0; n < kRequests; n++) {
        const std::string path = dir.File("burst-" + std::to_string(n));
        WriteFile(path, "P <a@example.org>\nR <b@example.org>\n\n" + std::string(kMessageKinds[n % kKinds]));
        items.push_back(std::make_unique<queueItem_t>());
        strnncpy(items.back()->requestId, std::to_string(n).c_str(), kRequestIdSize);
        strnncpy(items.back()->fileName, path.c_str(), kFileNameSize);
    }
    OutputCapture output;
    std::vector<std::thread> threads;
    for (auto& item : items)
        threads.emplace_back([&item] { ScanFile(*item); });
    for (auto& thread : threads)
        thread.join();

    std::map<int, int> ratings;
    const std::string text = output.Text();
    for (size_t start = 0, end; start < text.size(); start = end + 1) {
        end = text.find('\n', start);
        const std::string line = text.substr(start, end - start);
        ASSERT_TRUE(ratings.emplace(atoi(line.c_str()), RatingOfReply(line)).second) << "again: " << line;
    }
    ASSERT_EQ(ratings.size(), static_cast<size_t>(kRequests));
    for (const auto& [id, rating] : ratings)
        EXPECT_EQ(rating, expected[id % kKinds]) << "request " << id;
}
