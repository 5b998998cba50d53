#include <gtest/gtest.h>

#include "config/settings.h"
#include "output_capture.h"
#include "rating/headers.h"
#include "stats/record.h"

namespace {

std::string Reply(int rating, const Settings& settings = Settings{})
{
    queueItem_t item;
    snprintf(item.requestId, sizeof item.requestId, "17");
    OutputCapture output;
    PrintResult(item, rating, settings);
    return output.Text();
}

std::string Bar(const std::vector<int>& bounds, int rating)
{
    Settings settings;
    settings.pMainHeader = "^2";
    settings.alertLevel = 1000;
    settings.scoreRange = bounds;
    return BuildHeaderText(settings, rating);
}

}  // namespace

TEST(VerdictHeaders, WorkedRepliesWithDefaultSettings)
{
    EXPECT_EQ(Reply(0), "17 ADDHEADER \"X-Junk-Score:   0 []\\eX-SA-Score:   0 []\"\n");
    EXPECT_EQ(Reply(45), "17 ADDHEADER \"X-Junk-Score:  45 [XX]\\eX-SA-Score:  45 [XX]\"\n");
    EXPECT_EQ(Reply(90), "17 ADDHEADER \"X-Junk-Score:  90 [XXXX]\\eX-SA-Score:  90 [XXXX]\"\n");
    EXPECT_EQ(Reply(99), "17 ADDHEADER \"X-Junk-Score:  99 [XXXXX]\\eX-SA-Score:  99 [XXXXX]\"\n");
    EXPECT_EQ(Reply(100), "17 ADDHEADER \"X-Junk-Score: 100 [XXXXXX]\\eX-SA-Score: 100 [XXXXXX]"
                          "\\eX-Alert: possible spam!\\eX-Color: red\"\n");
}

TEST(VerdictHeaders, DefaultScoreBarFollowsTheRangeTable)
{
    const std::vector<int> bounds = Settings{}.scoreRange;
    const std::pair<int, const char*> table[] = {{0, ""},      {1, "X"},       {39, "X"},     {40, "XX"},
                                                 {76, "XX"},   {77, "XXX"},    {84, "XXX"},   {85, "XXXX"},
                                                 {90, "XXXX"}, {91, "XXXXX"}, {99, "XXXXX"}, {100, "XXXXXX"}};
    for (const auto& [rating, bar] : table)
        EXPECT_EQ(Bar(bounds, rating), bar) << "rating " << rating;
}

TEST(VerdictHeaders, ScoreBarWithTwoBounds)
{
    EXPECT_EQ(Bar({10, 50}, 60), "XX");
    EXPECT_EQ(Bar({10, 50}, 10), "");
    EXPECT_EQ(Bar({10, 50}, 11), "X");
}

TEST(VerdictHeaders, ScoreBarWithTwentyBoundsReachesTwentyLetters)
{
    std::vector<int> bounds;
    for (int i = 0; i < 20; i++)
        bounds.push_back(i * 5);
    EXPECT_EQ(Bar(bounds, 100), std::string(20, 'X'));
    EXPECT_EQ(Bar(bounds, 6), "XX");
}

TEST(VerdictHeaders, AlertLevelZeroAlertsEveryRating)
{
    Settings settings;
    settings.alertLevel = 0;
    EXPECT_EQ(BuildHeaderText(settings, 0),
              "X-Junk-Score:   0 []\\eX-SA-Score:   0 []\\eX-Alert: possible spam!\\eX-Color: red");
}

TEST(VerdictHeaders, AlertLevelNinetyAlertsFromNinety)
{
    Settings settings;
    settings.alertLevel = 90;
    EXPECT_EQ(BuildHeaderText(settings, 90), "X-Junk-Score:  90 [XXXX]\\eX-SA-Score:  90 [XXXX]"
                                             "\\eX-Alert: possible spam!\\eX-Color: red");
    EXPECT_EQ(BuildHeaderText(settings, 89), "X-Junk-Score:  89 [XXXX]\\eX-SA-Score:  89 [XXXX]");
}

TEST(VerdictHeaders, AlertLevelAboveHundredNeverAlerts)
{
    Settings settings;
    settings.alertLevel = 101;
    EXPECT_EQ(BuildHeaderText(settings, 100), "X-Junk-Score: 100 [XXXXXX]\\eX-SA-Score: 100 [XXXXXX]");
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

TEST(VerdictHeaders, PrintResultCountsTheClampedRating)
{
    ResetStatistics();
    Reply(100);
    Reply(250);
    Reply(-4);
    PluginLock lock(reportMutex);
    EXPECT_EQ(msgStat[100], 2);
    EXPECT_EQ(msgStat[0], 1);
}
