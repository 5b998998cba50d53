// whitelist - sender address patterns ("whitelist.txt") whose mail is not rated
//
// whitelist::Initialize  read the file once at start-up
// whitelist::IsListed    does a pattern match the address
// wildcmp                '*' and '?' matching, case ignored
// CheckWhitelist         answer a whitelisted message at once
//
// The list is filled before the scanning threads start and only read after.
#pragma once

#include <string>
#include <vector>

#include "config/settings.h"
#include "protocol/request.h"

class whitelist {
public:
    whitelist() = default;
    ~whitelist() = default;

    void Initialize();
    // InitializeFrom - read the patterns of a given file (tests).
    void InitializeFrom(const std::string& path);
    bool IsListed(const char* address) const;
    size_t Size() const { return patterns.size(); }

private:
    std::vector<std::string> patterns;
};

// The one instance; the class stays reachable as "class whitelist".
extern class whitelist whitelist;

int wildcmp(const char* pattern, const char* address);
// SenderOfEnvelope - the address in the last usable 'P' line, empty if none.
std::string SenderOfEnvelope(const char* text, int envelopeLength);
bool CheckWhitelist(const char* text, int envelopeLength, queueItem_t& item, const Settings& settings);
