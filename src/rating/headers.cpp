#include "rating/headers.h"

#include <algorithm>
#include <cstdio>

#include "base/text.h"

namespace {

thread_local std::string replyText;

}  // namespace

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

void BuildHeaderText(const Settings& settings, int rating, std::string& text)
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
    // The alert template is appended after the substitution: its placeholders stay as written.
    if (rating >= settings.alertLevel) {
        text += "\\e";
        text += settings.pAlertHeader;
    }
}

std::string BuildHeaderText(const Settings& settings, int rating)
{
    std::string text;
    BuildHeaderText(settings, rating, text);
    return text;
}

void PrintResult(FileRequest& request, int rating, const Settings& settings)
{
    replyText.assign("ADDHEADER \"");
    thread_local std::string header;
    BuildHeaderText(settings, rating, header);
    replyText += header;
    replyText += "\"\n";
    AnswerRequestText(request, replyText);
}
