// ranked_list - counters of names (message sources, recipient addresses)
// that the daily report ranks by count
//
// ReportAddItem    add a count to a name (takes reportMutex)
// reportItemCmp    the name order: bracketed numeric parts compare as numbers
//                  on their first three numbers; names equal there are one entry
// ReportSortList   put the entries into rank order (caller holds reportMutex)
// ReportClearList  empty a list (caller holds reportMutex, or no other thread runs)
//
// Additions cost a hash lookup; the name order is established only when a
// caller asks for it (the dump), the rank order when the report sorts.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

struct reportItem {
    int32_t count = 0;
    std::string name;   // the name of the first addition
};

class reportObject {
public:
    int32_t nItems() const { return static_cast<int32_t>(items.size()); }
    int32_t total = 0;  // sum of every count added since the last clear

    // Entries in name order (reportItemCmp); valid until the next change.
    const std::vector<reportItem>& EntriesInNameOrder();
    // Entries as they stand (rank order right after ReportSortList).
    const std::vector<reportItem>& Entries() const { return items; }

private:
    friend void ReportAddItem(reportObject* list, const char* name, int count);
    friend void ReportAddItemLocked(reportObject* list, const char* name, int count);
    friend void ReportSortList(reportObject* list);
    friend void ReportClearList(reportObject* list);

    std::vector<reportItem> items;
    std::unordered_map<std::string, size_t> index;  // equality key -> position in items
    bool inNameOrder = true;
};

extern reportObject reportSourceList;
extern reportObject reportTargetList;

void ReportAddItem(reportObject* list, const char* name, int count);
// ReportAddItemLocked - the same for a caller that already holds reportMutex.
void ReportAddItemLocked(reportObject* list, const char* name, int count);
int reportItemCmp(const char* a, const char* b);
bool cmpReportItems(const reportItem& a, const reportItem& b);
void ReportSortList(reportObject* list);
void ReportClearList(reportObject* list);
// ReportPrint - debug listing of a list.
void ReportPrint(reportObject* list);
