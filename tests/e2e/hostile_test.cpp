// Hostile directories and peers: a stranger who writes where the plugin writes, an engine
// whose reply is huge, content and senders built to slip past the engine or the whitelist.
#include <fcntl.h>
#include <sys/stat.h>

#include <atomic>
#include <thread>

#include "plugin_test.h"

using Hostile = PluginTest;

TEST_F(Hostile, NoLinkFifoOrGuessedNameInAWrittenDirectoryTurnsThePluginAgainstItsHost)
{
    const auto ModeOf = [](const std::string& path, bool follow = false) {
        struct stat status {};
        return (follow ? stat : lstat)(path.c_str(), &status), status.st_mode;
    };
    TempDir vault;
    const std::string secret = vault.File("secret"), work = plugin.WorkDir(), sub = plugin.SubmittedDir();
    WriteFile(secret, "root only\n");
    chmod(secret.c_str(), 0600);
    mkdir(sub.c_str(), 0755);
    symlink(secret.c_str(), (work + "/statistics.dat.tmp").c_str());  // the dump's old fixed temporary name
    mkfifo((work + "/v.prom.tmp").c_str(), 0600);                       // the metrics file's
    symlink(secret.c_str(), (work + "/whitelist.txt").c_str());
    const bool root = lchown((work + "/whitelist.txt").c_str(), geteuid() + 1, -1) == 0;  // a stranger's link
    // The attacker swaps every "*.tmp" file of the submission directory for a link, at once.
    std::atomic<int> swapped{0};
    std::atomic<bool> stop{false};
    std::thread attacker([&] {
        while (!stop)
            for (const std::string& name : ListDirectory(sub))
                if (const std::string path = sub + "/" + name;
                    name.ends_with(".tmp") && S_ISREG(ModeOf(path)) && unlink(path.c_str()) == 0)
                    swapped += symlink(secret.c_str(), path.c_str()) == 0;
    });
    Start(2, "MetricsFile = v.prom;\n");
    if (root)
        plugin.WaitFor("* whitelist " + work + "/whitelist.txt not read: a symbolic link of another user, or to a "
                       "link, is refused");
    plugin.Ask("1 FILE " + Message("m")), Quit();
    stop = true, attacker.join();
    // The started notice, the daily report, the stopped notice: one whose name was taken is not sent.
    EXPECT_EQ(swapped + Mails().size(), 3u);
    EXPECT_TRUE(ReadFileText(secret) == "root only\n" && (ModeOf(secret, true) & 07777) == 0600);
    for (const std::string& name : ListDirectory(sub))
        EXPECT_TRUE(!name.ends_with(".sub") || ModeOf(sub + "/" + name) == (S_IFREG | 0644)) << name;
    EXPECT_EQ(ModeOf(work + "/statistics.dat"), S_IFREG | 0600);
    EXPECT_EQ(ModeOf(work + "/v.prom"), S_IFREG | 0644);
    const size_t mails = Mails().size();
    for (int n = 0; n < 65536; n++)  // every name a 16-bit draw could give
        close(open((sub + "/reportSA_" + std::to_string(n) + ".tmp").c_str(), O_CREAT | O_WRONLY, 0600));
    Start(2), Quit();
    EXPECT_GE(Mails().size(), mails + 2);  // the notices, whatever names were taken
}

TEST_F(Hostile, NeitherANulNorALongSenderHidesAMessageAndAHugeReplyIsReadInTime)
{
    spamd.SetReply({.score = 10});
    plugin.Start({.settings = DefaultSettingsText(spamd.SocketPath(), 2, "Spamd = { ReplyTimeout = 2; };\n"),
                  .whitelist = "*@trusted.example\n"});
    const std::string hidden = std::string("Subject: x\n\nhello") + '\0' + "GTUBE\n";
    EXPECT_TRUE(plugin.Ask("nul FILE " + Message("nul", "P <a@b.example>\n\n" + hidden))
                    .starts_with("nul ADDHEADER \"X-Junk-Score: 100"));
    EXPECT_TRUE(spamd.Requests().back().ends_with(hidden + "\n"));
    EXPECT_TRUE(plugin.Ask("long FILE " + Message("long", "P <" + std::string(1006, 'a') + "@trusted.example.evil.example>\n\n"))
                    .starts_with("long ADDHEADER \"X-Junk-Score: 100"));
    spamd.SetReply({.mode = SpamdReply::Mode::Hang});  // the one spamd has its reply time limit
    EXPECT_TRUE(plugin.Ask("hang FILE " + Message("hang"), 5s).starts_with("hang ADDHEADER \"X-Junk-Score:   0"));
    spamd.ReleaseHung(), Quit();

    std::string json = R"({"score":20.0,"required_score":15.0,"symbols":{"S0":{})";
    for (int n = 1; n < 100000; n++)
        json += ",\"S" + std::to_string(n) + "\":{\"score\":0.1}";
    json += "}}";
    spamd.SetResponder([json](const std::string& request) {
        const std::string b = request.starts_with("GET /ping") ? "pong\r\n" : json;
        return SpamdReply{.raw = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(b.size()) + "\r\n\r\n" + b};
    });
    plugin.Start({.settings = DefaultSettingsText("", 2, "Spamd={Hosts=(\"rspamd:" + spamd.SocketPath() + "\");};\n")});
    plugin.Send("many FILE " + Message("many"));
    plugin.WaitFor("* rspamd host rspamd:" + spamd.SocketPath() + ": 90000 symbols beyond the first 10000 left out");
    EXPECT_TRUE(plugin.NextReply(2s).starts_with("many ADDHEADER \"X-Junk-Score: 100"));
    Quit();
}
