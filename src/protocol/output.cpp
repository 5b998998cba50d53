#include "protocol/output.h"

#include <unistd.h>

#include <cstdarg>
#include <cstdio>

PluginMutex printMutex;
std::atomic<bool> doDebug{false};

namespace {
std::atomic<int> outputDescriptor{STDOUT_FILENO};
}

std::string FormatTextV(const char* format, va_list args)
{
    char small[512];
    va_list copy;
    va_copy(copy, args);
    int n = vsnprintf(small, sizeof small, format, copy);
    va_end(copy);
    if (n < 0)
        return std::string();
    if (static_cast<size_t>(n) < sizeof small)
        return std::string(small, static_cast<size_t>(n));
    std::string text(static_cast<size_t>(n), '\0');
    vsnprintf(text.data(), text.size() + 1, format, args);
    return text;
}

std::string FormatText(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::string text = FormatTextV(format, args);
    va_end(args);
    return text;
}

void PrintRaw(std::string_view text)
{
    PluginLock lock(printMutex);
    // A host that has gone away cannot be told anything more; the write error is ignored.
    (void)WriteAll(outputDescriptor.load(std::memory_order_relaxed), text);
}

void PrintMsg(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::string text = FormatTextV(format, args);
    va_end(args);
    PrintRaw(text);
}

void DebugMsg(const char* format, ...)
{
    if (!doDebug.load(std::memory_order_relaxed))
        return;
    va_list args;
    va_start(args, format);
    const std::string body = FormatTextV(format, args);
    va_end(args);
    // Debug texts may carry message content over several lines; every line
    // gets the diagnostic mark so that none can pass for a reply to the host.
    std::string text = "* ";
    for (size_t i = 0; i < body.size(); i++) {
        text += body[i];
        if (body[i] == '\n' && i + 1 < body.size())
            text += "* ";
    }
    PrintRaw(text);
}

void SetOutputDescriptor(int fd) { outputDescriptor.store(fd); }
