// The whitelist: patterns as the reader keeps them, a sender checked against
// them in time linear in the input, and the lines naming both kept clean.
// Input: the file's text, a NUL, then the message file's text.
#include <strings.h>

#include <cstring>
#include <ctime>
#include <fstream>

#include "../fuzz_support.h"
#include "rating/envelope.h"
#include "rating/whitelist.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    TakeChannel();
    std::string_view rest = InputText(data, size);
    const std::string_view file = NextPart(rest);
    const std::string message(rest);
    static const std::string path = "/tmp/fuzz-whitelist-" + std::to_string(getpid()) + ".txt";
    std::ofstream(path, std::ios::binary | std::ios::trunc) << file;
    whitelist list;
    list.InitializeFrom(path);
    for (const std::string& pattern : list.Patterns())
        FUZZ_CHECK(pattern.size() >= 3 && pattern.find_first_of("\r\nABCDEFGHIJKLMNOPQRSTUVWXYZ") == std::string::npos);
    const unsigned long length = FindEnvelopeLength(message.c_str());
    const bool listed = CheckWhitelist(message.c_str(), static_cast<int>(length), list);
    const std::string sender(SenderOfEnvelope(message.c_str(), length));
    FUZZ_CHECK(!listed || !sender.empty());
    // Every pattern against the sender (or the message's first line): at
    // most 2 ms and 5 us per byte of the two, in the thread's own CPU time
    // (a busy machine does not count).
    const std::string address = sender.empty() ? message.substr(0, message.find('\n')).c_str() : sender;
    for (const std::string& pattern : list.Patterns()) {
        timespec start{}, end{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &start);
        const int match = wildcmp(pattern.c_str(), address.c_str());
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &end);
        const double spentUs = (end.tv_sec - start.tv_sec) * 1e6 + (end.tv_nsec - start.tv_nsec) / 1e3;
        FUZZ_CHECK(spentUs <= 2000 + 5.0 * static_cast<double>(pattern.size() + address.size()));
        FUZZ_CHECK(match == 1 || pattern.find_first_of("*?") != std::string::npos ||
                   strcasecmp(pattern.c_str(), address.c_str()) != 0);
    }
    list.IsListed(address.c_str());
    CheckChannel(TakeChannel());
    return 0;
}
