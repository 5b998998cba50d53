// baselines - what the plugin's throughput is measured against
//
// BuildCheckRequest  the CHECK request for a spooled file, byte for byte as
//                    the plugin sends it
// BuildRspamdRequest the /checkv2 request for a spooled file, as the plugin
//                    sends it to an rspamd host
// IsRspamdHost       does a --spamd-hosts entry name an rspamd host
// EngineNames        the engines a list of hosts reaches, for the summary
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
void BuildCheckRequest(const std::string& fileText, std::string& request);

// BuildRspamdRequest - rspamd's request head (Host, Connection: close,
// Content-Length, then From, one Rcpt per recipient, IP and Queue-Id from the
// envelope's P, R and S lines and queueId) and the message after its envelope,
// up to a NUL byte, as the body.  fileText is a whole spooled file.
void BuildRspamdRequest(const std::string& fileText, std::string_view hostHeader, std::string_view queueId,
                        std::string& request);

// An entry of --spamd-hosts with this in front is an rspamd host:
// "rspamd:host:port", "rspamd:[v6]:port" or "rspamd:/socket".
inline constexpr std::string_view kRspamdHostPrefix = "rspamd:";

inline bool IsRspamdHost(std::string_view host) { return host.starts_with(kRspamdHostPrefix); }

// EngineNames - "spamd", "rspamd" or "spamd and rspamd".
std::string EngineNames(const std::vector<std::string>& hosts);

// RunFloor - per message: open and read the file, connect to a host (message
// n to host n modulo their number: Unix socket paths or host:port, each
// optionally behind "rspamd:"), write the request in the host's protocol,
// read the reply (spamd's to its end, rspamd's until it is complete and its
// verdict parsed), close; threads clients.  Message n goes with Queue-Id n+1,
// the request id the replay gave it.
BaselineResult RunFloor(const std::vector<SpoolEntry>& spool, const std::vector<std::string>& hosts, int threads);

// RunSpamc - "spamc -U socketPath -c" with the message on its standard input,
// for the first limit messages, parallel processes at a time.
BaselineResult RunSpamc(const std::vector<SpoolEntry>& spool, size_t limit, const std::string& spamcBinary,
                        const std::string& socketPath, int parallel);

}  // namespace replay
