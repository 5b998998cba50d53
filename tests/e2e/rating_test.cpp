// Ratings as the host receives them: score to rating, score bar, alert
// header, whitelist, and one answer per request under load and reloads.
#include <signal.h>
#include <unistd.h>

#include <map>
#include <thread>

#include "plugin_test.h"

using Rating = PluginTest;

TEST_F(Rating, ScoreBecomesRatingBarAndAlertAndAWhitelistedSenderSkipsSpamd)
{
    // "Subject: <score>/<threshold>" gets that verdict; spamd sends a 99 in two writes, status line first.
    spamd.SetResponder([](const std::string& request) {
        const char* verdict = request.c_str() + request.find("Subject: ") + 9;
        const double score = atof(verdict), threshold = atof(strchr(verdict, '/') + 1);
        return SpamdReply{.score = score, .threshold = threshold, .splitAt = {score == 5.5 ? 19u : 0u}};
    });
    plugin.Start({.settings = DefaultSettingsText(spamd.SocketPath(), 2),
                  .whitelist = "# trusted senders\n*@trusted.example.org\n"});
    const std::pair<const char*, const char*> cases[] = {
        {"-3/5", "  0 []"},    {"0.2/5", "  3 [X]"},    {"2.2/5", " 39 [X]"},     {"2.5/5", " 45 [XX]"},
        {"4.2/5", " 75 [XX]"}, {"4.3/5", " 77 [XXX]"},  {"4.7/5", " 84 [XXX]"},   {"5/5", " 90 [XXXX]"},
        {"5.5/5", " 99 [XXXXX]"}, {"5.6/5", "100 [XXXXXX]"}, {"9/0", "  0 []"},
    };
    for (const auto& [verdict, rating] : cases) {
        plugin.Send("1 FILE " + Message("m", "P <a@example.org>\n\nSubject: " + std::string(verdict) + "\n\nhi\n"));
        const std::string alert = rating[0] == '1' ? "\\eX-Alert: possible spam!\\eX-Color: red" : "";
        const std::string header = "X-Junk-Score: " + std::string(rating) + "\\eX-SA-Score: " + rating + alert;
        EXPECT_EQ(plugin.NextReply(), "1 ADDHEADER \"" + header + "\"") << verdict;
    }
    // spamd gets the message without its envelope, and a line feed after it.
    EXPECT_EQ(spamd.Requests().at(1), "CHECK SPAMC/1.2\r\nContent-length: 19\r\n\r\nSubject: -3/5\n\nhi\n\n");
    EXPECT_EQ(plugin.Ask("w FILE " + Message("w", "P <a@trusted.example.org>\nR <b@example.org>\n\nSubject: 9/5\n\nhi\n")),
              "w ADDHEADER \"X-Junk-Score: 0 []\\eX-SA-Score: 0 []\"");
    Quit();
    EXPECT_EQ(spamd.CheckCount(), static_cast<int>(std::size(cases)));
    EXPECT_EQ(plugin.Count("* 1 items read from " + plugin.WorkDir() + "/whitelist.txt"), 1u);
    EXPECT_EQ(plugin.Count("* a@trusted.example.org is whitelisted by *@trusted.example.org"), 1u);
}

TEST_F(Rating, ConcurrentRequestsAcrossReloadsAreAnsweredOnceWithTheirOwnRating)
{
    // Message n scores (n % 60) / 10, which rates 18 * (n % 60) / 10.
    spamd.SetResponder([](const std::string& request) {
        const int n = atoi(request.c_str() + request.find("number ") + 7);
        return SpamdReply{.score = (n % 60) / 10.0, .delayMs = n % 5};
    });
    Start(3);
    plugin.Send("0 INTF");  // an answer shows that the signal handlers are in place
    plugin.WaitFor("0 INTF 3 PROD=CLAM");
    constexpr int kRequests = 300;
    std::vector<std::string> lines;
    for (int n = 1; n <= kRequests; n++) {
        const std::string number = std::to_string(n);
        lines.push_back(number + " FILE " + Message("m" + number, "Subject: number " + number + "\n\nhi\n"));
    }
    std::thread writer([&] {
        for (int n = 1; n <= kRequests; n++) {
            plugin.Send(lines[n - 1]);
            if (n == 50 || n == 200)
                kill(plugin.Pid(), SIGHUP);
            if (n == 120)
                AskReload(DefaultSettingsText(spamd.SocketPath(), 2));
            if (n % 10 == 0)
                usleep(2000);
        }
    });
    std::map<int, int> ratings;
    for (int i = 0; i < kRequests && !HasFailure(); i++) {
        const std::string reply = plugin.NextReply(60s);
        EXPECT_TRUE(ratings.emplace(atoi(reply.c_str()), atoi(reply.c_str() + reply.find("Score:") + 6)).second)
            << "again: " << reply;
    }
    writer.join();
    for (const auto& [n, rating] : ratings)
        EXPECT_EQ(rating, std::min(100, 18 * (n % 60) / 10)) << "request " << n;
    Quit();
    EXPECT_EQ(ratings.size(), static_cast<size_t>(kRequests));
    EXPECT_EQ(plugin.Count("* HUP signal caught"), 2u);
    EXPECT_EQ(plugin.Count("* re-reading VelmoraSpamAssassin.cfg"), 4u);  // the marker's two lines, one per signal
    EXPECT_EQ(static_cast<int>(spamd.Requests().size()) - spamd.CheckCount(), 4);  // a PING at start and per reload
}

TEST_F(Rating, LogResultsWritesOneEscapedResultLineJustBeforeEachAnswer)
{
    spamd.SetResponder([](const std::string& request) {
        if (request.find("Subject: cut") != std::string::npos)
            return SpamdReply{.mode = SpamdReply::Mode::Close};
        return SpamdReply{.raw = "SPAMD/1.1 0 EX_OK\r\nContent-length: 13\r\nSpam: True ; 7.5 / 5.0\r\n\r\n"
                                 "GTUBE,MY_RULE"};
    });
    plugin.Start({.settings = DefaultSettingsText(spamd.SocketPath(), 2, "LogResults = YES;\n"),
                  .whitelist = "*@trusted.example\n"});
    const std::string host = " engine=spamd host=" + spamd.SocketPath();
    const struct {
        const char* id;
        std::string content;  // empty: no such file
        std::string begins, ends;
    } table[] = {
        {"r1", "P <odd \"name@example.org>\n\nSubject: hi\n\nhi\n", "* result id=r1 outcome=rated rating=100 ms=",
         host + " score=7.5/5.0 size=16 from=\"odd \\x22name@example.org\" rules=GTUBE,MY_RULE"},
        {"w1", "P <a@trusted.example>\n\nSubject: hi\n\nhi\n", "* result id=w1 outcome=whitelisted rating=0 ms=",
         " size=16 from=a@trusted.example"},
        {"u1", "Subject: cut\n\nhi\n", "* result id=u1 outcome=unrated rating=0 ms=",
         host + " size=17 why=\"closed without a reply\""},
        {"f1", "", "* result id=f1 outcome=failed ms=0 why=\"No such file or directory\"", ""},
    };
    for (const auto& row : table) {
        const std::string path = row.content.empty() ? plugin.WorkDir() + "/none" : Message(row.id, row.content);
        const std::string reply = plugin.Ask(std::string(row.id) + " FILE " + path);
        ASSERT_TRUE(reply.starts_with(std::string(row.id) + " ")) << reply;
        const std::vector<std::string>& lines = plugin.Transcript();
        const std::string& result = lines.at(lines.size() - 2);
        EXPECT_TRUE(result.starts_with(row.begins) && result.ends_with(row.ends)) << result;
    }
    // A reload without the key turns the lines off.
    AskReload(DefaultSettingsText(spamd.SocketPath(), 2));
    EXPECT_EQ(plugin.Ask("r2 FILE " + Message("r2", "Subject: hi\n\nhi\n")).substr(0, 13), "r2 ADDHEADER ");
    Quit();
    EXPECT_EQ(plugin.CountStarting("* result "), 4u);
}
