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
    static const int removed = atexit([] { unlink(path.c_str()); });
    std::ofstream(path, std::ios::binary | std::ios::trunc) << file;
    whitelist list;
    list.InitializeFrom(path);
    for (const std::string& pattern : *list.Patterns())
        FUZZ_CHECK(pattern.size() >= 3 && pattern.find_first_of("\r\nABCDEFGHIJKLMNOPQRSTUVWXYZ") == std::string::npos);
    const unsigned long length = FindEnvelopeLength(message.c_str());
    const bool listed = CheckWhitelist(message.c_str(), static_cast<int>(length), list);
    const std::string sender(SenderOfEnvelope(message.c_str(), length));
    FUZZ_CHECK(!listed || !sender.empty());
    // Every pattern against the sender (or the message's first line): at most 2 ms and 5 us a byte.
    const std::string address = sender.empty() ? message.substr(0, message.find('\n')).c_str() : sender;
    for (const std::string& pattern : *list.Patterns()) {
        const clock_t start = clock();  // CPU time: a busy machine does not count
        const int match = wildcmp(pattern.c_str(), address.c_str());
        FUZZ_CHECK((clock() - start) * 1e6 / CLOCKS_PER_SEC <= 2000 + 5.0 * static_cast<double>(pattern.size() + address.size()));
        FUZZ_CHECK(match == 1 || pattern.find_first_of("*?") != std::string::npos ||
                   strcasecmp(pattern.c_str(), address.c_str()) != 0);
    }
    list.IsListed(address.c_str());
    FUZZ_CHECK(removed == 0);
    CheckChannel(TakeChannel());
    return 0;
}
