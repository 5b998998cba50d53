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
#include "rating/envelope.h"

namespace {

// Buffers up to this size stay with their thread for the next message.
constexpr size_t kKeptBufferSize = 256 * 1024;

}  // namespace

ScanBuffers& ScanBuffers::ForThisThread()
{
    thread_local ScanBuffers buffers;
    return buffers;
}

ScanResult Scanner::Scan(const FileRequest& request, const Settings& settings, MonotonicClock::time_point until)
{
    ScanBuffers& buffers = ScanBuffers::ForThisThread();
    ScanResult result;
    try {
        unsigned long envelopeLength = 0;
        if (!ReadFile2(request.Path(), buffers.text, envelopeLength)) {
            result.error = errno;
            result.verdict = ScanVerdict::Unreachable;
            // A request for a file that does not exist at all is no message to count.
            result.fileExists = access(request.Path(), F_OK) == 0;
            return result;
        }
        const char* text = buffers.text.Data();
        const int envelope = static_cast<int>(envelopeLength);
        result.size = buffers.text.Size() - envelopeLength;
        if (settings.logResults)
            result.sender = SenderOfEnvelope(text, envelopeLength);
        if (CheckWhitelist(text, envelope, senders)) {
            result.verdict = ScanVerdict::Whitelisted;
            return result;
        }
        // Every byte read goes to the engine, NULs included: a NUL must not
        // hide the rest of the message from it.
        const char* body = text + envelopeLength;
        MessageToRate message;
        message.text = text;
        message.envelopeLength = envelopeLength;
        message.requestId = request.Id();
        message.body = std::string_view(body, buffers.text.Size() - envelopeLength);
        // The result line names the rules: SYMBOLS costs spamd nothing more.
        message.wantRules = UsesRuleNames(settings) || settings.logResults;
        message.spamdUser = SpamdUserOf(settings.spamd.user, text, envelope);
        message.until = until;
        FarmAnswer& answer = buffers.answer;
        farm.Exchange(message, recorder, buffers.exchange, answer);
        if (!answer.host.empty())
            result.answer = &answer;
        if (answer.kind == FarmAnswer::Kind::Unavailable) {
            result.verdict = ScanVerdict::Unavailable;
            return result;
        }
        if (answer.kind == FarmAnswer::Kind::Unrated) {
            // A spamd in trouble must not pass for a stream of clean mail.
            PrintMsg("* %s gave no rating for %s: %s\n", EngineName(answer.engine), request.Path(),
                     answer.why.c_str());
            result.verdict = ScanVerdict::Unrated;
            result.record.unrated = true;
            return result;
        }
        result.verdict = ScanVerdict::Rated;
        result.rating = RatingOf(answer.score, answer.threshold);
        result.words = {answer.rules, answer.scoreText, answer.thresholdText, answer.action};
        result.record.rating = result.rating;
        if (result.rating >= settings.alertLevel) {
            ParseEnvelope(text, envelope, buffers.sources, buffers.targets);
            result.record.spam = true;
            result.record.sources = &buffers.sources;
            result.record.targets = &buffers.targets;
        }
    } catch (const std::bad_alloc&) {
        result = ScanResult{};
        result.verdict = ScanVerdict::NoMemory;
        result.error = ENOMEM;
    }
    return result;
}

char* MessageText::Reserve(size_t size)
{
    used = 0;
    // A buffer grown for an unusually large message is given back at the next one.
    if (capacity < size + 1 || (capacity > kKeptBufferSize && size + 1 <= kKeptBufferSize)) {
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
