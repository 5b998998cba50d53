// scan - the handling of one queued FILE request, from reading the message
// file to the reply
//
// ScanFile       read, whitelist, rate by spamd, reply, record and count
//                (scanning threads)
// ReadFile2      the first 1 MiB of a message file and its envelope length
// ParseEnvelope  the 'S' sources and 'R' recipients of a message
// RatingOf       spamd's score and threshold as a rating 0..100 (90 = threshold)
// HandlingTime   milliseconds between two clock readings
//
// ScanFile runs in every scanning thread at once, each on its own request,
// with no lock of its own; it records into the statistics once per message,
// and counts the request, its rating, its handling time and its exchange
// with spamd into the counters (the one place where spamd exchanges are counted).
// It is given the settings snapshot that the request started with and uses
// that one throughout, so a reload never changes a scan half-way.
//
// Every request gets exactly one reply through AnswerRequest: ADDHEADER for a
// rated or whitelisted message, "FAILURE Unable to access file" when the file
// cannot be opened or read or is no regular file, "FAILURE malloc error" when
// a buffer cannot be had.  With a farm of spamd hosts, a message that no host
// could rate is answered as OnUnavailable says: "REJECTED no spamd host could
// rate it, we'll try again later" (not counted: the host sends it again), the
// rating-0 headers, or the end of the process (status 1).  Without a farm the
// one spamd at SocketPath rates every message.  A template holding ^3 makes
// the request SYMBOLS instead of CHECK.  Diagnostics: "* failed to send %s to spamd: %s"
// when the request cannot be written, "* spamd gave no rating for %s: %s"
// when its reply is empty, failed or holds no verdict (the message is then
// rated 0), "* no spamd host could rate %s" when the farm could not.
#pragma once

#include <sys/time.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "config/settings.h"
#include "protocol/request.h"
#include "rating/spamd_farm.h"
#include "rating/whitelist.h"
#include "stats/counters.h"
#include "stats/statistics.h"

// At most this much of a message file is read and rated, envelope included.
constexpr unsigned long kReadLimit = 1048576;

// MessageText - the bytes read from a message file with a NUL behind them.
// A scanning thread keeps one for all its scans, so that the usual message
// costs no allocation.
class MessageText {
public:
    // Reserve - room for size bytes and the NUL (contents are not kept);
    // throws std::bad_alloc.
    char* Reserve(size_t size);
    void SetSize(size_t size);
    const char* Data() const { return bytes.get(); }
    size_t Size() const { return used; }
    // Trim - give back a buffer grown for an unusually large message.
    void Trim();

private:
    std::unique_ptr<char[]> bytes;
    size_t capacity = 0;
    size_t used = 0;
};

void ScanFile(FileRequest& request, const Settings& settings, const whitelist& list, Statistics& statistics,
              Counters& counters, SpamdFarm& farm);

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
uint64_t HandlingTime(const timeval& start, const timeval& end);
