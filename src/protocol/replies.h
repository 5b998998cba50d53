// replies - every line that the plugin writes to the host for a request
//
// Reply               one reply: its kind and the values it carries
// FormatReply         "<id> <reply>\n" (pure)
// SendReply           write the reply of a request line that only the
//                     command loop answers (INTF, OK, unknown commands, ...)
// AnswerRequest       the one answer of a FILE request: formatted, then
//                     claimed; a later answer of the same request goes out
//                     with the id "*", a diagnostic line the host ignores
// AnswerIfOpen        answer a request only when no answer has gone out yet
//                     (the crash reaction, the shutdown)
// WriteClaimedAnswer  the answer of a request whose claim the caller took
//                     already (the watchdog claims under the pool's lock)
// SendLaunchFailure   the start-up's line for a helper thread that cannot be
//                     made, with neither an id nor the diagnostic mark
//
// This is the only place where the words of the host protocol are spelled.
// Any thread may answer; the lines go out whole through the output channel.
// A reply is formatted in a buffer that stays with its thread, so answering
// costs no allocation.
#pragma once

#include <string>
#include <string_view>

#include "protocol/request.h"

enum class ReplyKind {
    Headers,          // ADDHEADER "<text>": the verdict headers
    Intf,             // INTF 3 PROD=CLAM
    Ok,               // OK: the last line after QUIT
    UnknownCommand,   // OK Unknown command: <text>
    MissingCommand,   // FAILURE Missing command. (the id is the whole line)
    MissingFileName,  // FAILURE Missing file name: FILE
    IdTooLong,        // FAILURE Request id too long, at most 19 characters
    Unreachable,      // FAILURE Unable to access file: <text>, errno=<error>
    NoMemory,         // FAILURE malloc error, errno=<error>
    TimedOut,         // REJECTED timed-out, we'll try again later
    TryLater,         // REJECTED sorry, we'll try again later
    Unavailable,      // REJECTED no spamd host could rate it, we'll try again later
};

struct Reply {
    Reply(ReplyKind kind, std::string_view text = {}, int error = 0) : kind(kind), text(text), error(error) {}

    ReplyKind kind;
    std::string_view text;  // Headers, UnknownCommand: what follows; Unreachable: the path
    int error;              // Unreachable, NoMemory: the system's error number
};

// IsRejection - the host retries the request later.
inline bool IsRejection(ReplyKind kind)
{
    return kind == ReplyKind::TimedOut || kind == ReplyKind::TryLater || kind == ReplyKind::Unavailable;
}

// FormatReply - into out (replaced).
void FormatReply(std::string& out, std::string_view id, const Reply& reply);
void SendReply(std::string_view id, const Reply& reply);
// AnswerRequest - true when this call gave the request its answer.  before:
// a log line that goes out just ahead of the answer, and only with it.
bool AnswerRequest(FileRequest& request, const Reply& reply, std::string_view before = {});
// AnswerIfOpen - true when this call gave the request its answer; nothing
// is written otherwise.
bool AnswerIfOpen(FileRequest& request, const Reply& reply, std::string_view before = {});
void WriteClaimedAnswer(std::string_view id, const Reply& reply);
void SendLaunchFailure(int error);
