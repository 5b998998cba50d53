// events - the started, stopped and problem notices
//
// EventReportStarted  mailed once during start-up
// EventReportStoped   mailed once at the end of shutdown
// EventReportProblem  a stuck or crashed scan (controller, signal thread)
//
// The EventsReports dictionary is looked up afresh for every notice.
#pragma once

void EventReportStarted();
void EventReportStoped();
void EventReportProblem(const char* format, ...) __attribute__((format(printf, 1, 2)));
