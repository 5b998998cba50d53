// spamd_farm - the spamd hosts of a farm: which are up, how busy each is,
// and the way of one request through them
//
// SpamdFarm::Start           (start-up, reload) take the hosts of the
//                            settings, resolve their names and PING each;
//                            false when none answered
// SpamdFarm::Clear           forget every host (the settings name no farm)
// SpamdFarm::Exchange        one request: to the up host with the fewest
//                            exchanges in progress; after a connect failure,
//                            a refused TLS handshake, a time-out or a reply
//                            cut short the host is down and the request
//                            goes to the next, up to Retries more hosts
// SpamdFarm::ProbeDownHosts  (controller only, every second) PING the host
//                            down longest once it has been down for DownTime,
//                            its name resolved again; it is up again when it
//                            answers
// SpamdFarm::HostStates      every host's name and state (tests)
// PingSpamdHosts             one PING to every host of a farm's settings,
//                            keeping nothing (the check)
//
// A failed host is skipped by every request until a probe brings it back,
// so a dead host costs one request one connect time-out, not one per request.
// Each attempt is recorded per host in the statistics of the period and in
// the counters of the process.
//
// Scanning threads, the controller and the thread of a start-up or reload
// call it at once.  One mutex of the object guards the hosts and their state;
// it is never held during an exchange, a name resolution or a PING.  A
// reload replaces the hosts as a whole; an exchange keeps those it began with.
//
// Diagnostics: "* Connecting to spamd host <name>" and then "* engine: <word>
// at <name>" or "* spamd host <name> is down: <why>" at start-up and reload,
// "* no spamd host answered" when none did; "* spamd host <name> is down:
// <why>" when a host fails (once until it is back), "* spamd host <name> is
// up again" when a probe brings it back.
#pragma once

#include <ctime>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/system.h"
#include "config/spamd_settings.h"
#include "rating/spamd_client.h"
#include "stats/counters.h"
#include "stats/statistics.h"

class SpamdFarm {
public:
    struct HostState {
        std::string name;
        bool up = false;
        int inProgress = 0;
    };
    struct Outcome {
        bool answered = false;  // false: no host could rate the request
        unsigned long got = 0;  // reply bytes
        SpamdAnswer verdict;    // what the reply says (views into it)
    };

    SpamdFarm();
    ~SpamdFarm();
    SpamdFarm(const SpamdFarm&) = delete;
    SpamdFarm& operator=(const SpamdFarm&) = delete;

    bool Start(const SpamdSettings& settings);
    void Clear();
    // Exchange - reply must hold capacity + 1 bytes; it is always NUL-terminated.
    Outcome Exchange(std::initializer_list<std::string_view> request, char* reply, unsigned long capacity, bool symbols,
                     Statistics& statistics, Counters& counters);
    void ProbeDownHosts(time_t now);
    std::vector<HostState> HostStates() const;

private:
    struct Hosts;

    mutable GuardedMutex mutex;
    std::shared_ptr<Hosts> hosts;  // guarded by mutex
};

// PingSpamdHosts - a result per host, in the order of the settings.
std::vector<PingResult> PingSpamdHosts(const SpamdSettings& settings);
