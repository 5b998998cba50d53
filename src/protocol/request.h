// request - the host's request lines and the claim on a FILE request's answer
//
// ParseRequestLine  split a request line into its kind, id, command and path
// FileRequest       one FILE request: its id, its path and its answer claim
// ClaimAnswer       take the right to answer (replies writes the answer)
//
// The scanning thread, the controller (giving up a stuck scan), the crash
// reaction and the shutdown may all try to answer one request; the first
// claim wins, so the host never gets two answers for one id.
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

// ClaimAnswer - true for the first caller only.
bool ClaimAnswer(FileRequest& request);
