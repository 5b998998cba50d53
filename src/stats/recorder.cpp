#include "stats/recorder.h"

void Recorder::RecordExchange(std::string_view host, ExchangeOutcome outcome, double seconds)
{
    statistics.RecordExchange(host, outcome, static_cast<uint64_t>(seconds * 1000));
    counters.CountExchange(host, outcome, seconds);
}

void Recorder::RecordGivenUp(double seconds)
{
    MessageRecord record;
    record.givenUp = true;
    RecordRequest(RequestOutcome::Rejected, &record, seconds);
}

void Recorder::RecordRequest(RequestOutcome outcome, const MessageRecord* record, double seconds)
{
    if (record != nullptr) {
        // The scan cannot know its own handling time: the answer ends it.
        MessageRecord timed = *record;
        timed.milliseconds = seconds > 0 ? static_cast<uint64_t>(seconds * 1000) : 0;
        statistics.RecordMessage(timed);
    }
    counters.CountMessage(outcome, outcome == RequestOutcome::Rated && record != nullptr ? record->rating : -1,
                          seconds);
}
