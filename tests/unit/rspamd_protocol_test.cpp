// rspamd's HTTP protocol: the request heads, the framing of replies and the
// verdict in a /checkv2 reply, each checked against what rspamd 3.4 sends.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "rating/rspamd_protocol.h"

// A reply to sample-nonspam.txt, most of its rules left out.  FORGED_RECIPIENTS
// counts 0 although its metric_score is 2: a composite rule took its score.
const char* const kNonspamReply =
    R"({"is_skipped":false,"score":3.0,"required_score":15.0,"action":"no action","symbols":{)"
    R"("RDNS_NONE":{"name":"RDNS_NONE","score":1.0,"metric_score":1.0},)"
    R"("MV_CASE":{"name":"MV_CASE","score":0.500000,"metric_score":0.500000},)"
    R"("MIME_GOOD":{"name":"MIME_GOOD","score":-0.100000,"metric_score":-0.100000,"options":["text/plain"]},)"
    R"("FORGED_RECIPIENTS":{"name":"FORGED_RECIPIENTS","score":0.0,"metric_score":2.0},)"
    R"("DATE_IN_PAST":{"name":"DATE_IN_PAST","score":1.0,"metric_score":1.0,"options":["224664"]}},)"
    R"("messages":{},"urls":["tbtf.com"],"message-id":"v0421010eb7@[208.192.102.193]","time_real":0.108443})";

const char* const kGtubeReply =
    R"({"is_skipped":true,"score":15.0,"required_score":15.0,"action":"reject","symbols":{"GTUBE":{"name":"GTUBE",)"
    R"("score":0.0,"metric_score":0.0}},"messages":{"smtp_message":"Gtube pattern"}})";

const char* const kPong = "HTTP/1.1 200 OK\r\nConnection: close\r\nServer: rspamd/3.4\r\n"
                          "Date: Sun, 06 Dec 2026 21:46:43 GMT\r\nContent-Length: 6\r\nContent-Type: text/plain\r\n\r\n"
                          "pong\r\n";

TEST(RspamdVerdict, IsRatedOnlyByFiniteScoresWithRulesHighestFirst)
{
    const auto deep = [](const char* open, const char* close) {
        std::string opens, closes;
        for (int level = 0; level < 10000; level++)
            opens += open, closes += close;
        return R"({"score":1,"required_score":2,"x":)" + opens + closes + "}";
    };
    const struct {
        std::string json;
        const char* expected;  // "score/threshold action: rules" when rated, else a word of why
    } table[] = {
        {kNonspamReply, "3.00/15.00 no action: DATE_IN_PAST RDNS_NONE MV_CASE FORGED_RECIPIENTS MIME_GOOD"},
        {kGtubeReply, "15.00/15.00 reject: GTUBE"},  // skipped, and rated by its score all the same
        {R"({"score":-2,"required_score":20,"symbols":[1]})", "-2.00/20.00 :"},
        {R"({"score":1,"required_score":15,"symbols":{"B":{"score":1},"A":{"score":1},"D":3,"E":{"score":"9"}}})",
         "1.00/15.00 : A B D E"},
        {R"({"score":1e300,"required_score":15})", "1e+300/15.00 :"},
        {R"({"required_score":15.0,"action":"no action"})", "score"},
        {R"({"score":"3.0","required_score":15.0})", "score"},
        {R"({"score":3.0,"required_score":null})", "required_score"},
        {R"({"score":3.0,"required_score":15.0,"action":7})", "action"},
        {R"({"score":1e400,"required_score":15.0})", "out of range"},
        {R"({"score":3.0,"required_score":15.0} {})", "not JSON"},
        {R"({"score":3.0,"required_score":15.0)", "not JSON"},
        {"invalid command", "not JSON"},
        {"[3.0, 15.0]", "object"},
        {deep("[", "]"), "deeper"},
        {deep(R"({"a":)", "}"), "deeper"},
        // The last of duplicate keys counts; only the symbols object holds rules.
        {R"({"symbols":{"A":{}},"score":1,"score":2,"required_score":[],"required_score":4,"action":1,"action":"x",)"
         R"("symbols":{"B":{"score":1,"x":{"score":9}}},"messages":{"M":{"score":5}}})", "2.00/4.00 x: B"},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.json.substr(0, 100));
        const RspamdVerdict verdict = ParseRspamdVerdict(row.json);
        std::string text = verdict.scoreText + "/" + verdict.thresholdText + " " + verdict.action + ":";
        for (const std::string& rule : verdict.rules)
            text += " " + rule;
        if (verdict.rated)
            EXPECT_EQ(text, row.expected);
        else
            EXPECT_NE(verdict.why.find(row.expected), std::string::npos) << verdict.why;
    }
    std::string many = R"({"score":1,"required_score":2,"symbols":{"S7":{"score":2})";
    for (size_t n = 1; n < kRspamdSymbolLimit + 5; n++)
        many += ",\"S" + std::to_string(n + 7) + "\":{}";
    const RspamdVerdict verdict = ParseRspamdVerdict(many + "}}");
    EXPECT_EQ(verdict.rules.size(), kRspamdSymbolLimit);
    EXPECT_EQ(verdict.rules[0], "S7");
    EXPECT_EQ(verdict.symbolsLeftOut, 5u);
    EXPECT_NE(ParseRspamdVerdict(many + "}}", Monotonic()).why.find("not parsed within"), std::string::npos);
}

TEST(RspamdReply, FramingIsStrictAndBounded)
{
    const std::string pong = kPong;
    for (size_t length = 0; length < pong.size(); length++)
        ASSERT_EQ(RspamdReplyState(pong.substr(0, length)), HttpReplyState::Incomplete) << length;
    const HttpReply reply = ParseHttpReply(pong);
    EXPECT_TRUE(IsRspamdPong(reply));
    EXPECT_EQ(RspamdVersionOf(reply), "rspamd/3.4");
    const HttpReply error = ParseHttpReply("HTTP/1.1 500 invalid command\r\nContent-Length: 59\r\n\r\n"
                                           R"({"error":"invalid command","error_domain":"protocol-error"})");
    EXPECT_EQ(error.status, 500);
    EXPECT_FALSE(IsRspamdPong(error));

    const std::string longLine = "X-Long: " + std::string(16300, 'a') + "\r\n";
    const struct {
        std::string bytes;
        HttpReplyState state;
        const char* why;  // a word of ParseHttpReply's why when Invalid
    } table[] = {
        {pong + "x", HttpReplyState::Invalid, "longer"},  // a body longer than announced
        {"HTTP/1.0 200 OK\nserver: rspamd/3.4\ncontent-LENGTH: 4\n\npong", HttpReplyState::Complete, ""},
        {"HTTP/1.1 200 OK\r\n" + longLine + "Content-Length: 0\r\n\r\n", HttpReplyState::Complete, ""},
        {"HTTP/1.1 200 OK\r\nContent-Length: 4194304\r\n\r\n{", HttpReplyState::Incomplete, ""},
        {"SPAMD/1.1 0 EX_OK\r\n", HttpReplyState::Invalid, "HTTP/1.x"},
        {"HTTP/1.1 20 OK\r\n", HttpReplyState::Invalid, "HTTP/1.x"},
        {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n4\r\npong\r\n0\r\n\r\n", HttpReplyState::Invalid,
         "Transfer-Encoding"},
        {"HTTP/1.1 200 OK\r\nServer: rspamd/3.4\r\n\r\npong", HttpReplyState::Invalid, "without Content-Length"},
        {"HTTP/1.1 200 OK\r\nContent-Length: 4\r\nContent-Length: 5\r\n\r\n", HttpReplyState::Invalid, "twice"},
        {"HTTP/1.1 200 OK\r\nContent-Length: -4\r\n\r\n", HttpReplyState::Invalid, "Content-Length"},
        {"HTTP/1.1 200 OK\r\nContent-Length: 99999999999999999999999\r\n", HttpReplyState::Invalid, "Content-Length"},
        {"HTTP/1.1 200 OK\r\n folded: value\r\n", HttpReplyState::Invalid, "malformed"},
        {"HTTP/1.1 200 OK\r\n" + longLine + longLine, HttpReplyState::Invalid, "16384"},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.bytes.substr(0, 80));
        EXPECT_EQ(RspamdReplyState(row.bytes), row.state);
        const HttpReply parsed = ParseHttpReply(row.bytes);
        EXPECT_EQ(parsed.valid, row.state == HttpReplyState::Complete);
        if (row.state == HttpReplyState::Invalid) {
            EXPECT_NE(parsed.why.find(row.why), std::string::npos) << parsed.why;
        }
    }
}

TEST(RspamdRequest, HeadCarriesTheEnvelopeAndLeavesOutWhatCouldBreakIt)
{
    std::string head = "left over from the last message";
    const std::vector<std::string_view> rcpts = {"<a@example.test>", "<b@example.test>"};
    BuildRspamdCheckHead(head, "127.0.0.1:11333", 6494,
                         {"<sender@example.test>", rcpts, "192.0.2.7", "4A7F 12", "a@example.test"});
    EXPECT_EQ(head, "POST /checkv2 HTTP/1.1\r\nHost: 127.0.0.1:11333\r\nConnection: close\r\nContent-Length: 6494\r\n"
                    "From: <sender@example.test>\r\nRcpt: <a@example.test>\r\nRcpt: <b@example.test>\r\n"
                    "IP: 192.0.2.7\r\nQueue-Id: 4A7F 12\r\nDeliver-To: a@example.test\r\n\r\n");
    const std::vector<std::string_view> broken = {"<a@example.test>", "<b@\nexample.test>", ""};
    BuildRspamdCheckHead(head, "rspamd.test", 0, {"<x@example.test>\r\nUser: admin", broken, "", "Q\x7f", ""});
    EXPECT_EQ(head, "POST /checkv2 HTTP/1.1\r\nHost: rspamd.test\r\nConnection: close\r\nContent-Length: 0\r\n"
                    "Rcpt: <a@example.test>\r\n\r\n");
    EXPECT_EQ(RspamdPingRequest("rspamd.test"), "GET /ping HTTP/1.1\r\nHost: rspamd.test\r\nConnection: close\r\n\r\n");
}
