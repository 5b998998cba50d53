#include "config/learn_settings.h"

#include <algorithm>

namespace {

// ControllerPort - "rspamd:HOST" without a port names the controller's port.
void ControllerPort(EngineHost& host)
{
    if (host.engine == EngineKind::Rspamd && host.transport == EngineTransport::Tcp &&
        !host.name.ends_with(":" + host.port))
        host.port = std::to_string(kDefaultRspamdControllerPort);
}

bool HasControlCharacter(const std::string& text)
{
    return std::any_of(text.begin(), text.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; });
}

}  // namespace

std::optional<LearnSettings> ReadLearnSettings(const cfgfItem* learn)
{
    LearnSettings settings;
    if (learn == nullptr)
        return settings;
    bool failed = false;
    if (learn->type != cfgfDictionary) {
        cfgfError(learn, "Learn must be a dictionary");
        return std::nullopt;
    }
    for (size_t i = 0; i < learn->keys.size(); i++)
        if (learn->keys[i] != "Hosts" && learn->keys[i] != "PasswordFile") {
            cfgfError(&learn->values[i], "Learn: no key %s", learn->keys[i].c_str());
            failed = true;
        }
    if (const cfgfItem* hosts = cfgfGetDictValue(learn, "Hosts", cfgfAny)) {
        if (hosts->type != cfgfArray) {
            cfgfError(hosts, "Learn: Hosts must be an array");
            failed = true;
        }
        for (int i = 0; hosts->type == cfgfArray && i < hosts->count; i++) {
            const cfgfItem* entry = cfgfGetArrayValue(hosts, i);
            std::string why = "not a string";
            std::optional<EngineHost> host;
            if (entry->type == cfgfString)
                host = ParseEngineHost(entry->text, why);
            if (!host) {
                cfgfError(entry, "Learn: host %s: %s", entry->type == cfgfString ? entry->text.c_str() : "",
                          why.c_str());
                failed = true;
                continue;
            }
            ControllerPort(*host);
            if (std::find(settings.hosts.begin(), settings.hosts.end(), *host) != settings.hosts.end()) {
                cfgfError(entry, "Learn: host %s is named twice", host->name.c_str());
                failed = true;
                continue;
            }
            settings.hosts.push_back(std::move(*host));
        }
    }
    if (const cfgfItem* file = cfgfGetDictValue(learn, "PasswordFile", cfgfAny)) {
        if (file->type != cfgfString || file->text.empty() || HasControlCharacter(file->text)) {
            cfgfError(file, "Learn: PasswordFile must name a file");
            failed = true;
        } else {
            settings.passwordFile = file->text;
        }
    }
    if (failed)
        return std::nullopt;
    return settings;
}

std::vector<EngineHost> LearnHostsOf(const LearnSettings& learn, const SpamdSettings& farm,
                                    std::vector<std::string>& skipped)
{
    if (!learn.hosts.empty())
        return learn.hosts;
    std::vector<EngineHost> hosts;
    for (EngineHost host : farm.hosts) {
        if (host.engine == EngineKind::Rspamd) {
            if (host.transport == EngineTransport::Unix) {
                skipped.push_back(host.name);
                continue;
            }
            // The normal worker rates; only the controller learns.
            host.port = std::to_string(kDefaultRspamdControllerPort);
            const bool v6 = host.address.find(':') != std::string::npos;
            host.name = "rspamd:" + (v6 ? "[" + host.address + "]" : host.address) + ":" + host.port;
        }
        hosts.push_back(std::move(host));
    }
    return hosts;
}

std::unique_ptr<cfgfItem> LearnSettingsTree(const LearnSettings& settings)
{
    auto tree = cfgfNewDictionary();
    auto hosts = cfgfNewArray();
    for (const EngineHost& host : settings.hosts)
        cfgfAddToArray(hosts.get(), std::move(*cfgfNewString(host.name.c_str())));
    cfgfAddToDictionary(tree.get(), "Hosts", std::move(*hosts));
    if (!settings.passwordFile.empty())
        cfgfAddToDictionary(tree.get(), "PasswordFile", std::move(*cfgfNewString(settings.passwordFile.c_str())));
    return tree;
}
