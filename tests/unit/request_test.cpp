#include <gtest/gtest.h>

#include <string>

#include "output_capture.h"
#include "protocol/output.h"
#include "protocol/request.h"
#include "protocol/text.h"

TEST(SplitRequestLine, SeparatesIdAndCommandBySpacesOnly)
{
    RequestLine r = SplitRequestLine("17   FILE   /q/a b");
    EXPECT_TRUE(r.hasSpace);
    EXPECT_EQ(r.id, "17");
    EXPECT_EQ(r.command, "FILE   /q/a b");
    EXPECT_EQ(FilePathOf(r.command), "/q/a b");
    EXPECT_EQ(FilePathOf("FILE    "), "");

    RequestLine tab = SplitRequestLine("a\tb c");
    EXPECT_EQ(tab.id, "a\tb");
    EXPECT_EQ(tab.command, "c");

    RequestLine none = SplitRequestLine("lonely");
    EXPECT_FALSE(none.hasSpace);
    EXPECT_EQ(none.id, "lonely");
}

TEST(AnswerRequest, OnlyTheFirstAnswerCarriesTheId)
{
    OutputCapture output;
    queueItem_t item;
    strnncpy(item.requestId, "42", kRequestIdSize);
    EXPECT_TRUE(AnswerRequest(item, "REJECTED timed-out, we'll try again later\n"));
    EXPECT_FALSE(AnswerRequest(item, "ADDHEADER \"%s\"\n", "X: 1"));
    EXPECT_EQ(output.Text(), "42 REJECTED timed-out, we'll try again later\n* ADDHEADER \"X: 1\"\n");
}

TEST(DebugMsg, MarksEveryLineOfAMultiLineText)
{
    OutputCapture output;
    DebugMsg("hidden %d\n", 1);
    doDebug.store(true);
    DebugMsg("cmd: %s\n", "CHECK SPAMC/1.2\r\n\r\n17 OK\n");
    doDebug.store(false);
    EXPECT_EQ(output.Text(), "* cmd: CHECK SPAMC/1.2\r\n* \r\n* 17 OK\n* \n");
}
