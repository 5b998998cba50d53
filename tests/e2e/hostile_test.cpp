// Hostile directories and peers: a stranger who writes where the plugin
// writes, an engine whose reply is huge, content and senders built to slip
// past the engine or the whitelist.
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>

#include <atomic>
#include <thread>

#include "plugin_test.h"

namespace {

mode_t ModeOf(const std::string& path, bool follow = false)
{
    struct stat status {};
    (follow ? stat : lstat)(path.c_str(), &status);
    return status.st_mode;
}

}  // namespace

class Hostile : public PluginTest {};

TEST_F(Hostile, NoLinkFifoOrGuessedNameInAWrittenDirectoryTurnsThePluginAgainstItsHost)
{
    TempDir vault;
    const std::string secret = vault.File("secret"), work = plugin.WorkDir(), sub = plugin.SubmittedDir();
    WriteFile(secret, "root only\n");
    chmod(secret.c_str(), 0600);
    mkdir(sub.c_str(), 0755);
    symlink(secret.c_str(), (work + "/statistics.dat.tmp").c_str());  // the dump's old fixed temporary name
    mkfifo((work + "/v.prom.tmp").c_str(), 0600);                       // the metrics file's
    symlink(secret.c_str(), (work + "/whitelist.txt").c_str());
    // The attacker swaps every new "*.tmp" file of the submission directory for a link, at once.
    std::atomic<int> swapped{0};
    std::atomic<bool> stop{false};
    const int watch = inotify_init1(IN_NONBLOCK);
    inotify_add_watch(watch, sub.c_str(), IN_CREATE);
    std::thread attacker([&] {
        alignas(inotify_event) char events[4096];
        while (!stop) {
            const ssize_t n = read(watch, events, sizeof events);
            for (ssize_t at = 0; at < n;) {
                const auto* event = reinterpret_cast<inotify_event*>(events + at);
                const std::string name = sub + "/" + event->name;
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
                if (name.ends_with(".tmp") && S_ISREG(ModeOf(name)) && unlink(name.c_str()) == 0)
                    swapped += symlink(secret.c_str(), name.c_str()) == 0;
            }
            usleep(n > 0 ? 0 : 100);
        }
    });
    plugin.Start(DefaultOptions(2, "MetricsFile = v.prom;\n"));
    plugin.WaitFor("* whitelist " + work + "/whitelist.txt not read: a symbolic link is refused");
    plugin.Send("1 FILE " + Message("m"));
    plugin.NextReply();
    Quit();
    stop = true, attacker.join(), close(watch);
    // The started notice, the daily report, the stopped notice: one whose name was taken is not sent.
    EXPECT_EQ(swapped + Mails().size(), 3u);
    EXPECT_EQ(ReadFileText(secret), "root only\n");
    EXPECT_EQ(ModeOf(secret, true) & 07777, 0600u);
    for (const std::string& name : ListDirectory(sub))
        EXPECT_TRUE(!name.ends_with(".sub") || ModeOf(sub + "/" + name) == (S_IFREG | 0644)) << name;
    EXPECT_EQ(ModeOf(work + "/statistics.dat"), S_IFREG | 0600);
    EXPECT_EQ(ModeOf(work + "/v.prom"), S_IFREG | 0644);
    const size_t mails = Mails().size();
    for (int n = 0; n < 65536; n++)  // every name a 16-bit draw could give
        close(open((sub + "/reportSA_" + std::to_string(n) + ".tmp").c_str(), O_CREAT | O_WRONLY, 0600));
    plugin.Start(DefaultOptions(2));
    Quit();
    EXPECT_GE(Mails().size(), mails + 2);  // the notices, whatever names were taken
}

TEST_F(Hostile, NeitherANulNorALongSenderHidesAMessageAndAHugeReplyIsReadInTime)
{
    spamd.SetReply({.score = 10});
    plugin.Start({.settings = DefaultSettingsText(spamd.SocketPath(), 2, "Spamd = { ReplyTimeout = 2; };\n"),
                  .whitelist = "*@trusted.example\n"});
    const std::string hidden = std::string("Subject: x\n\nhello") + '\0' + "GTUBE\n";
    plugin.Send("nul FILE " + Message("nul", "P <a@b.example>\n\n" + hidden));
    EXPECT_TRUE(plugin.NextReply().starts_with("nul ADDHEADER \"X-Junk-Score: 100"));
    EXPECT_TRUE(spamd.Requests().back().ends_with(hidden + "\n"));
    plugin.Send("long FILE " + Message("long", "P <" + std::string(1006, 'a') + "@trusted.example.evil.example>\n\n"));
    EXPECT_TRUE(plugin.NextReply().starts_with("long ADDHEADER \"X-Junk-Score: 100"));
    spamd.SetReply({.mode = SpamdReply::Mode::Hang});  // the one spamd has its reply time limit
    plugin.Send("hang FILE " + Message("hang"));
    EXPECT_TRUE(plugin.NextReply(5s).starts_with("hang ADDHEADER \"X-Junk-Score:   0"));
    spamd.ReleaseHung();
    Quit();

    std::string json = R"({"score":20.0,"required_score":15.0,"symbols":{)";
    for (int n = 0; n < 100000; n++)
        json += "\"S" + std::to_string(n) + "\":{\"score\":0.1},";
    json.back() = '}', json += "}";
    spamd.SetResponder([json](const std::string& request) {
        const std::string body = request.starts_with("GET /ping") ? "pong\r\n" : json;
        return SpamdReply{.raw = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body};
    });
    const std::string host = "rspamd:" + spamd.SocketPath();
    plugin.Start({.settings = DefaultSettingsText("", 2, "Spamd = { Hosts = (\"" + host + "\"); };\n")});
    plugin.Send("many FILE " + Message("many"));
    plugin.WaitFor("* rspamd host " + host + ": 90000 symbols beyond the first 10000 left out");
    EXPECT_TRUE(plugin.NextReply(2s).starts_with("many ADDHEADER \"X-Junk-Score: 100"));
    Quit();
}
