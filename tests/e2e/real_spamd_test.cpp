// The plugin against the real spamd: known messages, and a burst rated as
// each of its messages is rated alone.
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <set>

#include "real_spamd.h"

// Messages that spamd rates differently from one another.
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
constexpr int kKinds = std::size(kMessageKinds);

static int RatingOf(const std::string& reply) { return atoi(reply.c_str() + reply.find("Score:") + 6); }

TEST(RealSpamd, RatesGtubeAtHundredTheSampleNonSpamLowAndABurstLikeSingleMessages)
{
    SKIP_UNLESS_INSTALLED(RealSpamd::Installed(), "spamd");
    RealSpamd spamd;
    ASSERT_TRUE(spamd.Ready()) << spamd.Error();
    const std::string spam = ReadSampleMessage("sample-spam.txt"), ham = ReadSampleMessage("sample-nonspam.txt");
    ASSERT_FALSE(spam.empty() || ham.empty()) << "the spamassassin examples are missing";
    PluginProcess plugin;
    plugin.Start({.settings = DefaultSettingsText(spamd.SocketPath(), 4)});
    auto file = [&](const std::string& name, const std::string& text) {
        WriteFile(plugin.WorkDir() + "/" + name, "P <a@example.org>\nR <b@example.org>\n\n" + text);
        return " FILE " + plugin.WorkDir() + "/" + name;
    };
    EXPECT_EQ(plugin.Ask("spam" + file("spam", spam), 60s),
              "spam ADDHEADER \"X-Junk-Score: 100 [XXXXXX]\\eX-SA-Score: 100 [XXXXXX]\\eX-Alert: possible spam!\\eX-Color: red\"");
    const std::string hamReply = plugin.Ask("ham" + file("ham", ham), 60s);
    EXPECT_TRUE(hamReply.starts_with("ham ADDHEADER \"X-Junk-Score: ")) << hamReply;
    EXPECT_LT(RatingOf(hamReply), 90) << hamReply;
    // A NUL byte hides nothing behind it from spamd.
    const std::string nul = std::string("Subject: x\n\nhello\0\n", 19) + kMessageKinds[kKinds - 1];
    EXPECT_EQ(RatingOf(plugin.Ask("nul" + file("nul", nul), 60s)), 100);

    std::string requests[kKinds];
    int expected[kKinds];
    std::set<int> distinct;
    for (int kind = 0; kind < kKinds; kind++) {
        requests[kind] = file("kind" + std::to_string(kind), kMessageKinds[kind]);
        distinct.insert(expected[kind] = RatingOf(plugin.Ask("k" + requests[kind], 60s)));
    }
    ASSERT_GE(distinct.size(), 4u) << "the messages should be rated apart";
    std::string burst;
    for (int n = 0; n < 200; n++)
        burst += std::to_string(n) + requests[n % kKinds] + "\n";
    plugin.SendRaw(burst);
    std::map<int, int> ratings;
    for (int n = 0; n < 200 && !HasFailure(); n++) {
        const std::string reply = plugin.NextReply(60s);
        EXPECT_TRUE(ratings.emplace(atoi(reply.c_str()), RatingOf(reply)).second) << "again: " << reply;
    }
    EXPECT_EQ(ratings.size(), 200u);
    for (const auto& [id, rating] : ratings)
        EXPECT_EQ(rating, expected[id % kKinds]) << "request " << id;
    EXPECT_EQ(plugin.Quit(), 0);
}
