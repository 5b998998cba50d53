// The replay tool run as administrators run it: against plugin stand-ins
// (shell scripts) that answer a request twice or not at all, and against the
// real plugin with the tool's own fake spamd.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "plugin_process.h"

namespace {

struct ToolRun {
    int status = -1;  // exit status, or -1 when killed at the time limit
    std::string out;
};

class ReplayTool : public ::testing::Test {
protected:
    std::string Write(const std::string& name, const std::string& text)
    {
        WriteFile(dir.File(name), text);
        chmod(dir.File(name).c_str(), 0755);
        return dir.File(name);
    }
    // Run - the built tool with args and its standard output, killed after a minute.
    ToolRun Run(std::vector<std::string> args)
    {
        args.insert(args.begin(), VSA_REPLAY_BINARY);
        const std::string out = dir.File("out");
        const int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
        const int to = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        const pid_t pid = Spawn(args, in, to, STDERR_FILENO);
        close(in), close(to);
        ToolRun run;
        int status = 0;
        for (int waited = 0; waitpid(pid, &status, WNOHANG) != pid; waited++) {
            if (waited == 3000) {
                kill(pid, SIGKILL);
                waitpid(pid, &status, 0);
                return run;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        run.out = ReadFileText(out);
        return run;
    }

    TempDir dir;
};

}  // namespace

TEST_F(ReplayTool, AnswerGivenTwiceOrNotAtAllFailsTheRunWithStatusTwo)
{
    const std::string mail = dir.File("mail");
    mkdir(mail.c_str(), 0755);
    for (const char* name : {"1.eml", "2.eml", "3.eml"})
        Write(std::string("mail/") + name, "From: a@example.com\nTo: b@example.org\nSubject: note\n\nHello.\n");
    const std::string answer = "echo \"$id ADDHEADER \\\"X-Junk-Score:  45 [XX]\\\"\"";
    const std::string faults[][3] = {
        {answer + "; " + answer, "request 1 was answered more than once", "got no answer"},
        {"[ \"$id\" = 2 ] || " + answer, "request 2 got no answer", "request 3 "},
    };
    for (const auto& [fileBranch, problem, noProblem] : faults) {
        // A stand-in that answers INTF and QUIT like the plugin, and FILE as the fault says.
        const std::string plugin = Write("standin.sh", "#!/bin/sh\nwhile read -r id cmd rest; do\n  case \"$cmd\" in\n"
                                                       "    INTF) echo \"$id INTF 3 PROD=CLAM\" ;;\n"
                                                       "    FILE) " + fileBranch + " ;;\n"
                                                       "    QUIT) echo \"$id OK\"; exit 0 ;;\n  esac\ndone\n");
        const ToolRun run = Run({"--plugin", plugin, "--socket", "/nonexistent", "--timeout", "1", "--workdir",
                                 dir.File("work"), mail});
        EXPECT_EQ(run.status, 2) << run.out;
        EXPECT_NE(run.out.find(problem), std::string::npos) << run.out;
        EXPECT_EQ(run.out.find(noProblem), std::string::npos) << run.out;
    }
}

TEST_F(ReplayTool, EveryMessageThroughThePluginIsAnsweredOnceAndCounted)
{
    const std::string mbox = Write("box.mbox", "From a@example.com Mon Jan  5 09:00:00 2026\nFrom: a@example.com\n"
                                               "To: b@example.org\nSubject: one\n\nFirst\n\n"
                                               "From c@example.com Mon Jan  5 09:00:00 2026\nFrom: c@example.com\n"
                                               "To: d@example.org\nSubject: two\n\nSecond\n");
    const std::string figures = dir.File("figures.txt");
    const ToolRun run = Run({"--plugin", VSA_PLUGIN_BINARY, "--fake-spamd", "2.5/5", "--threads", "2", "--floor",
                             "--figures", figures, mbox, "--synthetic", "20"});
    ASSERT_EQ(run.status, 0) << run.out;
    // 2.5 of 5 is a rating of 45.
    EXPECT_NE(run.out.find(mbox + "#2: X-Junk-Score:  45 [XX]\\eX-SA-Score:  45 [XX]\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("synthetic#20: X-Junk-Score:  45 [XX]"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("    40-76          22\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("every request answered once"), std::string::npos) << run.out;
    const std::string values = ReadFileText(figures);
    for (const char* line : {"messages=22\n", "replies_addheader=22\n", "exactly_once=yes\n", "floor_failures=0\n"})
        EXPECT_NE(values.find(line), std::string::npos) << line << values;
    EXPECT_EQ(values.find("peak_rss_kib=\n"), std::string::npos) << values;
}
