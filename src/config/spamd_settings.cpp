#include "config/spamd_settings.h"

#include <algorithm>
#include <cstdarg>
#include <cstring>
#include <strings.h>

#include "base/output.h"

namespace {

const char* const kKeys[] = {"Hosts", "ConnectTimeout", "ReplyTimeout", "Retries", "DownTime",
                             "User", "OnUnavailable", "TLS"};
const char* const kTlsKeys[] = {"CAFile", "CertFile", "KeyFile"};
const char* const kOnUnavailableNames[] = {"Reject", "Neutral", "Exit"};

// Known - is key one of names.
template <size_t N>
bool Known(const std::string& key, const char* const (&names)[N])
{
    return std::any_of(std::begin(names), std::end(names), [&](const char* name) { return key == name; });
}

// ValidPort - 1 to 65535 in decimal digits.
bool ValidPort(std::string_view port)
{
    if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string_view::npos)
        return false;
    const int value = std::stoi(std::string(port));
    return value >= 1 && value <= 65535;
}

// HasControlCharacter - a line feed or the like would break a request line to spamd.
bool HasControlCharacter(std::string_view text)
{
    return std::any_of(text.begin(), text.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; });
}

// Reader - reads the keys of one dictionary, remembering whether any was wrong.
class Reader {
public:
    explicit Reader(const cfgfItem* dictionary) : dict(dictionary) {}

    const cfgfItem* Value(const char* key, cfgfItemType type)
    {
        const cfgfItem* value = cfgfGetDictValue(dict, key, cfgfAny);
        if (value != nullptr && value->type != type) {
            Fail(value, "Spamd: %s must be a%s %s", key, type == cfgfArray ? "n" : "", cfgfTypeStr[type - 1]);
            return nullptr;
        }
        return value;
    }

    void Text(const char* key, std::string& setting)
    {
        if (const cfgfItem* value = Value(key, cfgfString)) {
            if (HasControlCharacter(value->text))
                Fail(value, "Spamd: %s may not hold control characters", key);
            else
                setting = value->text;
        }
    }

    void Seconds(const char* key, int low, int high, int& setting)
    {
        const cfgfItem* value = Value(key, cfgfString);
        if (value == nullptr)
            return;
        const std::string& text = value->text;
        const bool digits =
            !text.empty() && text.size() <= 9 && text.find_first_not_of("0123456789") == std::string::npos;
        const int number = digits ? std::stoi(text) : -1;
        if (number < low || number > high)
            Fail(value, "Spamd: %s must be a number from %d to %d", key, low, high);
        else
            setting = number;
    }

    [[gnu::format(printf, 3, 4)]] void Fail(const cfgfItem* item, const char* format, ...)
    {
        va_list args;
        va_start(args, format);
        const std::string text = FormatTextV(format, args);
        va_end(args);
        cfgfError(item, "%s", text.c_str());
        failed = true;
    }

    const cfgfItem* dict;
    bool failed = false;
};

void ReadHosts(Reader& reader, SpamdSettings& settings)
{
    const cfgfItem* hosts = reader.Value("Hosts", cfgfArray);
    if (hosts == nullptr) {
        // Time limits alone are those of the one spamd of SocketPath.
        const bool limitsOnly = std::all_of(reader.dict->keys.begin(), reader.dict->keys.end(), [](const auto& key) {
            return key == "ConnectTimeout" || key == "ReplyTimeout";
        });
        if (cfgfGetDictValue(reader.dict, "Hosts", cfgfAny) == nullptr && limitsOnly)
            settings.single = true;
        else if (cfgfGetDictValue(reader.dict, "Hosts", cfgfAny) == nullptr)
            reader.Fail(reader.dict, "Spamd: Hosts = ( ... ); is missing");
        return;
    }
    if (hosts->values.empty() || hosts->values.size() > kMaxEngineHosts)
        reader.Fail(hosts, "Spamd: Hosts must name 1 to %zu hosts", kMaxEngineHosts);
    for (const cfgfItem& entry : hosts->values) {
        std::string why;
        std::optional<EngineHost> host;
        if (entry.type != cfgfString)
            why = "a host must be a string";
        else
            host = ParseEngineHost(entry.text, why);
        if (!host) {
            reader.Fail(&entry, "Spamd: host %s: %s", entry.type == cfgfString ? entry.text.c_str() : "", why.c_str());
            continue;
        }
        if (std::find(settings.hosts.begin(), settings.hosts.end(), *host) != settings.hosts.end()) {
            reader.Fail(&entry, "Spamd: host %s is named twice", host->name.c_str());
            continue;
        }
        settings.hosts.push_back(std::move(*host));
    }
}

void ReadOnUnavailable(Reader& reader, OnUnavailableMode& mode)
{
    const cfgfItem* value = reader.Value("OnUnavailable", cfgfString);
    if (value == nullptr)
        return;
    for (int n = 0; n < 3; n++)
        if (strcasecmp(value->text.c_str(), kOnUnavailableNames[n]) == 0) {
            mode = static_cast<OnUnavailableMode>(n);
            return;
        }
    reader.Fail(value, "Spamd: OnUnavailable can be either Reject, Neutral or Exit");
}

void ReadTls(Reader& outer, EngineTlsSettings& tls)
{
    const cfgfItem* dict = outer.Value("TLS", cfgfDictionary);
    if (dict == nullptr)
        return;
    Reader reader(dict);
    for (const std::string& key : dict->keys)
        if (!Known(key, kTlsKeys))
            reader.Fail(dict, "Spamd: TLS has no key %s", key.c_str());
    reader.Text("CAFile", tls.caFile);
    reader.Text("CertFile", tls.certFile);
    reader.Text("KeyFile", tls.keyFile);
    if (!tls.keyFile.empty() && tls.certFile.empty())
        reader.Fail(dict, "Spamd: TLS KeyFile needs a CertFile");
    outer.failed |= reader.failed;
}

}  // namespace

const char* EngineName(EngineKind engine) { return engine == EngineKind::Rspamd ? "rspamd" : "spamd"; }

const char* FarmEngineWord(const SpamdSettings& settings)
{
    const auto& hosts = settings.hosts;
    if (hosts.empty())
        return "spamd";
    const EngineKind first = hosts.front().engine;
    const bool one =
        std::all_of(hosts.begin(), hosts.end(), [&](const EngineHost& host) { return host.engine == first; });
    return one ? EngineName(first) : "engine";
}

std::optional<EngineHost> ParseEngineHost(std::string_view entry, std::string& why)
{
    EngineHost host;
    host.name = std::string(entry);
    if (entry.starts_with("rspamd:")) {
        host.engine = EngineKind::Rspamd;
        entry.remove_prefix(7);
        // rspamd guards its workers by its own means, not by TLS on the socket.
        if (entry.starts_with("ssl:")) {
            why = "TLS to rspamd is not supported";
            return std::nullopt;
        }
    }
    if (entry.starts_with("ssl:")) {
        host.transport = EngineTransport::Tls;
        entry.remove_prefix(4);
        if (entry.starts_with('/')) {
            why = "TLS needs host:port";
            return std::nullopt;
        }
    } else if (entry.starts_with('/')) {
        // A cut path would name another socket.
        if (entry.size() > kMaxSocketPath) {
            why = FormatText("a socket path holds at most %zu bytes", kMaxSocketPath);
            return std::nullopt;
        }
        host.address = std::string(entry);
        return host;
    } else {
        host.transport = EngineTransport::Tcp;
    }
    std::string_view port;
    if (entry.starts_with('[')) {
        const size_t close = entry.find(']');
        if (close == std::string_view::npos || close == 1) {
            why = "an IPv6 address needs its closing bracket";
            return std::nullopt;
        }
        host.address = std::string(entry.substr(1, close - 1));
        const std::string_view rest = entry.substr(close + 1);
        if (!rest.empty() && !rest.starts_with(':')) {
            why = "only :port may follow the bracketed address";
            return std::nullopt;
        }
        port = rest.empty() ? rest : rest.substr(1);
    } else {
        const size_t colon = entry.find(':');
        if (colon != std::string_view::npos && entry.find(':', colon + 1) != std::string_view::npos) {
            why = "write an IPv6 address in brackets: [address]:port";
            return std::nullopt;
        }
        host.address = std::string(entry.substr(0, colon));
        if (colon != std::string_view::npos)
            port = entry.substr(colon + 1);
    }
    if (host.address.empty() || HasControlCharacter(host.address) || host.address.find(' ') != std::string::npos) {
        why = "no host name";
        return std::nullopt;
    }
    const int defaultPort = host.engine == EngineKind::Rspamd ? kDefaultRspamdPort : kDefaultSpamdPort;
    host.port = port.empty() ? std::to_string(defaultPort) : std::string(port);
    if (!ValidPort(host.port)) {
        why = "the port must be a number from 1 to 65535";
        return std::nullopt;
    }
    return host;
}

SpamdSettings SocketPathFarm(const std::string& socketPath)
{
    SpamdSettings settings;
    EngineHost& host = settings.hosts.emplace_back();
    host.name = socketPath;
    host.address = socketPath;
    settings.retries = 0;
    settings.onUnavailable = OnUnavailableMode::Exit;
    settings.single = true;
    return settings;
}

std::string SpamdTimeProblem(const SpamdSettings& settings)
{
    const long budget = long{kMaxScanningTime} * kExchangeBudgetPerMille / 1000;
    const long worst = (long{settings.retries} + 1) * settings.replyTimeout;
    if (settings.replyTimeout == 0 || worst <= budget)
        return std::string();
    return FormatText("(Retries + 1) x ReplyTimeout is %ld seconds, more than the %ld seconds a message's exchanges "
                      "may take before its scan is given up; they end there and the message is unrated",
                      worst, budget);
}

std::optional<SpamdSettings> ReadSpamdSettings(const cfgfItem* spamd)
{
    if (spamd == nullptr)
        return std::nullopt;
    if (spamd->type != cfgfDictionary) {
        cfgfError(spamd, "Spamd must be a dictionary: Spamd = { Hosts = ( ... ); };");
        return std::nullopt;
    }
    SpamdSettings settings;
    Reader reader(spamd);
    for (const std::string& key : spamd->keys)
        if (!Known(key, kKeys))
            reader.Fail(spamd, "Spamd has no key %s", key.c_str());
    ReadHosts(reader, settings);
    reader.Seconds("ConnectTimeout", 1, 3600, settings.connectTimeout);
    reader.Seconds("ReplyTimeout", 0, 86400, settings.replyTimeout);
    reader.Seconds("Retries", 0, 100, settings.retries);
    reader.Seconds("DownTime", 0, 86400, settings.downTime);
    reader.Text("User", settings.user);
    ReadOnUnavailable(reader, settings.onUnavailable);
    ReadTls(reader, settings.tls);
    if (reader.failed)
        return std::nullopt;
    if (const std::string problem = SpamdTimeProblem(settings); !problem.empty())
        PrintMsg("* Spamd: %s\n", problem.c_str());
    return settings;
}

std::unique_ptr<cfgfItem> SpamdSettingsTree(const SpamdSettings& settings)
{
    const auto add = [](cfgfItem& dict, const char* key, const std::string& value) {
        cfgfAddToDictionary(&dict, key, std::move(*cfgfNewString(value.c_str())));
    };
    auto tree = cfgfNewDictionary();
    if (settings.single) {
        add(*tree, "ConnectTimeout", std::to_string(settings.connectTimeout));
        add(*tree, "ReplyTimeout", std::to_string(settings.replyTimeout));
        return tree;
    }
    auto hosts = cfgfNewArray();
    for (const EngineHost& host : settings.hosts)
        cfgfAddToArray(hosts.get(), std::move(*cfgfNewString(host.name.c_str())));
    cfgfAddToDictionary(tree.get(), "Hosts", std::move(*hosts));
    add(*tree, "ConnectTimeout", std::to_string(settings.connectTimeout));
    add(*tree, "ReplyTimeout", std::to_string(settings.replyTimeout));
    add(*tree, "Retries", std::to_string(settings.retries));
    add(*tree, "DownTime", std::to_string(settings.downTime));
    add(*tree, "User", settings.user);
    add(*tree, "OnUnavailable", std::string(kOnUnavailableNames[static_cast<int>(settings.onUnavailable)]));
    auto tls = cfgfNewDictionary();
    add(*tls, "CAFile", settings.tls.caFile);
    add(*tls, "CertFile", settings.tls.certFile);
    add(*tls, "KeyFile", settings.tls.keyFile);
    cfgfAddToDictionary(tree.get(), "TLS", std::move(*tls));
    return tree;
}
