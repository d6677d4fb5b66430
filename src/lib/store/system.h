// The operating-system calls the store makes, in one place: a path holding a
// NUL byte is refused here (the system would see a shorter path, another
// file), descriptors are opened close-on-exec and closed on every path, and
// calls interrupted by a signal are retried. Failures come back as errno
// values (nul_in_path for a NUL byte), which callers word as they need.
#pragma once

#include <fcntl.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/file_identity.h"
#include "core/os_error.h"
#include "core/result.h"

namespace quarn::sys {

// An open descriptor, closed when it goes away.
class FileDescriptor {
public:
    FileDescriptor() noexcept = default;
    explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    FileDescriptor& operator=(FileDescriptor&& other) noexcept;
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor();

    int get() const noexcept { return fd_; }
    // Closes now; 0, or the errno of a failed close (a deferred write error).
    int close() noexcept;

private:
    int fd_ = -1;
};

// open(2) with O_CLOEXEC added; the errno on failure.
Result<FileDescriptor, int> open_file(const std::string& path, int flags, mode_t mode = 0666);

// Turns O_NONBLOCK off again (a descriptor opened without waiting, to be read as usual).
void make_blocking(int fd) noexcept;

// A file's text, read straight into memory of its own (no bounce buffer).
class FileText {
public:
    FileText() noexcept = default;
    FileText(FileText&& other) noexcept;
    FileText& operator=(FileText&&) = delete;
    FileText(const FileText&) = delete;
    FileText& operator=(const FileText&) = delete;
    ~FileText();

    std::string_view view() const noexcept { return {data_, size_}; }

private:
    friend int read_all(int fd, FileText& text, std::size_t expected_size);
    // Room for at least capacity bytes, the text kept; false when there is no memory.
    bool reserve(std::size_t capacity) noexcept;

    char* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

// The whole rest of the file appended to text, read straight into it, with
// room made for expected_size bytes first (a regular file's size, when
// known); 0, or the errno of a failed read (ENOMEM when no room can be had).
int read_all(int fd, FileText& text, std::size_t expected_size = 0);

// Writes all of data; 0, or the errno of a failed write.
int write_all(int fd, const char* data, std::size_t size) noexcept;

// fsync(2); 0 or the errno.
int sync_file(int fd) noexcept;

// Asks the kernel to start writing out [offset, offset + size) now. Only a
// hint: the later sync decides.
void start_writeback(int fd, std::size_t offset, std::size_t size) noexcept;

// Syncs the directory that holds path, so that a rename or creation in it
// lasts. Failures are ignored: the change has happened and cannot be undone.
void sync_directory_of(const std::string& path) noexcept;

// Each returns 0 or the errno.
int rename_path(const std::string& from, const std::string& to) noexcept;
// Gives the file at from the name to, failing with EEXIST when anything
// (even a dangling link) is there: link(2), or where the file system has no
// hard links, a rename that refuses to replace. from's name may remain.
int place_without_replacing(const std::string& from, const std::string& to) noexcept;
int remove_file(const std::string& path) noexcept;
int remove_directory(const std::string& path) noexcept;
int make_directory(const std::string& path) noexcept;

// Whether the system gives a status for path (following links).
bool path_exists(const std::string& path) noexcept;

using quarn::FileIdentity;

// What the store needs to know of a file.
struct FileStatus {
    bool regular = false;
    bool directory = false;
    bool device_file = false;  // a character or block device: may never end
    dev_t device = 0;
    ino_t inode = 0;
    time_t modified = 0;  // seconds since the epoch
    mode_t permissions = 0;  // the permission bits (and set-id and sticky bits)
    uid_t owner = 0;
    gid_t group = 0;
    FileIdentity identity;
};
// Of an open descriptor, of path itself (a link is not followed), or of what
// path leads to (links followed); the errno on failure.
Result<FileStatus, int> file_status(int fd);
Result<FileStatus, int> link_status(const std::string& path);
Result<FileStatus, int> path_status(const std::string& path);

// Gives the open file fd the owner, group and permission bits of like. An
// owner the process may not give (EPERM) is left as it is; 0, or the errno.
int take_permissions_of(int fd, const FileStatus& like) noexcept;
// fchmod(2); 0 or the errno.
int set_permissions(int fd, mode_t permissions) noexcept;

// Advisory locks (flock) on a whole file, held until every descriptor of the
// open file is closed. 0, or the errno (EWOULDBLOCK: someone holds it).
int lock_exclusive(int fd) noexcept;
int try_lock_exclusive(int fd) noexcept;

// The directory at path, opened and locked exclusively (flock) until the
// descriptor is closed: writers of one database take turns at the moment they
// compare and replace a file. The errno of opening or locking it.
Result<FileDescriptor, int> lock_directory(const std::string& path);

// A second descriptor of the same open file (sharing its locks).
Result<FileDescriptor, int> duplicate(int fd);

// Seconds since the epoch.
time_t current_time() noexcept;

enum class ListingErrors { Ignore, Report };

// The entry names of a directory in listing order, without "." and "..". The
// errno of opening it; an error part-way ends the listing, and is reported
// when asked.
Result<std::vector<std::string>, int> list_directory(const std::string& path, ListingErrors errors);

int process_id() noexcept;

// A test hook, not a setting: the engine's own tests make one chosen call
// through the functions above fail, to reach every failure path. Only C++ test
// code arms it; disarmed, each call pays one test of a plain flag. Not thread
// safe: armed only while a single thread runs the store.
namespace injection {

struct Call {
    const char* name;  // the system call, e.g. "open" or "fcntl F_DUPFD_CLOEXEC"
    bool retried;      // retried on EINTR, so an injected EINTR is survived
};

// From now on, records every call made (getpid and time, which cannot fail,
// aside); the nth of them (1-based; 0: none) fails with error instead of
// running, once. close and closedir run, then report it: the descriptor is
// gone whatever they say. An EINTR injected into a retried call is followed
// by a real second try, which is counted as a call of its own.
void arm(std::size_t nth, int error);
// Stops recording; the calls recorded so far stay readable.
void disarm() noexcept;
const std::vector<Call>& calls() noexcept;
// Whether the armed failure happened.
bool fired() noexcept;

}  // namespace injection

}  // namespace quarn::sys
