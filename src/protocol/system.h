// system - small wrappers of the operating system that every module shares
//
// PluginMutex    a mutex that knows which thread holds it, so that the crash
//                reaction can release the locks of a thread that died inside
//                them (a scanning thread that crashes never returns)
// xMutexLock/... lock and unlock a PluginMutex (RAII: PluginLock)
// xSleep         sleep whole seconds
// Now, NowPrecise the plugin's clock; tests replace it, nothing else reads
//                the system clock directly
// FileDescriptor owns a descriptor and closes it
// WriteAll       write a whole buffer, resuming partial and interrupted writes
// ReadUpTo       read until the end of the input or the buffer is full
//
// Thread-safe throughout.
#pragma once

#include <sys/time.h>
#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <initializer_list>
#include <ctime>
#include <new>
#include <string_view>
#include <utility>

// Kernel id of the calling thread, cached per thread.
pid_t CurrentThreadId();

class PluginMutex {
public:
    PluginMutex();
    PluginMutex(const PluginMutex&) = delete;
    PluginMutex& operator=(const PluginMutex&) = delete;

    void lock();
    bool try_lock();
    void unlock();
    bool HeldByCurrentThread() const;

private:
    friend void ReleaseMutexesHeldBy(pid_t thread);
    std::atomic<pid_t> owner{0};
};

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

// xMutexInit - a PluginMutex is ready once constructed; kept for the start-up order.
void xMutexInit(PluginMutex& mutex);
void xMutexLock(PluginMutex& mutex);
void xMutexUnlock(PluginMutex& mutex);

// ReleaseMutexesHeldBy - unlock every PluginMutex that the given thread holds.
// Safe inside a signal handler: it only touches atomics.
void ReleaseMutexesHeldBy(pid_t thread);

// PluginLock - scope guard for a PluginMutex.
class PluginLock {
public:
    explicit PluginLock(PluginMutex& m) : mutex(m) { mutex.lock(); }
    ~PluginLock() { mutex.unlock(); }
    PluginLock(const PluginLock&) = delete;
    PluginLock& operator=(const PluginLock&) = delete;

private:
    PluginMutex& mutex;
};

// xSleep - sleep the given number of whole seconds (resumed after signals).
void xSleep(int seconds);

// Now - the plugin's wall clock in seconds.
time_t Now();
// NowPrecise - the plugin's wall clock with microseconds (handling times).
timeval NowPrecise();
// SetClockOffset - shift the clock by whole seconds (tests start the plugin
// "just before midnight" through the environment; see the entry point).
void SetClockOffset(long seconds);
// SetClockForTesting - replace the clock by a function; null restores the real one.
void SetClockForTesting(time_t (*clock)());

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

// WriteAll - write every byte; false (errno set) when a write fails.
bool WriteAll(int fd, std::string_view bytes);
// WriteAllPieces - write the pieces one after another, as few system calls
// as the descriptor allows (a request in one writev); false (errno set) on failure.
bool WriteAllPieces(int fd, std::initializer_list<std::string_view> pieces);
// ReadUpTo - read until end of input or capacity bytes; the count read, or -1
// (errno set) when a read fails before anything was read.
long ReadUpTo(int fd, char* buffer, size_t capacity);
