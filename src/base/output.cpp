#include "base/output.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <mutex>

#include "base/system.h"

namespace {

// Lines wait in pending while one thread writes; that thread writes them too,
// so under load many replies leave in one write and wake the host once.
GuardedMutex printMutex;
Immortal<std::string> pending;  // guarded by printMutex
bool writing = false;           // guarded by printMutex
bool sealed = false;            // guarded by printMutex
std::atomic<bool> doDebug{false};
std::atomic<int> outputDescriptor{STDOUT_FILENO};

}  // namespace

void AppendFormatV(std::string& text, const char* format, va_list args)
{
    const size_t start = text.size();
    va_list copy;
    va_copy(copy, args);
    // Most texts fit the room the string already has; only longer ones format twice.
    size_t room = text.capacity() - start;
    if (room < 256)
        room = 256;
    text.resize(start + room);
    int n = vsnprintf(text.data() + start, room + 1, format, copy);
    va_end(copy);
    if (n < 0) {
        text.resize(start);
        return;
    }
    if (static_cast<size_t>(n) > room) {
        text.resize(start + static_cast<size_t>(n));
        vsnprintf(text.data() + start, static_cast<size_t>(n) + 1, format, args);
    }
    text.resize(start + static_cast<size_t>(n));
}

std::string FormatTextV(const char* format, va_list args)
{
    std::string text;
    AppendFormatV(text, format, args);
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

namespace {

void AppendLogLine(std::string& out, std::string_view line)
{
    if (!line.starts_with("* "))
        out += "* ";
    AppendEscaped(out, line);
    out += '\n';
}

void WriteText(std::string_view text)
{
    std::unique_lock lock(printMutex);
    if (sealed)
        return;
    pending->append(text);
    if (writing)
        return;
    writing = true;
    thread_local std::string batch;
    while (!pending->empty()) {
        batch.swap(*pending);
        lock.unlock();
        // A host that has gone away cannot be told anything more; the write error is ignored.
        (void)WriteAll(outputDescriptor.load(std::memory_order_relaxed), batch);
        batch.clear();
        lock.lock();
    }
    writing = false;
}

}  // namespace

void ReplyChannel::Write(std::string_view text) { WriteText(text); }

void AppendEscaped(std::string& out, std::string_view text)
{
    static constexpr char kHex[] = "0123456789abcdef";
    // Clean runs are appended whole: every reply passes through here.
    size_t clean = 0;
    for (size_t i = 0; i < text.size(); i++) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte >= 0x20 && byte != 0x7f)
            continue;
        out.append(text.substr(clean, i - clean));
        const char escaped[] = {'\\', 'x', kHex[byte >> 4], kHex[byte & 15]};
        out.append(escaped, sizeof escaped);
        clean = i + 1;
    }
    out.append(text.substr(clean));
}

void PrintLog(std::string_view line) { PrintLogLines({line}); }

void PrintLogLines(std::initializer_list<std::string_view> lines)
{
    std::string text;
    for (std::string_view line : lines) {
        if (line.ends_with('\n'))
            line.remove_suffix(1);
        AppendLogLine(text, line);
    }
    WriteText(text);
}

void PrintLines(std::string_view text)
{
    std::string out;
    while (!text.empty()) {
        const size_t end = text.find('\n');
        AppendLogLine(out, text.substr(0, end));
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    }
    WriteText(out);
}

void FlushOutput()
{
    // Bounded: a thread that crashed while writing never finishes its batch.
    for (int attempt = 0; attempt < 1000; attempt++) {
        {
            std::unique_lock lock(printMutex, std::try_to_lock);
            if (lock.owns_lock() && !writing && pending->empty())
                return;
        }
        usleep(1000);
    }
}

void SealOutput()
{
    // A scan that the shutdown stopped waiting for may still finish; its
    // line must not follow the last line the host reads.
    {
        std::lock_guard lock(printMutex);
        sealed = true;
    }
    FlushOutput();
}

void PrintMsg(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    const std::string text = FormatTextV(format, args);
    va_end(args);
    PrintLog(text);
}

void DebugMsg(const char* format, ...)
{
    if (!doDebug.load(std::memory_order_relaxed))
        return;
    va_list args;
    va_start(args, format);
    const std::string body = FormatTextV(format, args);
    va_end(args);
    // Debug texts carry the exchanges with spamd over several lines; each
    // keeps a line of its own, marked.
    PrintLines(body);
}

void SetDebug(bool on) { doDebug.store(on); }
bool DebugOn() { return doDebug.load(std::memory_order_relaxed); }

void SetOutputDescriptor(int fd) { outputDescriptor.store(fd); }
