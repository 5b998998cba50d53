// Report mails of a running plugin: the started and stopped notices, the
// daily report at shutdown, and the statistics carried across restarts.

#include <signal.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "fake_spamd.h"
#include "plugin_process.h"

namespace {

// Noon of a fixed day in a fixed zone, so that both runs of a restart test
// fall on the same local day wherever the tests run.
constexpr long kNoon = 1773075600;  // Mon, 9 Mar 2026 12:00:00 in EST5

// MaskDates - the text with its times of the test day as "<date>"; the runs
// start at noon and last a few seconds.
std::string MaskDates(std::string text)
{
    const std::string day = "Mon, 9 Mar 2026 12:0";
    for (size_t at; (at = text.find(day)) != std::string::npos;)
        text.replace(at, day.size() + 4, "<date>");
    return text;
}

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

class ReportMails : public ::testing::Test {
protected:
    void Run(long clockStart)
    {
        PluginProcess::Options options;
        options.settings = DefaultSettingsText(spamd.SocketPath(), 2);
        options.env = {{"TZ", "EST5"}, {"VELMORA_TEST_CLOCK_START", std::to_string(clockStart)}};
        if (runs++ == 0)
            plugin.Start(options);
        else
            plugin.Restart(options);
    }

    void RateAndQuit(int count)
    {
        for (int i = 1; i <= count; i++) {
            const std::string id = std::to_string(i), path = plugin.WorkDir() + "/m" + id;
            WriteFile(path, "P sender@example.org\nR rcpt@example.org\nS 192.0.2.1\n\nSubject: test\n\nbody\n");
            plugin.Send(id + " FILE " + path);
            plugin.WaitForLineStartingWith(id + " ");
        }
        plugin.Send("99 QUIT");
        plugin.ReadAllUntilExit();
        EXPECT_EQ(plugin.WaitExit(), 0);
    }

    // Delivered - the delivered messages, told by their body; taken out of the directory.
    struct Delivered {
        std::vector<std::string> started, stopped, daily;
    };
    Delivered Collect()
    {
        Delivered found;
        for (const std::string& name : ListDirectory(plugin.SubmittedDir())) {
            const std::string path = plugin.SubmittedDir() + "/" + name;
            EXPECT_TRUE(name.starts_with("reportSA_") && name.ends_with(".sub")) << name;
            struct stat st {};
            stat(path.c_str(), &st);
            EXPECT_EQ(st.st_mode & 07777, 0666u) << name;
            const std::string text = ReadFileText(path);
            std::remove(path.c_str());
            if (Contains(text, "\nVelmora SpamAssassin plugin started on "))
                found.started.push_back(text);
            else if (Contains(text, "\nVelmora SpamAssassin plugin stopped on "))
                found.stopped.push_back(text);
            else
                found.daily.push_back(text);
        }
        return found;
    }

    TempDir sockets;
    FakeSpamd spamd{sockets.File("s")};
    PluginProcess plugin;
    int runs = 0;
};

}  // namespace

TEST_F(ReportMails, ShutdownMailsNoticesAndReportAndARestartCarriesTheDayOn)
{
    Run(kNoon);
    RateAndQuit(2);
    EXPECT_EQ(std::count(plugin.Transcript().begin(), plugin.Transcript().end(), "* Generating daily report message"),
              1);
    const std::string dump = ReadFileText(plugin.WorkDir() + "/statistics.dat");
    EXPECT_TRUE(Contains(dump, "MessagesTotal=2;\n")) << dump;
    EXPECT_TRUE(Contains(dump, "NormalShutdown=YES;\n")) << dump;
    EXPECT_FALSE(FileExists(plugin.WorkDir() + "/statistics.dat.tmp"));
    Delivered found = Collect();
    ASSERT_EQ(found.started.size(), 1u);
    ASSERT_EQ(found.stopped.size(), 1u);
    ASSERT_EQ(found.daily.size(), 1u);
    EXPECT_TRUE(Contains(found.daily[0], "\nVelmora SpamAssassin plugin activity report.\n"));
    EXPECT_EQ(MaskDates(found.started[0]),
              "Return-Path: <>\nFrom: spam-plugin@example.org\nTo: postmaster\nSubject: Plugin started <date>\n"
              "X-Auto-Generated: report\n\nVelmora SpamAssassin plugin started on <date>.\n\n");
    EXPECT_EQ(MaskDates(found.stopped[0]),
              "Return-Path: <>\nFrom: spam-plugin@example.org\nTo: postmaster\nSubject: Plugin stopped <date>\n"
              "X-Auto-Generated: report\n\nVelmora SpamAssassin plugin stopped on <date>.\n\n");
    const std::string report = MaskDates(found.daily[0]);
    EXPECT_TRUE(report.starts_with("Return-Path: <>\nFrom: spam-report@example.org\nTo: postmaster\n"
                                   "Subject: Daily spam report <date>\nX-Auto-Generated: report\n\n"
                                   "Velmora SpamAssassin plugin activity report.\n\n"
                                   "Period start: <date>\nPeriod end: <date>\n\nUptime: 0d 00h 00m 0"))
        << report;
    EXPECT_TRUE(Contains(report, "\nRange   Messages\n    0          2\n 1-39          0\n")) << report;
    EXPECT_TRUE(Contains(report, "\n               2 messages rated\n\n")) << report;
    EXPECT_FALSE(Contains(report, "Warning")) << report;

    Run(kNoon + 120);
    RateAndQuit(1);
    found = Collect();
    ASSERT_EQ(found.daily.size(), 1u);
    EXPECT_TRUE(Contains(found.daily[0], "\n               3 messages rated\n")) << found.daily[0];
    EXPECT_TRUE(Contains(found.daily[0], "Period start: Mon, 9 Mar 2026 12:00:0")) << found.daily[0];
    EXPECT_TRUE(Contains(found.daily[0], "Warning: the daily statistics may be inaccurate because the plugin\n"
                                         "was restarted during the reporting period.\n\n"))
        << found.daily[0];
}

TEST_F(ReportMails, RestartAfterAKillWarnsWithTheTimeOfTheLastDump)
{
    Run(kNoon);
    // The first request line writes a dump; the kill leaves it without the
    // orderly-shutdown mark.
    plugin.Send("1 INTF 3");
    plugin.WaitForLineStartingWith("1 ");
    ASSERT_TRUE(FileExists(plugin.WorkDir() + "/statistics.dat"));
    kill(plugin.Pid(), SIGKILL);
    EXPECT_EQ(plugin.WaitExit(), 128 + SIGKILL);
    const std::string dump = ReadFileText(plugin.WorkDir() + "/statistics.dat");
    EXPECT_FALSE(Contains(dump, "NormalShutdown"));
    const size_t comment = dump.find('#', dump.find("StatEnd="));
    ASSERT_NE(comment, std::string::npos) << dump;
    const std::string lastDump = dump.substr(comment + 1, dump.find('\n', comment) - comment - 1);
    ASSERT_EQ(MaskDates(lastDump), "<date>") << lastDump;

    Run(kNoon + 120);
    RateAndQuit(1);
    const Delivered found = Collect();
    ASSERT_EQ(found.daily.size(), 1u);
    EXPECT_TRUE(Contains(found.daily[0], "Warning: the daily statistics may be inaccurate because the plugin\n"
                                         "was restarted somewhere around " + lastDump + "\n\n"))
        << found.daily[0];
    EXPECT_EQ(found.stopped.size(), 1u) << "the killed run sent no stopped notice";
    EXPECT_EQ(found.started.size(), 2u);
}
