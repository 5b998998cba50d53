// system - small wrappers of the operating system that every module shares
//
// GuardedMutex     a mutex whose holders are counted per thread, so that the
//                  crash reaction knows whether a crashed thread left shared
//                  data half-updated
// GuardedLocksHeld how many GuardedMutex the calling thread holds (signal-safe)
// xSleep           sleep whole seconds
// Now              the plugin's wall clock, for dates only (report periods,
//                  dump stamps, midnight); tests replace it, nothing else
//                  reads the system clock directly
// Monotonic        a clock that never steps, for time limits, intervals and
//                  durations
// StartupTime      the second at which the process started
// FileDescriptor   owns a descriptor and closes it
// OpenRegularFile  open a file without blocking and only if it is a regular one
// WriteAll         write a whole buffer, resuming partial and interrupted writes
// ReadUpTo         read until the end of the input or the buffer is full
// ReadAll          read an open file to its end
// ExitProcess      end the process at once (no shutdown)
//
// Thread-safe throughout.
#pragma once

#include <sys/time.h>
#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <mutex>
#include <new>
#include <string_view>
#include <utility>

// GuardedMutex - every lock around shared data that a crash could leave
// half-updated (the output line, the statistics, the queue) is one of these.
class GuardedMutex {
public:
    void lock();
    bool try_lock();
    void unlock();

private:
    std::mutex mutex;
};

// GuardedLocksHeld - safe inside a signal handler of the calling thread.
int GuardedLocksHeld();

// Immortal - a process-wide object that is never destroyed, for state that
// detached threads may still use while the process exits.
template <class T>
class Immortal {
public:
    template <class... Args>
    explicit Immortal(Args&&... args) { ::new (static_cast<void*>(storage)) T(std::forward<Args>(args)...); }
    T& operator*() { return *std::launder(reinterpret_cast<T*>(storage)); }
    T* operator->() { return &**this; }

private:
    alignas(T) unsigned char storage[sizeof(T)];
};

// xSleep - sleep the given number of whole seconds (resumed after signals).
void xSleep(int seconds);

// Now - the plugin's wall clock in seconds.
time_t Now();
// Monotonic - a clock that a change of the system's time never moves.
using MonotonicClock = std::chrono::steady_clock;
inline MonotonicClock::time_point Monotonic() { return MonotonicClock::now(); }
// MonotonicSeconds - Monotonic() in whole seconds (the controller's passes).
int64_t MonotonicSeconds();
// SecondsSince - the time since start, never negative.
double SecondsSince(MonotonicClock::time_point start);
// SetClockOffset - shift the clock by whole seconds (tests start the plugin
// "just before midnight" through the environment).
void SetClockOffset(long seconds);
// SetClockForTesting - replace the clock by a function; null restores the real one.
void SetClockForTesting(time_t (*clock)());

// StartupTime - set once at start-up, read by the dump and the reports.
time_t StartupTime();
void SetStartupTime(time_t t);

// FileDescriptor - owns an open descriptor.
class FileDescriptor {
public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) : descriptor(fd) {}
    ~FileDescriptor() { Close(); }
    FileDescriptor(FileDescriptor&& other) noexcept : descriptor(other.Release()) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept;
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    int Get() const { return descriptor; }
    bool IsOpen() const { return descriptor >= 0; }
    int Release();
    void Close();

private:
    int descriptor = -1;
};

// OpenRegularFile - open for reading without ever blocking (a FIFO or a
// device would hold the caller in open()); anything but a regular file is
// refused with EISDIR for a directory, EINVAL otherwise.  size, when given,
// receives the file's size; extraFlags are added to open()'s flags.
FileDescriptor OpenRegularFile(const char* path, off_t* size = nullptr, int extraFlags = 0);

// WriteAll - write every byte; false (errno set) when a write fails.
bool WriteAll(int fd, std::string_view bytes);
// ReadUpTo - read until end of input or capacity bytes; the count read, or -1
// (errno set) when a read fails before anything was read.
long ReadUpTo(int fd, char* buffer, size_t capacity);
// ReadWholeRegularFile - the contents of a regular file (OpenRegularFile's
// rules); false with errno set otherwise.
bool ReadWholeRegularFile(const std::string_view path, std::string& content);
// ReadAll - the rest of an open file; false (errno set) when a read fails.
bool ReadAll(int fd, std::string& content);

// ExitProcess - end the process at once with a status.  Other threads may be
// inside the standard library; no static destructor runs under their feet.
[[noreturn]] void ExitProcess(int status);
