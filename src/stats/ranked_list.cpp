#include "stats/ranked_list.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cstring>
#include <functional>
#include <numeric>

#include "base/output.h"

namespace {

using BracketNumbers = std::array<uint32_t, 3>;

constexpr size_t kInitialIndexSize = 512;

// ReadBracketNumbers - the first three numbers of the text behind a '[': each
// a run of digits (an empty run is 0) followed by one separator; numbers past
// the end of the text are 0.
BracketNumbers ReadBracketNumbers(std::string_view text)
{
    BracketNumbers numbers{};
    size_t at = 0;
    for (uint32_t& number : numbers) {
        // Unsigned arithmetic: an absurdly long run wraps instead of overflowing.
        while (at < text.size() && text[at] >= '0' && text[at] <= '9')
            number = number * 10 + static_cast<uint32_t>(text[at++] - '0');
        if (at >= text.size())
            break;
        at++;
    }
    return numbers;
}

// EqualityKey - two names compare equal by reportItemCmp exactly when their
// keys are equal: the whole name, or the text up to the '[' and the three
// numbers.  A name without '[' has none in its key either, so the two kinds
// never meet.
void EqualityKey(std::string_view name, std::string& key)
{
    const size_t bracket = name.find('[');
    if (bracket == std::string_view::npos) {
        key.assign(name);
        return;
    }
    const BracketNumbers numbers = ReadBracketNumbers(name.substr(bracket + 1));
    key.assign(name.substr(0, bracket + 1));
    key.append(reinterpret_cast<const char*>(numbers.data()), sizeof numbers);
}

uint32_t TagOf(std::string_view key)
{
    const size_t hash = std::hash<std::string_view>{}(key);
    return static_cast<uint32_t>(hash ^ (hash >> 32));
}

int32_t SaturatingAdd(int32_t a, int32_t b)
{
    const int64_t sum = int64_t{a} + b;
    return sum > INT32_MAX ? INT32_MAX : sum < INT32_MIN ? INT32_MIN : static_cast<int32_t>(sum);
}

bool NameLess(const reportItem& a, const reportItem& b) { return reportItemCmp(a.name.c_str(), b.name.c_str()) < 0; }

}  // namespace

size_t reportObject::FindSlot(std::string_view key, uint32_t tag) const
{
    thread_local std::string otherKey;
    const size_t mask = index.size() - 1;
    for (size_t at = tag & mask;; at = (at + 1) & mask) {
        const IndexSlot& slot = index[at];
        if (slot.entry == 0)
            return at;
        if (slot.tag == tag) {
            EqualityKey(items[slot.entry - 1].name, otherKey);
            if (otherKey == key)
                return at;
        }
    }
}

void reportObject::GrowIndexFor(size_t entries)
{
    size_t size = std::max(index.size(), kInitialIndexSize);
    while (entries * 2 > size)
        size *= 2;
    if (size == index.size())
        return;
    std::vector<IndexSlot> grown(size);
    const size_t mask = size - 1;
    for (const IndexSlot& slot : index) {
        if (slot.entry == 0)
            continue;
        size_t at = slot.tag & mask;
        while (grown[at].entry != 0)
            at = (at + 1) & mask;
        grown[at] = slot;
    }
    index.swap(grown);
}

template <typename Less>
void reportObject::Reorder(Less less)
{
    std::vector<uint32_t> order(items.size());
    std::iota(order.begin(), order.end(), uint32_t{0});
    std::sort(order.begin(), order.end(), [&](uint32_t x, uint32_t y) { return less(items[x], items[y]); });
    std::vector<reportItem> sorted;
    sorted.reserve(items.size());
    std::vector<uint32_t> newPosition(items.size());
    for (uint32_t from : order) {
        newPosition[from] = static_cast<uint32_t>(sorted.size());
        sorted.push_back(std::move(items[from]));
    }
    items.swap(sorted);
    for (IndexSlot& slot : index)
        if (slot.entry != 0)
            slot.entry = newPosition[slot.entry - 1] + 1;
}

const std::vector<reportItem>& reportObject::EntriesInNameOrder()
{
    if (!inNameOrder) {
        Reorder(NameLess);
        inNameOrder = true;
    }
    return items;
}

int reportItemCmp(const char* a, const char* b)
{
    const int plain = strcmp(a, b);
    if (plain == 0)
        return 0;
    const char* bracketA = strchr(a, '[');
    const char* bracketB = strchr(b, '[');
    if (bracketA == nullptr || bracketB == nullptr || bracketA - a != bracketB - b)
        return plain;
    if (const int prefix = memcmp(a, b, static_cast<size_t>(bracketA - a)); prefix != 0)
        return prefix;
    const BracketNumbers numbersA = ReadBracketNumbers(bracketA + 1);
    const BracketNumbers numbersB = ReadBracketNumbers(bracketB + 1);
    for (size_t i = 0; i < numbersA.size(); i++)
        if (numbersA[i] != numbersB[i])
            return numbersA[i] < numbersB[i] ? -1 : 1;
    // Names that differ only from the fourth number on are one entry.
    return 0;
}

void ReportAddItem(reportObject* list, std::string_view name, int count)
{
    name = name.substr(0, name.find('\0'));  // names are compared as C strings
    thread_local std::string key;
    EqualityKey(name, key);
    const uint32_t tag = TagOf(key);
    list->GrowIndexFor(list->items.size() + 1);
    const size_t at = list->FindSlot(key, tag);
    if (list->index[at].entry != 0) {
        reportItem& entry = list->items[list->index[at].entry - 1];
        entry.count = SaturatingAdd(entry.count, count);
    } else {
        reportItem entry{count, std::string(name)};
        // Names that arrive in name order (as from a restored dump) keep the list in order.
        if (list->inNameOrder && !list->items.empty() && !NameLess(list->items.back(), entry))
            list->inNameOrder = false;
        list->items.push_back(std::move(entry));
        list->index[at] = {tag, static_cast<uint32_t>(list->items.size())};
    }
    list->total = SaturatingAdd(list->total, count);
}

bool cmpReportItems(const reportItem& a, const reportItem& b)
{
    if (a.count != b.count)
        return a.count > b.count;
    return NameLess(a, b);
}

void ReportSortList(reportObject* list)
{
    list->Reorder(cmpReportItems);
    list->inNameOrder = false;
}

void ReportClearList(reportObject* list)
{
    std::vector<reportItem>().swap(list->items);
    std::vector<reportObject::IndexSlot>().swap(list->index);
    list->total = 0;
    list->inNameOrder = true;
}

void ReportPrint(reportObject* list)
{
    const std::vector<reportItem>& entries = list->Entries();
    for (size_t i = 0; i < entries.size(); i++) {
        const long long share = list->total == 0 ? 0 : entries[i].count * 10000LL / list->total;
        DebugMsg("i=%d %3d.%02d%% n=%d name=%s\n", static_cast<int>(i), static_cast<int>(share / 100),
                 static_cast<int>(share % 100), entries[i].count, entries[i].name.c_str());
    }
}
