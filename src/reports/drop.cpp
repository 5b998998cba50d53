#include "reports/drop.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>

#include "base/output.h"
#include "base/system.h"

namespace {

std::atomic<int (*)()> randomSource{nullptr};

// DrawNumber - an unpredictable number, so that nobody can take the names
// of the next messages ahead.
uint64_t DrawNumber()
{
    int (*source)() = randomSource.load();
    return source != nullptr ? static_cast<uint64_t>(static_cast<unsigned>(source())) : RandomNumber();
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
    ReportFile report;
    report.file = NewFile::Create(directory, prefix, suffix, kReportFileMode, DrawNumber);
    name = report.file.Name();
    if (!report.file.IsOpen())
        return report;
    // The stream has a descriptor of its own; the file's stays for the release.
    const int fd = dup(report.file.Get());
    FILE* stream = fd >= 0 ? fdopen(fd, "w+") : nullptr;
    if (stream == nullptr) {
        const int error = errno;
        if (fd >= 0)
            close(fd);
        report.file.Discard();
        errno = error;
        return report;
    }
    report.stream.reset(stream);
    return report;
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

bool RenameTempToSub(NewFile& file)
{
    const std::string tempName = file.Name();
    std::string finalName = ReleasedName(tempName);
    // A ".sub" of that number waits for the host: it is never replaced.
    for (int n = 0; n < kMaxNameDraws; n++) {
        if (file.Release(finalName, false))
            return true;
        if (errno != EEXIST)
            break;
        const size_t number = finalName.rfind('_');
        finalName = finalName.substr(0, number + 1) + std::to_string(DrawNumber()) + ".sub";
    }
    PrintMsg("* failed renaming %s to %s, error code=%d\n", tempName.c_str(), finalName.c_str(), errno);
    file.Discard();
    return false;
}

bool ReleaseReport(ReportFile report, const std::string& tempName)
{
    FILE* stream = report.stream.release();
    const bool written = fflush(stream) == 0 && ferror(stream) == 0;
    const int error = errno;
    if (fclose(stream) != 0 || !written) {
        const int reported = written ? errno : error;
        report.file.Discard();
        PrintMsg("* failed writing %s, errno=%d\n", tempName.c_str(), reported);
        return false;
    }
    return RenameTempToSub(report.file);
}
