// Learning: the TELL and controller requests and replies, what a PATH holds,
// and the controller's password file.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "app/learn.h"
#include "config/learn_settings.h"
#include "plugin_process.h"
#include "rating/rspamd_protocol.h"
#include "rating/spamc_protocol.h"

using Kind = LearnOutcome::Kind;

TEST(Learning, RequestsAndRepliesOfBothEnginesBecomeOneOutcome)
{
    std::string head;
    BuildTellHeader(head, LearnClass::Spam, 12);
    EXPECT_EQ(head, "TELL SPAMC/1.5\r\nMessage-class: spam\r\nSet: local\r\nContent-length: 12\r\n\r\n");
    BuildTellHeader(head, LearnClass::Forget, 3);
    EXPECT_EQ(head, "TELL SPAMC/1.5\r\nRemove: local\r\nContent-length: 3\r\n\r\n");
    BuildRspamdLearnHead(head, "127.0.0.1:11334", LearnClass::Ham, 7, "s3cret");
    EXPECT_EQ(head, "POST /learnham HTTP/1.1\r\nHost: 127.0.0.1:11334\r\nPassword: s3cret\r\nConnection: close\r\n"
                    "Content-Length: 7\r\n\r\n");
    const struct {
        const char* reply;
        LearnClass what;
        bool rspamd;
        Kind kind;
        const char* why;
    } table[] = {
        {"SPAMD/1.1 0 EX_OK\r\nDidSet: local\r\n\r\n", LearnClass::Ham, false, Kind::Learned, ""},
        {"SPAMD/1.1 0 EX_OK\r\n\r\n", LearnClass::Spam, false, Kind::Known, ""},
        {"SPAMD/1.1 0 EX_OK\r\ndidremove: local\r\n\r\n", LearnClass::Forget, false, Kind::Learned, ""},
        {"SPAMD/1.1 0 EX_OK\r\nDidSet: local\r\n\r\n", LearnClass::Forget, false, Kind::Known, ""},
        {"SPAMD/1.0 69 Service Unavailable: TELL commands are not enabled\r\n", LearnClass::Spam, false,
         Kind::Refused, "SPAMD/1.0 69 Service Unavailable: TELL commands are not enabled"},
        {"HTTP/1.1 404 x\r\n", LearnClass::Spam, false, Kind::Failed, "no SPAMD status line: HTTP/1.1 404 x"},
        {"HTTP/1.1 200 OK\r\nContent-Length: 16\r\n\r\n{\"success\":true}", LearnClass::Spam, true, Kind::Learned,
         ""},
        {"HTTP/1.1 208 Already Reported\r\nContent-Length: 2\r\n\r\n{}", LearnClass::Ham, true, Kind::Known, ""},
        {"HTTP/1.1 401 Unauthorized\r\nContent-Length: 24\r\n\r\n{\"error\":\"Unauthorized\"}", LearnClass::Spam,
         true, Kind::Refused, "HTTP 401 {\"error\":\"Unauthorized\"}"},
        {"HTTP/1.1 500 x\r\nContent-Length: 3\r\n\r\nbad", LearnClass::Spam, true, Kind::Failed, "HTTP 500 bad"},
    };
    for (const auto& row : table) {
        const LearnOutcome outcome =
            row.rspamd ? ReadRspamdLearnReply(row.reply) : ReadTellReply(row.reply, row.what);
        EXPECT_EQ(outcome.kind, row.kind) << row.reply;
        EXPECT_EQ(outcome.why, row.why) << row.reply;
    }
}

TEST(Learning, PathsYieldTheMessagesAloneAndAnythingElseIsNamed)
{
    TempDir dir;
    const std::string mbox = "From a@x Mon Jan  1 00:00:00 2026\nSubject: 1\n\none\n\n"
                             "From b@x Mon Jan  1 00:00:00 2026\nSubject: 2\n\ntwo\nFrom c@x\n";
    std::vector<std::string> texts;
    for (const auto& [offset, length] : SplitMbox(mbox))
        texts.push_back(mbox.substr(offset, length));
    EXPECT_EQ(texts, (std::vector<std::string>{"Subject: 1\n\none\n", "Subject: 2\n\ntwo\n"}));
    EXPECT_EQ(MessageOf("P <a@x>\nR <b@x>\n\nSubject: s\n\nbody\n"), "Subject: s\n\nbody\n");
    EXPECT_EQ(MessageOf("Subject: s\n\nbody\n"), "Subject: s\n\nbody\n");

    for (const char* directory : {"md", "md/cur", "md/new", "empty"})
        mkdir(dir.File(directory).c_str(), 0700);
    WriteFile(dir.File("md/cur/1"), "Subject: a\n\na\n");
    WriteFile(dir.File("md/new/2"), "Subject: b\n\nb\n");
    WriteFile(dir.File("md/new/.hidden"), "x");
    WriteFile(dir.File("box"), mbox);
    mkfifo(dir.File("fifo").c_str(), 0600);
    std::vector<MessageSource> messages;
    std::string why;
    EXPECT_TRUE(CollectMessages(dir.File("md"), messages, why)) << why;
    EXPECT_TRUE(CollectMessages(dir.File("box"), messages, why)) << why;
    ASSERT_EQ(messages.size(), 4u);
    EXPECT_EQ(messages[1].path, dir.File("md/new/2"));
    EXPECT_TRUE(messages[3].mbox);
    for (const auto& [path, problem] : std::vector<std::pair<std::string, std::string>>{
             {dir.File("none"), dir.File("none") + ": No such file or directory"},
             {dir.File("empty"), dir.File("empty") + " holds no message"},
             {dir.File("fifo"), dir.File("fifo") + " is neither a message file, a directory, a Maildir nor an "
                                                   "mbox file"}}) {
        EXPECT_FALSE(CollectMessages(path, messages, why));
        EXPECT_EQ(why, problem);
    }
}

TEST(Learning, PasswordFileAndLearnHostsFollowTheirRules)
{
    TempDir dir;
    std::string password, why;
    WriteFile(dir.File("pass"), "s3cret\r\nrest\n");
    chmod(dir.File("pass").c_str(), 0640);
    EXPECT_FALSE(ReadPasswordFile(dir.File("pass"), password, why));
    EXPECT_EQ(why, dir.File("pass") + " may be read by group or others (chmod 600 it)");
    chmod(dir.File("pass").c_str(), 0600);
    EXPECT_TRUE(ReadPasswordFile(dir.File("pass"), password, why));
    EXPECT_EQ(password, "s3cret");
    symlink(dir.File("pass").c_str(), dir.File("link").c_str());
    EXPECT_FALSE(ReadPasswordFile(dir.File("link"), password, why));

    SpamdSettings farm;
    std::string parseWhy;
    for (const char* entry : {"/run/spamd.sock", "rspamd:10.0.0.2", "rspamd:[::1]:11333", "rspamd:/run/r.sock"})
        farm.hosts.push_back(*ParseEngineHost(entry, parseWhy));
    std::vector<std::string> skipped, names;
    for (const EngineHost& host : LearnHostsOf({}, farm, skipped))
        names.push_back(host.name + "=" + host.port);
    EXPECT_EQ(names, (std::vector<std::string>{"/run/spamd.sock=", "rspamd:10.0.0.2:11334=11334",
                                               "rspamd:[::1]:11334=11334"}));
    EXPECT_EQ(skipped, std::vector<std::string>{"rspamd:/run/r.sock"});
    const auto tree = cfgfReadConfigText("Learn = { Hosts = ( \"rspamd:h\", \"rspamd:h:9\" ); };", "t");
    const std::optional<LearnSettings> learn = ReadLearnSettings(cfgfGetDictValue(tree.get(), "Learn", cfgfAny));
    ASSERT_TRUE(learn);
    EXPECT_EQ(learn->hosts.at(0).port, "11334");
    EXPECT_EQ(learn->hosts.at(1).port, "9");
}
