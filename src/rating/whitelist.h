// whitelist - sender address patterns ("whitelist.txt" in the working
// directory) whose mail is answered at once and never sent to spamd
//
// whitelist::Initialize  read the file at start-up (the working directory's
//                        "whitelist.txt"); a file that cannot be read gives
//                        an empty list, quietly
// whitelist::Reload      read it again (reload): a file that cannot be read
//                        keeps the list in force, with a line that says so
// whitelist::IsListed    does a pattern match the address (logs the pattern)
// wildcmp                whole-address match with '*' and '?', case ignored
// CheckWhitelist         is the message's sender whitelisted
// WhitelistLineProblem   why a line of the file can never match (the check)
//
// The top floor owns the one list.  The patterns are an immutable snapshot
// that a read replaces whole, so a scan still running during a reload keeps
// the list it began with and never sees half a file.
//
// A sender longer than the 1022 characters compared is never whitelisted.
// The file must be a regular file (a link only if root or the plugin's user made it).
// Diagnostics: "* %d items read from %s" after reading the file (nothing when
// it does not exist at start-up, "* whitelist <path> not read: <why>" when it
// is refused or cannot be read), "* whitelist %s cannot be read (%s), its %d
// pattern(s) in force stay" when a reload cannot read it, "* %s is
// whitelisted by %s" for every match, debug lines for every pattern read and
// every address checked.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <string_view>
#include <vector>


class whitelist {
public:
    using PatternList = std::vector<std::string>;  // lower case, in file order

    whitelist() = default;
    ~whitelist() = default;

    void Initialize();
    void Reload();
    // InitializeFrom - read the patterns of a given file instead of the list
    // held so far; false (errno set) when the file cannot be read, and the
    // list stays as it is.
    bool InitializeFrom(const std::string& path);
    bool IsListed(const char* address) const;
    size_t Size() const { return Patterns()->size(); }
    std::shared_ptr<const PatternList> Patterns() const { return patterns.load(); }

private:
    std::atomic<std::shared_ptr<const PatternList>> patterns{std::make_shared<const PatternList>()};
};

// wildcmp - 1 when the whole address matches the whole (lower-case) pattern.
int wildcmp(const char* pattern, const char* address);
// CheckWhitelist - true when the envelope's sender matches a pattern.
bool CheckWhitelist(const char* text, int envelopeLength, const whitelist& list);

// WhitelistLineProblem - for a line as the reader keeps it (comments, empty
// lines and line ends already dropped): why it can never match a sender, or
// empty when it can.
std::string WhitelistLineProblem(std::string_view line);
