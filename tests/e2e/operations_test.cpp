// Operating the plugin: the -check mode on good and broken set-ups, and the
// metrics file that a running plugin keeps.
#include <signal.h>

#include <gtest/gtest.h>

#include <thread>

#include "fake_spamd.h"
#include "plugin_process.h"
#include "prometheus_text.h"

namespace {

bool Has(const std::vector<std::string>& lines, const std::string& line)
{
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

class Operations : public ::testing::Test {
protected:
    Operations() : spamd(spamdDir.File("spamd.sock")) {}
    // Check - the output lines and the exit status of "-check".
    std::vector<std::string> Check(PluginProcess::Options options, int& status)
    {
        options.args = {"-check"};
        plugin.Start(options);
        std::vector<std::string> lines = plugin.ReadAllUntilExit();
        status = plugin.WaitExit();
        return lines;
    }
    TempDir spamdDir;
    FakeSpamd spamd;
    PluginProcess plugin;
};

}  // namespace

TEST_F(Operations, CheckOfAGoodSetUpPassesWithWarningsAndChangesNothing)
{
    PluginProcess::Options options;
    options.settings = DefaultSettingsText(spamd.SocketPath(), 3, "MetricsFile = velmora.prom;\nSocketPth = x;\n");
    options.whitelist = "*@example.org\nab\n";
    WriteFile(plugin.WorkDir() + "/statistics.dat", "StatEnd = ((;\n");
    mkdir(plugin.SubmittedDir().c_str(), 0700);
    chmod(plugin.SubmittedDir().c_str(), 0777);
    int status = -1;
    const std::vector<std::string> lines = Check(options, status);
    EXPECT_EQ(status, 0);
    const std::string work = plugin.WorkDir() + "/";
    for (const std::string& line : std::vector<std::string>{
             "* warning: settings: " + work + "VelmoraSpamAssassin.cfg line 13: SocketPth is no setting; the plugin ignores it",
          "* warning: whitelist: " + work + "whitelist.txt line 2: \"ab\" is shorter than 3 characters and is ignored",
          "* whitelist: 1 pattern(s) in " + work + "whitelist.txt",
          "* warning: statistics dump: " + work + "statistics.dat cannot be used; the plugin deletes it and begins a "
          "new period",
          "* metrics file: " + work + "velmora.prom", "* settings in force:",
          "* SocketPath = \"" + spamd.SocketPath() + "\";", "* MaxScanningThreads = 3;", "* MetricsFile = velmora.prom;",
          "*     ReplyTimeout = 240;", "* check passed: the plugin can run (4 warning(s))",
          "* warning: submission directory " + work + "Submitted may be written by every user, not only by the "
          "plugin's user: keep it writable by the plugin's user alone"})
        EXPECT_TRUE(Has(lines, line)) << line;
    EXPECT_NE(std::find_if(lines.begin(), lines.end(),
                           [&](const std::string& l) { return l.starts_with("* spamd " + spamd.SocketPath() + ": SPAMD/1.5, "); }),
              lines.end());
    // Nothing written, renamed or deleted, no notice dropped, only a PING sent.
    EXPECT_EQ(ListDirectory(plugin.WorkDir()),
              (std::vector<std::string>{"Submitted", "VelmoraSpamAssassin", "VelmoraSpamAssassin.cfg",
                                        "plugin-stderr.txt", "statistics.dat", "whitelist.txt"}));
    EXPECT_EQ(ListDirectory(plugin.SubmittedDir()), std::vector<std::string>{});
    EXPECT_EQ(spamd.Requests(), std::vector<std::string>{"PING SPAMC/1.0\r\n"});
}

TEST_F(Operations, CheckOfABrokenSetUpFailsAndSaysWhy)
{
    const struct {
        std::string settings;
        bool submitted;
        std::string line;
    } table[] = {
        {DefaultSettingsText(spamd.SocketPath()) + "AlertLevel = (1);\n", true,
         "* incorrect value type; expected String got Array"},
        {DefaultSettingsText(spamd.SocketPath()) + "Header = x\n", true, "* Syntax error: ';' expected"},
        {DefaultSettingsText(spamdDir.File("none.sock")), true,
         "* error: spamd " + spamdDir.File("none.sock") + ": connect: No such file or directory"},
        {DefaultSettingsText(spamd.SocketPath()), false, "/Submitted: No such file or directory; the plugin refuses"},
        {DefaultSettingsText(spamd.SocketPath()) + "EventsReports = { Stopped = { }; };\n", true,
         "* Missing EventsReports={Started={...} ... };"},
    };
    for (const auto& row : table) {
        PluginProcess process;
        process.Start({.settings = row.settings, .whitelist = {}, .args = {"-check"}, .env = {},
                       .createSubmitted = row.submitted});
        const std::vector<std::string> lines = process.ReadAllUntilExit();
        EXPECT_EQ(process.WaitExit(), 1) << row.line;
        EXPECT_NE(std::find_if(lines.begin(), lines.end(),
                               [&](const std::string& line) { return line.find(row.line) != std::string::npos; }),
                  lines.end())
            << row.line;
        EXPECT_TRUE(lines.back().starts_with("* check failed: ")) << lines.back();
    }
}

TEST_F(Operations, MetricsFileFollowsTheTextFormatAndCountsSinceTheStart)
{
    spamd.SetResponder([](const std::string& request) {
        SpamdReply reply;
        reply.score = request.find("spam") != std::string::npos ? 10 : 1;
        return reply;
    });
    PluginProcess::Options options;
    options.settings = DefaultSettingsText(spamd.SocketPath(), 2, "MetricsFile = \"velmora.prom\";\n");
    options.whitelist = "*@friend.example\n";
    plugin.Start(options);
    const std::string metrics = plugin.WorkDir() + "/velmora.prom";
    // The first controller pass writes it.
    for (int i = 0; i < 100 && !FileExists(metrics); i++)
        std::this_thread::sleep_for(50ms);
    EXPECT_NE(ReadFileText(metrics).find("\nvelmora_requests_total{outcome=\"rated\"} 0\n"), std::string::npos);

    const struct {
        const char* name;
        const char* text;
    } messages[] = {{"spam", "P <a@b.example>\n\nspam\n"}, {"ham", "P <a@b.example>\n\nham\n"},
                    {"friend", "P <x@friend.example>\n\nhello\n"}};
    int id = 1;
    for (const auto& message : messages) {
        WriteFile(plugin.WorkDir() + "/" + message.name, message.text);
        plugin.Send(std::to_string(id++) + " FILE " + plugin.WorkDir() + "/" + message.name);
    }
    plugin.Send("4 FILE " + plugin.WorkDir() + "/missing");
    for (int answers = 0; answers < 4;)
        answers += plugin.WaitForLine([](const std::string& line) { return !line.starts_with("* "); }).empty() ? 0 : 1;
    kill(plugin.Pid(), SIGHUP);
    plugin.WaitForLine([](const std::string& line) { return line == "* HUP signal caught"; });
    plugin.WaitForLine([](const std::string& l) { return l.starts_with("* engine: "); });
    plugin.Send("5 QUIT");
    plugin.WaitFor("5 OK");
    EXPECT_EQ(plugin.WaitExit(), 0);

    const std::string text = ReadFileText(metrics);
    EXPECT_EQ(ExpositionProblems(text), std::vector<std::string>{}) << text;
    for (const std::string& line : std::vector<std::string>{
             "velmora_requests_total{outcome=\"rated\"} 2", "velmora_requests_total{outcome=\"whitelisted\"} 1",
          "velmora_requests_total{outcome=\"failed\"} 1", "velmora_requests_total{outcome=\"rejected\"} 0",
          "velmora_rating_bucket{le=\"39\"} 1", "velmora_rating_bucket{le=\"100\"} 2", "velmora_rating_sum 118",
          "velmora_request_handling_seconds_count 4", "velmora_scanning_threads 2",
          "velmora_spamd_up{engine=\"spamd\",host=\"" + spamd.SocketPath() + "\"} 1",
          "velmora_spamd_exchanges_total{engine=\"spamd\",host=\"" + spamd.SocketPath() + "\",outcome=\"rated\"} 2",
          "velmora_reloads_total 1", "velmora_build_info{version=\"0.3\"} 1"})
        EXPECT_NE(text.find("\n" + line + "\n"), std::string::npos) << line << "\n" << text;
    const std::vector<std::string> names = ListDirectory(plugin.WorkDir());
    EXPECT_EQ(std::count_if(names.begin(), names.end(), [](const std::string& n) { return n.find("prom") != std::string::npos; }),
              1);  // no temporary file left
}

TEST_F(Operations, HelpAndVersionPrintAndEndWithoutStartingTheFilter)
{
    for (const char* arg : {"--help", "-h", "--version"}) {
        plugin.Start({.settings = "", .args = {arg}});
        const std::vector<std::string> lines = plugin.ReadAllUntilExit(10s);
        EXPECT_EQ(plugin.WaitExit(10s), 0) << arg;
        ASSERT_FALSE(lines.empty()) << arg;
        EXPECT_TRUE(lines[0].starts_with(arg[2] == 'v' ? "VelmoraSpamAssassin 0.3" : "usage: VelmoraSpamAssassin"))
            << lines[0];
        EXPECT_FALSE(Has(lines, std::string("* Unknown option: ") + arg + ":")) << arg;
    }
}
