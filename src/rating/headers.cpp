#include "rating/headers.h"

#include "protocol/text.h"
#include "stats/record.h"

// placeholder: the full verdict headers are built with the rating path
std::string BuildHeaderText(const Settings& settings, int)
{
    std::string text = settings.pMainHeader;
    SubstStr(text, 1, "  0");
    SubstStr(text, 2, "");
    return text;
}
int ScoreBarLength(const std::vector<int>&, int) { return 0; }
void PrintResult(queueItem_t& item, int rating, const Settings& settings)
{
    CountRating(rating);
    AnswerRequest(item, "ADDHEADER \"%s\"\n", BuildHeaderText(settings, rating).c_str());
}
void PrintResult(queueItem_t& item, int rating) { PrintResult(item, rating, *CurrentSettings()); }
