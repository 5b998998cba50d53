#include "config/paths.h"

const char* const configFileName = "VelmoraSpamAssassin.cfg";

namespace {

std::string workPath;  // written once before the other threads start

}  // namespace

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

void SetWorkPath(std::string path) { workPath = std::move(path); }
const std::string& WorkPath() { return workPath; }

std::string ConfigFilePath() { return workPath + configFileName; }
std::string ReloadMarkerPath() { return workPath + "hup.sig"; }
std::string WhitelistPath() { return workPath + "whitelist.txt"; }
