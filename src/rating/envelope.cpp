#include "rating/envelope.h"

#include <cstring>

unsigned long FindEnvelopeLength(const char* text)
{
    const char* line = text;
    for (;;) {
        if (line[0] < 'A' || line[0] > 'Z' || line[1] != ' ')
            return 0;
        const char* end = strchr(line, '\n');
        if (end == nullptr)
            return 0;
        line = end + 1;
        if (line[0] == '\n')
            return static_cast<unsigned long>(line + 1 - text);
        if (line[0] == '\r' && line[1] == '\n')
            return static_cast<unsigned long>(line + 2 - text);
    }
}

void ForEachEnvelopeLine(const char* text, unsigned long envelopeLength,
                         const std::function<void(std::string_view line)>& visit)
{
    const std::string_view envelope(text, envelopeLength);
    size_t start = 0;
    while (start < envelope.size()) {
        size_t end = envelope.find('\n', start);
        if (end == std::string_view::npos)
            end = envelope.size();
        if (end > start)
            visit(envelope.substr(start, end - start));
        start = end + 1;
    }
}

std::optional<std::string_view> BracketedAddress(std::string_view line)
{
    const size_t open = line.find('<', 2);
    if (open == std::string_view::npos)
        return std::nullopt;
    const size_t close = line.find('>', open + 1);
    if (close == std::string_view::npos)
        return std::nullopt;
    return line.substr(open + 1, close - open - 1);
}

std::string_view SenderOfEnvelope(const char* text, unsigned long envelopeLength)
{
    constexpr size_t kMinAddressLength = 2;
    std::string_view sender;
    ForEachEnvelopeLine(text, envelopeLength, [&](std::string_view line) {
        if (line[0] != 'P')
            return;
        const auto address = BracketedAddress(line);
        if (address && address->size() >= kMinAddressLength)
            sender = *address;
    });
    return sender;
}

void ReadEnvelopeAddresses(const char* text, unsigned long envelopeLength, EnvelopeAddresses& addresses)
{
    addresses.sender = SenderOfEnvelope(text, envelopeLength);
    addresses.recipients.clear();
    addresses.sourceIp = {};
    ForEachEnvelopeLine(text, envelopeLength, [&](std::string_view line) {
        if (line[0] == 'R') {
            if (const auto address = BracketedAddress(line))
                addresses.recipients.push_back(*address);
        } else if (line[0] == 'S') {
            const size_t open = line.find('[');
            const size_t close = line.find(']', open);
            if (close != std::string_view::npos)
                addresses.sourceIp = line.substr(open + 1, close - open - 1);
        }
    });
}
