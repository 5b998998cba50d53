// The envelope lines ahead of a queued message: what is read stays inside
// the envelope, and the rspamd request made of it keeps its lines.
#include <cstring>

#include "../fuzz_support.h"
#include "rating/envelope.h"
#include "rating/rspamd_protocol.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(InputText(data, size));
    const unsigned long length = FindEnvelopeLength(text.c_str());
    FUZZ_CHECK(length <= strlen(text.c_str()));
    FUZZ_CHECK(length == 0 || text[length - 1] == '\n');
    const std::string_view envelope(text.data(), length);
    ForEachEnvelopeLine(text.c_str(), length, [&](std::string_view line) {
        FUZZ_CHECK(Inside(line, envelope) && !line.empty() && line.find('\n') == std::string_view::npos);
    });
    EnvelopeAddresses addresses;
    ReadEnvelopeAddresses(text.c_str(), length, addresses);
    const std::string_view sender = SenderOfEnvelope(text.c_str(), length);
    FUZZ_CHECK(sender == addresses.sender && Inside(sender, envelope) && sender.size() <= 1022);
    FUZZ_CHECK(Inside(addresses.sourceIp, envelope));
    for (std::string_view recipient : addresses.recipients)
        FUZZ_CHECK(Inside(recipient, envelope));
    std::string head;
    BuildRspamdCheckHead(head, "localhost", 10, {sender, addresses.recipients, addresses.sourceIp, "q1", {}});
    FUZZ_CHECK(head.ends_with("\r\n\r\n"));
    for (size_t start = 0, end; (end = head.find("\r\n", start)) != std::string::npos; start = end + 2)
        for (char c : head.substr(start, end - start))
            FUZZ_CHECK(static_cast<unsigned char>(c) >= 0x20 && c != 0x7f);
    return 0;
}
