// output - the one channel to the host: standard output
//
// PrintMsg   write one formatted text, whole
// DebugMsg   the same with a "* " mark on every line, only when debugging is on
// PrintRaw   write an already formatted text, whole
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
#pragma once

#include <cstdarg>
#include <string>
#include <string_view>

void PrintMsg(const char* format, ...) __attribute__((format(printf, 1, 2)));
void DebugMsg(const char* format, ...) __attribute__((format(printf, 1, 2)));
void PrintRaw(std::string_view text);
void FlushOutput();
void SealOutput();

std::string FormatText(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string FormatTextV(const char* format, va_list args) __attribute__((format(printf, 1, 0)));
// AppendFormatV - printf appended to text (no temporary string).
void AppendFormatV(std::string& text, const char* format, va_list args) __attribute__((format(printf, 2, 0)));

void SetDebug(bool on);
bool DebugOn();

void SetOutputDescriptor(int fd);
