#include <gtest/gtest.h>

#include "config/settings.h"
#include "output_capture.h"
#include "rating/headers.h"
#include "stats/record.h"

TEST(VerdictHeaders, ScoreBarFollowsTheRangeBounds)
{
    std::vector<int> twenty;
    for (int i = 0; i < 20; i++)
        twenty.push_back(i * 5);
    const std::vector<int> standard = Settings{}.scoreRange;
    const std::tuple<std::vector<int>, int, std::string> table[] = {
        {standard, 0, ""},       {standard, 1, "X"},       {standard, 39, "X"},    {standard, 40, "XX"},
        {standard, 76, "XX"},    {standard, 77, "XXX"},    {standard, 84, "XXX"},  {standard, 85, "XXXX"},
        {standard, 90, "XXXX"},  {standard, 91, "XXXXX"},  {standard, 99, "XXXXX"}, {standard, 100, "XXXXXX"},
        {{10, 50}, 10, ""},      {{10, 50}, 11, "X"},      {{10, 50}, 60, "XX"},
        {twenty, 6, "XX"},       {twenty, 100, std::string(20, 'X')},
    };
    for (const auto& [bounds, rating, bar] : table) {
        Settings settings;
        settings.pMainHeader = "^2";
        settings.alertLevel = 1000;
        settings.scoreRange = bounds;
        EXPECT_EQ(BuildHeaderText(settings, rating), bar) << "rating " << rating << " of " << bounds.size();
    }
}

TEST(VerdictHeaders, AlertHeaderFollowsFromTheAlertLevel)
{
    const std::string alert = "\\eX-Alert: possible spam!\\eX-Color: red";
    const std::tuple<int, int, std::string> table[] = {
        {0, 0, "X-Junk-Score:   0 []\\eX-SA-Score:   0 []" + alert},
        {90, 90, "X-Junk-Score:  90 [XXXX]\\eX-SA-Score:  90 [XXXX]" + alert},
        {90, 89, "X-Junk-Score:  89 [XXXX]\\eX-SA-Score:  89 [XXXX]"},
        {101, 100, "X-Junk-Score: 100 [XXXXXX]\\eX-SA-Score: 100 [XXXXXX]"},
    };
    for (const auto& [level, rating, text] : table) {
        Settings settings;
        settings.alertLevel = level;
        EXPECT_EQ(BuildHeaderText(settings, rating), text) << level << "/" << rating;
    }
}

TEST(VerdictHeaders, PlaceholdersOnlyInTheMainTemplate)
{
    Settings settings;
    settings.pMainHeader = "A: ^1 ^1 ^1";
    settings.pAlertHeader = "B: ^1 ^2";
    settings.alertLevel = 0;
    EXPECT_EQ(BuildHeaderText(settings, 7), "A:   7   7   7\\eB: ^1 ^2");
    settings.pMainHeader = "X-Static: yes";
    settings.alertLevel = 100;
    EXPECT_EQ(BuildHeaderText(settings, 50), "X-Static: yes");
}

TEST(VerdictHeaders, PrintResultRepliesAndCountsTheClampedRating)
{
    ResetStatistics();
    queueItem_t item;
    snprintf(item.requestId, sizeof item.requestId, "17");
    OutputCapture output;
    PrintResult(item, 45, Settings{});
    for (int rating : {100, 250, -4})
        PrintResult(item, rating, Settings{});
    EXPECT_TRUE(output.Text().starts_with("17 ADDHEADER \"X-Junk-Score:  45 [XX]\\eX-SA-Score:  45 [XX]\"\n"));
    PluginLock lock(reportMutex);
    EXPECT_EQ(msgStat[100], 2);
    EXPECT_EQ(msgStat[0], 1);
    EXPECT_EQ(msgStat[45], 1);
}
