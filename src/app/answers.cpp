#include "app/answers.h"

#include "base/output.h"
#include "rating/headers.h"

namespace {

// Answer - write the reply and record the request when it was this answer
// that reached the host.
void Answer(Recorder& recorder, FileRequest& request, const Reply& reply, RequestOutcome outcome,
            const MessageRecord* record, double seconds)
{
    if (AnswerRequest(request, reply))
        recorder.RecordRequest(outcome, record, seconds);
}

}  // namespace

AfterAnswer AnswerScan(Recorder& recorder, FileRequest& request, const ScanResult& result, const Settings& settings,
                       double seconds)
{
    std::string& headers = ScanBuffers::ForThisThread().headers;
    const MessageRecord* counted = result.fileExists ? &result.record : nullptr;
    switch (result.verdict) {
    case ScanVerdict::Rated:
        BuildHeaderText(settings, result.rating, headers, result.words);
        Answer(recorder, request, {ReplyKind::Headers, headers}, RequestOutcome::Rated, counted, seconds);
        break;
    case ScanVerdict::Whitelisted:
        BuildWhitelistHeaderText(settings, headers);
        Answer(recorder, request, {ReplyKind::Headers, headers}, RequestOutcome::Whitelisted, counted, seconds);
        break;
    case ScanVerdict::Unrated:
        BuildHeaderText(settings, 0, headers);
        Answer(recorder, request, {ReplyKind::Headers, headers}, RequestOutcome::Unrated, counted, seconds);
        break;
    case ScanVerdict::Unreachable:
        Answer(recorder, request, {ReplyKind::Unreachable, request.Path(), result.error}, RequestOutcome::Failed,
               counted, seconds);
        break;
    case ScanVerdict::NoMemory:
        Answer(recorder, request, {ReplyKind::NoMemory, {}, result.error}, RequestOutcome::Failed, counted, seconds);
        break;
    case ScanVerdict::Unavailable:
        switch (settings.spamd.onUnavailable) {
        case OnUnavailableMode::Neutral: {
            PrintMsg("* no spamd host could rate %s, answered with rating 0\n", request.Path());
            MessageRecord unrated;
            unrated.unrated = true;
            BuildHeaderText(settings, 0, headers);
            Answer(recorder, request, {ReplyKind::Headers, headers}, RequestOutcome::Unrated, &unrated, seconds);
            break;
        }
        case OnUnavailableMode::Exit:
            PrintMsg("* no spamd host could rate %s, we'll quit\n", request.Path());
            // The host retries the message with the next plugin.
            Answer(recorder, request, {ReplyKind::Unavailable}, RequestOutcome::Rejected, nullptr, seconds);
            return AfterAnswer::ShutDown;
        case OnUnavailableMode::Reject:
            PrintMsg("* no spamd host could rate %s\n", request.Path());
            Answer(recorder, request, {ReplyKind::Unavailable}, RequestOutcome::Rejected, nullptr, seconds);
            break;
        }
        break;
    }
    return AfterAnswer::Continue;
}

void AnswerUnscanned(Recorder& recorder, FileRequest& request, const Settings& settings)
{
    std::string& headers = ScanBuffers::ForThisThread().headers;
    BuildHeaderText(settings, 0, headers);
    MessageRecord unrated;
    unrated.unrated = true;
    Answer(recorder, request, {ReplyKind::Headers, headers}, RequestOutcome::Unrated, &unrated, 0);
}

void AnswerRejected(Recorder& recorder, FileRequest& request)
{
    if (AnswerIfOpen(request, {ReplyKind::TryLater}))
        recorder.RecordAnswer(RequestOutcome::Rejected);
}

void AnswerGivenUp(Recorder& recorder, std::string_view id, double seconds)
{
    WriteClaimedAnswer(id, {ReplyKind::TimedOut});
    // The message was handled, if badly: the period's figures must show it.
    recorder.RecordGivenUp(seconds);
}

void AnswerRefused(Recorder& recorder, std::string_view id, const Reply& reply)
{
    SendReply(id, reply);
    if (IsRejection(reply.kind))
        recorder.RecordAnswer(RequestOutcome::Rejected);
    else
        recorder.RecordAnswer(RequestOutcome::Failed);
}
