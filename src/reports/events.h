// events - the started, stopped and problem notices
//
// EventReportStarted  mailed once during start-up (main thread)
// EventReportStoped   mailed once at the end of shutdown (main thread)
// EventReportProblem  a stuck scan (controller), a crashed one (crash thread)
// CheckNoticeSettings look up what the notices look up, so that the check
//                     reports the same errors without mailing anything
//
// The EventsReports dictionary is looked up afresh for every notice, in the
// settings snapshot that the caller hands over.  A missing EventsReports or
// Started/Stopped dictionary is reported through cfgfError and the notice is
// still mailed; From, To and ExtraHeaders that the configuration lacks take
// the problem notice's defaults ("MAILER-DAEMON", "postmaster",
// "X-Auto-Generated: report") in every notice.  A notice that cannot be
// created is reported ("* Can't create temp file ...") and lost; one whose
// writing fails is removed (see drop).  No lock.
#pragma once

#include "config/dictionary.h"
#include "config/settings.h"

void EventReportStarted(const Settings& settings);
void EventReportStoped(const Settings& settings);
void EventReportProblem(const Settings& settings, const char* format, ...) __attribute__((format(printf, 2, 3)));
void CheckNoticeSettings(const cfgfItem* conf);
