// The command loop as the host sees it: one reply per request line, byte for byte.
#include <sys/stat.h>

#include <random>
#include <thread>

#include "plugin_test.h"

using CommandLoop = PluginTest;

TEST_F(CommandLoop, AnswersEveryRequestFormByteExactly)
{
    Start(2, "", {"-d", "-NOCRASHHANDLER", "-bogus"});
    const std::string message = Message("m"), longPath = "/" + std::string(1029, 'p'), dir = plugin.WorkDir();
    // A path that a line cut at 1043 characters would end in the middle of,
    // where the cut path names a message of its own.
    std::string cutPath = dir;
    for (; cutPath.size() + 201 < 1018; mkdir(cutPath.c_str(), 0755))
        cutPath += "/" + std::string(200, 'd');
    cutPath += "/" + std::string(1018 - cutPath.size() - 1, 'f');
    WriteFile(cutPath, "P <a@b.c>\n\nhi\n");
    const std::pair<std::string, std::string> exchanges[] = {
        {"1 INTF 3", "1 INTF 3 PROD=CLAM"},
        {"2 INTF", "2 INTF 3 PROD=CLAM"},
        {"a\tb INTF", "a\tb INTF 3 PROD=CLAM"},
        {"3 HELLO world", "3 OK Unknown command: HELLO world"},
        {"4 file /etc/hostname", "4 OK Unknown command: file /etc/hostname"},
        {"5 FILE", "5 OK Unknown command: FILE"},
        {"6 FILE    ", "6 FAILURE Missing file name: FILE"},
        {"7    \tINTF", "7 OK Unknown command: \\x09INTF"},  // a control byte of a reply's text is escaped
        {"8 FOO\r", "8 OK Unknown command: FOO\\x0d"},
        {"lonely", "lonely FAILURE Missing command."},
        {"", " FAILURE Missing command."},
        {"9 FILE /no/such/message", "9 FAILURE Unable to access file: /no/such/message, errno=2"},
        {"d FILE " + dir, "d FAILURE Unable to access file: " + dir + ", errno=21"},
        {"l FILE " + longPath, "l FAILURE Unable to access file: " + longPath + ", errno=36"},
        {"12345678901234567890 FILE " + message,
         "12345678901234567890 FAILURE Request id too long, at most 19 characters"},
        {"1234567890123456789 FILE " + message,
         "1234567890123456789 ADDHEADER \"X-Junk-Score:   0 []\\eX-SA-Score:   0 []\""},
        {"1234567890123456789 FILE " + cutPath + "/and-the-rest-of-a-longer-path",
         "1234567890123456789 FAILURE Unable to access file: " + cutPath + ", errno=36"},
        // A line is cut at 1043 characters and the rest of it dropped.
        {"x " + std::string(3000, 'A'), "x OK Unknown command: " + std::string(1041, 'A')},
        {"y INTF", "y INTF 3 PROD=CLAM"},
    };
    for (const auto& [request, reply] : exchanges) {
        EXPECT_EQ(plugin.Ask(request), reply) << request.substr(0, 60);
    }
    Quit("q QUITNOW");
    for (const std::string& line : {std::string("* debugging is on"), std::string("* No crash handler will be used."),
                                    std::string("* Unknown option: -bogus:"), "* Connecting to socket " + spamd.SocketPath(),
                                    std::string("* engine: SPAMD/1.5"), std::string("* quit accepted"),
                                    std::string("* SpamAssassin plugin 0.3 Linux-x86_64 build 22-Jun-2023 started")})
        EXPECT_EQ(plugin.Count(line), 1u) << line;
}

TEST_F(CommandLoop, OneThreadTakesRequestsInArrivalOrderAndEndOfInputEndsTheRun)
{
    Start(1);
    const std::string message = Message("m");
    std::string burst;
    for (int i = 0; i < 50; i++)
        burst += "r" + std::to_string(i) + " FILE " + message + "\n";
    plugin.SendRaw(burst + "z INTF");  // without its line feed the last line is never handled
    for (int i = 0; i < 50; i++)
        EXPECT_TRUE(plugin.NextReply().starts_with("r" + std::to_string(i) + " ADDHEADER \""));
    plugin.CloseInput();
    const std::vector<std::string> rest = plugin.ReadAllUntilExit();
    for (const auto& line : rest)
        EXPECT_TRUE(line.starts_with("* ")) << line;
    EXPECT_EQ(plugin.Count("* Quit request accepted."), 1u);
    EXPECT_EQ(rest.back(), "* SpamAssassin plugin finished.");
    EXPECT_EQ(plugin.WaitExit(), 0);
}

TEST_F(CommandLoop, RandomBytesGetOneReplyPerLine)
{
    Start(2);
    std::mt19937 random(20261206);
    std::string all;
    size_t lines = 0;
    for (int i = 0; i < 3000; i++) {
        std::string line(random() % 8 == 0 ? random() % 200000 : random() % 80, ' ');
        for (char& c : line)
            c = static_cast<char>(random() % 256);
        std::replace(line.begin(), line.end(), '\n', ' ');
        // Only FILE, QUIT and INTF do more than answer; keep them out of the noise.
        if (line.starts_with("*") || line.find("FILE") != std::string::npos ||
            line.find("QUIT") != std::string::npos || line.find("INTF") != std::string::npos)
            continue;
        all += line + "\n";
        lines++;
    }
    std::thread writer([&] { plugin.SendRaw(all + "end INTF\n"); });
    size_t replies = 0;
    for (std::string reply; (reply = plugin.NextReply(60s)) != "end INTF 3 PROD=CLAM" && !reply.empty();)
        replies++;
    writer.join();
    EXPECT_EQ(replies, lines);
    Quit();
}
