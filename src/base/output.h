// output - the one channel to the host: standard output
//
// PrintMsg   write one log line, formatted printf style
// PrintLog   write one log line; PrintLogLines several, in one write
// PrintLines write a text of several lines, each a log line of its own
// DebugMsg   PrintLines of a formatted text, only when debugging is on
// AppendEscaped  a text with its control bytes spelled "\x0a" (pure)
// ReplyChannel   the raw writer, open to the reply formatter alone
// FlushOutput wait until every text handed over is written (before an exit)
// SealOutput  write nothing more: the shutdown's last line has gone out
// FormatText printf into a std::string
// SetDebug, DebugOn      the "-debug" switch
// SetOutputDescriptor    where the channel writes (tests point it at a pipe)
//
// Every line that the plugin writes goes through here, from any thread, so a
// reply is never split by another thread's line, and lines leave in the order
// they were handed over.  While one thread writes, others append their lines
// and return; the writing thread writes those too.  The channel's lock is its
// own and the innermost: nothing else is locked while it is held, and it is
// never held across the write itself.
//
// The host reads a line that starts with "* " as a diagnostic and any other
// line as the answer to the request whose id it starts with.  So a log line
// always leaves as one line that starts with "* ", whatever its text holds:
// one line feed at its end is dropped, the mark is added unless the text
// has it, and every byte below 0x20 and 0x7f inside is written escaped (a
// peer's "bad\n77 OK" stays on the one line).  Only the reply formatter
// writes lines without the mark.
#pragma once

#include <cstdarg>
#include <initializer_list>
#include <string>
#include <string_view>

void PrintMsg(const char* format, ...) __attribute__((format(printf, 1, 2)));
void DebugMsg(const char* format, ...) __attribute__((format(printf, 1, 2)));
void PrintLog(std::string_view line);
void PrintLogLines(std::initializer_list<std::string_view> lines);
// PrintLines - a line feed ends each line; the text's last line feed ends the last one.
void PrintLines(std::string_view text);
void AppendEscaped(std::string& out, std::string_view text);
void FlushOutput();
void SealOutput();

std::string FormatText(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string FormatTextV(const char* format, va_list args) __attribute__((format(printf, 1, 0)));
// AppendFormatV - printf appended to text (no temporary string).
void AppendFormatV(std::string& text, const char* format, va_list args) __attribute__((format(printf, 2, 0)));

void SetDebug(bool on);
bool DebugOn();

void SetOutputDescriptor(int fd);

// ReplyChannel - writes a reply line as it stands.  Its one user is the reply
// formatter (protocol/replies), which escapes what it puts in the line.
class ReplyChannel {
    friend class ReplyWriter;
    static void Write(std::string_view text);
};
