#include "base/files.h"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

namespace {

// A leftover of an earlier run is at least this old; a younger file may be
// another writer's that is still being written.
constexpr time_t kLeftoverAge = 3600;

// RemoveIfLeftover - unlink path when it is a regular file of ours that
// nothing else links and nobody has written for a while.
void RemoveIfLeftover(const std::string& path)
{
    struct stat status;
    if (lstat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode) && status.st_uid == geteuid() &&
        status.st_nlink == 1 && time(nullptr) - status.st_mtime > kLeftoverAge)
        unlink(path.c_str());
}

// LinkDescriptor - give the open file a further name without going through
// any name it has: a swapped temporary name cannot redirect it.  Root links
// the descriptor itself; others go through /proc.
bool LinkDescriptor(int fd, const std::string& path)
{
    if (linkat(fd, "", AT_FDCWD, path.c_str(), AT_EMPTY_PATH) == 0)
        return true;
    if (errno == EEXIST)
        return false;
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    return linkat(AT_FDCWD, self.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) == 0;
}

}  // namespace

uint64_t RandomNumber()
{
    uint64_t value = 0;
    ssize_t got;
    while ((got = getrandom(&value, sizeof value, 0)) < 0 && errno == EINTR) {
    }
    if (got == static_cast<ssize_t>(sizeof value))
        return value;
    // Without the kernel's generator the names are still unique to this
    // process, though no longer hard to guess.
    static std::atomic<uint64_t> counter{0};
    const uint64_t clock = static_cast<uint64_t>(Monotonic().time_since_epoch().count());
    return clock * 0x9E3779B97F4A7C15ull ^ (uint64_t(getpid()) << 32) ^ counter.fetch_add(1);
}

NewFile::NewFile(NewFile&& other) noexcept
    : fd(std::move(other.fd)), name(std::move(other.name)), named(other.named), device(other.device),
      inode(other.inode)
{
    other.named = false;
}

NewFile& NewFile::operator=(NewFile&& other) noexcept
{
    if (this != &other) {
        Discard();
        fd = std::move(other.fd);
        name = std::move(other.name);
        named = std::exchange(other.named, false);
        device = other.device;
        inode = other.inode;
    }
    return *this;
}

NewFile NewFile::Create(const std::string& directory, std::string_view prefix, std::string_view suffix, mode_t mode,
                        uint64_t (*draw)())
{
    NewFile file;
    for (int n = 0; n < kMaxNameDraws; n++) {
        file.name = directory + "/" + std::string(prefix) + std::to_string(draw()) + std::string(suffix);
        file.fd = FileDescriptor(
            open(file.name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, mode));
        if (!file.fd.IsOpen()) {
            if (errno != EEXIST)
                return file;
            RemoveIfLeftover(file.name);
            continue;
        }
        file.named = true;
        struct stat status;
        // The mode is the file's own, whatever the umask; set before anyone can open it by a looser one.
        if (fchmod(file.fd.Get(), mode) != 0 || fstat(file.fd.Get(), &status) != 0) {
            const int error = errno;
            file.Discard();
            errno = error;
            return file;
        }
        file.device = status.st_dev;
        file.inode = status.st_ino;
        return file;
    }
    errno = EEXIST;
    return file;
}

NewFile NewFile::CreateBeside(const std::string& finalPath, mode_t mode)
{
    const size_t slash = finalPath.rfind('/');
    const std::string directory = slash == std::string::npos ? "." : slash == 0 ? "" : finalPath.substr(0, slash);
    const std::string base = slash == std::string::npos ? finalPath : finalPath.substr(slash + 1);
    return Create(directory, base + ".", ".tmp", mode);
}

bool NewFile::IsOurs(const std::string& path) const
{
    struct stat status;
    return fstatat(AT_FDCWD, path.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(status.st_mode) &&
           status.st_dev == device && status.st_ino == inode;
}

bool NewFile::Release(const std::string& finalName, bool replace)
{
    int error = 0;
    if (!fd.IsOpen()) {
        errno = EBADF;
        return false;
    }
    if (fsync(fd.Get()) != 0) {
        error = errno;
    } else if (!replace && LinkDescriptor(fd.Get(), finalName)) {
        Discard();
        name = finalName;
        return true;
    } else if (!replace && errno == EEXIST) {
        return false;  // the file stays for another name
    } else if (!IsOurs(name)) {
        // Someone replaced or removed the temporary name: whatever stands
        // there now is not what was written.
        error = ELOOP;
    } else if (renameat2(AT_FDCWD, name.c_str(), AT_FDCWD, finalName.c_str(), replace ? 0 : RENAME_NOREPLACE) != 0) {
        error = errno;
        if (error == EEXIST)
            return false;
    } else {
        named = false;
        // Swapped between the check and the rename: take the stranger away again.
        if (!IsOurs(finalName)) {
            unlink(finalName.c_str());
            error = ELOOP;
        } else {
            fd.Close();
            name = finalName;
            return true;
        }
    }
    Discard();
    errno = error;
    return false;
}

void NewFile::Discard()
{
    if (named && IsOurs(name))
        unlink(name.c_str());
    named = false;
    fd.Close();
}

FileDescriptor OpenOwnFile(const char* path, off_t* size)
{
    FileDescriptor file = OpenRegularFile(path, size, O_NOFOLLOW);
    if (file.IsOpen() || errno != ELOOP)
        return file;
    // The link itself, held open: its owner and its target are read from
    // the same link, however the name changes meanwhile.
    const FileDescriptor link(open(path, O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct stat status;
    char target[4096];
    ssize_t length = -1;
    if (link.IsOpen() && fstat(link.Get(), &status) == 0 && S_ISLNK(status.st_mode) &&
        (status.st_uid == 0 || status.st_uid == geteuid()))
        length = readlinkat(link.Get(), "", target, sizeof target - 1);
    if (length <= 0) {
        errno = ELOOP;
        return FileDescriptor();
    }
    std::string resolved(target, static_cast<size_t>(length));
    if (resolved[0] != '/')
        if (const char* slash = strrchr(path, '/'))
            resolved.insert(0, path, static_cast<size_t>(slash - path + 1));
    // One link only: its target must be the file itself.
    return OpenRegularFile(resolved.c_str(), size, O_NOFOLLOW);
}

bool ReadWholeOwnFile(std::string_view path, std::string& content)
{
    const FileDescriptor file = OpenOwnFile(std::string(path).c_str());
    return file.IsOpen() && ReadAll(file.Get(), content);
}

std::string FileRefusal(int error)
{
    if (error == ELOOP)
        return "a symbolic link of another user, or to a link, is refused";
    if (error == EINVAL)
        return "not a regular file";
    return strerror(error);
}
