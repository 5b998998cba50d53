// request - one FILE request of the host and the reply that answers it
//
// queueItem_t      a queued FILE request (id, path, claim and done flags)
// AnswerRequest    write the one reply of a request; a later answer for the
//                  same request goes out with the id "*" as a diagnostic line
// SplitRequestLine split a request line into id and command text
//
// The scanning thread, the controller (giving up a stuck scan) and the crash
// reaction may all try to answer one request; the first claim wins, so the host
// never gets two answers for one id.
#pragma once

#include <atomic>
#include <cstdarg>
#include <string_view>

// Fixed sizes the host can observe: ids of up to 19 characters, paths of up to 1023.
constexpr int kRequestIdSize = 20;
constexpr int kFileNameSize = 1024;

struct queueItem_t {
    char requestId[kRequestIdSize] = {};
    char fileName[kFileNameSize] = {};
    bool taken = false;              // guarded by queueMutex
    bool done = false;               // guarded by queueMutex
    std::atomic<bool> answered{false};
};

// AnswerRequest - write "<id> " followed by the formatted text; when the
// request was already answered (or given up), "* " is written instead of the
// id.  True when this call gave the request its answer.
bool AnswerRequest(queueItem_t& item, const char* format, ...) __attribute__((format(printf, 2, 3)));
// ClaimAnswer - take the right to answer without writing; false if taken.
bool ClaimAnswer(queueItem_t& item);

struct RequestLine {
    bool hasSpace = false;         // false: the whole line is the id ("Missing command.")
    std::string_view id;
    std::string_view command;      // from the first non-space after the id
};

// SplitRequestLine - only the space character separates fields.
RequestLine SplitRequestLine(std::string_view line);

// FilePathOf - the path of a "FILE " command text (after the word and any
// spaces); empty when there is none.
std::string_view FilePathOf(std::string_view command);
