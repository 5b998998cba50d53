// text - reading request lines and the small string utilities of header and
// report texts
//
// xfgetsFd           read one line from a descriptor (the command loop's only reader)
// xfgetsBuffered     the next whole line already read ahead, without reading
// EqualStringsNoCase compare, folding ASCII letters only
// bufConcat          append to a growing text
// SubstStr           replace every "^n" placeholder of one digit
// strnncpy           bounded copy that always terminates
// mkDate             the date text of report subjects, bodies and dump comments
// lmin, lmax         smaller and larger of two 64-bit values
// ClipText           outside input cut to a length fit for a diagnostic line
//
// Pure functions apart from the line reader (xfgetsFd, xfgetsBuffered), which
// keeps a read-ahead buffer per process and is used by the main thread alone.
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>
#include <string_view>

// xfgetsFd - read one line into buffer (at most size - 1 bytes kept, the
// rest of a longer line dropped up to its line feed); null at end of input or
// on a read error, a partial last line without a line feed is dropped.
// *waited, when given, tells whether the line did not lie in the read-ahead
// buffer already, *cut whether the line was longer than the buffer and lost
// its end.
char* xfgetsFd(char* buffer, int size, int fd, bool* waited = nullptr, bool* cut = nullptr);
// xfgetsBuffered - the next line that lies whole in the read-ahead buffer of
// the last descriptor read; null when there is none (a partial last line
// stays where it is).  The shutdown answers what was read but not handled.
char* xfgetsBuffered(char* buffer, int size, bool* cut = nullptr);

bool EqualStringsNoCase(const char* a, const char* b);

// bufConcat - append text (null changes nothing).
void bufConcat(std::string& buffer, const char* text);
// SubstStr - replace every "^n" by value (null counts as empty); inserted
// values are not scanned again.  Returns the buffer.
std::string& SubstStr(std::string& buffer, int n, const char* value);

// strnncpy - copy at most len - 1 characters, zero-fill the rest of len bytes.
char* strnncpy(char* destination, const char* source, int len);

// mkDate - "Thu, 1 Jan 2026 00:00:00": local time, thread-safe.
std::string mkDate(time_t t);

int64_t lmin(int64_t a, int64_t b);
int64_t lmax(int64_t a, int64_t b);

// ClipText - text as it stands when it has at most max characters, else its
// first max characters and "...": a settings file or a reply from outside
// can hold megabytes on one line, which no log line should repeat.
std::string ClipText(std::string_view text, size_t max = 300);

// AppendLogValue - a value from outside as a key=value log line may carry it:
// control bytes, the quote and the backslash as \xHH, a value holding a
// blank (or nothing) in double quotes, so that one field never reads as two.
void AppendLogValue(std::string& out, std::string_view value);
