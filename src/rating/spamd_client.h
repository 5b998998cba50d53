// spamd_client - the SPAMC client: one request/reply exchange with spamd over
// its Unix-domain socket
//
// sendCommand  connect, write the whole request, read the reply to its end
// InitEngine   PING spamd at start-up and after a reload; ends the process
//              when spamd does not answer
// CloseEngine  counterpart of InitEngine; holds nothing, harmless at any time
//
// No connection outlives an exchange, so concurrent scans share nothing.
// A socket that cannot be created or connected ends the process (status 1).
#pragma once

#include <string>
#include <string_view>

// spamd's reply to CHECK is a status line and one header; a fixed capacity of
// this size holds it whatever the size of the message.
constexpr unsigned long kReplyCapacity = 4096;

// sendCommand results below 0.
constexpr int kReadFailed = -1;
constexpr int kWriteFailed = -2;

// sendCommand - the number of reply bytes read (0: spamd closed without
// writing), kReadFailed or kWriteFailed.  reply must hold capacity + 1 bytes;
// the reply is NUL-terminated.
int sendCommand(const std::string& socketPath, std::string_view request, char* reply,
                unsigned long capacity);

void InitEngine();
void CloseEngine();

// Score and threshold of a CHECK reply: the number after the first ';' and
// the number after the next '/'; 0 when missing.
struct SpamdVerdict {
    double score = 0;
    double threshold = 0;
};
SpamdVerdict ParseCheckReply(const char* reply);
