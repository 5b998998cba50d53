#include "protocol/process.h"

#include <unistd.h>

#include <cstring>

std::string workPath;
std::atomic<time_t> startupTime{0};
std::atomic<bool> quitRequest{false};
std::atomic<bool> enqueuePause{false};
std::atomic<bool> useCrashHandler{true};

std::string DeriveWorkPath(const char* programPath)
{
    if (programPath == nullptr)
        return std::string();
    // A leading slash alone (a program in the root directory) does not count.
    const char* lastSlash = nullptr;
    if (programPath[0] != '\0') {
        for (const char* p = programPath + 1; *p != '\0'; p++)
            if (*p == '/')
                lastSlash = p;
    }
    if (lastSlash == nullptr)
        return "./";
    return std::string(programPath, static_cast<size_t>(lastSlash - programPath + 1));
}

void ExitProcess(int status)
{
    // Other threads may be inside the standard library; leave without running
    // static destructors under their feet.
    _exit(status);
}
