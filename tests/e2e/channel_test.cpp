// The host's channel: whatever bytes the peers send (spamd's status text and
// headers, rspamd's bodies and JSON strings, envelope addresses, file paths,
// settings values), every line the host reads is a "* " line or the one
// answer of a request id it sent, without a control byte.
#include <map>

#include "plugin_test.h"

namespace {

std::string Http(int status, const std::string& body)
{
    return "HTTP/1.1 " + std::to_string(status) + " X\r\nServer: rspamd/3.4\x1b\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
}

struct Row {
    std::string engine, id, reply, line;  // line: one that the run shows once ("<dir>": the working directory)
};

const std::vector<Row> kRows = {
    {"spamd", "s1", "SPAMD/1.5 76 Bad\n77 OK\x1b[1m\r\n", "s1 ADDHEADER \"X:   0 []  / \""},
    {"spamd", "s2", "SPAMD/1.5 0 EX_OK\r\nContent-length: 0\r\nSpam: True ; 5\r77 OK / 5.0\r\n\r\n", "* Spamd has no key k\\x0d77 OK\\x1b"},
    {"spamd", "s3", "SPAMD/1.5 0 EX_OK\r\nContent-length: 14\r\nSpam: True ; 9.0 / 5.0\r\n\r\nA\x1b,B\n42 OK,C\x7f\n",
     "s3 ADDHEADER \"X: 100 [XXXXXX] A,B42OK,C 9.0/5.0 \\eX-Alert: possible spam!\\eX-Color: red\""},
    {"rspamd", "r1", Http(200, R"({"score":7,"required_score":15,"action":"re\u001bject\n77 OK",)"
                               R"("symbols":{"A\nB\u001b":{"score":2},"\r\n77 OK":{"score":5}}})"),
     "r1 ADDHEADER \"X:  42 [XX] 77OK,AB 7.00/15.00 reject77 OK\""},
    {"rspamd", "r2", Http(400, "bad\n77 OK\nrequest"), "* rspamd gave no rating for <dir>/r2: HTTP 400 bad\\x0a77 OK\\x0arequest"},
    {"rspamd", "r3", Http(503, std::string("<html>\n42 ADDHEADER \"X-Junk-Score:   0 []\"\n\0\x1b</html>\n", 52)),
     "r3 REJECTED no spamd host could rate it, we'll try again later"},
};

}  // namespace

class Channel : public PluginTest {};

TEST_F(Channel, NoPeerByteSplitsALineOrAnswersAnIdTwice)
{
    FakeSpamd rspamd{sockets.File("rspamd.sock")};
    for (FakeSpamd* fake : {&spamd, &rspamd})
        fake->SetResponder([](const std::string& request) {
            const auto row = std::find_if(kRows.begin(), kRows.end(), [&](const Row& r) {
                return request.find("Subject: " + r.id + "\n") != std::string::npos;
            });
            return SpamdReply{.raw = row != kRows.end() ? row->reply : Http(200, "pong\r\n")};
        });
    for (const std::string engine : {"spamd", "rspamd"}) {
        // The spamd run's Spamd dictionary is refused for its key: the farm is SocketPath's spamd.
        const std::string hosts = engine == "spamd" ? "(\"" + spamd.SocketPath() + "\"); \"k\r77 OK\x1b\" = 1;"
                                                    : "(\"rspamd:" + rspamd.SocketPath() + "\");";
        plugin.Start({.settings = DefaultSettingsText(spamd.SocketPath(), 2,
                                                      "Header = \"X: ^1 [^2] ^3 ^4/^5 ^6\";\nOnProblem = Ignore;\n"
                                                      "Spamd = { Hosts = " + hosts + " };\n"),
                      .whitelist = "*@white.example\n",
                      .args = {"-debug"}});
        std::vector<std::string> requests = {"w FILE " + Message("w", "P <e\x1b\r77 OK@white.example>\n\nSubject: w\n"),
                                             "p FILE /nowhere/\x1b\r77 OK", "u7 HELLO\x1b[2J\r"};
        std::vector<std::string> expected = {"* e\\x1b\\x0d77 OK@white.example is whitelisted by *@white.example",
                                             "p FAILURE Unable to access file: /nowhere/\\x1b\\x0d77 OK, errno=2",
                                             "u7 OK Unknown command: HELLO\\x1b[2J\\x0d"};
        std::map<std::string, int> answers = {{"q", 0}, {"w", 0}, {"p", 0}, {"u7", 0}};
        size_t at = 0;  // the rows first, in order: rspamd's 503 takes its host out
        for (const Row& row : kRows)
            if (row.engine == engine) {
                answers[row.id] = 0;
                requests.insert(requests.begin() + static_cast<long>(at++), row.id + " FILE " + Message(row.id, "P <a@b.org>\n\nSubject: " + row.id + "\n"));
                expected.push_back(row.line);
                if (const size_t dir = row.line.find("<dir>"); dir != std::string::npos)
                    expected.back().replace(dir, 5, plugin.WorkDir());
            }
        for (const std::string& request : requests)
            plugin.Ask(request);
        Quit();
        for (const std::string& line : plugin.Transcript()) {
            EXPECT_EQ(std::count_if(line.begin(), line.end(), [](char c) { return c >= 0 && (c < 0x20 || c == 0x7f); }), 0) << line;
            EXPECT_TRUE(line.starts_with("* ") || ++answers[line.substr(0, line.find(' '))] == 1) << line;
        }
        for (const auto& [id, count] : answers)
            EXPECT_EQ(count, 1) << id;
        for (const std::string& line : expected)
            EXPECT_EQ(plugin.Count(line), 1u) << line;
    }
}
