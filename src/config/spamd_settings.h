// spamd_settings - the optional Spamd dictionary of the settings file: the
// spamd hosts of a farm and how the plugin uses them
//
// ReadSpamdSettings  the farm settings of a Spamd dictionary, or nothing after
//                    its errors have been reported (the caller keeps the
//                    settings in force)
// SpamdSettingsTree  the settings as a Spamd dictionary that the file syntax
//                    writes back (the check)
// ParseEngineHost     one Hosts entry: an absolute path is a Unix socket,
//                    "host:port", "[v6]:port" or a bare name (port 783) is
//                    TCP, "ssl:" in front asks for TLS; "rspamd:" in front
//                    names an rspamd host in the same forms (port 11333),
//                    without TLS
// SocketPathFarm     the farm of the one spamd that SocketPath names, used
//                    when there is no Spamd dictionary, or one that holds
//                    only its ConnectTimeout and ReplyTimeout
// SpamdTimeProblem   whether the time limits let one message's exchanges run
//                    longer than the scan time limit leaves them
//
// Pure functions, called by whichever thread reads the settings file; the
// result lives in an immutable Settings snapshot.  A dictionary with any
// error is refused whole: half a farm is worse than the one in force.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config/dictionary.h"

enum class EngineTransport { Unix, Tcp, Tls };
// EngineKind - what rates at a host: spamd speaks SPAMC, rspamd its HTTP protocol.
enum class EngineKind { Spamd, Rspamd };
const char* EngineName(EngineKind engine);  // "spamd", "rspamd"

struct EngineHost {
    std::string name;     // the entry as written: log lines and the report name the host by it
    EngineKind engine = EngineKind::Spamd;
    EngineTransport transport = EngineTransport::Unix;
    std::string address;  // socket path, or host name or IP address (IPv6 without brackets)
    std::string port;     // TCP and TLS

    bool operator==(const EngineHost&) const = default;
};

// What a request that no host could rate is answered with.
enum class OnUnavailableMode {
    Reject,   // rejected: the host retries the message later
    Neutral,  // the rating-0 headers
    Exit,     // end the process (status 1), as when the one spamd socket is missing
};

struct EngineTlsSettings {
    std::string caFile = "/etc/ssl/certs/ca-certificates.crt";
    std::string certFile;  // client certificate, optional
    std::string keyFile;   // its key; empty: in certFile

    bool operator==(const EngineTlsSettings&) const = default;
};

constexpr int kDefaultSpamdPort = 783;
constexpr int kDefaultRspamdPort = 11333;
// Seconds a scan may run before the watchdog gives it up (fixed, not a setting).
constexpr int kMaxScanningTime = 1200;
// The exchanges of one message end after nine tenths of the scan's time
// limit, so that the message is answered before the watchdog gives it up.
constexpr int kExchangeBudgetPerMille = 900;
// A farm has at most this many hosts.
constexpr size_t kMaxEngineHosts = 64;

struct SpamdSettings {
    std::vector<EngineHost> hosts;  // empty: no farm (no settings read yet)
    int connectTimeout = 5;        // seconds for one connect and TLS handshake
    int replyTimeout = 240;        // seconds for a whole exchange; 0: no limit
    int retries = 3;               // further hosts tried for one request
    int downTime = 30;             // seconds a failed host is skipped before it is probed
    std::string user;              // "" none, "recipient" the only recipient, else that name
    OnUnavailableMode onUnavailable = OnUnavailableMode::Reject;
    EngineTlsSettings tls;
    bool single = false;           // the one spamd of SocketPath, not a Spamd dictionary

    bool Configured() const { return !hosts.empty(); }
    bool operator==(const SpamdSettings&) const = default;
};

// The longest path a Unix socket address holds; a longer one is refused.
constexpr size_t kMaxSocketPath = 107;

// ReadSpamdSettings - a dictionary of time limits alone gives single true,
// no hosts and those limits (for the one spamd of SocketPath).
std::optional<SpamdSettings> ReadSpamdSettings(const cfgfItem* spamd);
// FarmEngineWord - how a line about the farm as a whole names its hosts:
// "spamd" or "rspamd" when all run that engine, "engine" when they differ.
const char* FarmEngineWord(const SpamdSettings& settings);
std::unique_ptr<cfgfItem> SpamdSettingsTree(const SpamdSettings& settings);
// ParseEngineHost - nothing when the entry is no host (why says what is wrong).
std::optional<EngineHost> ParseEngineHost(std::string_view entry, std::string& why);
// SocketPathFarm - one Unix host named by the path, no retries, a farm host's
// default time limits, and a plugin that cannot reach it shuts down (Exit).
SpamdSettings SocketPathFarm(const std::string& socketPath);
// SpamdTimeProblem - empty when (Retries + 1) x ReplyTimeout fits in the
// time a message's exchanges may take; else what the administrator should
// know (the exchanges then end at that time, and the message is unrated).
std::string SpamdTimeProblem(const SpamdSettings& settings);
