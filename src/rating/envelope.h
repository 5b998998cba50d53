// envelope - the host's lines ahead of the message in a queued message file
//
// FindEnvelopeLength   where the envelope ends (0: no envelope)
// ForEachEnvelopeLine  visit every non-empty envelope line
// BracketedAddress     the text between a line's angle brackets
// SenderOfEnvelope     the sender address (the whitelist's and rspamd's)
// ReadEnvelopeAddresses  sender, recipients and source address of a message
//
// An envelope line is a capital letter, a blank and text: 'P' the sender,
// 'R' a recipient, 'S' the message's source.  The envelope is read line by
// line from the start of the file and ends with the first empty line, so
// nothing in the message itself can pass for an envelope line.  Pure
// functions, called by every scanning thread.
#pragma once

#include <functional>
#include <optional>
#include <string_view>
#include <vector>

// FindEnvelopeLength - the length of the envelope lines and the empty line
// (bare or CRLF) that ends them; 0 when a line before the empty line is not
// an envelope line, or no empty line comes before the end of the text (its
// first NUL).
unsigned long FindEnvelopeLength(const char* text);

// ForEachEnvelopeLine - each line of text[0, envelopeLength) that is not
// empty, without its line feed.
void ForEachEnvelopeLine(const char* text, unsigned long envelopeLength,
                         const std::function<void(std::string_view line)>& visit);

// BracketedAddress - the characters between the first '<' behind the line's
// first two characters and the first '>' after it; nothing when either is
// missing from the line.
std::optional<std::string_view> BracketedAddress(std::string_view line);

// SenderOfEnvelope - the address of the last 'P' line with at least two
// characters between its angle brackets, whole; empty if there is none.
std::string_view SenderOfEnvelope(const char* text, unsigned long envelopeLength);

// EnvelopeAddresses - views into a message's text.
struct EnvelopeAddresses {
    std::string_view sender;                   // as SenderOfEnvelope
    std::vector<std::string_view> recipients;  // every 'R' line's bracketed address
    std::string_view sourceIp;                 // between the brackets of the 'S' line ("S SMTP [192.0.2.7]")
};
void ReadEnvelopeAddresses(const char* text, unsigned long envelopeLength, EnvelopeAddresses& addresses);
