// fuzz_support - what every fuzz target checks, and how it reports a
// violation (abort, so that libFuzzer keeps the input).  The output channel
// writes into a memory file, debugging on, so that every log and reply line
// that an input reaches is looked at: CheckChannel wants each line to be
// "* ..." or the one answer of an id sent (which goes back as it came),
// without a control byte.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <string_view>

#include "base/output.h"

#define FUZZ_CHECK(condition) ((condition) ? (void)0 : FuzzFail(#condition, __FILE__, __LINE__))

[[noreturn]] inline void FuzzFail(const char* condition, const char* file, int line)
{
    fprintf(stderr, "property violated: %s (%s:%d)\n", condition, file, line);
    abort();
}

// Inside - is a view part of a text (an empty view always is).
inline bool Inside(std::string_view part, std::string_view whole)
{
    return part.empty() || (part.data() >= whole.data() && part.data() + part.size() <= whole.data() + whole.size());
}

// TakeChannel - what the channel wrote since the last call (the first call starts the capture).
inline std::string TakeChannel()
{
    static const int fd = [] {
        const int memory = memfd_create("channel", 0);
        SetOutputDescriptor(memory);
        SetDebug(true);
        return memory;
    }();
    std::string text(static_cast<size_t>(lseek(fd, 0, SEEK_CUR)), '\0');
    FUZZ_CHECK(pread(fd, text.data(), text.size(), 0) == static_cast<ssize_t>(text.size()));
    FUZZ_CHECK(ftruncate(fd, 0) == 0 && lseek(fd, 0, SEEK_SET) == 0);
    return text;
}

inline void CheckChannel(std::string_view text, std::set<std::string> ids = {})
{
    FUZZ_CHECK(text.empty() || text.back() == '\n');
    while (!text.empty()) {
        const std::string_view line = text.substr(0, text.find('\n'));
        text.remove_prefix(line.size() + 1);
        const size_t id = line.starts_with("* ") ? 0 : std::min(line.find(' '), line.size());
        FUZZ_CHECK(id == 0 || ids.erase(std::string(line.substr(0, id))) == 1);
        for (char c : line.substr(id))
            FUZZ_CHECK(static_cast<unsigned char>(c) >= 0x20 && c != 0x7f);
    }
}

// NextPart - the text up to the next NUL, for targets fed several texts.
inline std::string_view NextPart(std::string_view& rest)
{
    const std::string_view part = rest.substr(0, rest.find('\0'));
    rest.remove_prefix(std::min(rest.size(), part.size() + 1));
    return part;
}

inline std::string_view InputText(const uint8_t* data, size_t size) { return {reinterpret_cast<const char*>(data), size}; }
