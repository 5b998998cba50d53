// The header templates, as the settings checks let them through, filled with
// an engine's words: every header reply is one line without a control byte.
// Input: main template, alert template, rule names, score, threshold and
// action, each ended by a NUL.
#include "../fuzz_support.h"
#include "config/dictionary.h"
#include "config/settings.h"
#include "protocol/replies.h"
#include "rating/headers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    TakeChannel();
    std::string_view rest = InputText(data, size);
    const std::string_view main = NextPart(rest), alert = NextPart(rest), rules = NextPart(rest);
    const std::string_view score = NextPart(rest), threshold = NextPart(rest), action = NextPart(rest);
    const std::string text = "Header = " + cfgfQuote(main) + ";\nAlertHeader = " + cfgfQuote(alert) +
                             ";\nAlertLevel = 50;\nBarScoreRanges = (0, 50, 90);\n";
    const Settings settings = ApplySettingsTree(Settings{}, cfgfReadConfigText(text, "fuzz.cfg"), "fuzz.cfg");
    std::string ruleText, actionText, header;
    RuleNamesText(rules, ruleText);
    ActionText(action, actionText);
    std::set<std::string> ids = {"w"};
    for (int rating : {-5, 49, 50, 100, 170}) {
        BuildHeaderText(settings, rating, header, {ruleText, score, threshold, actionText});
        SendReply(*ids.insert(std::to_string(rating)).first, {ReplyKind::Headers, header});
    }
    BuildWhitelistHeaderText(settings, header);
    SendReply("w", {ReplyKind::Headers, header});
    CheckChannel(TakeChannel(), ids);
    return 0;
}
