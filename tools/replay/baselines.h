// baselines - what the plugin's throughput is measured against
//
// BuildCheckRequest  the CHECK request for a spooled file, byte for byte as
//                    the plugin sends it
// RunFloor           the raw floor: the same threads doing only the work the
//                    plugin cannot avoid per message
// RunSpamc           the per-message alternative: one spamc process per message
//
// Both run over the spooled files of a replay, after the plugin has finished.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "replay/spool.h"

#include <sys/types.h>

namespace replay {

struct BaselineResult {
    size_t messages = 0;   // attempted
    size_t failures = 0;   // could not be read or exchanged, or spamc failed
    double wallSeconds = 0;
    double cpuSeconds = 0;  // the floor's client threads, user + system
    double Throughput() const { return wallSeconds > 0 ? static_cast<double>(messages) / wallSeconds : 0; }
};

// BuildCheckRequest - "CHECK SPAMC/1.2\r\nContent-length: <n>\r\n\r\n", the
// message after its envelope (up to a NUL byte), and one line feed.
void BuildCheckRequest(std::string_view fileText, std::string& request);

// RunFloor - per message: open and read the file, connect to a host (message
// n to host n modulo their number: Unix socket paths or host:port), write the
// CHECK request, read the reply to its end, close; threads clients.
BaselineResult RunFloor(const std::vector<SpoolEntry>& spool, const std::vector<std::string>& hosts, int threads);

// RunSpamc - "spamc -U socketPath -c" with the message on its standard input,
// for the first limit messages, parallel processes at a time.
BaselineResult RunSpamc(const std::vector<SpoolEntry>& spool, size_t limit, const std::string& spamcBinary,
                        const std::string& socketPath, int parallel);

}  // namespace replay
