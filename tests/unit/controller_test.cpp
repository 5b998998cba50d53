#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "config/settings.h"
#include "plugin_process.h"
#include "protocol/output.h"
#include "protocol/process.h"
#include "protocol/text.h"
#include "scheduling/controller.h"
#include "scheduling/queue.h"

namespace {

// A pool slot that looks like a scan that started at a given second.
class StuckScanTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        workPath = dir.Path() + "/";
        mkdir(dir.File("Submitted").c_str(), 0755);
        Settings settings;
        settings.submittedDirName = dir.File("Submitted");
        PublishSettings(settings);
        ASSERT_EQ(pipe(fds), 0);
        SetOutputDescriptor(fds[1]);
        quitRequest.store(false);
    }
    void TearDown() override
    {
        for (int slot : {0, 1}) {
            threadsPool[slot].alive.store(false);
            threadsPool[slot].currentItem.store(nullptr);
        }
        quitRequest.store(false);
        SetOutputDescriptor(1);
        close(fds[0]);
        close(fds[1]);
        PublishSettings(Settings{});
    }
    void Occupy(int slot, queueItem_t& item, const char* id, const char* file, time_t start)
    {
        strnncpy(item.requestId, id, kRequestIdSize);
        strnncpy(item.fileName, file, kFileNameSize);
        threadsPool[slot].scanStart.store(start);
        threadsPool[slot].currentItem.store(&item);
        threadsPool[slot].busy.store(true);
        threadsPool[slot].alive.store(true);
    }
    std::string Output()
    {
        std::string text;
        char buffer[4096];
        for (;;) {
            pollfd p{fds[0], POLLIN, 0};
            if (poll(&p, 1, 0) <= 0)
                return text;
            ssize_t n = read(fds[0], buffer, sizeof buffer);
            if (n <= 0)
                return text;
            text.append(buffer, static_cast<size_t>(n));
        }
    }

    TempDir dir;
    int fds[2] = {-1, -1};
};

}  // namespace

TEST_F(StuckScanTest, AScanIsGivenUpOnlyWhenStrictlyOlderThanTheLimit)
{
    queueItem_t item;
    Occupy(0, item, "17", "/queue/slow", 1000);
    ControllerPass(1000 + MaxScanningTime);
    EXPECT_EQ(Output().find("REJECTED"), std::string::npos);
    EXPECT_FALSE(quitRequest.load());

    ControllerPass(1000 + MaxScanningTime + 1);
    std::string output = Output();
    EXPECT_NE(output.find("* timed-out while scanning /queue/slow, we'll quit\n"), std::string::npos) << output;
    EXPECT_NE(output.find("17 REJECTED timed-out, we'll try again later\n"), std::string::npos) << output;
    EXPECT_TRUE(quitRequest.load());
    EXPECT_FALSE(threadsPool[0].alive.load());  // the shutdown wait no longer counts it

    // The late result of the stuck scan is only a diagnostic line.
    EXPECT_FALSE(AnswerRequest(item, "ADDHEADER \"%s\"\n", "X-Junk-Score:   0 []"));
    EXPECT_EQ(Output(), "* ADDHEADER \"X-Junk-Score:   0 []\"\n");
}

TEST_F(StuckScanTest, TwoStuckScansAreBothGivenUpInOnePass)
{
    queueItem_t first, second;
    Occupy(0, first, "a", "/queue/1", 10);
    Occupy(1, second, "b", "/queue/2", 20);
    ControllerPass(5000);
    std::string output = Output();
    EXPECT_NE(output.find("a REJECTED timed-out"), std::string::npos) << output;
    EXPECT_NE(output.find("b REJECTED timed-out"), std::string::npos) << output;
}

TEST_F(StuckScanTest, AScanThatAnsweredFirstIsNotGivenUp)
{
    queueItem_t item;
    Occupy(0, item, "c", "/queue/3", 10);
    ASSERT_TRUE(ClaimAnswer(item));
    ControllerPass(5000);
    EXPECT_EQ(Output().find("REJECTED"), std::string::npos);
    EXPECT_FALSE(quitRequest.load());
}
