#include "replay/envelope.h"

#include <algorithm>
#include <cctype>

namespace replay {

namespace {

bool EqualNoCase(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

std::string_view Trim(std::string_view text)
{
    size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos)
        return {};
    size_t last = text.find_last_not_of(" \t\r\n");
    return text.substr(first, last - first + 1);
}

std::string WithoutBlanks(std::string_view text)
{
    std::string result;
    for (char c : text)
        if (c != ' ' && c != '\t' && c != '\r' && c != '\n')
            result += c;
    return result;
}

// SourceOfReceived - "[198.51.100.7]" from "from relay (relay [198.51.100.7]) by ..."
std::optional<std::string> SourceOfReceived(std::string_view value)
{
    size_t pos = 0;
    while ((pos = value.find('[', pos)) != std::string_view::npos) {
        size_t close = value.find(']', pos);
        if (close == std::string_view::npos)
            return std::nullopt;
        std::string_view inside = value.substr(pos + 1, close - pos - 1);
        if (inside.starts_with("IPv6:"))
            inside.remove_prefix(5);
        bool address = !inside.empty() && std::all_of(inside.begin(), inside.end(), [](char c) {
            return std::isxdigit(static_cast<unsigned char>(c)) || c == '.' || c == ':';
        });
        if (address) {
            std::string source = "[";
            source.append(inside);
            source += ']';
            return source;
        }
        pos = close;
    }
    return std::nullopt;
}

}  // namespace

std::vector<std::string> HeaderFieldValues(std::string_view message, std::string_view name)
{
    std::vector<std::string> values;
    std::string* current = nullptr;
    size_t pos = 0;
    while (pos < message.size()) {
        size_t end = message.find('\n', pos);
        size_t next = end == std::string_view::npos ? message.size() : end + 1;
        std::string_view line = message.substr(pos, next - pos);
        pos = next;
        if (line.ends_with('\n'))
            line.remove_suffix(1);
        if (line.ends_with('\r'))
            line.remove_suffix(1);
        if (line.empty())
            break;  // end of the header section
        if (line[0] == ' ' || line[0] == '\t') {
            if (current != nullptr)
                *current += line;
            continue;
        }
        current = nullptr;
        size_t colon = line.find(':');
        if (colon != std::string_view::npos && EqualNoCase(Trim(line.substr(0, colon)), name)) {
            values.emplace_back(line.substr(colon + 1));
            current = &values.back();
        }
    }
    return values;
}

std::vector<std::string> ExtractAddresses(std::string_view value)
{
    std::vector<std::string> addresses;
    std::string bare;         // text outside quotes, comments and angle brackets
    std::string angle;        // text of the latest <...>
    bool haveAngle = false;
    auto finishElement = [&] {
        if (haveAngle) {
            // A source route "<@relay:user@host>" keeps only the address.
            std::string address = WithoutBlanks(angle);
            size_t colon = address.rfind(':');
            if (address.starts_with("@") && colon != std::string::npos)
                address.erase(0, colon + 1);
            addresses.push_back(address);
        } else {
            std::string address = WithoutBlanks(bare);
            if (!address.empty())
                addresses.push_back(address);
        }
        bare.clear();
        angle.clear();
        haveAngle = false;
    };

    size_t i = 0;
    while (i < value.size()) {
        char c = value[i++];
        if (c == '"') {
            while (i < value.size() && value[i] != '"')
                i += value[i] == '\\' ? 2 : 1;
            i++;
        } else if (c == '(') {
            int depth = 1;
            while (i < value.size() && depth > 0) {
                if (value[i] == '\\')
                    i++;
                else if (value[i] == '(')
                    depth++;
                else if (value[i] == ')')
                    depth--;
                i++;
            }
        } else if (c == '<') {
            size_t close = value.find('>', i);
            if (close == std::string_view::npos)
                close = value.size();
            angle.assign(value.substr(i, close - i));
            haveAngle = true;
            i = close + 1;
        } else if (c == ',' || c == ';') {
            finishElement();
        } else if (c == ':') {
            bare.clear();  // a group's display name
        } else {
            bare += c;
        }
    }
    finishElement();
    return addresses;
}

Envelope EnvelopeFor(std::string_view message, const EnvelopeOptions& options)
{
    Envelope envelope;
    if (options.sender) {
        envelope.sender = *options.sender;
    } else {
        for (const std::string& value : HeaderFieldValues(message, "From")) {
            std::vector<std::string> addresses = ExtractAddresses(value);
            if (!addresses.empty()) {
                envelope.sender = addresses.front();
                break;
            }
        }
    }

    if (!options.recipients.empty()) {
        envelope.recipients = options.recipients;
    } else {
        for (const char* field : {"To", "Cc"})
            for (const std::string& value : HeaderFieldValues(message, field))
                for (std::string& address : ExtractAddresses(value))
                    if (!address.empty() && std::find(envelope.recipients.begin(), envelope.recipients.end(),
                                                      address) == envelope.recipients.end())
                        envelope.recipients.push_back(std::move(address));
        if (envelope.recipients.empty())
            envelope.recipients.push_back(kFallbackRecipient);
    }

    if (options.source) {
        envelope.source = *options.source;
    } else {
        envelope.source = kFallbackSource;
        std::vector<std::string> received = HeaderFieldValues(message, "Received");
        // The newest relay stands first; a local hop without an address is passed over.
        for (const std::string& value : received) {
            if (auto source = SourceOfReceived(value)) {
                envelope.source = *source;
                break;
            }
        }
    }
    return envelope;
}

std::string FormatEnvelope(const Envelope& envelope)
{
    std::string text = "P <" + envelope.sender + ">\n";
    for (const std::string& recipient : envelope.recipients)
        text += "R <" + recipient + ">\n";
    text += "S " + envelope.source + "\n\n";
    return text;
}

}  // namespace replay
