#include "reports/events.h"
// placeholder: the notices are built with the reports
void EventReportStarted() {}
void EventReportStoped() {}
void EventReportProblem(const char*, ...) {}
