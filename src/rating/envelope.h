// envelope - the host's lines ahead of the message in a queued message file
//
// FindEnvelopeLength   where the envelope ends (0: no envelope)
// ForEachEnvelopeLine  visit every non-empty envelope line
// BracketedAddress     the text between a line's angle brackets
//
// An envelope line is a capital letter, a blank and text: 'P' the sender,
// 'R' a recipient, 'S' the message's source.  The envelope ends with the
// first empty line.  Pure functions, called by every scanning thread.
#pragma once

#include <functional>
#include <optional>
#include <string_view>

// FindEnvelopeLength - for a text that starts with a capital letter and a
// blank: the offset of the first "\n\n" plus 2 or, when there is none, of the
// first "\r\n\r\n" plus 4; otherwise 0.  The search stops at the first NUL.
unsigned long FindEnvelopeLength(const char* text);

// ForEachEnvelopeLine - each line of text[0, envelopeLength) that is not
// empty, without its line feed.
void ForEachEnvelopeLine(const char* text, unsigned long envelopeLength,
                         const std::function<void(std::string_view line)>& visit);

// BracketedAddress - the characters between the first '<' behind the line's
// first two characters and the first '>' after it; nothing when either is
// missing from the line.
std::optional<std::string_view> BracketedAddress(std::string_view line);
