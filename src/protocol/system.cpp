#include "protocol/system.h"

#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

namespace {

// The plugin has a handful of process-wide mutexes; every one registers here so
// that the crash reaction can find the locks a dead thread still holds.
constexpr int kMaxMutexes = 64;
std::atomic<PluginMutex*> registeredMutexes[kMaxMutexes];
std::atomic<int> nRegisteredMutexes{0};

std::atomic<long> clockOffset{0};
std::atomic<time_t (*)()> testClock{nullptr};

}  // namespace

pid_t CurrentThreadId()
{
    thread_local pid_t id = static_cast<pid_t>(syscall(SYS_gettid));
    return id;
}

PluginMutex::PluginMutex()
{
    int slot = nRegisteredMutexes.fetch_add(1);
    if (slot < kMaxMutexes)
        registeredMutexes[slot].store(this);
}

void PluginMutex::lock()
{
    const pid_t me = CurrentThreadId();
    for (;;) {
        pid_t expected = 0;
        if (owner.compare_exchange_weak(expected, me, std::memory_order_acquire, std::memory_order_relaxed))
            return;
        if (expected != 0)
            owner.wait(expected, std::memory_order_relaxed);
    }
}

bool PluginMutex::try_lock()
{
    pid_t expected = 0;
    return owner.compare_exchange_strong(expected, CurrentThreadId(), std::memory_order_acquire,
                                         std::memory_order_relaxed);
}

void PluginMutex::unlock()
{
    owner.store(0, std::memory_order_release);
    owner.notify_one();
}

bool PluginMutex::HeldByCurrentThread() const
{
    return owner.load(std::memory_order_relaxed) == CurrentThreadId();
}

void ReleaseMutexesHeldBy(pid_t thread)
{
    int n = nRegisteredMutexes.load();
    if (n > kMaxMutexes)
        n = kMaxMutexes;
    for (int i = 0; i < n; i++) {
        PluginMutex* mutex = registeredMutexes[i].load();
        if (mutex != nullptr && mutex->owner.load(std::memory_order_relaxed) == thread)
            mutex->unlock();
    }
}

void xMutexInit(PluginMutex&) {}
void xMutexLock(PluginMutex& mutex) { mutex.lock(); }
void xMutexUnlock(PluginMutex& mutex) { mutex.unlock(); }

void xSleep(int seconds)
{
    timespec left{seconds, 0};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

time_t Now()
{
    if (auto clock = testClock.load())
        return clock();
    return time(nullptr) + clockOffset.load(std::memory_order_relaxed);
}

timeval NowPrecise()
{
    timeval tv{};
    gettimeofday(&tv, nullptr);
    if (auto clock = testClock.load())
        tv.tv_sec = clock();
    else
        tv.tv_sec += clockOffset.load(std::memory_order_relaxed);
    return tv;
}

void SetClockOffset(long seconds) { clockOffset.store(seconds); }
void SetClockForTesting(time_t (*clock)()) { testClock.store(clock); }

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept
{
    if (this != &other) {
        Close();
        descriptor = other.Release();
    }
    return *this;
}

int FileDescriptor::Release()
{
    int fd = descriptor;
    descriptor = -1;
    return fd;
}

void FileDescriptor::Close()
{
    if (descriptor >= 0) {
        ::close(descriptor);
        descriptor = -1;
    }
}

bool WriteAll(int fd, std::string_view bytes)
{
    const char* p = bytes.data();
    size_t left = bytes.size();
    while (left > 0) {
        ssize_t n = ::write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
    return true;
}

bool WriteAllPieces(int fd, std::initializer_list<std::string_view> pieces)
{
    constexpr size_t kMaxPieces = 16;
    iovec vectors[kMaxPieces];
    size_t count = 0;
    for (std::string_view piece : pieces) {
        if (count == kMaxPieces)
            return false;
        vectors[count++] = iovec{const_cast<char*>(piece.data()), piece.size()};
    }
    iovec* next = vectors;
    while (count > 0) {
        ssize_t n = ::writev(fd, next, static_cast<int>(count));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        size_t written = static_cast<size_t>(n);
        while (count > 0 && written >= next->iov_len) {
            written -= next->iov_len;
            next++;
            count--;
        }
        if (count > 0) {
            next->iov_base = static_cast<char*>(next->iov_base) + written;
            next->iov_len -= written;
        }
    }
    return true;
}

long ReadUpTo(int fd, char* buffer, size_t capacity)
{
    size_t got = 0;
    while (got < capacity) {
        ssize_t n = ::read(fd, buffer + got, capacity - got);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (got == 0)
                return -1;
            break;
        }
        if (n == 0)
            break;
        got += static_cast<size_t>(n);
    }
    return static_cast<long>(got);
}
