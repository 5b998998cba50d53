#include "rating/scan.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "base/output.h"
#include "base/system.h"
#include "base/text.h"
#include "rating/envelope.h"
#include "rating/headers.h"
#include "rating/spamd_client.h"

namespace {

// Buffers up to this size stay with their thread for the next message.
constexpr size_t kKeptBufferSize = 256 * 1024;

// The room for "CHECK SPAMC/1.2\r\nContent-length: <20 digits>\r\n\r\n".
constexpr size_t kCheckHeaderSize = 64;

thread_local MessageText threadText;
thread_local std::vector<std::string_view> spamSources;
thread_local std::vector<std::string_view> spamTargets;

// ReportUnrated - one line for a reply that gave no rating, so that a spamd
// in trouble does not pass for a stream of clean mail.
void ReportUnrated(const char* path, int got, const char* reply)
{
    if (got == kWriteFailed)
        return;  // already reported
    if (got < 0)
        PrintMsg("* spamd gave no rating for %s: %s\n", path, "reading the reply failed");
    else if (got == 0)
        PrintMsg("* spamd gave no rating for %s: %s\n", path, "empty reply");
    else {
        std::string_view text(reply, static_cast<size_t>(got));
        text = text.substr(0, text.find_first_of("\r\n"));
        PrintMsg("* spamd gave no rating for %s: %s\n", path, ClipText(text).c_str());
    }
}

double SecondsBetween(const timeval& start, const timeval& end)
{
    const double seconds = static_cast<double>(end.tv_sec - start.tv_sec) +
                           static_cast<double>(end.tv_usec - start.tv_usec) / 1e6;
    return seconds > 0 ? seconds : 0;
}

ExchangeOutcome OutcomeOf(int got, const SpamdVerdict& verdict)
{
    if (got < 1)
        return ExchangeOutcome::Failed;
    return verdict.rated ? ExchangeOutcome::Ok : ExchangeOutcome::Error;
}

// RateMessage - everything between reading the file and the reply; fills
// the record of the message and tells the request's outcome.  False when the
// file does not exist at all: such a request is answered but not counted as
// handled in the statistics.
bool RateMessage(FileRequest& request, const Settings& settings, const whitelist& list, MessageRecord& record,
                 Counters& counters, RequestOutcome& outcome)
{
    outcome = RequestOutcome::Failed;
    unsigned long envelopeLength = 0;
    if (!ReadFile2(request.Path(), threadText, envelopeLength)) {
        const int error = errno;
        AnswerRequest(request, "FAILURE Unable to access file: %s, errno=%d\n", request.Path(), error);
        return access(request.Path(), F_OK) == 0;
    }
    const char* text = threadText.Data();
    if (CheckWhitelist(text, static_cast<int>(envelopeLength), request, settings, list)) {
        outcome = RequestOutcome::Whitelisted;
        return true;
    }

    // The body ends at the first NUL; only what is sent is counted.
    const char* body = text + envelopeLength;
    const size_t bodyLength = strnlen(body, threadText.Size() - envelopeLength);
    char header[kCheckHeaderSize];
    const int headerLength = snprintf(header, sizeof header, "CHECK SPAMC/1.2\r\nContent-length: %lu\r\n\r\n",
                                      static_cast<unsigned long>(bodyLength + 1));
    char reply[kReplyCapacity + 1];
    const timeval exchangeStart = NowPrecise();
    const int got = sendCommand(settings.socketPath,
                                {std::string_view(header, static_cast<size_t>(headerLength)),
                                 std::string_view(body, bodyLength), "\n"},
                                reply, kReplyCapacity);
    if (got == kWriteFailed)
        PrintMsg("* failed to send %s to spamd: %s\n", request.Path(), strerror(errno));

    const int sendError = errno;
    const SpamdVerdict verdict = ParseCheckReply(reply);
    counters.CountExchange(settings.socketPath, OutcomeOf(got, verdict), SecondsBetween(exchangeStart, NowPrecise()));
    errno = sendError;
    if (!verdict.rated)
        ReportUnrated(request.Path(), got, reply);
    const int rating = RatingOf(verdict.score, verdict.threshold);
    if (rating >= settings.alertLevel) {
        ParseEnvelope(text, static_cast<int>(envelopeLength), spamSources, spamTargets);
        record.spam = true;
        record.sources = &spamSources;
        record.targets = &spamTargets;
    }
    PrintResult(request, rating, settings);
    record.rating = rating;
    if (verdict.rated) {
        outcome = RequestOutcome::Rated;
        counters.CountRating(rating);
    }
    return true;
}

}  // namespace

char* MessageText::Reserve(size_t size)
{
    used = 0;
    if (capacity < size + 1) {
        bytes.reset();
        capacity = 0;
        bytes = std::make_unique_for_overwrite<char[]>(size + 1);
        capacity = size + 1;
    }
    bytes[0] = '\0';
    return bytes.get();
}

void MessageText::SetSize(size_t size)
{
    used = size;
    bytes[size] = '\0';
}

void MessageText::Trim()
{
    if (capacity > kKeptBufferSize) {
        bytes.reset();
        capacity = used = 0;
    }
}

void ScanFile(FileRequest& request, const Settings& settings, const whitelist& list, Statistics& statistics,
              Counters& counters)
{
    const timeval start = NowPrecise();
    MessageRecord record;
    bool counted = true;
    RequestOutcome outcome = RequestOutcome::Failed;
    try {
        counted = RateMessage(request, settings, list, record, counters, outcome);
    } catch (const std::bad_alloc&) {
        AnswerRequest(request, "FAILURE malloc error, errno=%d\n", ENOMEM);
        outcome = RequestOutcome::Failed;
    }
    const timeval end = NowPrecise();
    record.milliseconds = HandlingTime(start, end);
    if (counted)
        statistics.RecordMessage(record);
    counters.CountRequest(outcome);
    counters.CountHandling(SecondsBetween(start, end));
    threadText.Trim();
}

bool ReadFile2(const char* path, MessageText& text, unsigned long& envelopeLength)
{
    off_t size = 0;
    FileDescriptor file = OpenRegularFile(path, &size);
    if (!file.IsOpen())
        return false;
    const size_t wanted = std::min(static_cast<unsigned long>(std::max<off_t>(size, 0)), kReadLimit);
    char* buffer = text.Reserve(wanted);
    // A file that shrank meanwhile is rated on what is left of it.
    const long got = ReadUpTo(file.Get(), buffer, wanted);
    if (got < 0) {
        const int error = errno;
        file.Close();
        errno = error;
        return false;
    }
    text.SetSize(static_cast<size_t>(got));
    envelopeLength = FindEnvelopeLength(buffer);
    return true;
}

void ParseEnvelope(const char* text, int envelopeLength, std::vector<std::string_view>& sources,
                   std::vector<std::string_view>& targets)
{
    sources.clear();
    targets.clear();
    if (envelopeLength < 0)
        return;
    ForEachEnvelopeLine(text, static_cast<unsigned long>(envelopeLength), [&](std::string_view line) {
        if (line[0] == 'R') {
            if (const auto address = BracketedAddress(line))
                targets.push_back(*address);
        } else if (line[0] == 'S') {
            std::string_view source = line.size() > 2 ? line.substr(2) : std::string_view();
            if (source.ends_with('\r'))
                source.remove_suffix(1);
            sources.push_back(source);
        }
    });
}

int RatingOf(double score, double threshold)
{
    const double exact = 90.0 * score / threshold;
    // Without an int value (no score, no threshold, far out of range) the
    // rating is the lowest.
    int rating = INT_MIN;
    if (std::isfinite(exact) && exact > -2147483649.0 && exact < 2147483648.0)
        rating = static_cast<int>(exact);
    return std::clamp(rating, 0, 100);
}

uint64_t HandlingTime(const timeval& start, const timeval& end)
{
    const long long milliseconds = static_cast<long long>(end.tv_sec - start.tv_sec) * 1000 +
                                   static_cast<long long>(end.tv_usec - start.tv_usec) / 1000;
    // A clock set back during the scan gives 0 rather than an absurd time.
    return milliseconds > 0 ? static_cast<uint64_t>(milliseconds) : 0;
}
