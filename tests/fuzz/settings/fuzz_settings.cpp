// The settings file: what the checks let through is within its ranges, the
// settings in force read back from their own text are the same, and every
// error line that echoes a value is one clean "* " line.
#include "../fuzz_support.h"
#include "config/dictionary.h"
#include "config/settings.h"

namespace {

std::string Apply(std::string_view text, const char* name, Settings& settings)
{
    std::shared_ptr<const cfgfItem> tree = cfgfReadConfigText(text, name);
    settings = ApplySettingsTree(Settings{}, tree, name);
    return cfgfFormatItem(*SettingsTree(settings));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    TakeChannel();
    Settings settings;
    const std::string written = Apply(InputText(data, size), "fuzz.cfg", settings);
    FUZZ_CHECK(settings.MaxScanningThreads >= kScanningThreadsRange.low &&
               settings.MaxScanningThreads <= kScanningThreadsRange.high);
    FUZZ_CHECK(settings.alertLevel >= kAlertLevelRange.low && settings.alertLevel <= kAlertLevelRange.high);
    FUZZ_CHECK(settings.statDumpInterval >= kDumpIntervalRange.low &&
               settings.statDumpInterval <= kDumpIntervalRange.high);
    FUZZ_CHECK(settings.nScoreRanges() <= kMaxScoreRanges);
    for (int bound : settings.scoreRange)
        FUZZ_CHECK(bound >= kRatingRange.low && bound <= kRatingRange.high);
    CheckChannel(TakeChannel());
    Settings again;
    FUZZ_CHECK(Apply(written, "again.cfg", again) == written);
    return 0;
}
