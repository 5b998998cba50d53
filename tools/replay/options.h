// options - the replay tool's command line
//
// ParseOptions   the options and input paths; false with a reason
// UsageText      the --help text
// DefaultInFlight requests kept outstanding when --in-flight is not given
// ConfigValue    a top-level value of a settings file ("SocketPath", ...)
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "replay/envelope.h"
#include "replay/fake_spamd.h"

namespace replay {

struct ReplayOptions {
    std::vector<std::string> inputs;       // files and directories
    std::string plugin;                    // empty: next to the tool
    std::optional<std::string> socket;     // a running spamd
    std::vector<std::string> spamdHosts;   // a farm of running spamd hosts instead
    std::optional<FakeVerdict> fakeSpamd;  // the built-in one instead
    int threads = 10;
    bool threadsGiven = false;
    std::optional<std::string> config;     // a settings file used as is
    std::optional<std::string> whitelist;  // copied to the working directory
    std::vector<int> scoreRanges;
    size_t inFlight = 0;                   // 0: DefaultInFlight of the threads in force
    EnvelopeOptions envelope;
    size_t synthetic = 0;
    size_t syntheticSize = 4096;
    size_t count = 0;                      // 0: every message once
    bool floor = false;
    bool floorFirst = false;               // measure the floor before the plugin runs
    bool spamc = false;
    std::string spamcBinary = "spamc";
    size_t spamcMessages = 1000;
    bool quiet = false;
    int timeoutSeconds = 120;
    std::string workDir;                   // empty: a temporary one, removed afterwards
    std::string figuresFile;
    bool help = false;
};

bool ParseOptions(int argc, const char* const* argv, ReplayOptions& options, std::string& error);
const char* UsageText();

// DefaultInFlight - twice the scanning threads, at least 4: every thread
// finds the next request waiting without the queue growing long.
size_t DefaultInFlight(int threads);

// ConfigValue - the value of "key = value;" at the top level of a settings
// file, quotes and escapes removed; nothing when the key is absent.
std::optional<std::string> ConfigValue(std::string_view text, std::string_view key);

}  // namespace replay
