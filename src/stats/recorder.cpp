#include "stats/recorder.h"

void Recorder::RecordExchange(std::string_view host, ExchangeOutcome outcome, double seconds)
{
    statistics.RecordExchange(host, outcome, static_cast<uint64_t>(seconds * 1000));
    counters.CountExchange(host, outcome, seconds);
}

void Recorder::RecordRequest(RequestOutcome outcome, const MessageRecord* record, double seconds)
{
    if (record != nullptr)
        statistics.RecordMessage(*record);
    counters.CountMessage(outcome, outcome == RequestOutcome::Rated && record != nullptr ? record->rating : -1,
                          seconds);
}
