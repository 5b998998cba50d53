#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "fake_spamd.h"
#include "plugin_process.h"

namespace {

const char* const kMessage = "P <a@example.org>\nR <b@example.org>\n\nSubject: hi\n\nhello\n";

class RatingE2E : public ::testing::Test {
protected:
    void StartPlugin(std::optional<std::string> whitelist = std::nullopt)
    {
        PluginProcess::Options options;
        options.settings = DefaultSettingsText(spamd.SocketPath(), 4);
        options.whitelist = std::move(whitelist);
        plugin.Start(options);
    }

    std::string Message(const std::string& name, const std::string& content)
    {
        WriteFile(plugin.WorkDir() + "/" + name, content);
        return plugin.WorkDir() + "/" + name;
    }

    std::string NextReply()
    {
        return plugin.WaitForLine([](const std::string& line) { return !line.starts_with("* "); });
    }

    // QuitAndCollect - shut down; every line written after the request.
    std::vector<std::string> QuitAndCollect()
    {
        plugin.Send("q QUIT");
        auto rest = plugin.ReadAllUntilExit();
        EXPECT_EQ(plugin.WaitExit(), 0);
        return rest;
    }

    TempDir socketDir;
    FakeSpamd spamd{socketDir.File("spamd.sock")};
    PluginProcess plugin;
};

}  // namespace

TEST_F(RatingE2E, SplitReplyIsRatedByItsScoreAndAWhitelistedSenderSkipsSpamd)
{
    spamd.SetResponder([](const std::string& request) {
        // The status line alone first, as spamd often does.
        return request.find("split") == std::string::npos ? SpamdReply{.score = 2.5}
                                                           : SpamdReply{.score = 5.5, .splitAt = {19}};
    });
    StartPlugin("# trusted senders\n*@trusted.example.org\n");
    plugin.Send("1 FILE " + Message("plain", kMessage));
    EXPECT_EQ(NextReply(), "1 ADDHEADER \"X-Junk-Score:  45 [XX]\\eX-SA-Score:  45 [XX]\"");
    plugin.Send("2 FILE " + Message("split", "Subject: split\n\nhello\n"));
    EXPECT_EQ(NextReply(), "2 ADDHEADER \"X-Junk-Score:  99 [XXXXX]\\eX-SA-Score:  99 [XXXXX]\"");
    plugin.Send("w FILE " + Message("trusted", "P <a@trusted.example.org>\nR <b@example.org>\n\nSubject: hi\n\nhi\n"));
    EXPECT_EQ(NextReply(), "w ADDHEADER \"X-Junk-Score: 0 []\\eX-SA-Score: 0 []\"");
    QuitAndCollect();
    const auto& lines = plugin.Transcript();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "* a@trusted.example.org is whitelisted by *@trusted.example.org"),
              lines.end());
    EXPECT_EQ(spamd.CheckCount(), 2);
}

TEST_F(RatingE2E, ConcurrentRequestsEachGetTheirOwnRating)
{
    // Message n scores (n % 60) / 10, which rates 18 * (n % 60) / 10.
    spamd.SetResponder([](const std::string& request) {
        const int n = atoi(request.c_str() + request.find("number ") + 7);
        return SpamdReply{.score = (n % 60) / 10.0, .delayMs = n % 5};
    });
    StartPlugin();
    constexpr int kRequests = 200;
    std::string burst;
    for (int n = 0; n < kRequests; n++) {
        const std::string number = std::to_string(n);
        burst += number + " FILE " + Message("m" + number, "Subject: number " + number + "\n\nhello\n") + "\n";
    }
    plugin.SendRaw(burst);
    std::map<int, int> ratings;
    for (int i = 0; i < kRequests; i++) {
        const std::string reply = NextReply();
        const int rating = atoi(reply.c_str() + reply.find("Score:") + 6);
        ASSERT_TRUE(ratings.emplace(atoi(reply.c_str()), rating).second) << "again: " << reply;
    }
    for (const auto& [n, rating] : ratings)
        EXPECT_EQ(rating, std::min(100, 18 * (n % 60) / 10)) << "request " << n;
    for (const std::string& line : QuitAndCollect())
        EXPECT_TRUE(line.starts_with("* ") || line == "q OK") << "extra reply: " << line;
}
