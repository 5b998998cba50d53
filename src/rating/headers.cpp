#include "rating/headers.h"

#include <algorithm>
#include <cstdio>

#include "base/text.h"

int ScoreBarLength(const std::vector<int>& scoreRange, int rating)
{
    int n = 0;
    for (int bound : scoreRange) {
        if (bound >= rating)
            break;
        n++;
    }
    return n;
}

bool UsesRuleNames(const Settings& settings)
{
    return settings.pMainHeader.find("^3") != std::string::npos ||
           settings.pAlertHeader.find("^3") != std::string::npos;
}

void RuleNamesText(std::string_view body, std::string& text)
{
    text.clear();
    for (char c : body) {
        const bool kept = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
                          c == ',' || c == '.' || c == '-' || c == '+';
        if (kept)
            text += c;
    }
    if (text.size() > kMaxRuleNamesText) {
        text.resize(kMaxRuleNamesText);
        text += "...";
    }
}

void ActionText(std::string_view action, std::string& text)
{
    constexpr size_t kMaxActionText = 40;
    text.clear();
    for (char c : action.substr(0, kMaxActionText)) {
        const bool kept = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == ' ' ||
                          c == '-' || c == '_';
        if (kept)
            text += c;
    }
}

void BuildHeaderText(const Settings& settings, int rating, std::string& text, const VerdictText& verdict)
{
    rating = std::clamp(rating, 0, 100);
    char ratingText[8];
    snprintf(ratingText, sizeof ratingText, "%3d", rating);
    text.assign(settings.pMainHeader);
    SubstStr(text, 1, ratingText);
    char bar[32];
    const int barLength = std::min(ScoreBarLength(settings.scoreRange, rating), static_cast<int>(sizeof bar) - 1);
    std::fill(bar, bar + barLength, 'X');
    bar[barLength] = '\0';
    SubstStr(text, 2, bar);
    // spamd's words go in last: nothing inserted is looked at again.
    const auto substituteSpamdWords = [&verdict](std::string& part) {
        if (part.find('^') == std::string::npos)
            return;
        const std::string score(verdict.score), threshold(verdict.threshold), rules(verdict.rules),
            action(verdict.action);
        SubstStr(part, 4, score.c_str());
        SubstStr(part, 5, threshold.c_str());
        SubstStr(part, 6, action.c_str());
        SubstStr(part, 3, rules.c_str());
    };
    substituteSpamdWords(text);
    // The alert template is appended after the rating's substitution: its ^1 and ^2 stay as written.
    if (rating >= settings.alertLevel) {
        thread_local std::string alert;
        alert.assign(settings.pAlertHeader);
        substituteSpamdWords(alert);
        text += "\\e";
        text += alert;
    }
}

std::string BuildHeaderText(const Settings& settings, int rating, const VerdictText& verdict)
{
    std::string text;
    BuildHeaderText(settings, rating, text, verdict);
    return text;
}

void BuildWhitelistHeaderText(const Settings& settings, std::string& text)
{
    text.assign(settings.pMainHeader);
    SubstStr(text, 1, "0");
    // No bar, and no engine's words either: no rules, score, threshold or action.
    for (int n = 2; n <= 6; n++)
        SubstStr(text, n, "");
}
