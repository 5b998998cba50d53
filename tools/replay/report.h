// report - what the replay tool prints: the line per message, the summary
// and the figures file
//
// MessageLine     "<file>: <header text>" or "<file>: <reply>"
// Summary         the figures of one replay
// FormatSummary   the summary block for people
// FormatFigures   the same figures as key=value lines for scripts
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "replay/baselines.h"
#include "replay/host_protocol.h"
#include "replay/session.h"

namespace replay {

std::string MessageLine(const std::string& label, const OutputLine& reply);

struct Summary {
    const SessionResult* session = nullptr;
    std::vector<int> scoreRanges;
    int threads = 0;
    size_t inFlight = 0;
    std::string engines = "spamd";           // "spamd", "rspamd" or "spamd and rspamd"
    std::string spamd;                       // what answered: "fake 1000/5", "socket /run/..."
    std::optional<BaselineResult> floor;
    std::vector<std::pair<int, BaselineResult>> spamc;  // by parallel processes
};

std::string FormatSummary(const Summary& summary);
std::string FormatFigures(const Summary& summary);

// ReplayExitStatus - 0 clean, 2 exactly-once check failed, 3 the plugin failed.
int ReplayExitStatus(const SessionResult& session);

}  // namespace replay
