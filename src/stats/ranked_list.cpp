#include "stats/ranked_list.h"
// placeholder: the ranked lists are built with the rating path
reportObject reportSourceList;
reportObject reportTargetList;
const std::vector<reportItem>& reportObject::EntriesInNameOrder() { return items; }
void ReportAddItem(reportObject*, const char*, int) {}
void ReportAddItemLocked(reportObject*, const char*, int) {}
int reportItemCmp(const char*, const char*) { return 0; }
bool cmpReportItems(const reportItem&, const reportItem&) { return false; }
void ReportSortList(reportObject*) {}
void ReportClearList(reportObject*) {}
void ReportPrint(reportObject*) {}
