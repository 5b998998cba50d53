#include "replay/messages.h"

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

namespace replay {

namespace {

namespace fs = std::filesystem;

bool IsSeparatorLine(std::string_view line) { return line.starts_with("From "); }

// UnquoteFromLine - ">From " and deeper quotings lose one '>'.
std::string_view UnquoteFromLine(std::string_view line)
{
    size_t quotes = line.find_first_not_of('>');
    if (quotes == 0 || quotes == std::string_view::npos)
        return line;
    if (line.substr(quotes).starts_with("From "))
        return line.substr(1);
    return line;
}

bool ReadWholeFile(const fs::path& path, std::string& text)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    std::ostringstream content;
    content << in.rdbuf();
    if (in.bad())
        return false;
    text = std::move(content).str();
    return true;
}

void AddFile(const fs::path& path, std::vector<Message>& messages, std::string& text)
{
    if (LooksLikeMbox(text)) {
        std::vector<Message> members = SplitMbox(text, path.string());
        std::move(members.begin(), members.end(), std::back_inserter(messages));
    } else {
        messages.push_back(Message{path.string(), std::move(text)});
    }
}

// A small deterministic generator, so that synthetic runs are repeatable.
class Lcg {
public:
    explicit Lcg(uint64_t seed) : state(seed) {}
    uint32_t Next()
    {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<uint32_t>(state >> 33);
    }
    size_t Below(size_t n) { return Next() % n; }

private:
    uint64_t state;
};

const char* const kWords[] = {
    "order",    "invoice", "meeting",  "schedule", "delivery", "project", "review",  "budget",
    "contract", "update",  "quarter",  "report",   "customer", "support", "release", "shipment",
    "please",   "attached", "thanks",  "regards",  "next",     "week",    "agenda",  "draft",
    "team",     "office",  "question", "answer",   "summary",  "figures", "plan",    "status"};
const char* const kFirstNames[] = {"alice", "bruno", "carla", "dmitri", "elena", "farid", "greta", "hugo"};
const char* const kDomains[] = {"example.com", "example.net", "example.org", "mail.example.com"};

std::string Address(Lcg& random)
{
    return std::string(kFirstNames[random.Below(std::size(kFirstNames))]) + "." +
           std::to_string(random.Below(500)) + "@" + kDomains[random.Below(std::size(kDomains))];
}

std::string Sentence(Lcg& random)
{
    std::string sentence;
    size_t words = 6 + random.Below(8);
    for (size_t i = 0; i < words; i++) {
        std::string word = kWords[random.Below(std::size(kWords))];
        if (i == 0)
            word[0] = static_cast<char>(word[0] - 'a' + 'A');
        else
            sentence += ' ';
        sentence += word;
    }
    return sentence + ".";
}

}  // namespace

bool LooksLikeMbox(std::string_view text) { return IsSeparatorLine(text); }

std::vector<Message> SplitMbox(std::string_view text, const std::string& label)
{
    std::vector<Message> messages;
    std::string* current = nullptr;
    bool previousEmpty = true;  // the first line may be a separator
    std::string_view heldBack;  // an empty line that may belong to the next separator
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        size_t next = end == std::string_view::npos ? text.size() : end + 1;
        std::string_view line = text.substr(pos, next - pos);  // with its line feed
        std::string_view content = line.substr(0, line.size() - (line.ends_with('\n') ? 1 : 0));
        bool empty = content.empty() || content == "\r";
        pos = next;

        if (previousEmpty && IsSeparatorLine(content)) {
            messages.push_back(Message{label + "#" + std::to_string(messages.size() + 1), {}});
            current = &messages.back().bytes;
            heldBack = {};
            previousEmpty = false;
            continue;
        }
        previousEmpty = empty;
        if (current == nullptr)
            continue;  // text before the first separator belongs to no message
        if (!heldBack.empty()) {
            current->append(heldBack);
            heldBack = {};
        }
        if (empty && line.ends_with('\n'))
            heldBack = line;
        else
            current->append(UnquoteFromLine(line));
    }
    return messages;
}

bool CollectMessages(const std::vector<std::string>& paths, std::vector<Message>& messages,
                     std::string& error)
{
    for (const std::string& name : paths) {
        std::error_code code;
        fs::path path(name);
        if (fs::is_directory(path, code)) {
            std::vector<fs::path> files;
            fs::recursive_directory_iterator walk(path, fs::directory_options::skip_permission_denied, code);
            for (; !code && walk != fs::recursive_directory_iterator(); walk.increment(code)) {
                std::string leaf = walk->path().filename().string();
                if (leaf.starts_with(".")) {
                    if (walk->is_directory(code))
                        walk.disable_recursion_pending();
                    continue;
                }
                if (walk->is_regular_file(code))
                    files.push_back(walk->path());
            }
            if (code) {
                error = name + ": " + code.message();
                return false;
            }
            std::sort(files.begin(), files.end());
            for (const fs::path& file : files) {
                std::string text;
                if (!ReadWholeFile(file, text)) {
                    error = file.string() + ": cannot be read";
                    return false;
                }
                AddFile(file, messages, text);
            }
        } else {
            std::string text;
            if (!fs::is_regular_file(path, code) || !ReadWholeFile(path, text)) {
                error = name + ": no such file or directory, or not readable";
                return false;
            }
            AddFile(path, messages, text);
        }
    }
    return true;
}

std::vector<Message> SyntheticMessages(size_t count, size_t size)
{
    Lcg random(20260101);
    std::vector<Message> messages;
    messages.reserve(count);
    for (size_t i = 0; i < count; i++) {
        std::string from = Address(random);
        std::string to = Address(random);
        std::string text;
        text += "Received: from relay" + std::to_string(random.Below(40)) + ".example.net (relay.example.net [198.51.100." +
                std::to_string(1 + random.Below(254)) + "])\n\tby mx.example.com with ESMTP id " +
                std::to_string(100000 + i) + "; Mon, 5 Jan 2026 09:" + std::to_string(10 + i % 50) +
                ":00 +0000\n";
        text += "From: " + from + "\n";
        text += "To: " + to + "\n";
        if (random.Below(4) == 0)
            text += "Cc: " + Address(random) + "\n";
        text += "Subject: " + Sentence(random) + "\n";
        text += "Date: Mon, 5 Jan 2026 09:" + std::to_string(10 + i % 50) + ":00 +0000\n";
        text += "Message-ID: <synthetic-" + std::to_string(i + 1) + "@example.com>\n";
        text += "MIME-Version: 1.0\nContent-Type: text/plain; charset=us-ascii\n\n";
        std::string line;
        while (text.size() + line.size() < size) {
            std::string sentence = Sentence(random);
            if (line.size() + sentence.size() + 1 > 72) {
                text += line + "\n";
                line.clear();
            }
            if (!line.empty())
                line += ' ';
            line += sentence;
        }
        text += line + "\n";
        messages.push_back(Message{"synthetic#" + std::to_string(i + 1), std::move(text)});
    }
    return messages;
}

std::vector<Message> RepeatMessages(const std::vector<Message>& messages, size_t count)
{
    std::vector<Message> repeated;
    if (messages.empty())
        return repeated;
    repeated.reserve(count);
    for (size_t i = 0; i < count; i++) {
        const Message& source = messages[i % messages.size()];
        size_t round = i / messages.size();
        repeated.push_back(Message{round == 0 ? source.label : source.label + "~" + std::to_string(round + 1),
                                   source.bytes});
    }
    return repeated;
}

}  // namespace replay
