#include "reports/drop.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>

#include "base/output.h"
#include "base/system.h"

namespace {

std::atomic<int (*)()> randomSource{nullptr};

// DrawNumber - clock plus the unseeded generator, cut to 16 bits: messages
// made in the same second still get different numbers.
unsigned DrawNumber()
{
    int (*source)() = randomSource.load();
    const uint32_t sum = static_cast<uint32_t>(Now()) + static_cast<uint32_t>(source ? source() : rand());
    return sum & 0xFFFFu;
}

// ReleasedName - the name under which the host takes a finished message.
std::string ReleasedName(const std::string& tempName)
{
    std::string name = tempName;
    if (name.size() >= 4 && name.compare(name.size() - 4, 4, ".tmp") == 0)
        name.resize(name.size() - 4);
    return name + ".sub";
}

}  // namespace

void SetRandomSourceForTesting(int (*source)()) { randomSource.store(source); }

ReportFile OpenTempFile(const std::string& directory, const char* prefix, const char* suffix,
                        std::string& name)
{
    for (int draw = 0; draw < kMaxNameDraws; draw++) {
        name = directory + "/" + prefix + std::to_string(DrawNumber()) + suffix;
        // Exclusive creation: a name that exists (another message being
        // written, or a leftover) is never opened; another number is drawn.
        int fd = open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0) {
            if (errno == EEXIST)
                continue;
            return nullptr;
        }
        // A released message of the same number that the host has not taken
        // yet would be replaced by our rename; this number is taken.  Checked
        // after the creation, so a writer of ours that releases meanwhile is
        // seen either way.
        if (access(ReleasedName(name).c_str(), F_OK) == 0) {
            close(fd);
            unlink(name.c_str());
            continue;
        }
        FILE* stream = fdopen(fd, "w+");
        if (stream == nullptr) {
            const int error = errno;
            close(fd);
            unlink(name.c_str());
            errno = error;
            return nullptr;
        }
        return ReportFile(stream);
    }
    errno = EEXIST;
    return nullptr;
}

void fprintS(FILE* stream, const char* text)
{
    if (text == nullptr)
        return;
    for (const char* p = text; *p != '\0'; p++) {
        if (*p != '\\') {
            fputc(static_cast<unsigned char>(*p), stream);
            continue;
        }
        if (p[1] == '\0')
            break;
        p++;
        fputc(*p == 'e' ? '\n' : static_cast<unsigned char>(*p), stream);
    }
}

void WriteReportHeader(FILE* stream, const char* from, const char* to, const char* subject,
                       const char* extraHeaders, time_t subjectDate)
{
    fputs("Return-Path: <>\n", stream);
    fputs("From: ", stream);
    fprintS(stream, from);
    fputc('\n', stream);
    fputs("To: ", stream);
    fprintS(stream, to);
    fputc('\n', stream);
    std::string subjectText;
    bufConcat(subjectText, subject);
    SubstStr(subjectText, 1, mkDate(subjectDate).c_str());
    fputs("Subject: ", stream);
    fprintS(stream, subjectText.c_str());
    fputc('\n', stream);
    if (extraHeaders != nullptr) {
        fprintS(stream, extraHeaders);
        fputc('\n', stream);
    }
    fputc('\n', stream);
}

void RenameTempToSub(const std::string& tempName)
{
    const std::string finalName = ReleasedName(tempName);
    if (rename(tempName.c_str(), finalName.c_str()) != 0) {
        PrintMsg("* failed renaming %s to %s, error code=%d\n", tempName.c_str(), finalName.c_str(), errno);
        return;
    }
    // The host may deliver under another user; the creation mask must not lock it out.
    chmod(finalName.c_str(), 0666);
}

bool ReleaseReport(ReportFile file, const std::string& tempName)
{
    FILE* stream = file.release();
    const bool written = fflush(stream) == 0 && ferror(stream) == 0 && fsync(fileno(stream)) == 0;
    const int error = errno;
    if (fclose(stream) != 0 || !written) {
        const int reported = written ? errno : error;
        unlink(tempName.c_str());
        PrintMsg("* failed writing %s, errno=%d\n", tempName.c_str(), reported);
        return false;
    }
    RenameTempToSub(tempName);
    return true;
}
