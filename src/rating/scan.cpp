#include "rating/scan.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <string_view>

#include "config/settings.h"
#include "protocol/output.h"
#include "protocol/system.h"
#include "rating/envelope.h"
#include "rating/headers.h"
#include "rating/spamd_client.h"
#include "rating/whitelist.h"
#include "stats/ranked_list.h"
#include "stats/record.h"

namespace {

// Buffers up to this size stay with their thread for the next message.
constexpr size_t kKeptBufferSize = 256 * 1024;
// Sources and recipients are counted by their first 98 characters.
constexpr size_t kMaxCountedName = 98;

// The room for "CHECK SPAMC/1.2\r\nContent-length: <20 digits>\r\n\r\n".
constexpr size_t kCheckHeaderSize = 64;

thread_local MessageText threadText;

// RateMessage - everything between reading the file and the reply.
void RateMessage(queueItem_t& item, const Settings& settings)
{
    unsigned long envelopeLength = 0;
    if (!ReadFile2(item.fileName, threadText, envelopeLength)) {
        AnswerRequest(item, "FAILURE Unable to access file: %s, errno=%d\n", item.fileName, errno);
        return;
    }
    const char* text = threadText.Data();
    if (CheckWhitelist(text, static_cast<int>(envelopeLength), item, settings))
        return;

    // The body ends at the first NUL; only what is sent is counted.
    const char* body = text + envelopeLength;
    const size_t bodyLength = strnlen(body, threadText.Size() - envelopeLength);
    char header[kCheckHeaderSize];
    const int headerLength = snprintf(header, sizeof header, "CHECK SPAMC/1.2\r\nContent-length: %lu\r\n\r\n",
                                      static_cast<unsigned long>(bodyLength + 1));
    char reply[kReplyCapacity + 1];
    const int got = sendCommand(settings.socketPath,
                                {std::string_view(header, static_cast<size_t>(headerLength)),
                                 std::string_view(body, bodyLength), "\n"},
                                reply, kReplyCapacity);
    if (got == kWriteFailed)
        PrintMsg("* failed to send %s to spamd: %s\n", item.fileName, strerror(errno));

    const SpamdVerdict verdict = ParseCheckReply(reply);
    const int rating = RatingOf(verdict.score, verdict.threshold);
    if (rating >= settings.alertLevel)
        ParseEnvelope(text, static_cast<int>(envelopeLength));
    PrintResult(item, rating, settings);
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

void ScanFile(queueItem_t& item)
{
    const timeval start = NowPrecise();
    const std::shared_ptr<const Settings> settings = CurrentSettings();
    try {
        RateMessage(item, *settings);
    } catch (const std::bad_alloc&) {
        AnswerRequest(item, "FAILURE malloc error, errno=%d\n", ENOMEM);
    }
    threadText.Trim();
    CountHandledRequest(HandlingTime(start, NowPrecise()));
}

bool ReadFile2(const char* path, MessageText& text, unsigned long& envelopeLength)
{
    FileDescriptor file(::open(path, O_RDONLY | O_CLOEXEC));
    if (!file.IsOpen())
        return false;
    auto failed = [&file] {
        const int error = errno;
        file.Close();
        errno = error;
        return false;
    };
    struct stat status;
    if (fstat(file.Get(), &status) != 0)
        return failed();
    // A directory opens, but is no message whatever size it reports.
    if (S_ISDIR(status.st_mode)) {
        errno = EISDIR;
        return failed();
    }
    const size_t wanted = std::min(static_cast<unsigned long>(std::max<off_t>(status.st_size, 0)), kReadLimit);
    char* buffer = text.Reserve(wanted);
    // A file that shrank meanwhile is rated on what is left of it.
    const long got = ReadUpTo(file.Get(), buffer, wanted);
    if (got < 0)
        return failed();
    text.SetSize(static_cast<size_t>(got));
    envelopeLength = FindEnvelopeLength(buffer);
    return true;
}

void ParseEnvelope(const char* text, int envelopeLength)
{
    if (envelopeLength < 0)
        return;
    bool sourceSeen = false;
    PluginLock lock(reportMutex);
    ForEachEnvelopeLine(text, static_cast<unsigned long>(envelopeLength), [&](std::string_view line) {
        if (line[0] == 'R') {
            if (const auto address = BracketedAddress(line))
                ReportAddItemLocked(&reportTargetList, address->substr(0, kMaxCountedName), 1);
        } else if (line[0] == 'S') {
            std::string_view source = line.size() > 2 ? line.substr(2) : std::string_view();
            if (source.ends_with('\r'))
                source.remove_suffix(1);
            ReportAddItemLocked(&reportSourceList, source.substr(0, kMaxCountedName), 1);
            sourceSeen = true;
        }
    });
    if (!sourceSeen)
        ReportAddItemLocked(&reportSourceList, "Unknown", 1);
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
