// spool - the plugin's working directory and the spooled message files, laid
// out as the host lays them out
//
// MakeTempDirectory   a fresh private directory
// SettingsText        a complete settings file for a socket, thread count and ranges
// PrepareWorkDir      program symlink, settings file, Submitted and spool directories
// WriteSpool          one file per message: the envelope, then the message
// ReadSpoolFile       open and read a spooled file the way the plugin does
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "replay/envelope.h"
#include "replay/messages.h"

namespace replay {

struct SpoolEntry {
    std::string path;
    std::string label;
    size_t envelopeLength = 0;
};

struct WorkDir {
    std::string root;       // the plugin's working and current directory
    std::string program;    // root/VelmoraSpamAssassin, a symlink to the plugin
    std::string settings;   // root/VelmoraSpamAssassin.cfg
    std::string submitted;  // root/Submitted
    std::string spool;      // root/spool
};

// MakeTempDirectory - "<TMPDIR or /tmp>/<prefix>XXXXXX"; empty on failure.
std::string MakeTempDirectory(const std::string& prefix);

// RemoveTree - remove a directory with everything in it.
void RemoveTree(const std::string& path);

struct GeneratedSettings {
    std::string socketPath;
    int threads = 10;
    std::vector<int> scoreRanges;
    std::vector<std::string> spamdHosts;  // a Spamd dictionary with these hosts when not empty
};
std::string SettingsText(const GeneratedSettings& settings);

// PrepareWorkDir - lay out root (created if missing) with the plugin's
// symlink, the settings text and the two directories; false with a reason.
bool PrepareWorkDir(const std::string& root, const std::string& pluginBinary,
                    const std::string& settingsText, WorkDir& dir, std::string& error);

// WriteSpool - "<spool>/<n>.msg" for n from 1; false with a reason.
bool WriteSpool(const std::string& spoolDir, const std::vector<Message>& messages,
                const EnvelopeOptions& options, std::vector<SpoolEntry>& entries, std::string& error);

// ReadSpoolFile - the first 1 MiB of a file with one open, fstat and read;
// false when it cannot be opened or read.
bool ReadSpoolFile(const std::string& path, std::string& text);

}  // namespace replay
