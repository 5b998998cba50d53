// whitelist - sender address patterns ("whitelist.txt" in the working
// directory) whose mail is answered at once and never sent to spamd
//
// whitelist::Initialize  read the file once at start-up (the working
//                        directory's "whitelist.txt")
// whitelist::IsListed    does a pattern match the address (logs the pattern)
// wildcmp                whole-address match with '*' and '?', case ignored
// CheckWhitelist         is the message's sender whitelisted
// WhitelistLineProblem   why a line of the file can never match (the check)
//
// The top floor owns the one list.  It is filled before the scanning threads
// start and only read after, so they consult it without a lock.
//
// A sender longer than the 1022 characters compared is never whitelisted.
// The file must be a regular file (a link only if root or the plugin's user made it).
// Diagnostics: "* %d items read from %s" after reading the file (nothing when
// it does not exist, "* whitelist <path> not read: <why>" when it is refused
// or cannot be read), "* %s is whitelisted by %s" for every match, debug
// lines for every pattern read and every address checked.
#pragma once

#include <string>
#include <string_view>
#include <vector>


class whitelist {
public:
    whitelist() = default;
    ~whitelist() = default;

    void Initialize();
    // InitializeFrom - read the patterns of a given file instead of the
    // list held so far; an unreadable file leaves the list as it is.
    void InitializeFrom(const std::string& path);
    bool IsListed(const char* address) const;
    // Clear - forget every pattern (tests).
    void Clear() { patterns.clear(); }
    size_t Size() const { return patterns.size(); }
    const std::vector<std::string>& Patterns() const { return patterns; }

private:
    std::vector<std::string> patterns;  // lower case, in file order
};

// wildcmp - 1 when the whole address matches the whole (lower-case) pattern.
int wildcmp(const char* pattern, const char* address);
// CheckWhitelist - true when the envelope's sender matches a pattern.
bool CheckWhitelist(const char* text, int envelopeLength, const whitelist& list);

// WhitelistLineProblem - for a line as the reader keeps it (comments, empty
// lines and line ends already dropped): why it can never match a sender, or
// empty when it can.
std::string WhitelistLineProblem(std::string_view line);
