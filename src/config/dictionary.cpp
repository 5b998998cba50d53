#include "config/dictionary.h"

#include <atomic>
#include <cerrno>
#include <cstdarg>

#include "base/files.h"
#include "base/output.h"
#include "base/system.h"
#include "base/text.h"

const char* const cfgfTypeStr[3] = {"String", "Dictionary", "Array"};

namespace {

// Deeper trees than this are refused: no file of ours nests more than a few
// levels, and the limit keeps the reader's recursion (and the release of a
// tree) bounded whatever the input.
constexpr int kMaxNesting = 64;

constexpr int kEnd = -1;  // what reading at the end of the text gives

const char* TypeName(int type)
{
    return type >= cfgfString && type <= cfgfArray ? cfgfTypeStr[type - 1] : "unknown";
}

bool IsUnquoted(int c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '@' ||
           c == '_' || c == '-' || c == '.' || c == '!';
}

void Append(cfgfItem& parent, cfgfItem&& child)
{
    parent.values.push_back(std::move(child));
    parent.count = static_cast<int32_t>(parent.values.size());
}

void AppendEntry(cfgfItem& dict, std::string&& key, cfgfItem&& value)
{
    dict.keys.push_back(std::move(key));
    Append(dict, std::move(value));
}

// DictionaryReader - one pass over the text of a file; every failure is
// reported where it is found and makes the whole read fail.
class DictionaryReader {
public:
    DictionaryReader(std::string_view source, const std::string& fileName)
        : text(source), origin(std::make_shared<const std::string>(fileName)) {}

    std::unique_ptr<cfgfItem> ReadFile()
    {
        auto top = cfgfNewDictionary();
        top->origin = origin;
        if (!ReadDictionary(*top, 0))
            return nullptr;
        return top;
    }

private:
    int Get() { return pos < text.size() ? static_cast<unsigned char>(text[pos++]) : kEnd; }
    void Unget(int c)
    {
        if (c != kEnd)
            pos--;
    }
    bool AtEnd() const { return pos >= text.size(); }

    void SkipSpaces()
    {
        while (!AtEnd()) {
            int c = Get();
            if (c == '\n') {
                line++;
            } else if (c == '#') {
                do
                    c = Get();
                while (c != '\n' && c != kEnd);
                line++;
            } else if (c > ' ') {
                Unget(c);
                return;
            }
        }
    }

    bool ReadString(std::string& out)
    {
        SkipSpaces();
        int c = Get();
        const bool quoted = c == '"';
        if (!quoted) {
            if (!IsUnquoted(c)) {
                cfgfFileError(*origin, "Line %d: unexpected character '%c'", line, c);
                return false;
            }
            Unget(c);
        }
        while ((c = Get()) != kEnd) {
            if (!quoted) {
                if (!IsUnquoted(c)) {
                    Unget(c);
                    break;
                }
                out.push_back(static_cast<char>(c));
            } else if (c == '"') {
                break;
            } else if (c == '\\') {
                c = Get();
                if (c == kEnd)
                    break;
                if (c == '\0') {
                    Unget(c);
                    continue;  // refused as any NUL at the next turn
                }
                // The pair separates header lines and must survive the read.
                if (c == 'e')
                    out.push_back('\\');
                out.push_back(static_cast<char>(c));
            } else if (c == '\n') {
                cfgfFileError(*origin, "Line %d: unterminated string '%s'", line, ClipText(out).c_str());
                return false;
            } else if (c == '\0') {
                // A path or name is used as a C string: the part after a NUL
                // would be silently dropped, so two different texts could name
                // one file or host.
                cfgfFileError(*origin, "Line %d: NUL byte in string '%s'", line, ClipText(out).c_str());
                return false;
            } else {
                out.push_back(static_cast<char>(c));
            }
        }
        return true;
    }

    bool ReadValue(cfgfItem& value, int depth)
    {
        SkipSpaces();
        const int valueLine = line;
        value.origin = origin;
        int c = Get();
        bool ok;
        if (c == '(' || c == '{') {
            if (depth >= kMaxNesting) {
                cfgfFileError(*origin, "Line %d: nesting too deep", line);
                return false;
            }
            if (c == '(') {
                value.type = cfgfArray;
                ok = ReadArray(value, depth + 1);
            } else {
                value.type = cfgfDictionary;
                value.line = line;
                ok = ReadDictionary(value, depth + 1);
            }
        } else {
            Unget(c);
            value.type = cfgfString;
            ok = ReadString(value.text);
            value.count = static_cast<int32_t>(value.text.size());
        }
        if (ok)
            value.line = valueLine;
        return ok;
    }

    // The two syntax errors name the line on which the dictionary begins.
    bool ReadDictionary(cfgfItem& dict, int depth)
    {
        dict.line = line;
        while (!AtEnd()) {
            SkipSpaces();
            int c = Get();
            if (c == kEnd || c == '}')
                break;
            Unget(c);
            std::string key;
            if (!ReadString(key))
                return false;
            SkipSpaces();
            if (Get() != '=') {
                cfgfError(&dict, "Syntax error: '=' expected after '%s'", ClipText(key).c_str());
                return false;
            }
            cfgfItem value;
            if (!ReadValue(value, depth))
                return false;
            AppendEntry(dict, std::move(key), std::move(value));
            SkipSpaces();
            if (Get() != ';') {
                cfgfError(&dict, "Syntax error: ';' expected");
                return false;
            }
        }
        return true;
    }

    bool ReadArray(cfgfItem& array, int depth)
    {
        while (!AtEnd()) {
            SkipSpaces();
            int c = Get();
            if (c == ')')
                break;
            Unget(c);
            cfgfItem element;
            if (!ReadValue(element, depth))
                return false;
            Append(array, std::move(element));
            SkipSpaces();
            c = Get();
            if (c != ',')
                Unget(c);
        }
        return true;
    }

    std::string_view text;
    std::shared_ptr<const std::string> origin;
    size_t pos = 0;
    int line = 1;
};

void DumpInto(std::string& out, const cfgfItem& item)
{
    switch (item.type) {
    case cfgfString:
        out += "str=" + item.text + "\n";
        break;
    case cfgfArray:
        out += FormatText("array(%d)\n", item.count);
        for (const cfgfItem& element : item.values)
            DumpInto(out, element);
        out += "--\n";
        break;
    case cfgfDictionary:
        out += FormatText("dictionary(%d)\n", item.count);
        for (size_t i = 0; i < item.values.size(); i++) {
            out += "{" + item.keys[i] + "}=";
            DumpInto(out, item.values[i]);
        }
        out += "---\n";
        break;
    default:
        cfgfError(&item, "Can't print: unknown item type");
        break;
    }
}

}  // namespace

std::unique_ptr<cfgfItem> cfgfReadConfigFile(const std::string& fileName)
{
    std::string content;
    // The settings and the dump are the plugin's own: a stranger's link in
    // their place would have it read (and echo in errors) a file of the
    // stranger's choice.
    if (!ReadWholeOwnFile(fileName, content)) {
        cfgfFileError(fileName, "unable to open file%s", errno == ELOOP ? (": " + FileRefusal(ELOOP)).c_str() : "");
        return nullptr;
    }
    return DictionaryReader(content, fileName).ReadFile();
}

std::unique_ptr<cfgfItem> cfgfReadConfigText(std::string_view text, const std::string& fileName)
{
    return DictionaryReader(text, fileName).ReadFile();
}

const cfgfItem* cfgfGetDictValue(const cfgfItem* dict, const char* key, cfgfItemType type)
{
    if (dict == nullptr || key == nullptr)
        return nullptr;
    if (dict->type != cfgfDictionary) {
        cfgfError(dict, "wrong item type (%s), dictionary expected", TypeName(dict->type));
        return nullptr;
    }
    // The last of duplicate keys wins.
    for (size_t i = dict->keys.size(); i-- > 0;) {
        if (dict->keys[i] != key)
            continue;
        const cfgfItem& value = dict->values[i];
        if (type != cfgfAny && value.type != type) {
            cfgfError(&value, "incorrect value type; expected %s got %s", TypeName(type), TypeName(value.type));
            return nullptr;
        }
        return &value;
    }
    return nullptr;
}

const char* cfgfGetDictValueStr(const cfgfItem* dict, const char* key)
{
    const cfgfItem* value = cfgfGetDictValue(dict, key, cfgfString);
    return value != nullptr ? value->text.c_str() : nullptr;
}

const cfgfItem* cfgfGetArrayValue(const cfgfItem* array, int index)
{
    if (array == nullptr)
        return nullptr;
    if (array->type != cfgfArray) {
        cfgfError(array, "wrong item type, array expected");
        return nullptr;
    }
    if (index < 0 || static_cast<size_t>(index) >= array->values.size())
        return nullptr;
    return &array->values[static_cast<size_t>(index)];
}

const cfgfItem* cfgfGetDictNthValue(const cfgfItem* dict, int n)
{
    if (dict == nullptr)
        return nullptr;
    if (dict->type != cfgfDictionary) {
        cfgfError(dict, "wrong item type (%s), dictionary expected", TypeName(dict->type));
        return nullptr;
    }
    if (n < 0 || static_cast<size_t>(n) >= dict->values.size())
        return nullptr;
    return &dict->values[static_cast<size_t>(n)];
}

const char* cfgfGetDictNthKey(const cfgfItem* dict, int n, cfgfItemType)
{
    if (cfgfGetDictNthValue(dict, n) == nullptr)
        return nullptr;
    return dict->keys[static_cast<size_t>(n)].c_str();
}

std::unique_ptr<cfgfItem> cfgfNewString(const char* text)
{
    auto item = std::make_unique<cfgfItem>();
    item->type = cfgfString;
    item->text = text != nullptr ? text : "";
    item->count = static_cast<int32_t>(item->text.size());
    return item;
}

std::unique_ptr<cfgfItem> cfgfNewArray()
{
    auto item = std::make_unique<cfgfItem>();
    item->type = cfgfArray;
    return item;
}

std::unique_ptr<cfgfItem> cfgfNewDictionary()
{
    auto item = std::make_unique<cfgfItem>();
    item->type = cfgfDictionary;
    return item;
}

void cfgfAddToArray(cfgfItem* array, cfgfItem&& item)
{
    if (array == nullptr)
        return;
    if (array->type != cfgfArray) {
        cfgfError(array, "wrong item type, array expected");
        return;
    }
    Append(*array, std::move(item));
}

void cfgfAddToDictionary(cfgfItem* dict, const char* key, cfgfItem&& item)
{
    if (dict == nullptr)
        return;
    if (dict->type != cfgfDictionary) {
        cfgfError(dict, "wrong item type (%s), dictionary expected", TypeName(dict->type));
        return;
    }
    AppendEntry(*dict, std::string(key != nullptr ? key : ""), std::move(item));
}

void cfgfFreeItem(cfgfItem* item)
{
    if (item == nullptr)
        return;
    if (item->type < cfgfString || item->type > cfgfArray)
        cfgfError(item, "Can't deallocate: unknown item type (%d)", static_cast<int>(item->type));
    // Swapping out releases the storage too, not just the contents.
    std::string().swap(item->text);
    std::vector<cfgfItem>().swap(item->values);
    std::vector<std::string>().swap(item->keys);
    item->count = 0;
    item->type = cfgfAny;
}

void cfgfDumpItem(const cfgfItem* item)
{
    if (item == nullptr)
        return;
    std::string out;
    DumpInto(out, *item);
    PrintLines(out);
}

namespace {

std::atomic<int> errorsReported{0};

void ReportError(const std::string& fileName, int line, const char* format, va_list args)
{
    std::string where = "* Error in " + fileName + " ";
    if (line > 0)
        where += FormatText("line %d ", line);
    // One write, so that no other line comes between the two.
    PrintLogLines({where, FormatTextV(format, args)});
    errorsReported++;
}

}  // namespace

void cfgfError(const cfgfItem* item, const char* format, ...)
{
    static const std::string unnamed;
    va_list args;
    va_start(args, format);
    ReportError(item != nullptr && item->origin ? *item->origin : unnamed, item != nullptr ? item->line : 0,
                format, args);
    va_end(args);
}

void cfgfFileError(const std::string& fileName, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    ReportError(fileName, 0, format, args);
    va_end(args);
}

int cfgfCheckPresence(const cfgfItem* dict, const char* const* names, cfgfItemType type)
{
    if (names == nullptr)
        return -1;
    for (int i = 0; names[i] != nullptr; i++)
        if (cfgfGetDictValue(dict, names[i], type) == nullptr)
            return i;
    return -1;
}

int cfgfCheckValidity(const cfgfItem* dict, const char* const* names)
{
    if (dict == nullptr || dict->type != cfgfDictionary)
        return -1;
    for (size_t i = 0; i < dict->keys.size(); i++) {
        bool listed = false;
        for (int j = 0; names != nullptr && names[j] != nullptr && !listed; j++)
            listed = dict->keys[i] == names[j];
        if (!listed)
            return static_cast<int>(i);
    }
    return -1;
}

std::string cfgfQuote(std::string_view text)
{
    std::string quoted;
    quoted.reserve(text.size() + 2);
    quoted.push_back('"');
    for (char c : text) {
        // A backslash keeps the next byte as it is; a raw line feed would end the string.
        if (c == '"' || c == '\\' || c == '\n')
            quoted.push_back('\\');
        quoted.push_back(c);
    }
    quoted.push_back('"');
    return quoted;
}

int cfgfErrorCount() { return errorsReported.load(); }

namespace {

// FormatString - a text that reads back unchanged; the "\e" pair of header
// templates is written as it stands in the file.
std::string FormatString(const std::string& text)
{
    bool plain = !text.empty();
    for (char c : text)
        plain = plain && IsUnquoted(static_cast<unsigned char>(c));
    if (plain)
        return text;
    std::string quoted = "\"";
    for (size_t i = 0; i < text.size(); i++) {
        if (text[i] == '\\' && i + 1 < text.size() && text[i + 1] == 'e') {
            quoted += "\\e";
            i++;
            continue;
        }
        if (text[i] == '"' || text[i] == '\\' || text[i] == '\n')
            quoted.push_back('\\');
        quoted.push_back(text[i]);
    }
    return quoted + "\"";
}

void FormatInto(std::string& out, const cfgfItem& item, int depth);

void FormatEntries(std::string& out, const cfgfItem& dict, int depth)
{
    for (size_t i = 0; i < dict.values.size(); i++) {
        out.append(static_cast<size_t>(depth) * 4, ' ');
        out += FormatString(dict.keys[i]) + " = ";
        FormatInto(out, dict.values[i], depth);
        out += ";\n";
    }
}

void FormatInto(std::string& out, const cfgfItem& item, int depth)
{
    switch (item.type) {
    case cfgfString:
        out += FormatString(item.text);
        break;
    case cfgfArray:
        out += "(";
        for (size_t i = 0; i < item.values.size(); i++) {
            out += i == 0 ? "" : ", ";
            FormatInto(out, item.values[i], depth);
        }
        out += ")";
        break;
    case cfgfDictionary:
        out += "{\n";
        FormatEntries(out, item, depth + 1);
        out.append(static_cast<size_t>(depth) * 4, ' ');
        out += "}";
        break;
    default:
        break;
    }
}

}  // namespace

std::string cfgfFormatItem(const cfgfItem& item)
{
    std::string out;
    if (item.type == cfgfDictionary)
        FormatEntries(out, item, 0);
    else
        FormatInto(out, item, 0);
    return out;
}
