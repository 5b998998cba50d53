// request - the host's request lines and the one answer of a FILE request
//
// ParseRequestLine  split a request line into its kind, id, command and path
// FileRequest       one FILE request: its id, its path and its answer claim
// AnswerRequest     write the one reply of a request; a later answer for the
//                   same request goes out with the id "*" as a diagnostic line
// ClaimAnswer       take the right to answer without writing
//
// The scanning thread, the controller (giving up a stuck scan) and the crash
// reaction may all try to answer one request; the first claim wins, so the
// host never gets two answers for one id.  A reply is formatted before the
// claim is taken, so a failure while formatting leaves the claim to another.
#pragma once

#include <atomic>
#include <string_view>

// Fixed sizes the host can observe: ids of up to 19 characters, paths of up to 1023.
constexpr int kRequestIdSize = 20;
constexpr int kFileNameSize = 1024;

enum class RequestKind {
    MissingCommand,   // no space: the whole line is the id
    File,             // "FILE <path>"
    MissingFileName,  // "FILE" without a path
    Intf,
    Quit,
    Unknown,
};

struct RequestLine {
    RequestKind kind = RequestKind::MissingCommand;
    std::string_view id;
    std::string_view command;  // from the first non-space after the id
    std::string_view path;     // File only
};

// ParseRequestLine - only the space character separates fields; commands
// are recognised by their first letters as the host writes them.
RequestLine ParseRequestLine(std::string_view line);

class FileRequest {
public:
    // Assign - take a new id and path (cut to their fields) and clear the claim.
    void Assign(std::string_view id, std::string_view path);
    const char* Id() const { return requestId; }
    const char* Path() const { return fileName; }

private:
    friend bool ClaimAnswer(FileRequest& request);
    char requestId[kRequestIdSize] = {};
    char fileName[kFileNameSize] = {};
    std::atomic<bool> answered{false};
};

// AnswerRequest - write "<id> " followed by the formatted text; when the
// request was already answered (or given up), "* " is written instead of the
// id.  True when this call gave the request its answer.
bool AnswerRequest(FileRequest& request, const char* format, ...) __attribute__((format(printf, 2, 3)));
// AnswerRequestText - the same with a text that is already formatted.
bool AnswerRequestText(FileRequest& request, std::string_view text);
bool ClaimAnswer(FileRequest& request);
