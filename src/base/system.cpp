#include "base/system.h"

#include "base/output.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string>

namespace {

thread_local int guardedLocksHeld = 0;

std::atomic<long> clockOffset{0};
std::atomic<time_t (*)()> testClock{nullptr};
std::atomic<time_t> startupTime{0};

}  // namespace

void GuardedMutex::lock()
{
    mutex.lock();
    guardedLocksHeld++;
}

bool GuardedMutex::try_lock()
{
    if (!mutex.try_lock())
        return false;
    guardedLocksHeld++;
    return true;
}

void GuardedMutex::unlock()
{
    guardedLocksHeld--;
    mutex.unlock();
}

int GuardedLocksHeld() { return guardedLocksHeld; }

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

int64_t MonotonicSeconds()
{
    return std::chrono::duration_cast<std::chrono::seconds>(Monotonic().time_since_epoch()).count();
}

double SecondsSince(MonotonicClock::time_point start)
{
    const std::chrono::duration<double> spent = Monotonic() - start;
    return spent.count() > 0 ? spent.count() : 0;
}

void SetClockOffset(long seconds) { clockOffset.store(seconds); }
void SetClockForTesting(time_t (*clock)()) { testClock.store(clock); }

time_t StartupTime() { return startupTime.load(); }
void SetStartupTime(time_t t) { startupTime.store(t); }

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

FileDescriptor OpenRegularFile(const char* path, off_t* size, int extraFlags)
{
    FileDescriptor file(::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | extraFlags));
    if (!file.IsOpen())
        return file;
    struct stat status;
    int error = 0;
    if (fstat(file.Get(), &status) != 0)
        error = errno;
    else if (S_ISDIR(status.st_mode))
        error = EISDIR;
    else if (!S_ISREG(status.st_mode))
        error = EINVAL;
    if (error != 0) {
        file.Close();
        errno = error;
        return file;
    }
    // O_NONBLOCK stays: it changes nothing for a regular file.
    if (size != nullptr)
        *size = status.st_size;
    return file;
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

bool ReadWholeRegularFile(std::string_view path, std::string& content)
{
    FileDescriptor file = OpenRegularFile(std::string(path).c_str());
    return file.IsOpen() && ReadAll(file.Get(), content);
}

bool ReadAll(int fd, std::string& content)
{
    content.clear();
    char block[65536];
    for (;;) {
        long n = ReadUpTo(fd, block, sizeof block);
        if (n < 0)
            return false;
        content.append(block, static_cast<size_t>(n));
        if (static_cast<size_t>(n) < sizeof block)
            return true;
    }
}

void ExitProcess(int status)
{
    FlushOutput();
    _exit(status);
}
