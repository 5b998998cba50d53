// envelope - the host's envelope ahead of each spooled message
//
// HeaderFieldValues  the unfolded values of every header field of a name
// ExtractAddresses   the addresses of an address-list header value
// EnvelopeFor        sender, recipients and source of a message, options first
// FormatEnvelope     the envelope lines as the host writes them
//
// The envelope is one line per item, a capital letter and a blank first:
// "P <sender>", one "R <recipient>" per recipient, "S <source>", and an empty
// line that separates it from the message.  The tool writes it with bare
// line feeds whatever the message's own line ends.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace replay {

// Given on the command line; they replace what the headers say.
struct EnvelopeOptions {
    std::optional<std::string> sender;
    std::vector<std::string> recipients;
    std::optional<std::string> source;
};

struct Envelope {
    std::string sender;                   // empty: the null sender "<>"
    std::vector<std::string> recipients;
    std::string source;
};

// What stands in when a message names nobody.
inline constexpr const char* kFallbackRecipient = "postmaster@localhost";
inline constexpr const char* kFallbackSource = "[127.0.0.1]";

// HeaderFieldValues - the values of the fields called name (letter case
// ignored) in the message's header section, continuation lines joined.
std::vector<std::string> HeaderFieldValues(std::string_view message, std::string_view name);

// ExtractAddresses - "a@x, Name <b@y>, group: c@z;" gives a@x, b@y, c@z.
// Display names, quoted text and comments are dropped; "<>" gives an empty
// address.
std::vector<std::string> ExtractAddresses(std::string_view value);

// EnvelopeFor - sender from --sender or the first From address; recipients
// from --recipient or To and Cc (duplicates once), else kFallbackRecipient;
// source from --source or the bracketed address of the newest Received
// field, else kFallbackSource.
Envelope EnvelopeFor(std::string_view message, const EnvelopeOptions& options);

std::string FormatEnvelope(const Envelope& envelope);

}  // namespace replay
