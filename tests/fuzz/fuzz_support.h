// fuzz_support - the properties every fuzz target checks, and how a target
// reports a violation (abort, so that libFuzzer keeps the input)
//
// FUZZ_CHECK     abort with the condition's text when it does not hold
// Inside         is a view part of a text (an empty view always is)
// TakeChannel    what the output channel wrote since the last call
// CheckChannel   every line is "* ..." or the one answer of an id sent
// Escaped        an id as a reply line spells it
// NextPart       the text up to the next NUL, for targets fed several texts
//
// The output channel writes into a memory file here, with debugging on, so
// that every log and reply line that a parser's input reaches is looked at.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <string_view>

#include "base/output.h"

#define FUZZ_CHECK(condition) \
    ((condition) ? (void)0 : FuzzFail(#condition, __FILE__, __LINE__))

[[noreturn]] inline void FuzzFail(const char* condition, const char* file, int line)
{
    fprintf(stderr, "property violated: %s (%s:%d)\n", condition, file, line);
    abort();
}

inline bool Inside(std::string_view part, std::string_view whole)
{
    return part.empty() || (part.data() >= whole.data() && part.data() + part.size() <= whole.data() + whole.size());
}

inline int ChannelFile()
{
    static const int fd = [] {
        const int memory = memfd_create("channel", 0);
        FUZZ_CHECK(memory >= 0);
        SetOutputDescriptor(memory);
        SetDebug(true);
        return memory;
    }();
    return fd;
}

inline std::string TakeChannel()
{
    const int fd = ChannelFile();
    const off_t size = lseek(fd, 0, SEEK_CUR);
    std::string text(static_cast<size_t>(size), '\0');
    FUZZ_CHECK(pread(fd, text.data(), text.size(), 0) == size);
    FUZZ_CHECK(ftruncate(fd, 0) == 0 && lseek(fd, 0, SEEK_SET) == 0);
    return text;
}

inline std::string Escaped(std::string_view id)
{
    std::string out;
    AppendEscaped(out, id);
    return out;
}

// CheckChannel - call TakeChannel() first thing in a target (it starts the
// capture), then this on what the target made the channel write.
inline void CheckChannel(std::string_view text, std::set<std::string> ids = {})
{
    FUZZ_CHECK(text.empty() || text.back() == '\n');
    while (!text.empty()) {
        const std::string_view line = text.substr(0, text.find('\n'));
        text.remove_prefix(line.size() + 1);
        for (char c : line)
            FUZZ_CHECK(static_cast<unsigned char>(c) >= 0x20 && c != 0x7f);
        if (line.starts_with("* "))
            continue;
        // A reply: its id was sent, and is answered only once.
        FUZZ_CHECK(ids.erase(std::string(line.substr(0, line.find(' ')))) == 1);
    }
}

inline std::string_view NextPart(std::string_view& rest)
{
    const size_t end = rest.find('\0');
    const std::string_view part = rest.substr(0, end);
    rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
    return part;
}

inline std::string_view InputText(const uint8_t* data, size_t size)
{
    return {reinterpret_cast<const char*>(data), size};
}
