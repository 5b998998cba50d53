#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "fake_spamd.h"
#include "plugin_process.h"

namespace {

bool IsReply(const std::string& line) { return !line.starts_with("* "); }

class CommandLoopTest : public ::testing::Test {
protected:
    void StartPlugin(int threads = 4, std::vector<std::string> args = {})
    {
        PluginProcess::Options options;
        options.settings = DefaultSettingsText(spamd.SocketPath(), threads);
        options.args = std::move(args);
        plugin.Start(options);
    }
    std::string NextReply() { return plugin.WaitForLine(IsReply); }
    std::string MessageFile(const std::string& name)
    {
        std::string path = plugin.WorkDir() + "/" + name;
        WriteFile(path, "P <a@example.org>\nR <b@example.org>\n\nSubject: hi\n\nhello\n");
        return path;
    }

    TempDir socketDir;
    FakeSpamd spamd{socketDir.File("spamd.sock")};
    PluginProcess plugin;
};

}  // namespace

TEST_F(CommandLoopTest, AnswersEveryRequestFormByteExactly)
{
    StartPlugin();
    plugin.Send("1 INTF 3");
    EXPECT_EQ(NextReply(), "1 INTF 3 PROD=CLAM");
    plugin.Send("2 INTF");
    EXPECT_EQ(NextReply(), "2 INTF 3 PROD=CLAM");
    plugin.Send("3 HELLO world");
    EXPECT_EQ(NextReply(), "3 OK Unknown command: HELLO world");
    plugin.Send("4 file /etc/hostname");
    EXPECT_EQ(NextReply(), "4 OK Unknown command: file /etc/hostname");
    plugin.Send("5 FILE");
    EXPECT_EQ(NextReply(), "5 OK Unknown command: FILE");
    plugin.Send("6 FILE    ");
    EXPECT_EQ(NextReply(), "6 FAILURE Missing file name: FILE");
    plugin.Send("lonely");
    EXPECT_EQ(NextReply(), "lonely FAILURE Missing command.");
    plugin.Send("");
    EXPECT_EQ(NextReply(), " FAILURE Missing command.");
    plugin.Send("7    \tINTF");
    EXPECT_EQ(NextReply(), "7 OK Unknown command: \tINTF");
    plugin.Send("a\tb INTF");
    EXPECT_EQ(NextReply(), "a\tb INTF 3 PROD=CLAM");
    plugin.Send("8 FOO\r");
    EXPECT_EQ(NextReply(), "8 OK Unknown command: FOO\r");
    plugin.Send("9 FILE /no/such/message");
    EXPECT_EQ(NextReply(), "9 FAILURE Unable to access file: /no/such/message, errno=2");
    plugin.Send("10 QUITNOW");
    plugin.WaitForLine([](const std::string& l) { return l == "* quit accepted"; });
    auto rest = plugin.ReadAllUntilExit();
    ASSERT_GE(rest.size(), 2u);
    EXPECT_EQ(rest[rest.size() - 2], "10 OK");
    EXPECT_EQ(rest.back(), "* SpamAssassin plugin finished.");
    EXPECT_EQ(plugin.WaitExit(), 0);
}

TEST_F(CommandLoopTest, StartsWithItsVersionAndTheEngineWord)
{
    StartPlugin(2, {"-d", "-NOCRASHHANDLER", "-bogus"});
    plugin.Send("1 INTF");
    NextReply();
    const auto& lines = plugin.Transcript();
    auto has = [&](const std::string& text) { return std::find(lines.begin(), lines.end(), text) != lines.end(); };
    EXPECT_TRUE(has("* debugging is on"));
    EXPECT_TRUE(has("* No crash handler will be used."));
    EXPECT_TRUE(has("* Unknown option: -bogus:"));
    EXPECT_TRUE(has("* SpamAssassin plugin 0.3 Linux-x86_64 build 22-Jun-2023 started"));
    plugin.CloseInput();
    plugin.ReadAllUntilExit();
    EXPECT_EQ(plugin.WaitExit(), 0);
}

TEST_F(CommandLoopTest, CutsLongLinesAt1043CharactersAndDropsTheRest)
{
    StartPlugin();
    plugin.Send("x " + std::string(3000, 'A'));
    EXPECT_EQ(NextReply(), "x OK Unknown command: " + std::string(1043 - 2, 'A'));
    plugin.Send("y INTF");
    EXPECT_EQ(NextReply(), "y INTF 3 PROD=CLAM");
    plugin.CloseInput();
    plugin.ReadAllUntilExit();
    EXPECT_EQ(plugin.WaitExit(), 0);
}

TEST_F(CommandLoopTest, RefusesIdsAndPathsThatDoNotFitTheirFields)
{
    StartPlugin();
    std::string message = MessageFile("m1");
    plugin.Send("12345678901234567890 FILE " + message);
    EXPECT_EQ(NextReply(), "12345678901234567890 FAILURE Request id too long, at most 19 characters");
    std::string longPath = "/" + std::string(1029, 'p');  // fits the line, not the path field
    plugin.Send("2 FILE " + longPath);
    EXPECT_EQ(NextReply(), "2 FAILURE Unable to access file: " + longPath + ", errno=36");
    plugin.Send("1234567890123456789 FILE " + message);
    EXPECT_TRUE(NextReply().starts_with("1234567890123456789 ADDHEADER \""));
    plugin.CloseInput();
    plugin.ReadAllUntilExit();
    EXPECT_EQ(plugin.WaitExit(), 0);
}

TEST_F(CommandLoopTest, LastLineWithoutLineFeedIsNotHandled)
{
    StartPlugin();
    plugin.SendRaw("1 INTF");
    plugin.CloseInput();
    auto rest = plugin.ReadAllUntilExit();
    for (const auto& line : rest)
        EXPECT_TRUE(line.starts_with("* ")) << line;
    EXPECT_NE(std::find(rest.begin(), rest.end(), "* Quit request accepted."), rest.end());
    EXPECT_EQ(plugin.WaitExit(), 0);
}

TEST_F(CommandLoopTest, ManyFileRequestsAreEachAnsweredOnce)
{
    StartPlugin(4);
    std::string message = MessageFile("m");
    std::string burst;
    for (int i = 0; i < 200; i++)
        burst += "r" + std::to_string(i) + " FILE " + message + "\n";
    plugin.SendRaw(burst);
    std::map<std::string, int> answers;
    for (int i = 0; i < 200; i++) {
        std::string reply = NextReply();
        ASSERT_FALSE(reply.empty());
        answers[reply.substr(0, reply.find(' '))]++;
        EXPECT_NE(reply.find(" ADDHEADER \""), std::string::npos) << reply;
    }
    EXPECT_EQ(answers.size(), 200u);
    plugin.Send("q QUIT");
    auto rest = plugin.ReadAllUntilExit();
    for (const auto& line : rest)
        EXPECT_TRUE(line.starts_with("* ") || line == "q OK") << "extra reply: " << line;
    EXPECT_EQ(plugin.WaitExit(), 0);
}

TEST_F(CommandLoopTest, OneThreadTakesRequestsInArrivalOrder)
{
    StartPlugin(1);
    std::string message = MessageFile("m");
    std::string burst;
    for (int i = 0; i < 50; i++)
        burst += "r" + std::to_string(i) + " FILE " + message + "\n";
    plugin.SendRaw(burst);
    for (int i = 0; i < 50; i++)
        EXPECT_TRUE(NextReply().starts_with("r" + std::to_string(i) + " ADDHEADER"));
    plugin.CloseInput();
    plugin.ReadAllUntilExit();
    EXPECT_EQ(plugin.WaitExit(), 0);
}

TEST_F(CommandLoopTest, RandomBytesNeverDesynchroniseTheLoop)
{
    StartPlugin(2);
    std::mt19937 random(20261206);
    std::vector<std::string> lines;
    for (int i = 0; i < 3000; i++) {
        size_t length = random() % 8 == 0 ? random() % 200000 : random() % 80;
        std::string line;
        for (size_t j = 0; j < length; j++) {
            char c = static_cast<char>(random() % 256);
            line += c == '\n' ? ' ' : c;
        }
        // Only FILE, QUIT and INTF do more than answer; keep them out of the noise.
        std::string_view rest(line);
        if (line.starts_with("*") || line.find("FILE") != std::string::npos || line.find("QUIT") != std::string::npos ||
            line.find("INTF") != std::string::npos)
            continue;
        lines.push_back(line);
    }
    std::thread writer([&] {
        std::string all;
        for (const auto& line : lines)
            all += line + "\n";
        all += "end INTF\n";
        plugin.SendRaw(all);
    });
    size_t replies = 0;
    for (;;) {
        std::string reply = plugin.WaitForLine(IsReply, 60s);
        if (reply.empty() || reply == "end INTF 3 PROD=CLAM")
            break;
        replies++;
    }
    writer.join();
    EXPECT_EQ(replies, lines.size());
    plugin.CloseInput();
    plugin.ReadAllUntilExit();
    EXPECT_EQ(plugin.WaitExit(), 0);
}
