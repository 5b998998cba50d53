#include "rating/headers.h"

#include <algorithm>
#include <cstdio>

#include "protocol/text.h"
#include "stats/record.h"

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

std::string BuildHeaderText(const Settings& settings, int rating)
{
    rating = std::clamp(rating, 0, 100);
    char ratingText[8];
    snprintf(ratingText, sizeof ratingText, "%3d", rating);
    std::string text = settings.pMainHeader;
    SubstStr(text, 1, ratingText);
    const std::string bar(static_cast<size_t>(ScoreBarLength(settings.scoreRange, rating)), 'X');
    SubstStr(text, 2, bar.c_str());
    // The alert template is appended after the substitution: its placeholders stay as written.
    if (rating >= settings.alertLevel) {
        text += "\\e";
        text += settings.pAlertHeader;
    }
    return text;
}

void PrintResult(queueItem_t& item, int rating, const Settings& settings)
{
    rating = std::clamp(rating, 0, 100);
    const std::string text = BuildHeaderText(settings, rating);
    CountRating(rating);
    AnswerRequest(item, "ADDHEADER \"%s\"\n", text.c_str());
}

void PrintResult(queueItem_t& item, int rating) { PrintResult(item, rating, *CurrentSettings()); }
