#include "replay/options.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <set>

#include "replay/figures.h"

namespace replay {

namespace {

bool ParseCount(const std::string& text, size_t low, size_t high, size_t& value)
{
    if (text.empty() || text[0] == '-')
        return false;
    char* end = nullptr;
    errno = 0;
    unsigned long long parsed = strtoull(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || parsed < low || parsed > high)
        return false;
    value = static_cast<size_t>(parsed);
    return true;
}

}  // namespace

const char* UsageText()
{
    return "usage: velmora-replay [options] MESSAGES...\n"
           "\n"
           "Feeds messages through the plugin as the host does and reports every verdict.\n"
           "MESSAGES are message files, mbox files and directories of them.\n"
           "\n"
           "spamd (one of):\n"
           "  --socket PATH             spamd's Unix socket\n"
           "  --spamd-hosts LIST        a farm: Unix sockets and host:port, comma-separated,\n"
           "                            \"rspamd:\" in front for an rspamd host (the plugin's\n"
           "                            Spamd dictionary; the raw client sends message n\n"
           "                            to host n modulo their number, in its protocol)\n"
           "  --fake-spamd S/T[:MS]     built-in fake spamd answering score S, threshold T,\n"
           "                            after MS milliseconds\n"
           "  --config FILE             the plugin's settings file, used as is (its\n"
           "                            SocketPath and MaxScanningThreads apply)\n"
           "plugin:\n"
           "  --plugin PATH             plugin binary (default: next to this tool)\n"
           "  --threads N               scanning threads, 1-100 (default 10)\n"
           "  --whitelist FILE          the plugin's whitelist.txt (default: none)\n"
           "  --ranges LIST             score ranges, e.g. 0,39,76,84,90,99,100\n"
           "  --in-flight N             FILE requests outstanding (default 2 x threads)\n"
           "  --timeout SECONDS         give up after this long without a reply (default 120)\n"
           "envelope:\n"
           "  --sender ADDRESS          P line for every message (default: From)\n"
           "  --recipient ADDRESS       R line, repeatable (default: To and Cc)\n"
           "  --source TEXT             S line (default: newest Received address)\n"
           "messages:\n"
           "  --synthetic N[:BYTES]     add N generated messages of about BYTES (4096)\n"
           "  --count N                 feed N messages, cycling through the inputs\n"
           "comparisons:\n"
           "  --floor                   also time a raw client doing only the unavoidable\n"
           "                            work, with the same threads on the same messages\n"
           "  --floor-first             the same, measured before the plugin runs\n"
           "  --spamc                   also time spamc -c once per message\n"
           "  --spamc-binary PATH       spamc to run (default: spamc from PATH)\n"
           "  --spamc-messages N        messages for the spamc runs (default 1000)\n"
           "output:\n"
           "  --quiet                   no line per message\n"
           "  --workdir DIR             lay out and keep the plugin's working directory in DIR\n"
           "  --figures FILE            write the figures as key=value lines\n"
           "  --help\n"
           "\n"
           "Exit status: 0 all answered once and the plugin ended cleanly; 1 usage or\n"
           "set-up error; 2 a request answered twice, not at all, or an unknown id;\n"
           "3 the plugin failed (ended early, exit status not 0, QUIT not answered).\n";
}

bool ParseOptions(int argc, const char* const* argv, ReplayOptions& options, std::string& error)
{
    static const std::set<std::string> kValueOptions = {
        "--socket", "--fake-spamd", "--config",    "--plugin",        "--threads",       "--ranges",
        "--in-flight", "--timeout", "--sender",    "--recipient",     "--source",        "--synthetic",
        "--count",  "--whitelist", "--spamc-binary", "--spamc-messages", "--workdir", "--figures", "--spamd-hosts"};
    bool rangesGiven = false;
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        if (!arg.starts_with("--")) {
            options.inputs.push_back(arg);
            continue;
        }
        std::string value;
        size_t equals = arg.find('=');
        bool inlineValue = equals != std::string::npos;
        if (inlineValue) {
            value = arg.substr(equals + 1);
            arg.resize(equals);
        }
        auto takeValue = [&]() -> bool {
            if (inlineValue)
                return true;
            if (i + 1 >= argc) {
                error = arg + " needs a value";
                return false;
            }
            value = argv[++i];
            return true;
        };
        auto bad = [&]() {
            error = "bad value for " + arg + ": " + value;
            return false;
        };
        size_t number = 0;

        if (arg == "--help") {
            options.help = true;
        } else if (arg == "--quiet") {
            options.quiet = true;
        } else if (arg == "--floor") {
            options.floor = true;
        } else if (arg == "--floor-first") {
            options.floor = true;
            options.floorFirst = true;
        } else if (arg == "--spamc") {
            options.spamc = true;
        } else if (!kValueOptions.contains(arg)) {
            error = "unknown option " + arg;
            return false;
        } else if (!takeValue()) {
            return false;
        } else if (arg == "--socket") {
            options.socket = value;
        } else if (arg == "--spamd-hosts") {
            for (size_t start = 0, comma; start <= value.size(); start = comma + 1) {
                comma = std::min(value.find(',', start), value.size());
                if (comma == start)
                    return bad();
                options.spamdHosts.push_back(value.substr(start, comma - start));
            }
        } else if (arg == "--fake-spamd") {
            FakeVerdict verdict;
            if (!ParseFakeVerdict(value, verdict))
                return bad();
            options.fakeSpamd = verdict;
        } else if (arg == "--config") {
            options.config = value;
        } else if (arg == "--whitelist") {
            options.whitelist = value;
        } else if (arg == "--plugin") {
            options.plugin = value;
        } else if (arg == "--threads") {
            if (!ParseCount(value, 1, 100, number))
                return bad();
            options.threads = static_cast<int>(number);
            options.threadsGiven = true;
        } else if (arg == "--ranges") {
            if (!ParseScoreRanges(value, options.scoreRanges))
                return bad();
            rangesGiven = true;
        } else if (arg == "--in-flight") {
            if (!ParseCount(value, 1, 1000000, options.inFlight))
                return bad();
        } else if (arg == "--timeout") {
            if (!ParseCount(value, 1, 86400, number))
                return bad();
            options.timeoutSeconds = static_cast<int>(number);
        } else if (arg == "--sender") {
            options.envelope.sender = value;
        } else if (arg == "--recipient") {
            options.envelope.recipients.push_back(value);
        } else if (arg == "--source") {
            options.envelope.source = value;
        } else if (arg == "--synthetic") {
            size_t colon = value.find(':');
            if (!ParseCount(value.substr(0, colon), 1, 10000000, options.synthetic))
                return bad();
            if (colon != std::string::npos && !ParseCount(value.substr(colon + 1), 200, 1048576, options.syntheticSize))
                return bad();
        } else if (arg == "--count") {
            if (!ParseCount(value, 1, 10000000, options.count))
                return bad();
        } else if (arg == "--spamc-binary") {
            options.spamcBinary = value;
        } else if (arg == "--spamc-messages") {
            if (!ParseCount(value, 1, 10000000, options.spamcMessages))
                return bad();
        } else if (arg == "--workdir") {
            options.workDir = value;
        } else if (arg == "--figures") {
            options.figuresFile = value;
        }
    }
    if (options.help)
        return true;
    if (!rangesGiven)
        options.scoreRanges = kDefaultScoreRanges;
    int spamdChoices = (options.socket ? 1 : 0) + (options.fakeSpamd ? 1 : 0) + (options.spamdHosts.empty() ? 0 : 1);
    if (spamdChoices > 1) {
        error = "--socket, --spamd-hosts and --fake-spamd exclude each other";
        return false;
    }
    if (options.config && options.fakeSpamd) {
        error = "--fake-spamd needs a generated settings file; drop --config";
        return false;
    }
    if (spamdChoices == 0 && !options.config) {
        error = "say where spamd is: --socket PATH, --spamd-hosts LIST, --fake-spamd S/T or --config FILE";
        return false;
    }
    if (options.inputs.empty() && options.synthetic == 0) {
        error = "no messages given";
        return false;
    }
    return true;
}

size_t DefaultInFlight(int threads) { return static_cast<size_t>(std::max(4, 2 * threads)); }

std::optional<std::string> ConfigValue(std::string_view text, std::string_view key)
{
    size_t pos = 0;
    int depth = 0;  // inside { } or ( ) nothing is top level
    std::optional<std::string> found;
    while (pos < text.size()) {
        char c = text[pos];
        if (c == '#') {
            size_t end = text.find('\n', pos);
            pos = end == std::string_view::npos ? text.size() : end + 1;
            continue;
        }
        if (c == '"') {
            pos++;
            while (pos < text.size() && text[pos] != '"')
                pos += text[pos] == '\\' ? 2 : 1;
            pos++;
            continue;
        }
        if (c == '{' || c == '(') {
            depth++;
            pos++;
            continue;
        }
        if (c == '}' || c == ')') {
            depth--;
            pos++;
            continue;
        }
        bool startOfWord = pos == 0 || !(std::isalnum(static_cast<unsigned char>(text[pos - 1])) ||
                                         text[pos - 1] == '_');
        if (depth == 0 && startOfWord && text.substr(pos).starts_with(key)) {
            size_t after = pos + key.size();
            while (after < text.size() && (text[after] == ' ' || text[after] == '\t'))
                after++;
            if (after < text.size() && text[after] == '=') {
                after++;
                while (after < text.size() && static_cast<unsigned char>(text[after]) <= ' ')
                    after++;
                std::string value;
                if (after < text.size() && text[after] == '"') {
                    after++;
                    while (after < text.size() && text[after] != '"') {
                        if (text[after] == '\\' && after + 1 < text.size())
                            after++;
                        value += text[after++];
                    }
                } else {
                    while (after < text.size() && text[after] != ';' && static_cast<unsigned char>(text[after]) > ' ')
                        value += text[after++];
                }
                found = value;  // a later duplicate wins, as in the plugin
                pos = after;
                continue;
            }
        }
        pos++;
    }
    return found;
}

}  // namespace replay
