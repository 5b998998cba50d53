// scan - the handling of one queued FILE request, from reading the message
// file to what its answer is
//
// Scanner::Scan   read the file, ask the whitelist, have the farm rate the
//                 message; the result says what the answer is (scanning threads)
// ScanBuffers     a scanning thread's buffers, kept from one message to the next
// ReadFile2       the first 1 MiB of a message file and its envelope length
// ParseEnvelope   the 'S' sources and 'R' recipients of a message
// RatingOf        an engine's score and threshold as a rating 0..100 (90 = threshold)
// SpamdUserOf     the User header for spamd of a message
//
// The scan writes no reply: the top floor answers the request from the
// result, records it and applies OnUnavailable.  Scan runs in every scanning
// thread at once, each on its own request, with no lock of its own; it is
// given the settings snapshot that the request started with and uses that
// one throughout, so a reload never changes a scan half-way.  The farm
// records every exchange it makes.
//
// Diagnostics: "* spamd gave no rating for <path>: <why>" ("rspamd gave ..."
// when the engine asked last was an rspamd) when no engine gave a verdict
// (the message is then answered with rating 0).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "config/settings.h"
#include "protocol/request.h"
#include "rating/headers.h"
#include "rating/engine_farm.h"
#include "rating/whitelist.h"
#include "stats/recorder.h"
#include "stats/statistics.h"

// At most this much of a message file is read and rated, envelope included.
constexpr unsigned long kReadLimit = 1048576;

// MessageText - the bytes read from a message file with a NUL behind them.
class MessageText {
public:
    // Reserve - room for size bytes and the NUL (contents are not kept); a
    // buffer grown for an unusually large message shrinks again.  Throws
    // std::bad_alloc.
    char* Reserve(size_t size);
    void SetSize(size_t size);
    const char* Data() const { return bytes.get(); }
    size_t Size() const { return used; }

private:
    std::unique_ptr<char[]> bytes;
    size_t capacity = 0;
    size_t used = 0;
};

// ScanBuffers - everything a scanning thread keeps from one message to the
// next, so that the usual message costs no allocation: the message text, the
// views of its sources and recipients, the exchange's request head and
// reply, the engine's answer and the header text of the reply.  One per
// thread (ForThisThread); only its own thread touches it.
struct ScanBuffers {
    MessageText text;
    std::vector<std::string_view> sources;
    std::vector<std::string_view> targets;
    ExchangeBuffers exchange;
    FarmAnswer answer;
    std::string headers;

    static ScanBuffers& ForThisThread();
};

enum class ScanVerdict {
    Rated,        // an engine rated the message
    Whitelisted,  // the sender is whitelisted
    Unrated,      // no engine gave a verdict (the rating-0 headers)
    Unavailable,  // no engine host could be asked
    Unreachable,  // the file cannot be read (FAILURE)
    NoMemory,     // a buffer could not be had (FAILURE)
};

// ScanResult - what the answer of a request is; its views point into the
// thread's ScanBuffers.
struct ScanResult {
    ScanVerdict verdict = ScanVerdict::Unreachable;
    int rating = 0;         // Rated
    VerdictText words;      // Rated: the engine's words for ^3, ^4, ^5
    int error = 0;          // Unreachable, NoMemory: the system's error number
    bool fileExists = true;  // false: the request is not counted in the statistics
    MessageRecord record;   // what the statistics count (rating, spam sources and recipients)
    // For the result line: the engines' answer (null when none was asked),
    // the message's size without the envelope and its envelope sender.
    const FarmAnswer* answer = nullptr;
    size_t size = 0;
    std::string_view sender;
};

class Scanner {
public:
    Scanner(const whitelist& senders, EngineFarm& farm, Recorder& recorder)
        : senders(senders), farm(farm), recorder(recorder)
    {
    }

    // Scan - until: the engines' exchanges end by then.
    ScanResult Scan(const FileRequest& request, const Settings& settings,
                    MonotonicClock::time_point until = MonotonicClock::time_point::max());

private:
    const whitelist& senders;
    EngineFarm& farm;
    Recorder& recorder;
};

// ReadFile2 - false (errno set, envelopeLength untouched) when the file
// cannot be opened, is no regular file, or its bytes cannot be read.  Throws
// std::bad_alloc when the buffer cannot be had.
bool ReadFile2(const char* path, MessageText& text, unsigned long& envelopeLength);

// ParseEnvelope - the sources ('S' lines, without a trailing CR) and the
// bracketed recipients ('R' lines), as views into text.
void ParseEnvelope(const char* text, int envelopeLength, std::vector<std::string_view>& sources,
                   std::vector<std::string_view>& targets);
int RatingOf(double score, double threshold);
// SpamdUserOf - the User header's name for a message: none, the envelope's
// only recipient ("recipient"), or the name set (pure).
std::string_view SpamdUserOf(const std::string& user, const char* text, int envelopeLength);
