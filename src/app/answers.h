// answers - the one place where a FILE request gets its answer and where
// that answer is recorded
//
// AnswerScan        answer a request from what its scan found, applying
//                   OnUnavailable when no engine host could be asked
// AnswerUnscanned   the rating-0 headers for a message that crashed a scan
//                   before (it is not scanned again)
// AnswerRejected    REJECTED "sorry, we'll try again later" for a request
//                   not answered yet (a crashed scan, and at shutdown the
//                   scans still running)
// AnswerGivenUp     REJECTED "timed-out" for a scan the watchdog gave up
//                   (its claim was taken under the pool's lock)
// AnswerRefused     a FAILURE of the command loop (no path, id too long, ...)
//
// With LogResults, every answer goes out right behind its result line:
// "* result id=<id> outcome=<rated|whitelisted|unrated|rejected|failed>",
// then rating=, ms= (the handling time), engine=, host= and score=<score>/
// <threshold> when an engine was asked, size=, from=, rules= when known, and
// why= for unrated, rejected and failed; values from outside are escaped and
// quoted when they hold a blank, so one grep of the id finds the line.
//
// Scanning threads, the crash thread, the controller and the main thread
// answer through here; protocol/replies spells every line and the claim on a
// request lets only the first answer through, so each request is answered
// and recorded once.  A request answered by someone else first is not
// recorded again.
#pragma once

#include <string_view>

#include "config/settings.h"
#include "protocol/replies.h"
#include "protocol/request.h"
#include "rating/scan.h"
#include "stats/recorder.h"

// What the plugin must do after an answer.
enum class AfterAnswer { Continue, ShutDown };

// AnswerScan - seconds: the request's handling time.  ShutDown when no engine
// host could be asked and OnUnavailable is Exit (the request was rejected).
AfterAnswer AnswerScan(Recorder& recorder, FileRequest& request, const ScanResult& result, const Settings& settings,
                       double seconds);
void AnswerUnscanned(Recorder& recorder, FileRequest& request, const Settings& settings);
void AnswerRejected(Recorder& recorder, FileRequest& request);
// AnswerGivenUp - seconds: how long the scan had run.
void AnswerGivenUp(Recorder& recorder, std::string_view id, double seconds);
void AnswerRefused(Recorder& recorder, std::string_view id, const Reply& reply);
