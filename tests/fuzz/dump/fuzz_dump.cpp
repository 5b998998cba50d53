// The statistics dump: a dump that is read, written and read again gives
// the same text, and the reader's lines are clean "* " lines.
#include <cstdlib>
#include <ctime>

#include "../fuzz_support.h"
#include "config/dictionary.h"
#include "stats/dump.h"

// The dump holds local dates; the seeds are of this day in UTC.
static constexpr time_t kNow = 1780000000;
static const bool utc = (setenv("TZ", "UTC", 1), tzset(), true);

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    TakeChannel();
    std::string why;
    const std::unique_ptr<cfgfItem> tree = cfgfReadConfigText(InputText(data, size), "statistics.dat");
    std::optional<StatisticsSnapshot> read = tree ? ParseDump(tree.get(), kNow, why) : std::nullopt;
    CheckChannel(TakeChannel());
    if (!read)
        return 0;
    const std::string written = FormatDump(*read, kNow, true);
    const std::unique_ptr<cfgfItem> back = cfgfReadConfigText(written, "statistics.dat");
    FUZZ_CHECK(back != nullptr);
    std::optional<StatisticsSnapshot> again = ParseDump(back.get(), kNow, why);
    FUZZ_CHECK(again.has_value() && utc);
    FUZZ_CHECK(FormatDump(*again, kNow, true) == written);
    CheckChannel(TakeChannel());
    return 0;
}
