// learn - "VelmoraSpamAssassin -learn spam|ham|forget PATH...": teach every
// learning host the messages of each PATH, from the plugin's working
// directory and with its settings file
//
// RunLearn         the learning run; the process's exit status: 0 when every
//                  message reached every host, 1 otherwise, 64 for a usage error
// CollectMessages  the messages of a PATH: a message file (with or without the
//                  host's envelope), a directory of such files, a Maildir
//                  (cur/ and new/) or an mbox file; false with why for
//                  anything else
// SplitMbox        the messages of an mbox text as offset and length, the
//                  "From " separator lines left out
// MessageOf        the bytes an engine learns of a message: never the host's
//                  envelope, never an mbox separator
// ReadPasswordFile the rspamd controller's password from its file, refused
//                  when it is a link or when group or others may read it
//
// Runs alone in its own process, never inside the filter: every PATH is
// collected first (one that cannot be used ends the run before anything is
// taught), then each host is taught by a thread of its own over the scan's
// connection code, time limits and TLS, so a slow or dead host never holds
// up the others.  A host that cannot be reached, refuses (spamd without
// --allow-tell, a wrong password) or fails three messages in a row is given
// up; its remaining messages count as failed.
//
// Output: one "* " summary line per host (learned, already known, failed and
// why), a last line for the run, and a progress line on standard error when
// that is a terminal.
#pragma once

#include <string>
#include <string_view>
#include <vector>

int RunLearn(int argc, char** argv);

// MessageSource - one message: a whole file, or a stretch of an mbox file.
struct MessageSource {
    std::string path;
    size_t offset = 0;
    size_t length = 0;
    bool mbox = false;  // a stretch of an mbox (no envelope to drop)
};

bool CollectMessages(const std::string& path, std::vector<MessageSource>& messages, std::string& why);
// SplitMbox - (offset, length) of each message; empty when text is no mbox.
std::vector<std::pair<size_t, size_t>> SplitMbox(std::string_view text);
// MessageOf - the message alone: the envelope dropped from a whole message file.
std::string_view MessageOf(const std::string& file);
bool ReadPasswordFile(const std::string& path, std::string& password, std::string& why);
