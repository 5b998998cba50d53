// output - the one channel to the host: standard output
//
// PrintMsg   write one formatted text, whole, under printMutex
// DebugMsg   the same with a "* " mark, only when debugging is on
// PrintRaw   write an already formatted text, whole, under printMutex
//
// Every line that the plugin writes goes through here, from any thread, so a
// reply is never split by another thread's line.  printMutex is the innermost
// lock: nothing else is locked while it is held.  Lines are formatted before
// the lock is taken; the lock guards only the write itself.
#pragma once

#include <atomic>
#include <cstdarg>
#include <string>
#include <string_view>

#include "protocol/system.h"

extern PluginMutex printMutex;
extern std::atomic<bool> doDebug;

void PrintMsg(const char* format, ...) __attribute__((format(printf, 1, 2)));
void DebugMsg(const char* format, ...) __attribute__((format(printf, 1, 2)));
void PrintRaw(std::string_view text);

// FormatText - printf into a std::string.
std::string FormatText(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string FormatTextV(const char* format, va_list args);

// SetOutputDescriptor - where the channel writes (standard output; tests
// may point it at a pipe).
void SetOutputDescriptor(int fd);
