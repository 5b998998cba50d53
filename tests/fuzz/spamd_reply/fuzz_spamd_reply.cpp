// spamd's reply: the views stay inside it, a verdict is a number, and
// neither the header reply nor the log lines built of it hold a control byte.
#include <cmath>

#include "../fuzz_support.h"
#include "protocol/replies.h"
#include "rating/headers.h"
#include "rating/spamc_protocol.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    TakeChannel();
    const std::string_view reply = InputText(data, size);
    for (bool symbols : {false, true})
        for (bool closed : {false, true})
            SpamcReplyState(reply, symbols, closed);
    const SpamdAnswer answer = ParseSpamdReply(reply);
    FUZZ_CHECK(Inside(answer.scoreText, reply) && Inside(answer.thresholdText, reply) && Inside(answer.body, reply));
    FUZZ_CHECK(!answer.rated || (answer.status == 0 && std::isfinite(answer.score) && std::isfinite(answer.threshold)));
    SpamcOutcome(answer);
    std::string word, why, rules;
    if (ParsePong(reply, word, why))
        PrintMsg("* engine: %s at %s\n", word.c_str(), "spamd");
    else
        PrintMsg("* spamd host %s is down: %s\n", "spamd", why.c_str());
    RuleNamesText(answer.body, rules);
    FUZZ_CHECK(rules.size() <= kMaxRuleNamesText + 3);
    FUZZ_CHECK(rules.find_first_of("\" \r\n") == std::string::npos);
    Settings settings;
    settings.pMainHeader = "X-Junk-Score: ^1 [^2] ^3 ^4/^5";
    settings.alertLevel = 0;
    SendReply("7", {ReplyKind::Headers, BuildHeaderText(settings, 50, {rules, answer.scoreText, answer.thresholdText})});
    CheckChannel(TakeChannel(), {"7"});
    return 0;
}
