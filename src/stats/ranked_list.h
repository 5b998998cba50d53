// ranked_list - counters of names (message sources, recipient addresses)
// that the daily report ranks by count
//
// ReportAddItem        add a count to a name
// reportItemCmp        the name order: names whose first '[' stands at the
//                      same place after the same text compare on the first
//                      three numbers inside it, other names byte by byte
// cmpReportItems       the rank order: higher count first, then name order
// ReportSortList       put the entries into rank order
// ReportClearList      empty a list
// ReportPrint          debug listing of a list
//
// Names that compare equal count as one entry, which keeps the name it was
// first added with.  An addition costs one hash lookup on an equality key of
// the name; the name order is established only when a caller asks for it
// (the dump), the rank order when the report sorts.  Counts stop at the
// largest int32 instead of wrapping.  A list has no lock: the statistics
// object that owns the two lists guards them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
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
    friend void ReportAddItem(reportObject* list, std::string_view name, int count);
    friend void ReportSortList(reportObject* list);
    friend void ReportClearList(reportObject* list);

    // A slot of the index: an entry's position + 1 (0: free) and a tag of
    // its key's hash, which also chooses the slot.
    struct IndexSlot {
        uint32_t tag = 0;
        uint32_t entry = 0;
    };

    // FindSlot - the slot that holds key, or the free slot where it belongs.
    size_t FindSlot(std::string_view key, uint32_t tag) const;
    // GrowIndexFor - double the index until it is at most half full.
    void GrowIndexFor(size_t entries);
    // Reorder - put the entries into the order of less, keeping the index right.
    template <typename Less>
    void Reorder(Less less);

    std::vector<reportItem> items;
    std::vector<IndexSlot> index;  // open addressing, linear probing
    bool inNameOrder = true;
};

void ReportAddItem(reportObject* list, std::string_view name, int count);
int reportItemCmp(const char* a, const char* b);
bool cmpReportItems(const reportItem& a, const reportItem& b);
void ReportSortList(reportObject* list);
void ReportClearList(reportObject* list);
void ReportPrint(reportObject* list);
