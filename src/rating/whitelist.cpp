#include "rating/whitelist.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "base/files.h"
#include "base/output.h"
#include "base/system.h"
#include "base/text.h"
#include "config/paths.h"
#include "rating/envelope.h"

namespace {

constexpr int kLineBufferSize = 1024;
constexpr size_t kMinPatternLength = 3;
constexpr size_t kMaxAddressLength = 1022;

struct FileCloser {
    void operator()(FILE* file) const { fclose(file); }
};

char Lower(char c) { return static_cast<char>(tolower(static_cast<unsigned char>(c))); }

}  // namespace

void whitelist::Initialize()
{
    const std::string path = WhitelistPath();
    if (!InitializeFrom(path) && errno != ENOENT)
        PrintMsg("* whitelist %s not read: %s\n", path.c_str(), FileRefusal(errno).c_str());
}

void whitelist::Reload()
{
    const std::string path = WhitelistPath();
    if (!InitializeFrom(path))
        PrintMsg("* whitelist %s cannot be read (%s), its %d pattern(s) in force stay\n", path.c_str(),
                 FileRefusal(errno).c_str(), static_cast<int>(Size()));
}

bool whitelist::InitializeFrom(const std::string& path)
{
    // A FIFO or device in place of the file would hold the start-up in
    // open(); a link would have it read a file of someone else's choice.
    FileDescriptor fd = OpenOwnFile(path.c_str());
    if (!fd.IsOpen())
        return false;
    const std::unique_ptr<FILE, FileCloser> file(fdopen(fd.Get(), "r"));
    if (!file)
        return false;
    fd.Release();
    auto next = std::make_shared<PatternList>();
    char line[kLineBufferSize];
    while (fgets(line, sizeof line, file.get()) != nullptr) {
        if (line[0] == '#')
            continue;
        line[strcspn(line, "\r")] = '\0';
        line[strcspn(line, "\n")] = '\0';
        if (line[0] == '\0')
            continue;
        for (char* c = line; *c != '\0'; c++)
            *c = Lower(*c);
        if (strlen(line) < kMinPatternLength)
            continue;
        next->emplace_back(line);
        DebugMsg("whitelisted: %s\n", line);
    }
    // A read that failed half-way would leave only part of the list.
    if (ferror(file.get()))
        return false;
    const int count = static_cast<int>(next->size());
    patterns.store(std::move(next));
    PrintMsg("* %d items read from %s\n", count, path.c_str());
    return true;
}

bool whitelist::IsListed(const char* address) const
{
    const std::shared_ptr<const PatternList> list = Patterns();
    for (const std::string& pattern : *list) {
        if (wildcmp(pattern.c_str(), address)) {
            PrintMsg("* %s is whitelisted by %s\n", address, pattern.c_str());
            return true;
        }
    }
    return false;
}

int wildcmp(const char* pattern, const char* address)
{
    // Only the last star is returned to, which is enough for '*' and '?';
    // the work is bounded by the product of the two lengths.
    const char* starNext = nullptr;   // pattern position just after the last star
    const char* restart = nullptr;    // address position to retry that star from
    while (*address != '\0' && *pattern != '*') {
        if (*pattern != '?' && *pattern != Lower(*address))
            return 0;
        pattern++;
        address++;
    }
    while (*address != '\0') {
        if (*pattern == '*') {
            if (*++pattern == '\0')
                return 1;
            starNext = pattern;
            restart = address + 1;
        } else if (*pattern == '?' || *pattern == Lower(*address)) {
            pattern++;
            address++;
        } else {
            pattern = starNext;
            address = restart++;
        }
    }
    while (*pattern == '*')
        pattern++;
    return *pattern == '\0' ? 1 : 0;
}

bool CheckWhitelist(const char* text, int envelopeLength, const whitelist& list)
{
    if (list.Size() == 0 || envelopeLength <= 0)
        return false;
    const std::string sender(SenderOfEnvelope(text, static_cast<unsigned long>(envelopeLength)));
    // A cut address is another address: its tail could name a trusted domain.
    if (sender.empty() || sender.size() > kMaxAddressLength)
        return false;
    DebugMsg("checking whitelist for %s\n", sender.c_str());
    return list.IsListed(sender.c_str());
}

std::string WhitelistLineProblem(std::string_view line)
{
    if (line.size() < kMinPatternLength)
        return "is shorter than 3 characters and is ignored";
    if (line.size() > kMaxAddressLength)
        return "is longer than 1022 characters, the longest sender address compared";
    if (line.find_first_of(" \t<>") != std::string_view::npos)
        return "holds a blank or an angle bracket, which no sender address holds";
    return std::string();
}
