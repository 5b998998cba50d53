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

thread_local MessageText threadText;
thread_local std::vector<std::string_view> spamSources;
thread_local std::vector<std::string_view> spamTargets;
thread_local std::string requestHeader;
thread_local std::string ruleNames;

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

// AnswerUnavailable - no host of the farm could rate the message; true when
// the message counts as handled.
bool AnswerUnavailable(FileRequest& request, const Settings& settings, MessageRecord& record,
                       RequestOutcome& outcome)
{
    switch (settings.spamd.onUnavailable) {
    case OnUnavailableMode::Neutral:
        PrintMsg("* no spamd host could rate %s, answered with rating 0\n", request.Path());
        PrintResult(request, 0, settings);
        record.rating = 0;
        return true;
    case OnUnavailableMode::Exit:
        PrintMsg("* no spamd host could rate %s, we'll quit\n", request.Path());
        ExitProcess(1);
    case OnUnavailableMode::Reject:
        break;
    }
    PrintMsg("* no spamd host could rate %s\n", request.Path());
    AnswerRequest(request, "REJECTED no spamd host could rate it, we'll try again later\n");
    outcome = RequestOutcome::Rejected;
    return false;
}

double SecondsBetween(const timeval& start, const timeval& end)
{
    const double seconds = static_cast<double>(end.tv_sec - start.tv_sec) +
                           static_cast<double>(end.tv_usec - start.tv_usec) / 1e6;
    return seconds > 0 ? seconds : 0;
}

ExchangeOutcome OutcomeOf(int got, bool rated)
{
    if (got < 1)
        return ExchangeOutcome::Failed;
    return rated ? ExchangeOutcome::Ok : ExchangeOutcome::Error;
}

// RateMessage - everything between reading the file and the reply; fills
// the record of the message and tells the request's outcome.  False when the
// file does not exist at all: such a request is answered but not counted as
// handled in the statistics.
bool RateMessage(FileRequest& request, const Settings& settings, const whitelist& list, Statistics& statistics,
                 Counters& counters, SpamdFarm& farm, MessageRecord& record, RequestOutcome& outcome)
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
    const bool symbols = UsesRuleNames(settings);
    const bool farmed = settings.spamd.Configured();
    BuildRequestHeader(requestHeader, symbols, bodyLength + 1,
                       farmed ? SpamdUserOf(settings.spamd.user, text, static_cast<int>(envelopeLength)) : "");
    const std::initializer_list<std::string_view> pieces = {requestHeader, std::string_view(body, bodyLength), "\n"};
    char reply[kReplyCapacity + 1];
    int got;
    SpamdAnswer verdict;
    if (farmed) {
        // The farm counts every exchange with every host it tried.
        const SpamdFarm::Outcome answer = farm.Exchange(pieces, reply, kReplyCapacity, symbols, statistics, counters);
        if (!answer.answered)
            return AnswerUnavailable(request, settings, record, outcome);
        got = static_cast<int>(answer.got);
        verdict = answer.verdict;
    } else {
        const timeval exchangeStart = NowPrecise();
        got = sendCommand(settings.socketPath, pieces, reply, kReplyCapacity, 0, symbols);
        if (got == kWriteFailed)
            PrintMsg("* failed to send %s to spamd: %s\n", request.Path(), strerror(errno));
        verdict = ParseSpamdReply(std::string_view(reply, got > 0 ? static_cast<size_t>(got) : 0));
        counters.CountExchange(settings.socketPath, OutcomeOf(got, verdict.rated),
                               SecondsBetween(exchangeStart, NowPrecise()));
    }
    if (!verdict.rated)
        ReportUnrated(request.Path(), got, reply);
    VerdictText words;
    if (verdict.rated) {
        ruleNames.clear();
        if (symbols)
            RuleNamesText(verdict.body, ruleNames);
        words = {ruleNames, verdict.scoreText, verdict.thresholdText};
    }
    const int rating = RatingOf(verdict.score, verdict.threshold);
    if (rating >= settings.alertLevel) {
        ParseEnvelope(text, static_cast<int>(envelopeLength), spamSources, spamTargets);
        record.spam = true;
        record.sources = &spamSources;
        record.targets = &spamTargets;
    }
    PrintResult(request, rating, settings, words);
    record.rating = rating;
    if (verdict.rated)
        outcome = RequestOutcome::Rated;
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
              Counters& counters, SpamdFarm& farm)
{
    const timeval start = NowPrecise();
    MessageRecord record;
    bool counted = true;
    RequestOutcome outcome = RequestOutcome::Failed;
    try {
        counted = RateMessage(request, settings, list, statistics, counters, farm, record, outcome);
    } catch (const std::bad_alloc&) {
        AnswerRequest(request, "FAILURE malloc error, errno=%d\n", ENOMEM);
        outcome = RequestOutcome::Failed;
    }
    const timeval end = NowPrecise();
    record.milliseconds = HandlingTime(start, end);
    if (counted)
        statistics.RecordMessage(record);
    counters.CountMessage(outcome, outcome == RequestOutcome::Rated ? record.rating : -1, SecondsBetween(start, end));
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

std::string_view SpamdUserOf(const std::string& user, const char* text, int envelopeLength)
{
    if (user != "recipient")
        return user;
    std::string_view only;
    int recipients = 0;
    if (envelopeLength > 0)
        ForEachEnvelopeLine(text, static_cast<unsigned long>(envelopeLength), [&](std::string_view line) {
            if (line[0] != 'R')
                return;
            recipients++;
            only = BracketedAddress(line).value_or(std::string_view());
        });
    // An address with a control character or a blank in it would break the request.
    const bool clean =
        std::none_of(only.begin(), only.end(), [](char c) { return static_cast<unsigned char>(c) <= ' '; });
    return recipients == 1 && clean ? only : std::string_view();
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
