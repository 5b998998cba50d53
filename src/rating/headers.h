// headers - the verdict header text of a rating
//
// BuildHeaderText  the header text of a rating (pure)
// BuildWhitelistHeaderText  the header text of a whitelisted sender: the main
//                  template with 0 and an empty bar (pure)
// ScoreBarLength   the number of X in the score bar
// UsesRuleNames    does a template ask for spamd's rule names (^3)
// RuleNamesText    spamd's list of rules as a header may carry it (pure)
//
// Placeholders: ^1 the rating, ^2 the score bar, ^3 the rules that hit,
// ^4 the engine's score and ^5 its threshold as the engine wrote them, ^6
// rspamd's action (empty for spamd).  The alert template has ^3 to ^6
// replaced; its ^1 and ^2 stay as written.
//
// Called by every scanning thread at once; nothing shared is changed.  The
// reply that carries the text is spelled by the protocol floor.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "config/settings.h"

// Rule names cut beyond this many characters (then "..." follows).
constexpr size_t kMaxRuleNamesText = 500;

// VerdictText - the engine's words for ^3 to ^6; empty when it gave none.
struct VerdictText {
    std::string_view rules;
    std::string_view score;
    std::string_view threshold;
    std::string_view action = {};
};

// BuildHeaderText - into text (replaced).
void BuildHeaderText(const Settings& settings, int rating, std::string& text, const VerdictText& verdict = {});
std::string BuildHeaderText(const Settings& settings, int rating, const VerdictText& verdict = {});
// BuildWhitelistHeaderText - "^1" becomes "0" (not right-aligned), every
// other placeholder nothing, and no alert template; into text (replaced).
void BuildWhitelistHeaderText(const Settings& settings, std::string& text);
bool UsesRuleNames(const Settings& settings);
// RuleNamesText - the body of a SYMBOLS reply keeping only the characters of
// rule names and commas (nothing that could end the reply's quotes or line),
// cut to kMaxRuleNamesText characters and "...".
void RuleNamesText(std::string_view body, std::string& text);
// ActionText - rspamd's action ("add header") keeping only letters, digits,
// blanks, '-' and '_', cut to 40 characters.
void ActionText(std::string_view action, std::string& text);
int ScoreBarLength(const std::vector<int>& scoreRange, int rating);
