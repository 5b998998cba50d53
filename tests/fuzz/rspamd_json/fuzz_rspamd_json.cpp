// rspamd's JSON verdict: a verdict is two finite numbers whose short texts
// read back as them, and its words reach the header reply without a control byte.
#include <cmath>
#include <cstdlib>

#include "../fuzz_support.h"
#include "protocol/replies.h"
#include "rating/headers.h"
#include "rating/rspamd_protocol.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    TakeChannel();
    const RspamdVerdict verdict = ParseRspamdVerdict(InputText(data, size));
    if (verdict.rated) {
        FUZZ_CHECK(std::isfinite(verdict.score) && std::isfinite(verdict.requiredScore));
        for (auto [text, value] : {std::pair{verdict.scoreText, verdict.score}, {verdict.thresholdText, verdict.requiredScore}})
            FUZZ_CHECK(text.size() <= 20 && std::fabs(strtod(text.c_str(), nullptr) - value) <= 0.005 + 1e-5 * std::fabs(value));
    } else {
        FUZZ_CHECK(!verdict.why.empty());
        PrintMsg("* spamd gave no rating for %s: %s\n", "/m", verdict.why.c_str());
    }
    std::string names, rules, action;
    for (const std::string& rule : verdict.rules)
        names += rule + ",";
    RuleNamesText(names, rules);
    ActionText(verdict.action, action);
    FUZZ_CHECK(action.size() <= 40 && action.find_first_of("\"\r\n") == std::string::npos);
    DebugMsg("rspamd: %s, %s\n", verdict.action.c_str(), names.c_str());
    Settings settings;
    settings.pMainHeader = "X-Spam: ^1 ^3 ^4/^5 ^6";
    SendReply("9", {ReplyKind::Headers,
                    BuildHeaderText(settings, 50, {rules, verdict.scoreText, verdict.thresholdText, action})});
    CheckChannel(TakeChannel(), {"9"});
    return 0;
}
