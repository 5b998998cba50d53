#include "app/answers.h"

#include <cstring>
#include <string>

#include "base/output.h"
#include "base/text.h"
#include "rating/headers.h"

namespace {

// ResultFacts - what the result line of a request tells.
struct ResultFacts {
    const char* outcome;          // rated, whitelisted, unrated, rejected, failed
    int rating = -1;              // -1: none given
    double seconds = 0;           // the handling time
    const ScanResult* scan = nullptr;  // what the scan found, when it ran
    std::string why;              // unrated, rejected, failed
};

void AppendField(std::string& line, const char* key, std::string_view value)
{
    line += ' ';
    line += key;
    line += '=';
    AppendLogValue(line, value);
}

// ResultLine - "* result id=... outcome=..." with the fields the request has;
// empty when LogResults is off.  Every value from outside is escaped.
std::string ResultLine(const Settings& settings, std::string_view id, const ResultFacts& facts)
{
    std::string line;
    if (!settings.logResults)
        return line;
    line = "* result";
    AppendField(line, "id", id);
    line += " outcome=";
    line += facts.outcome;
    if (facts.rating >= 0)
        line += " rating=" + std::to_string(facts.rating);
    line += " ms=" + std::to_string(static_cast<long long>(facts.seconds * 1000 + 0.5));
    const ScanResult* scan = facts.scan;
    const FarmAnswer* answer = scan != nullptr ? scan->answer : nullptr;
    if (answer != nullptr) {
        line += " engine=";
        line += EngineName(answer->engine);
        AppendField(line, "host", answer->host);
        if (answer->kind == FarmAnswer::Kind::Rated)
            AppendField(line, "score", answer->scoreText + "/" + answer->thresholdText);
    }
    if (scan != nullptr && scan->verdict != ScanVerdict::Unreachable) {
        line += " size=" + std::to_string(scan->size);
        if (!scan->sender.empty())
            AppendField(line, "from", scan->sender);
        if (answer != nullptr && answer->kind == FarmAnswer::Kind::Rated && !answer->rules.empty())
            AppendField(line, "rules", answer->rules);
    }
    if (!facts.why.empty())
        AppendField(line, "why", ClipText(facts.why, 200));
    line += '\n';
    return line;
}

// Answer - write the reply, preceded by its result line, and record the
// request when it was this answer that reached the host.
void Answer(Recorder& recorder, FileRequest& request, const Reply& reply, RequestOutcome outcome,
            const MessageRecord* record, const ResultFacts& facts, const Settings& settings)
{
    if (AnswerRequest(request, reply, ResultLine(settings, request.Id(), facts)))
        recorder.RecordRequest(outcome, record, facts.seconds);
}

// WhyRefused - a refusal's reason in the result line.
std::string WhyRefused(const Reply& reply)
{
    switch (reply.kind) {
    case ReplyKind::MissingFileName: return "missing file name";
    case ReplyKind::IdTooLong: return "request id too long";
    case ReplyKind::Unreachable:
    case ReplyKind::NoMemory: return strerror(reply.error);
    case ReplyKind::TimedOut: return "timed out";
    case ReplyKind::Unavailable: return "no engine host could rate it";
    default: return "the plugin is stopping or the scan ended";
    }
}

}  // namespace

AfterAnswer AnswerScan(Recorder& recorder, FileRequest& request, const ScanResult& result, const Settings& settings,
                       double seconds)
{
    std::string& headers = ScanBuffers::ForThisThread().headers;
    const MessageRecord* counted = result.fileExists ? &result.record : nullptr;
    ResultFacts facts{"rated", result.rating, seconds, &result, {}};
    switch (result.verdict) {
    case ScanVerdict::Rated:
        BuildHeaderText(settings, result.rating, headers, result.words);
        Answer(recorder, request, {ReplyKind::Headers, headers}, RequestOutcome::Rated, counted, facts, settings);
        break;
    case ScanVerdict::Whitelisted:
        facts.outcome = "whitelisted";
        facts.rating = 0;
        BuildWhitelistHeaderText(settings, headers);
        Answer(recorder, request, {ReplyKind::Headers, headers}, RequestOutcome::Whitelisted, counted, facts,
               settings);
        break;
    case ScanVerdict::Unrated:
        facts.outcome = "unrated";
        facts.rating = 0;
        facts.why = result.answer != nullptr ? result.answer->why : "no verdict";
        BuildHeaderText(settings, 0, headers);
        Answer(recorder, request, {ReplyKind::Headers, headers}, RequestOutcome::Unrated, counted, facts, settings);
        break;
    case ScanVerdict::Unreachable:
    case ScanVerdict::NoMemory: {
        facts.outcome = "failed";
        facts.rating = -1;
        facts.why = strerror(result.error);
        const bool unreachable = result.verdict == ScanVerdict::Unreachable;
        const Reply reply = unreachable ? Reply{ReplyKind::Unreachable, request.Path(), result.error}
                                        : Reply{ReplyKind::NoMemory, {}, result.error};
        Answer(recorder, request, reply, RequestOutcome::Failed, counted, facts, settings);
        break;
    }
    case ScanVerdict::Unavailable:
        facts.why = "no engine host could rate it";
        switch (settings.spamd.onUnavailable) {
        case OnUnavailableMode::Neutral: {
            PrintMsg("* no %s host could rate %s, answered with rating 0\n", FarmEngineWord(settings.spamd),
                     request.Path());
            MessageRecord unrated;
            unrated.unrated = true;
            facts.outcome = "unrated";
            facts.rating = 0;
            BuildHeaderText(settings, 0, headers);
            Answer(recorder, request, {ReplyKind::Headers, headers}, RequestOutcome::Unrated, &unrated, facts,
                   settings);
            break;
        }
        case OnUnavailableMode::Exit:
            PrintMsg("* no %s host could rate %s, we'll quit\n", FarmEngineWord(settings.spamd), request.Path());
            facts.outcome = "rejected";
            facts.rating = -1;
            // The host retries the message with the next plugin.
            Answer(recorder, request, {ReplyKind::Unavailable}, RequestOutcome::Rejected, nullptr, facts, settings);
            return AfterAnswer::ShutDown;
        case OnUnavailableMode::Reject:
            PrintMsg("* no %s host could rate %s\n", FarmEngineWord(settings.spamd), request.Path());
            facts.outcome = "rejected";
            facts.rating = -1;
            Answer(recorder, request, {ReplyKind::Unavailable}, RequestOutcome::Rejected, nullptr, facts, settings);
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
    const ResultFacts facts{"unrated", 0, 0, nullptr, "the message crashed a scan before"};
    Answer(recorder, request, {ReplyKind::Headers, headers}, RequestOutcome::Unrated, &unrated, facts, settings);
}

void AnswerRejected(Recorder& recorder, FileRequest& request)
{
    const Reply reply{ReplyKind::TryLater};
    const ResultFacts facts{"rejected", -1, 0, nullptr, WhyRefused(reply)};
    if (AnswerIfOpen(request, reply, ResultLine(*CurrentSettings(), request.Id(), facts)))
        recorder.RecordAnswer(RequestOutcome::Rejected);
}

void AnswerGivenUp(Recorder& recorder, std::string_view id, double seconds)
{
    const Reply reply{ReplyKind::TimedOut};
    const ResultFacts facts{"rejected", -1, seconds, nullptr, WhyRefused(reply)};
    if (const std::string line = ResultLine(*CurrentSettings(), id, facts); !line.empty())
        PrintLog(line);
    WriteClaimedAnswer(id, reply);
    // The message was handled, if badly: the period's figures must show it.
    recorder.RecordGivenUp(seconds);
}

void AnswerRefused(Recorder& recorder, std::string_view id, const Reply& reply)
{
    const bool rejected = IsRejection(reply.kind);
    const ResultFacts facts{rejected ? "rejected" : "failed", -1, 0, nullptr, WhyRefused(reply)};
    if (const std::string line = ResultLine(*CurrentSettings(), id, facts); !line.empty())
        PrintLog(line);
    SendReply(id, reply);
    recorder.RecordAnswer(rejected ? RequestOutcome::Rejected : RequestOutcome::Failed);
}
