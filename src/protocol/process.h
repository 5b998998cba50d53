// process - the plugin's process-wide state, set up by the entry point
//
// workPath          working directory with a trailing slash (from the program path)
// startupTime       second at which the process started
// quitRequest       the plugin is to shut down (shutdown, stuck scan, crash)
// enqueuePause      scanning threads take no new request (reload, shutdown)
// useCrashHandler   the crash signals are caught
//
// The flags are atomics: they are set by one thread and read by all.
#pragma once

#include <atomic>
#include <ctime>
#include <string>

extern std::string workPath;
extern std::atomic<time_t> startupTime;
extern std::atomic<bool> quitRequest;
extern std::atomic<bool> enqueuePause;
extern std::atomic<bool> useCrashHandler;

// DeriveWorkPath - the working directory of a program path: everything up to
// and including the last slash found from the second character on, "./" when
// there is none, empty when the path is absent.
std::string DeriveWorkPath(const char* programPath);

// ExitProcess - end the process at once with a status (no shutdown).
[[noreturn]] void ExitProcess(int status);
