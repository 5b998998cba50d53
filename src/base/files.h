// files - the one way the plugin creates, releases and reads its own files
// in directories that others may write (the submission directory, the
// working directory, the metrics directory)
//
// NewFile           a file written under a fresh, unpredictable temporary
//                   name and released whole under its final name
// NewFile::Create   create "<directory>/<prefix><random><suffix>" exclusively,
//                   never through a link, never blocking, mode set on the
//                   descriptor
// NewFile::Release  give the written file its final name; the name given is
//                   the file written, whatever happened to the temporary name
// NewFile::Discard  remove the temporary name (if it still is ours) and close
// RandomNumber      64 unpredictable bits (getrandom)
// OpenOwnFile       open one of the plugin's own files for reading (settings,
//                   whitelist, dump): a FIFO or anything but a regular file is
//                   refused, and so is a link unless root or the plugin's own
//                   user made it and it names the file itself
// ReadWholeOwnFile  the contents of such a file
// FileRefusal       a few words for the error of a refused open
//
// Thread-safe: no shared state.  An attacker who can write the directory
// can delay or stop a file (fill the disk, take every name), but cannot make
// the plugin write through a link, hang on a FIFO, loosen a file's mode, or
// release anything but the bytes written.  A temporary name that exists
// already is removed only when it is a regular file of ours with one link,
// untouched for an hour (a leftover of an earlier run); anything else stays,
// and a fresh name is drawn either way.  The release links the open file
// itself (as root directly, otherwise through /proc/self/fd); without either
// it checks that the temporary name still is the file written, renames, and
// checks the final name again.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "base/system.h"

uint64_t RandomNumber();
// A directory in which this many drawn names all exist is given up (EEXIST).
constexpr int kMaxNameDraws = 64;

class NewFile {
public:
    NewFile() = default;
    ~NewFile() { Discard(); }
    NewFile(NewFile&& other) noexcept;
    NewFile& operator=(NewFile&& other) noexcept;
    NewFile(const NewFile&) = delete;
    NewFile& operator=(const NewFile&) = delete;

    // Create - the open file (read/write, empty, exactly mode whatever the
    // umask); not IsOpen with errno set when it cannot be made.  Name() then
    // holds the last name tried.
    static NewFile Create(const std::string& directory, std::string_view prefix, std::string_view suffix,
                          mode_t mode, uint64_t (*draw)() = RandomNumber);
    // CreateBeside - Create in the directory of finalPath, named
    // "<its name>.<random>.tmp", for a later Release(finalPath, true).
    static NewFile CreateBeside(const std::string& finalPath, mode_t mode);
    bool IsOpen() const { return fd.IsOpen(); }
    int Get() const { return fd.Get(); }
    const std::string& Name() const { return name; }

    // Release - flush to the disk and give the file finalName.  replace:
    // an existing finalName is replaced (the dump, the metrics file); else
    // EEXIST when finalName exists (a report never replaces another).
    // false with errno set otherwise (ELOOP: the temporary name no longer is
    // the file written); the file is discarded either way unless EEXIST.
    bool Release(const std::string& finalName, bool replace);
    void Discard();

private:
    bool IsOurs(const std::string& path) const;

    FileDescriptor fd;
    std::string name;
    bool named = false;  // name is the temporary name of this file
    dev_t device = 0;
    ino_t inode = 0;
};

// OpenOwnFile - like OpenRegularFile, but a symbolic link is followed only
// when it belongs to root or the plugin's user (an installation links the
// settings into the working directory) and points at the file, not at
// another link; ELOOP otherwise.  Whoever else can write the directory
// cannot make such a link.  Files that others name (the host's message
// files) are not ours.
FileDescriptor OpenOwnFile(const char* path, off_t* size = nullptr);
bool ReadWholeOwnFile(std::string_view path, std::string& content);
// FileRefusal - the refused link for ELOOP, "not a regular file" for
// EINVAL, else the system's text.
std::string FileRefusal(int error);
