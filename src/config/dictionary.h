// dictionary - the host's dictionary file syntax, its in-memory tree and the
// one reporter of configuration errors
//
// cfgfReadConfigFile  read a file into a tree (null after a reported error)
// cfgfReadConfigText  the same reader on text already in memory
// cfgfGetDictValue... look values up (null when missing or of another type)
// cfgfNewString, cfgfNewArray, cfgfNewDictionary, cfgfAddToArray,
// cfgfAddToDictionary build trees
// cfgfFreeItem        release what a node holds
// cfgfError           "* Error in <file> [line <n> ]" and "* <message>" for a node
// cfgfFileError       the same for a file as a whole (no line)
// cfgfQuote           write a text so that the reader gives it back unchanged
// cfgfFormatItem      write a tree in the file syntax, one entry a line
// cfgfErrorCount      errors reported since the process started (the check)
//
// The settings file and the statistics dump are both read with it.  Every
// node that the reader makes knows the file it came from, so an error names
// the right file whichever tree it is found in.  Reading and lookups take no
// lock; a tree is read by one thread and then only looked up.  cfgfError may
// be called from any thread: both lines leave in one write.
// A NUL byte in a string fails the file ("Line %d: NUL byte in string"):
// names and paths are used as C strings.  Values nest at most 64 deep; a
// deeper file fails with "Line %d: nesting too deep", so no input can
// exhaust the reader's stack.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

enum cfgfItemType : int32_t {
    cfgfAny = 0,        // as a wanted type: any; as a node's type: released
    cfgfString = 1,
    cfgfDictionary = 2,
    cfgfArray = 3,
};

extern const char* const cfgfTypeStr[3];  // "String", "Dictionary", "Array"

struct cfgfItem {
    cfgfItemType type = cfgfAny;
    int32_t line = 0;                 // line on which the value begins; 0 for built nodes
    int32_t count = 0;                // String: length; Array: elements; Dictionary: entries
    std::string text;                 // String
    std::vector<cfgfItem> values;     // Array elements, or Dictionary values (parallel to keys)
    std::vector<std::string> keys;    // Dictionary keys, in file order, duplicates kept
    std::shared_ptr<const std::string> origin;  // the file read; null for built nodes
};

// cfgfReadConfigFile - the top-level dictionary of a file, or null (after the
// error has been reported).  Only a regular file is read ("unable to open
// file" otherwise), and it is opened without blocking.
std::unique_ptr<cfgfItem> cfgfReadConfigFile(const std::string& fileName);
// cfgfReadConfigText - the same reader on text in memory (the file name only names errors).
std::unique_ptr<cfgfItem> cfgfReadConfigText(std::string_view text, const std::string& fileName);

const cfgfItem* cfgfGetDictValue(const cfgfItem* dict, const char* key, cfgfItemType type);
const char* cfgfGetDictValueStr(const cfgfItem* dict, const char* key);
const cfgfItem* cfgfGetArrayValue(const cfgfItem* array, int index);
const cfgfItem* cfgfGetDictNthValue(const cfgfItem* dict, int n);
const char* cfgfGetDictNthKey(const cfgfItem* dict, int n, cfgfItemType type);

std::unique_ptr<cfgfItem> cfgfNewString(const char* text);
std::unique_ptr<cfgfItem> cfgfNewArray();
std::unique_ptr<cfgfItem> cfgfNewDictionary();
// The added item's contents move into the parent.
void cfgfAddToArray(cfgfItem* array, cfgfItem&& item);
void cfgfAddToDictionary(cfgfItem* dict, const char* key, cfgfItem&& item);

void cfgfFreeItem(cfgfItem* item);
void cfgfDumpItem(const cfgfItem* item);

void cfgfError(const cfgfItem* item, const char* format, ...) __attribute__((format(printf, 2, 3)));
void cfgfFileError(const std::string& fileName, const char* format, ...) __attribute__((format(printf, 2, 3)));

int cfgfCheckPresence(const cfgfItem* dict, const char* const* names, cfgfItemType type);
int cfgfCheckValidity(const cfgfItem* dict, const char* const* names);

// cfgfFormatItem - a dictionary as the entries of a file ("Key = value;"
// lines, nested dictionaries indented), any other item as a value.  Texts
// are quoted unless they consist of the characters that need no quotes; the
// reader gives back the same tree.
std::string cfgfFormatItem(const cfgfItem& item);
int cfgfErrorCount();

// cfgfQuote - a string written so that the reader gives it back unchanged
// (used by the statistics dump for names).
std::string cfgfQuote(std::string_view text);
