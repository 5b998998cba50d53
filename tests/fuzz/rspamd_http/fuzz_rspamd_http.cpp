// rspamd's HTTP framing: the state and the parse agree, a whole reply's
// prefixes are never broken, and what it says reaches log lines escaped.
#include "../fuzz_support.h"
#include "rating/rspamd_protocol.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    TakeChannel();
    const std::string_view bytes = InputText(data, size);
    const HttpReplyState state = RspamdReplyState(bytes);
    const HttpReply reply = ParseHttpReply(bytes);
    FUZZ_CHECK(reply.valid == (state == HttpReplyState::Complete));
    if (reply.valid) {
        FUZZ_CHECK(reply.status >= 100 && reply.status <= 599);
        FUZZ_CHECK(Inside(reply.body, bytes) && Inside(reply.server, bytes));
        for (size_t cut : {size / 2, size - 1})
            FUZZ_CHECK(RspamdReplyState(bytes.substr(0, cut)) != HttpReplyState::Invalid);
    } else {
        FUZZ_CHECK(!reply.why.empty());
    }
    IsRspamdPong(reply);
    PrintMsg("* engine: %s at %s\n", RspamdVersionOf(reply).c_str(), "rspamd");
    PrintMsg("* spamd host %s is down: %s\n", "rspamd", reply.why.c_str());
    PrintLog("* spamd gave no rating for /m: " + std::string(reply.body));
    CheckChannel(TakeChannel());
    return 0;
}
