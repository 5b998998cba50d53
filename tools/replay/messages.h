// messages - the messages that the replay tool feeds through the plugin
//
// CollectMessages    read files and directories: a file whose first line is an
//                    mbox "From " line is split into its messages, any other
//                    file is one message; directories are walked in name order
// SplitMbox          split mbox text into messages
// SyntheticMessages  generated messages of a chosen size (load tests)
// RepeatMessages     cycle through messages until a count is reached
//
// Messages are held as bytes; nothing here interprets their headers.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace replay {

struct Message {
    std::string label;  // what the listing shows: the file, "file#n" for mbox members
    std::string bytes;
};

// LooksLikeMbox - the text begins with an mbox separator line.
bool LooksLikeMbox(std::string_view text);

// SplitMbox - the messages of mbox text, labelled "<label>#<n>" (from 1).  A
// "From " line separates messages when it is the first line or follows an
// empty line; the empty line before it belongs to the separator.  Lines
// quoted as ">From ", ">>From " and so on lose one '>' (mboxrd convention).
std::vector<Message> SplitMbox(std::string_view text, const std::string& label);

// CollectMessages - append the messages of every path; false with a
// description of the first path that cannot be read.  Directory entries whose
// names begin with a dot are skipped.
bool CollectMessages(const std::vector<std::string>& paths, std::vector<Message>& messages,
                     std::string& error);

// SyntheticMessages - count plain-text messages of about size bytes each, with
// varied senders, recipients and relays; the same every time.
std::vector<Message> SyntheticMessages(size_t count, size_t size);

// RepeatMessages - the first count messages of an endless cycle through
// messages; labels of repeated rounds get a "~<round>" suffix.
std::vector<Message> RepeatMessages(const std::vector<Message>& messages, size_t count);

}  // namespace replay
