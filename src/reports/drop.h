// drop - writing report messages into the host's submission directory
//
// OpenTempFile      create "<dir>/<prefix><n><suffix>" safely (base/files),
//                   n an unpredictable number drawn again while the name exists
// fprintS           write a header text, "\e" pairs becoming line feeds
// WriteReportHeader the Return-Path, From, To, Subject and extra header lines
// RenameTempToSub   release a complete message under its ".sub" name
// ReleaseReport     close a written message and release it; a message whose
//                   writing or closing failed is removed instead
// SetRandomSourceForTesting  replace the name draw (tests)
//
// No lock: each message has its own file, and the exclusive creation keeps two
// writers that draw the same number apart.  The host delivers only ".sub"
// files, so it never sees a message that is still being written.  Messages
// are 0644: the host may deliver under another user, and nobody else may
// change a message before it is sent.  The ".sub" name is given to the file
// written, never to whatever a stranger put at the ".tmp" name meanwhile,
// and never replaces a ".sub" that exists (another number is drawn).
// Failures: OpenTempFile returns null and leaves the reporting to its caller
// (it gives up with EEXIST after kMaxNameDraws names that all exist);
// RenameTempToSub writes "* failed renaming ..." and removes the message;
// ReleaseReport writes "* failed writing <name>, errno=<n>" and removes it,
// since an empty or cut message must never reach a mailbox.
#pragma once

#include <cstdio>
#include <ctime>
#include <memory>
#include <string>

#include "base/files.h"
#include "base/text.h"  // mkDate

struct FileCloser {
    void operator()(FILE* f) const
    {
        if (f != nullptr)
            fclose(f);
    }
};

// ReportFile - a message being written: the stream its writers use, on the
// file that is released whole.
struct ReportFile {
    explicit operator bool() const { return stream != nullptr; }
    FILE* get() const { return stream.get(); }

    NewFile file;
    std::unique_ptr<FILE, FileCloser> stream;
};
constexpr mode_t kReportFileMode = 0644;

// The header values of messages whose configuration lacks them: a notice that
// reaches the postmaster is worth more than one addressed to nobody.
inline constexpr const char* kDefaultReportFrom = "MAILER-DAEMON";
inline constexpr const char* kDefaultReportTo = "postmaster";
inline constexpr const char* kDefaultReportExtraHeaders = "X-Auto-Generated: report";

// OpenTempFile - the open file (read/write, at its start), or null with errno
// set (name then holds the name tried).
ReportFile OpenTempFile(const std::string& directory, const char* prefix, const char* suffix,
                        std::string& name);
// fprintS - a lone backslash at the end of text writes nothing.
void fprintS(FILE* stream, const char* text);
// WriteReportHeader - a null From, To or Subject writes nothing after its
// header name; a null extraHeaders writes no line at all (an empty one writes
// the empty line, which then ends the header section).
void WriteReportHeader(FILE* stream, const char* from, const char* to, const char* subject,
                       const char* extraHeaders, time_t subjectDate);
// RenameTempToSub - true when the message was released.
bool RenameTempToSub(NewFile& file);
// ReleaseReport - true when the message was released.
bool ReleaseReport(ReportFile file, const std::string& tempName);

// SetRandomSourceForTesting - the generator of the name draw; null: RandomNumber().
void SetRandomSourceForTesting(int (*source)());
