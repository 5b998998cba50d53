// Text utilities, the output channel, request lines and the one answer of a request.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <set>
#include <sstream>
#include <thread>

#include "base/files.h"
#include "base/output.h"
#include "base/system.h"
#include "base/text.h"
#include "config/paths.h"
#include "output_capture.h"
#include "plugin_process.h"
#include "protocol/replies.h"
#include "protocol/request.h"

TEST(Text, UtilitiesFollowTheirTables)
{
    EXPECT_TRUE(EqualStringsNoCase("-DeBuG", "-debug"));
    EXPECT_FALSE(EqualStringsNoCase("-debug", "-debu"));
    EXPECT_FALSE(EqualStringsNoCase("[", "{"));  // differ by 0x20 but are not letters

    std::string text = "^1 [^2] ^1^^3";
    EXPECT_EQ(SubstStr(text, 1, "^1x"), "^1x [^2] ^1x^^3");  // inserted values are not scanned again
    EXPECT_EQ(SubstStr(text, 2, nullptr), "^1x [] ^1x^^3");

    char field[5];
    EXPECT_STREQ(strnncpy(field, "abcdefgh", sizeof field), "abcd");
    EXPECT_EQ(ClipText("short"), "short");
    EXPECT_EQ(ClipText(std::string(400, 'a'), 10), "aaaaaaaaaa...");

    setenv("TZ", "UTC", 1);
    tzset();
    EXPECT_EQ(mkDate(0), "Thu, 1 Jan 1970 00:00:00");
    EXPECT_EQ(mkDate(1767225600 + 3 * 3600 + 4 * 60 + 5), "Thu, 1 Jan 2026 03:04:05");

    EXPECT_EQ(DeriveWorkPath("/opt/velmora/VelmoraSpamAssassin"), "/opt/velmora/");
    EXPECT_EQ(DeriveWorkPath("VelmoraSpamAssassin"), "./");
    EXPECT_EQ(DeriveWorkPath("/VelmoraSpamAssassin"), "./");
    EXPECT_EQ(DeriveWorkPath(nullptr), "");
}

TEST(Text, LinesAreCutAtTheirFieldAndAPartialLastLineIsDropped)
{
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    const std::string input = std::string(1500, 'x') + "\nshort\n\ntail-without-newline";
    ASSERT_EQ(write(ends[1], input.data(), input.size()), static_cast<ssize_t>(input.size()));
    close(ends[1]);
    char line[1044];
    bool cut = false;
    ASSERT_NE(xfgetsFd(line, sizeof line, ends[0], nullptr, &cut), nullptr);
    EXPECT_EQ(std::string(line), std::string(1043, 'x'));
    EXPECT_TRUE(cut);
    // What was read ahead is handed out without reading; a partial last line stays.
    ASSERT_NE(xfgetsBuffered(line, sizeof line, &cut), nullptr);
    EXPECT_STREQ(line, "short");
    EXPECT_FALSE(cut);
    ASSERT_NE(xfgetsFd(line, sizeof line, ends[0]), nullptr);
    EXPECT_STREQ(line, "");
    EXPECT_EQ(xfgetsBuffered(line, sizeof line), nullptr);
    EXPECT_EQ(xfgetsFd(line, sizeof line, ends[0]), nullptr);
    close(ends[0]);
}

TEST(RequestLine, EveryKindIsRecognised)
{
    struct Case {
        const char* line;
        RequestKind kind;
        const char* id;
        const char* path;
    } cases[] = {
        {"42", RequestKind::MissingCommand, "42", ""},
        {"1 FILE   /q/m 1.msg", RequestKind::File, "1", "/q/m 1.msg"},
        {"2 FILE ", RequestKind::MissingFileName, "2", ""},
        {"3 FILE", RequestKind::Unknown, "3", ""},
        {"4 INTF 2", RequestKind::Intf, "4", ""},
        {"5  QUIT", RequestKind::Quit, "5", ""},
        {"6 file /x", RequestKind::Unknown, "6", ""},
    };
    for (const Case& c : cases) {
        const RequestLine r = ParseRequestLine(c.line);
        EXPECT_EQ(r.kind, c.kind) << c.line;
        EXPECT_EQ(r.id, c.id) << c.line;
        EXPECT_EQ(r.path, c.path) << c.line;
    }
}

TEST(Output, OnlyTheFirstAnswerCarriesTheIdAndLinesOfManyThreadsStayWhole)
{
    OutputCapture capture;
    FileRequest request;
    request.Assign("0123456789012345678901", "/m");
    EXPECT_TRUE(AnswerRequest(request, {ReplyKind::Headers, "X: 1"}));
    EXPECT_FALSE(AnswerRequest(request, {ReplyKind::TryLater}));
    EXPECT_FALSE(AnswerIfOpen(request, {ReplyKind::TimedOut}));  // writes nothing at all
    EXPECT_FALSE(ClaimAnswer(request));
    SetDebug(true);
    DebugMsg("one\ntwo\n");
    SetDebug(false);
    DebugMsg("hidden\n");
    PrintMsg("bad\n77 OK\x1b[1m\r\n");  // one marked line, whatever the text holds
    SendReply("5\t", {ReplyKind::UnknownCommand, "A\tB"});
    std::vector<std::thread> writers;
    for (int t = 0; t < 8; t++)
        writers.emplace_back([t] {
            for (int i = 0; i < 200; i++)
                PrintMsg("%d %s\n", t, std::string(300, static_cast<char>('a' + t)).c_str());
        });
    for (std::thread& w : writers)
        w.join();
    std::istringstream lines(capture.Text());
    std::string line;
    // The id's field holds 19 characters.
    for (const char* first : {"0123456789012345678 ADDHEADER \"X: 1\"", "* REJECTED sorry, we'll try again later",
                              "* one", "* two", "* bad\\x0a77 OK\\x1b[1m\\x0d", "5\t OK Unknown command: A\\x09B"})
        EXPECT_TRUE(std::getline(lines, line) && line == first) << line;
    int whole = 0;
    while (std::getline(lines, line)) {
        ASSERT_EQ(line.size(), 304u);
        EXPECT_EQ(line.substr(4), std::string(300, static_cast<char>('a' + (line[2] - '0'))));
        whole++;
    }
    EXPECT_EQ(whole, 1600);
}

TEST(Output, AnAnswerThatCannotBeFormattedLeavesTheClaimToAnother)
{
    if (std::string(VSA_SANITIZER_BUILD) != "")
        GTEST_SKIP() << "a sanitizer needs address space of its own";
    const std::string big(64 << 20, 'x');
    FileRequest request;
    request.Assign("1", "/m");
    rlimit saved;
    getrlimit(RLIMIT_AS, &saved);
    rlimit tight = saved;
    const long pages = std::stol(ReadFileText("/proc/self/statm"));  // the address space in use
    tight.rlim_cur = static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)) + (32 << 20);
    setrlimit(RLIMIT_AS, &tight);
    bool threw = false;
    try {
        AnswerRequest(request, {ReplyKind::Headers, big});
    } catch (const std::bad_alloc&) {
        threw = true;
    }
    setrlimit(RLIMIT_AS, &saved);
    EXPECT_TRUE(threw);
    EXPECT_TRUE(ClaimAnswer(request));  // whoever answers next still carries the id
}

TEST(System, OnlyRegularFilesOpenAndNoneBlocks)
{
    TempDir dir;
    WriteFile(dir.File("message"), "hello");
    ASSERT_EQ(mkfifo(dir.File("fifo").c_str(), 0600), 0);
    off_t size = 0;
    EXPECT_TRUE(OpenRegularFile(dir.File("message").c_str(), &size).IsOpen());
    EXPECT_EQ(size, 5);
    EXPECT_FALSE(OpenRegularFile(dir.File("fifo").c_str()).IsOpen());
    EXPECT_EQ(errno, EINVAL);
    EXPECT_FALSE(OpenRegularFile(dir.Path().c_str()).IsOpen());
    EXPECT_EQ(errno, EISDIR);
    std::string content;
    EXPECT_FALSE(ReadWholeRegularFile(dir.File("fifo"), content));
    EXPECT_TRUE(ReadWholeRegularFile(dir.File("message"), content));
    EXPECT_EQ(content, "hello");
}

TEST(Files, NewFilesNeverGoThroughALinkOrAFifoAndAreReleasedAsWritten)
{
    TempDir dir;
    static uint64_t next = 0;
    symlink("/nonexistent", dir.File("f0").c_str());
    mkfifo(dir.File("f1").c_str(), 0600);
    umask(0077);
    NewFile file = NewFile::Create(dir.Path(), "f", "", 0644, [] { return next++; });  // 0 and 1 taken: 2
    umask(022);
    struct stat status;
    ASSERT_TRUE(file.Name() == dir.File("f2") && WriteAll(file.Get(), "mine") && fstat(file.Get(), &status) == 0);
    EXPECT_EQ(status.st_mode & 07777, 0644u);
    WriteFile(dir.File("taken"), "theirs");
    EXPECT_TRUE(!file.Release(dir.File("taken"), false) && errno == EEXIST);
    // A stranger's link at the temporary name changes nothing of what is released.
    rename(dir.File("f2").c_str(), dir.File("moved").c_str());
    symlink(dir.File("taken").c_str(), dir.File("f2").c_str());
    ASSERT_TRUE(file.Release(dir.File("out"), false));
    NewFile replacing = NewFile::Create(dir.Path(), "g", "", 0600);
    unlink(replacing.Name().c_str());
    EXPECT_TRUE(!replacing.Release(dir.File("out"), true) && errno == ELOOP);  // its name is gone: nothing to rename
    EXPECT_EQ(ReadFileText(dir.File("out")), "mine");
    std::string content;  // a link of the plugin's user to a file is followed, a stranger's is not
    EXPECT_FALSE(OpenOwnFile(dir.File("f1").c_str()).IsOpen() || OpenOwnFile(dir.File("f0").c_str()).IsOpen());
    EXPECT_TRUE(ReadWholeOwnFile(dir.File("f2"), content) && content == "theirs");
    EXPECT_TRUE(lchown(dir.File("f2").c_str(), geteuid() + 1, -1) != 0 || !OpenOwnFile(dir.File("f2").c_str()).IsOpen());
}
