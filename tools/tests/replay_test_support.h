// replay_test_support - temporary directories, files and a bounded run of
// the replay tool for the replay tool's tests
#pragma once

#include <string>
#include <string_view>
#include <vector>

class TestDir {
public:
    TestDir();
    ~TestDir();
    TestDir(const TestDir&) = delete;
    TestDir& operator=(const TestDir&) = delete;
    const std::string& Path() const { return path; }
    std::string File(std::string_view name) const { return path + "/" + std::string(name); }

private:
    std::string path;
};

void WriteText(const std::string& path, std::string_view text, bool executable = false);
std::string ReadAll(const std::string& path);

struct ToolRun {
    int status = -1;  // exit status, 128 + signal, -1 when killed at the time limit
    std::string out;
    std::string err;
};

// RunTool - the built velmora-replay with args, killed after limitSeconds.
ToolRun RunTool(const std::vector<std::string>& args, int limitSeconds = 60);
