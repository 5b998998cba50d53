#include "base/text.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

// Request lines arrive in bursts; reading them a block at a time instead of a
// byte at a time changes nothing the host can see (lines, cuts and the end of
// input stay the same) and saves one system call per byte.
struct LineReader {
    int fd = -1;
    char block[65536];
    size_t begin = 0;
    size_t end = 0;

    // Next byte, or -1 at end of input or on a read error.
    int Next(int from)
    {
        if (from != fd) {
            fd = from;
            begin = end = 0;
        }
        if (begin == end) {
            ssize_t n;
            do {
                n = ::read(fd, block, sizeof block);
            } while (n < 0 && errno == EINTR);
            if (n <= 0)
                return -1;
            begin = 0;
            end = static_cast<size_t>(n);
        }
        return static_cast<unsigned char>(block[begin++]);
    }
};

LineReader lineReader;

}  // namespace

namespace {

// CopyLine - keep what fits of a line, terminated; tell whether it was cut.
void CopyLine(char* buffer, int size, const char* line, size_t length, bool* cut)
{
    const size_t room = size > 0 ? static_cast<size_t>(size - 1) : 0;
    const size_t kept = length < room ? length : room;
    memcpy(buffer, line, kept);
    if (size > 0)
        buffer[kept] = '\0';
    if (cut != nullptr)
        *cut = kept < length;
}

}  // namespace

char* xfgetsFd(char* buffer, int size, int fd, bool* waited, bool* cut)
{
    if (waited != nullptr)
        *waited = lineReader.fd != fd || lineReader.begin == lineReader.end;
    int kept = 0;
    bool dropped = false;
    for (;;) {
        int c = lineReader.Next(fd);
        if (c < 0)
            return nullptr;
        if (c == '\n')
            break;
        if (kept < size - 1)
            buffer[kept++] = static_cast<char>(c);
        else
            dropped = true;
    }
    if (size > 0)
        buffer[kept] = '\0';
    if (cut != nullptr)
        *cut = dropped;
    return buffer;
}

char* xfgetsBuffered(char* buffer, int size, bool* cut)
{
    const char* begin = lineReader.block + lineReader.begin;
    const void* end = memchr(begin, '\n', lineReader.end - lineReader.begin);
    if (end == nullptr)
        return nullptr;
    const size_t length = static_cast<size_t>(static_cast<const char*>(end) - begin);
    CopyLine(buffer, size, begin, length, cut);
    lineReader.begin += length + 1;
    return buffer;
}

bool EqualStringsNoCase(const char* a, const char* b)
{
    for (; *a != '\0'; a++, b++) {
        unsigned char ca = static_cast<unsigned char>(*a);
        unsigned char cb = static_cast<unsigned char>(*b);
        if (ca == cb)
            continue;
        unsigned char upper = static_cast<unsigned char>(ca & ~0x20);
        if ((ca ^ cb) != 0x20 || upper < 'A' || upper > 'Z')
            return false;
    }
    return *b == '\0';
}

void bufConcat(std::string& buffer, const char* text)
{
    if (text != nullptr)
        buffer += text;
}

std::string& SubstStr(std::string& buffer, int n, const char* value)
{
    const char placeholder[3] = {'^', static_cast<char>('0' + n), '\0'};
    const size_t valueLength = value ? strlen(value) : 0;
    size_t pos = 0;
    while ((pos = buffer.find(placeholder, pos, 2)) != std::string::npos) {
        buffer.replace(pos, 2, value ? value : "", valueLength);
        pos += valueLength;
    }
    return buffer;
}

char* strnncpy(char* destination, const char* source, int len)
{
    if (len < 1)
        return destination;
    strncpy(destination, source, static_cast<size_t>(len - 1));
    destination[len - 1] = '\0';
    return destination;
}

int64_t lmin(int64_t a, int64_t b) { return a < b ? a : b; }
int64_t lmax(int64_t a, int64_t b) { return a > b ? a : b; }

std::string mkDate(time_t t)
{
    static const char* const days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    tm local{};
    localtime_r(&t, &local);
    char text[64];
    snprintf(text, sizeof text, "%s, %d %s %d %02d:%02d:%02d", days[local.tm_wday % 7], local.tm_mday,
             months[local.tm_mon % 12], local.tm_year + 1900, local.tm_hour, local.tm_min, local.tm_sec);
    return text;
}

std::string ClipText(std::string_view text, size_t max)
{
    if (text.size() <= max)
        return std::string(text);
    std::string clipped(text.substr(0, max));
    clipped += "...";
    return clipped;
}

void AppendLogValue(std::string& out, std::string_view value)
{
    const bool quoted = value.empty() || value.find(' ') != std::string_view::npos;
    if (quoted)
        out += '"';
    for (char c : value) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f || c == '"' || c == '\\') {
            char escaped[8];
            snprintf(escaped, sizeof escaped, "\\x%02x", byte);
            out += escaped;
        } else {
            out += c;
        }
    }
    if (quoted)
        out += '"';
}
