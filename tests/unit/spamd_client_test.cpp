#include <gtest/gtest.h>

#include "protocol/output.h"
#include "rating/spamd_client.h"
#include "rating_fixture.h"

using SpamdClient = RatingTest;

TEST_F(SpamdClient, PingReportsTheEngineWord)
{
    OutputCapture output;
    InitEngine();
    EXPECT_EQ(output.Text(), "* Connecting to socket " + spamd->SocketPath() + "\n* engine: SPAMD/1.5\n");
    EXPECT_EQ(spamd->Requests().back(), "PING SPAMC/1.0\r\n");
}

TEST_F(SpamdClient, ReplyLongerThanTheCapacityIsCut)
{
    spamd->SetReply({.raw = "SPAMD/1.1 0 EX_OK\r\nSpam: True ; 9.0 / 5.0\r\n\r\n"});
    char reply[11];
    EXPECT_EQ(sendCommand(spamd->SocketPath(), {"CHECK SPAMC/1.2\r\nContent-length: 1\r\n\r\n", "\n"}, reply, 10), 10);
    EXPECT_STREQ(reply, "SPAMD/1.1 ");
}

TEST_F(SpamdClient, DebugModeLogsRequestAndReplyAsDiagnosticLines)
{
    doDebug = true;
    OutputCapture output;
    char reply[kReplyCapacity + 1];
    sendCommand(spamd->SocketPath(), {"CHECK SPAMC/1.2\r\nContent-length: 6\r\n\r\n", "1 OK\n\n", "\n"}, reply,
                kReplyCapacity);
    doDebug = false;
    EXPECT_EQ(output.Text(),
              "* cmd: CHECK SPAMC/1.2\r\n* Content-length: 6\r\n* \r\n* 1 OK\n* \n* \n* \n"
              "* rsp: SPAMD/1.1 0 EX_OK\r\n* Spam: False ; 0.0 / 5.0\r\n* \r\n* \n");
}

TEST(SpamdClientDeathTest, UnreachableSocketEndsTheProcess)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    char reply[8];
    EXPECT_EXIT(sendCommand("/nonexistent/spamd.sock", {"PING SPAMC/1.0\r\n"}, reply, 7),
                ::testing::ExitedWithCode(1), "");
}

TEST(ParseCheckReply, ReadsScoreAfterSemicolonAndThresholdAfterSlash)
{
    const SpamdVerdict verdict = ParseCheckReply("SPAMD/1.1 0 EX_OK\r\nSpam: True ; 1003.3 / 5.0\r\n\r\n");
    EXPECT_DOUBLE_EQ(verdict.score, 1003.3);
    EXPECT_DOUBLE_EQ(verdict.threshold, 5.0);
    EXPECT_DOUBLE_EQ(ParseCheckReply("1/2 ; 3").threshold, 0.0);  // only a '/' after the ';' counts
    EXPECT_DOUBLE_EQ(ParseCheckReply("no semicolon / 5").threshold, 0.0);
}
