#include "config/dictionary.h"
// placeholder: the reader is built in its own change
const char* const cfgfTypeStr[3] = {"String", "Dictionary", "Array"};
std::unique_ptr<cfgfItem> cfgfReadConfigFile(const std::string&, bool) { return nullptr; }
std::unique_ptr<cfgfItem> cfgfReadConfigText(std::string_view, const std::string&, bool) { return nullptr; }
std::string cfgfGetFileName() { return {}; }
void cfgfSetFileName(const std::string&, bool) {}
const cfgfItem* cfgfGetDictValue(const cfgfItem*, const char*, cfgfItemType) { return nullptr; }
const char* cfgfGetDictValueStr(const cfgfItem*, const char*) { return nullptr; }
const cfgfItem* cfgfGetArrayValue(const cfgfItem*, int) { return nullptr; }
const cfgfItem* cfgfGetDictNthValue(const cfgfItem*, int) { return nullptr; }
const char* cfgfGetDictNthKey(const cfgfItem*, int, cfgfItemType) { return nullptr; }
std::unique_ptr<cfgfItem> cfgfNewString(const char*) { return nullptr; }
std::unique_ptr<cfgfItem> cfgfNewArray() { return nullptr; }
std::unique_ptr<cfgfItem> cfgfNewDictionary() { return nullptr; }
void cfgfAddToArray(cfgfItem*, cfgfItem&&) {}
void cfgfAddToDictionary(cfgfItem*, const char*, cfgfItem&&) {}
void cfgfFreeItem(cfgfItem*) {}
void cfgfDumpItem(const cfgfItem*) {}
void cfgfError(const cfgfItem*, const char*, ...) {}
int cfgfCheckPresence(const cfgfItem*, const char* const*, cfgfItemType) { return -1; }
int cfgfCheckValidity(const cfgfItem*, const char* const*) { return -1; }
std::string cfgfQuote(std::string_view text) { std::string q(1, '"'); q.append(text); q.push_back('"'); return q; }
