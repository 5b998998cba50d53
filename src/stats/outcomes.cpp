#include "stats/outcomes.h"

const char* RequestOutcomeName(RequestOutcome outcome)
{
    switch (outcome) {
    case RequestOutcome::Rated: return "rated";
    case RequestOutcome::Whitelisted: return "whitelisted";
    case RequestOutcome::Unrated: return "unrated";
    case RequestOutcome::Failed: return "failed";
    case RequestOutcome::Rejected: return "rejected";
    }
    return "failed";
}

const char* ExchangeOutcomeName(ExchangeOutcome outcome)
{
    switch (outcome) {
    case ExchangeOutcome::Rated: return "rated";
    case ExchangeOutcome::Unrated: return "unrated";
    case ExchangeOutcome::HostError: return "host_error";
    case ExchangeOutcome::Cut: return "cut";
    case ExchangeOutcome::TimedOut: return "timeout";
    case ExchangeOutcome::Unreachable: return "unreachable";
    }
    return "cut";
}
