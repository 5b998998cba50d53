// learn_settings - the optional Learn dictionary of the settings file: the
// hosts that "-learn" teaches and the rspamd controller's password file
//
// ReadLearnSettings  the Learn dictionary, or nothing after its errors have
//                    been reported (the learning run then refuses to start)
// LearnHostsOf       the learning hosts: Learn.Hosts when given, else every
//                    scanning host, an rspamd host taken at its controller
//                    (port 11334 of the same address)
// LearnSettingsTree  the dictionary as the file syntax writes it (the check)
//
// Pure functions; the settings file is read by whichever thread reads it.
// Hosts take the forms of Spamd.Hosts; "rspamd:HOST" without a port names
// the controller's port 11334.  The password itself never stands in the
// settings: PasswordFile names a file that only its owner may read.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "config/dictionary.h"
#include "config/spamd_settings.h"

constexpr int kDefaultRspamdControllerPort = 11334;

struct LearnSettings {
    std::vector<EngineHost> hosts;  // empty: the scanning hosts
    std::string passwordFile;      // empty: none (the controller lets loopback clients in)

    bool operator==(const LearnSettings&) const = default;
};

std::optional<LearnSettings> ReadLearnSettings(const cfgfItem* learn);
// LearnHostsOf - skipped receives the scanning hosts that cannot be taught
// this way (an rspamd on a Unix socket has no controller address to derive).
std::vector<EngineHost> LearnHostsOf(const LearnSettings& learn, const SpamdSettings& farm,
                                    std::vector<std::string>& skipped);
std::unique_ptr<cfgfItem> LearnSettingsTree(const LearnSettings& settings);
