// The settings file: what the checks let through is within its ranges, the
// settings in force read back from their own text are the same, and every
// error line that echoes a value is one clean "* " line.
#include "../fuzz_support.h"
#include "config/dictionary.h"
#include "config/settings.h"

static std::string Apply(std::string_view text, const char* name, Settings& settings)
{
    settings = ApplySettingsTree(Settings{}, cfgfReadConfigText(text, name), name);
    return cfgfFormatItem(*SettingsTree(settings));
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    TakeChannel();
    Settings settings;
    const std::string written = Apply(InputText(data, size), "fuzz.cfg", settings);
    std::vector<std::pair<int, NumberRange>> numbers = {{settings.MaxScanningThreads, kScanningThreadsRange},
        {settings.alertLevel, kAlertLevelRange}, {settings.statDumpInterval, kDumpIntervalRange}};
    for (int bound : settings.scoreRange)
        numbers.emplace_back(bound, kRatingRange);
    for (auto [value, range] : numbers)
        FUZZ_CHECK(value >= range.low && value <= range.high);
    FUZZ_CHECK(settings.nScoreRanges() <= kMaxScoreRanges);
    CheckChannel(TakeChannel());
    Settings again;
    FUZZ_CHECK(Apply(written, "again.cfg", again) == written);
    return 0;
}
