// drop - writing report messages into the host's submission directory
//
// OpenTempFile      create "<dir>/reportSA_<n>.tmp" exclusively (n drawn again
//                   while the name exists)
// fprintS           write a header text, "\e" pairs becoming line feeds
// WriteReportHeader the Return-Path, From, To, Subject and extra header lines
// RenameTempToSub   release a complete message: rename to ".sub", mode 0666
//
// No lock: each message has its own file.  The host delivers only ".sub" files,
// so it never sees a message that is still being written.
#pragma once

#include <cstdio>
#include <ctime>
#include <memory>
#include <string>

#include "protocol/text.h"  // mkDate

struct FileCloser {
    void operator()(FILE* f) const
    {
        if (f != nullptr)
            fclose(f);
    }
};
using ReportFile = std::unique_ptr<FILE, FileCloser>;

// OpenTempFile - the open file, or null (name then holds the name tried).
ReportFile OpenTempFile(const std::string& directory, const char* prefix, const char* suffix,
                        std::string& name);
void fprintS(FILE* stream, const char* text);
// WriteReportHeader - null values write nothing after their header name.
void WriteReportHeader(FILE* stream, const char* from, const char* to, const char* subject,
                       const char* extraHeaders, time_t subjectDate);
void RenameTempToSub(const std::string& tempName);
