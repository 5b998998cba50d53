// The plugin in front of a real rspamd that the test starts on loopback: its
// verdict in the headers, the envelope in its log, and a farm of one spamd
// and one rspamd that loses the rspamd in the middle of a burst.
#include <map>
#include <memory>

#include <gtest/gtest.h>

#include "real_rspamd.h"
#include "real_spamd.h"

namespace {

class RealRspamdTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        if (RealRspamd::Installed())
            rspamd = std::make_unique<RealRspamd>();
    }
    static void TearDownTestSuite() { rspamd.reset(); }

    void SetUp() override
    {
        SKIP_UNLESS_INSTALLED(RealRspamd::Installed() && RealSpamd::Installed(), "rspamd or spamd");
        ASSERT_TRUE(rspamd->Ready()) << rspamd->Error();
    }

    static std::string Host() { return "rspamd:127.0.0.1:" + std::to_string(rspamd->Port()); }
    std::string Settings(const std::string& hosts, const std::string& more = "")
    {
        return DefaultSettingsText("/nonexistent/spamd.sock", 4,
                                   "Header = \"X-Score: ^1\\eX-Rules: ^3 (^4/^5) ^6\";\nSpamd = { Hosts = (" + hosts +
                                       "); ConnectTimeout = 2; ReplyTimeout = 30; DownTime = 1; };\n" + more);
    }
    // File - a message with the host's envelope; the FILE request's tail.
    std::string File(const std::string& name, const std::string& text)
    {
        WriteFile(plugin.WorkDir() + "/" + name,
                  "P <sender@example.test>\nR <rcpt@example.test>\nS SMTP [192.0.2.7]\n\n" + text);
        return " FILE " + plugin.WorkDir() + "/" + name;
    }

    static inline std::unique_ptr<RealRspamd> rspamd;
    PluginProcess plugin;
};

}  // namespace

TEST_F(RealRspamdTest, TheVerdictReachesTheHeadersAndTheEnvelopeReachesRspamd)
{
    plugin.Start({.settings = Settings("\"" + Host() + "\"")});
    plugin.WaitFor("* engine: rspamd/3.4 at " + Host());
    plugin.Send("gtube-1" + File("spam", ReadSampleMessage("sample-spam.txt")));
    // GTUBE: rspamd's score equals its reject threshold, the rating 90.
    EXPECT_EQ(plugin.NextReply(30s), "gtube-1 ADDHEADER \"X-Score:  90\\eX-Rules: GTUBE (15.00/15.00) reject\"");
    const std::string ham = plugin.Ask("ham-1" + File("ham", ReadSampleMessage("sample-nonspam.txt")), 30s);
    EXPECT_TRUE(ham.starts_with("ham-1 ADDHEADER \"X-Score:  18\\eX-Rules: DATE_IN_PAST,RDNS_NONE,")) << ham;
    EXPECT_TRUE(ham.ends_with(" (3.00/15.00) no action\"")) << ham;
    EXPECT_EQ(plugin.Quit(), 0);
    // rspamd logs one line per message with what it was told of the envelope.
    const std::string log = ReadFileText(rspamd->LogPath());
    for (const char* field : {"qid: <gtube-1>", "qid: <ham-1>", "ip: 192.0.2.7", "from: <sender@example.test>",
                              "rcpts: <rcpt@example.test>"})
        EXPECT_NE(log.find(field), std::string::npos) << field << "\n" << log;

    // The check pings rspamd and tells its version.
    plugin.Start({.settings = "", .args = {"-check"}});
    plugin.ReadAllUntilExit();
    EXPECT_EQ(plugin.WaitExit(), 0);
    EXPECT_EQ(plugin.CountStarting("* spamd " + Host() + ": rspamd/3.4, "), 1u);
}

TEST_F(RealRspamdTest, AFarmOfSpamdAndRspamdLosesNoRequestWhenRspamdGoesAndComesBack)
{
    RealSpamd spamd;
    ASSERT_TRUE(spamd.Ready()) << spamd.Error();
    plugin.Start({.settings = Settings("\"" + spamd.SocketPath() + "\", \"" + Host() + "\"")});
    plugin.WaitFor("* engine: rspamd/3.4 at " + Host());
    const std::string gtube = File("gtube", ReadSampleMessage("sample-spam.txt"));
    std::map<std::string, std::string> replies;
    const auto burst = [&](int from, int to, const std::function<void(size_t)>& afterEach) {
        std::string lines;
        for (int n = from; n < to; n++)
            lines += std::to_string(n) + gtube + "\n";
        plugin.SendRaw(lines);
        for (int n = from; n < to; n++) {
            const std::string reply = plugin.NextReply(60s);
            const std::string id = reply.substr(0, reply.find(' '));
            EXPECT_TRUE(replies.emplace(id, reply).second) << "a second answer: " << reply;
            afterEach(replies.size());
        }
    };
    // rspamd goes away in the middle of the burst and comes back.
    burst(0, 160, [&](size_t answered) {
        if (answered == 40)
            rspamd->Stop();
    });
    ASSERT_TRUE(rspamd->Start()) << rspamd->Error();
    plugin.WaitFor("* rspamd host " + Host() + " is up again");
    burst(160, 200, [](size_t) {});
    EXPECT_EQ(plugin.Quit(), 0);

    // Every message rated once, by one engine or the other: spamd gives GTUBE
    // 100, rspamd 90; none is left unrated or rejected.
    ASSERT_EQ(replies.size(), 200u);
    std::map<std::string, int> ratings;
    for (const auto& [id, reply] : replies)
        ratings[reply.substr(id.size() + 1, 25)]++;
    EXPECT_EQ(ratings["ADDHEADER \"X-Score: 100\\e"] + ratings["ADDHEADER \"X-Score:  90\\e"], 200) << replies.begin()->second;
    EXPECT_GT(ratings["ADDHEADER \"X-Score:  90\\e"], 0);
    EXPECT_EQ(plugin.CountHolding(" gave no rating for ") + plugin.CountHolding(" host could rate "), 0u);
}
