// engine_farm - the engine hosts that rate messages (spamd and rspamd, side
// by side): which are up, how busy each is, and the way of one message
// through them
//
// EngineFarm::Start           (start-up, reload) take the hosts of the
//                            settings, resolve their names and PING each;
//                            false when none answered (the hosts that did
//                            not start down and are probed)
// EngineFarm::Exchange        one message: to the up host with the fewest
//                            exchanges in progress, then as its outcome says
//                            (below)
// EngineFarm::ProbeDownHosts  (controller, every pass) PING the host down
//                            longest once it has been down for DownTime, its
//                            name resolved again; it is up again when it answers
// EngineFarm::HostStates      every host's name and state (metrics, report)
// PingEngineHosts             one PING to every host of a farm's settings,
//                            keeping nothing (the check)
//
// What an exchange's outcome does:
//   the host is in trouble (no connection, a refused or timed-out connect or
//   TLS handshake, spamd's EX_UNAVAILABLE, EX_OSERR or EX_TEMPFAIL, an HTTP
//   5xx of rspamd): it is
//   down and the message goes to the next host, up to Retries more; a down
//   host is skipped by every message until a probe brings it back, so a dead
//   host costs one message one connect time-out, not one per message;
//   the message could not be rated (no complete reply, a reply time-out, an
//   answer without a verdict or with a threshold of 0 or less, a reply
//   rspamd's framing or JSON cannot be read): after a cut or a time-out the
//   host is PINGed at once (within ConnectTimeout) and stays up when it
//   answers, unless it has failed three messages in a row, which takes it
//   out whatever a PING says; one other host that can be reached, if there
//   is one, is tried once (hosts in trouble met on the way count against
//   Retries only); without a verdict from it the
//   message is Unrated (a message that no engine can rate must not come back
//   from the host's retries for ever);
//   no host could be asked: Unavailable, and OnUnavailable decides.
// The one spamd of SocketPath (single) keeps what the plugin has always
// done: every message tries it, only a failed connect makes it Unavailable,
// every other failure leaves the message Unrated; its lines are those of
// the one socket ("* Connecting to socket ...", "* failed to connect to
// socket ...").  Every attempt is recorded through the recorder.
//
// Scanning threads, the controller and the thread of a start-up or reload
// call it at once.  One mutex of the object guards the hosts and their state;
// it is never held during an exchange, a name resolution or a PING.  A
// reload replaces the hosts as a whole; an exchange keeps those it began with.
//
// Diagnostics, each naming the host's engine ("spamd host", "rspamd host"):
// "* Connecting to spamd host <name>" and then "* engine: <word> at <name>"
// or "* spamd host <name> is down: <why>" at start-up and reload, "* no spamd
// host answered" ("engine" for a farm of both engines) when none did; "* spamd host <name> is down: <why>" when a
// host fails (once until it is back), "* spamd host <name> is up again" when
// a probe brings it back.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/system.h"
#include "config/spamd_settings.h"
#include "rating/engine.h"
#include "rating/envelope.h"
#include "rating/spamc_protocol.h"
#include "rating/engine_connection.h"
#include "stats/recorder.h"

// MessageToRate - what the farm needs of a message to ask an engine.
struct MessageToRate {
    const char* text = "";                // the message file's text, envelope included
    unsigned long envelopeLength = 0;
    std::string_view requestId;
    std::string_view body;                // the message after the envelope
    std::string_view spamdUser;           // spamd's User header ("": none)
    bool wantRules = false;               // spamd is asked with SYMBOLS for the rule names
    MonotonicClock::time_point until = MonotonicClock::time_point::max();  // the exchanges end by then
};

// FarmAnswer - what became of a message; its texts keep their room from
// one message to the next.
struct FarmAnswer : EngineVerdict {
    enum class Kind { Rated, Unrated, Unavailable };
    Kind kind = Kind::Unavailable;
    std::string why;            // Unrated: what the last engine answered
    std::string host;           // the host asked last (empty: none was)
    EngineKind engine = EngineKind::Spamd;  // its engine
};

// ExchangeBuffers - a scanning thread's request head, reply and envelope
// views, kept from one message to the next.
struct ExchangeBuffers {
    std::string head;
    std::string reply;
    EnvelopeAddresses envelope;
};

class EngineFarm {
public:
    struct HostState {
        std::string name;
        EngineKind engine = EngineKind::Spamd;
        bool up = false;
        int inProgress = 0;
    };

    EngineFarm();
    ~EngineFarm();
    EngineFarm(const EngineFarm&) = delete;
    EngineFarm& operator=(const EngineFarm&) = delete;

    bool Start(const SpamdSettings& settings);
    void Exchange(const MessageToRate& message, Recorder& recorder, ExchangeBuffers& buffers, FarmAnswer& answer);
    // ProbeDownHosts - now: the controller's monotonic seconds.
    void ProbeDownHosts(int64_t now);
    std::vector<HostState> HostStates() const;

private:
    struct Host;
    struct Hosts;

    // Attempt - one exchange with one host at the addresses it had when
    // picked; its outcome.
    ExchangeOutcome Attempt(Hosts& hosts, Host& host, const EngineAddresses& addresses,
                            const MessageToRate& message, Recorder& recorder, ExchangeBuffers& buffers,
                            FarmAnswer& answer);
    // MarkDown - the host is down; its line is written once until it is back.
    void MarkDown(Host& host, bool single, const std::string& why, int error);

    mutable GuardedMutex mutex;
    std::shared_ptr<Hosts> hosts;  // guarded by mutex
};

// PingResult - a host's answer to one PING: its protocol word (spamd's
// "SPAMD/1.5", rspamd's "rspamd/3.4"), or why none.
struct PingResult {
    bool answered = false;
    std::string word;
    double seconds = 0;
    std::string problem;
};
// PingEngineHosts - a result per host, in the order of the settings.
std::vector<PingResult> PingEngineHosts(const SpamdSettings& settings);
