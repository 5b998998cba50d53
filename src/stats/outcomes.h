// outcomes - how a FILE request ended and how one exchange with an engine
// host ended
//
// RequestOutcome   the answer a FILE request got
// ExchangeOutcome  what one exchange with one host brought
// IsHostTrouble    the host itself is in trouble (it is taken out of the farm)
// RequestOutcomeName, ExchangeOutcomeName  the names the metrics show
//
// Pure; every module that counts or decides by an outcome uses these.
#pragma once

enum class RequestOutcome {
    Rated,        // an engine's verdict
    Whitelisted,  // answered at once for a whitelisted sender
    Unrated,      // the rating-0 headers: no engine gave a verdict
    Failed,       // FAILURE: the request or its file could not be handled
    Rejected,     // REJECTED: the host retries it later
};
constexpr int kRequestOutcomes = 5;

enum class ExchangeOutcome {
    Rated,        // a verdict
    Unrated,      // an answer without a verdict for this message (an error status, no score)
    HostError,    // an answer that says the host is in trouble (it cannot work now)
    Cut,          // the connection closed, or writing failed, before the reply was complete
    TimedOut,     // no complete reply within the reply time
    Unreachable,  // no connection: refused, unreachable, connect or TLS time-out, TLS refused
};
constexpr int kExchangeOutcomes = 6;

inline bool IsHostTrouble(ExchangeOutcome outcome)
{
    return outcome == ExchangeOutcome::HostError || outcome == ExchangeOutcome::Unreachable;
}

const char* RequestOutcomeName(RequestOutcome outcome);    // "rated", "whitelisted", ...
const char* ExchangeOutcomeName(ExchangeOutcome outcome);  // "rated", "unrated", "host_error", ...
