#include "store/system.h"

#include <dirent.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "store/paths.h"

namespace quarn::sys {

namespace {

bool has_nul(const std::string& path) noexcept { return path.find('\0') != std::string::npos; }

// The test hook's state (see injection in system.h). Only the flag is read
// when it is disarmed.
bool injection_armed = false;
struct InjectionPlan {
    std::size_t nth = 0;
    int error = 0;
    bool fired = false;
    std::vector<injection::Call> calls;
};
InjectionPlan injection_plan;

[[gnu::cold, gnu::noinline]] bool injected_when_armed(const char* name, bool retried) noexcept {
    InjectionPlan& plan = injection_plan;
    plan.calls.push_back({name, retried});
    if (plan.fired || plan.calls.size() != plan.nth) return false;
    plan.fired = true;
    errno = plan.error;
    return true;
}

// Whether the call about to be made is to fail, with errno set, instead of running.
inline bool injected(const char* name, bool retried) noexcept {
    if (!injection_armed) [[likely]]
        return false;
    return injected_when_armed(name, retried);
}

// 0 when call() succeeded (returned 0), else its errno; retried on EINTR.
template <typename Call>
int errno_of(const char* name, Call call) noexcept {
    for (;;) {
        if (!injected(name, true) && call() == 0) return 0;
        if (errno != EINTR) return errno;
    }
}

// closedir through the hook, for the listing's holder.
struct DirectoryCloser {
    void operator()(DIR* directory) const noexcept {
        (void)injected("closedir", false);
        (void)::closedir(directory);
    }
};

}  // namespace

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
    if (this != &other) {
        close();
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

FileDescriptor::~FileDescriptor() { close(); }

int FileDescriptor::close() noexcept {
    if (fd_ < 0) return 0;
    // Not retried: on Linux the descriptor is gone even when close reports EINTR.
    const int planned = injected("close", false) ? errno : 0;
    int result = ::close(fd_) == 0 ? 0 : errno;
    fd_ = -1;
    return planned != 0 ? planned : result;
}

Result<FileDescriptor, int> open_file(const std::string& path, int flags, mode_t mode) {
    if (has_nul(path)) return nul_in_path;
    for (;;) {
        int fd = injected("open", true) ? -1 : ::open(path.c_str(), flags | O_CLOEXEC, mode);
        if (fd >= 0) return FileDescriptor(fd);
        if (errno != EINTR) return errno;
    }
}

void make_blocking(int fd) noexcept {
    if (int flags = injected("fcntl F_GETFL", false) ? -1 : ::fcntl(fd, F_GETFL); flags >= 0)
        if (!injected("fcntl F_SETFL", false)) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
}

FileText::FileText(FileText&& other) noexcept : data_(other.data_), size_(other.size_), capacity_(other.capacity_) {
    other.data_ = nullptr;
    other.size_ = other.capacity_ = 0;
}

FileText::~FileText() { std::free(data_); }

bool FileText::reserve(std::size_t capacity) noexcept {
    if (capacity <= capacity_) return true;
    // From malloc, which hands a big block's pages back when freed and reuses
    // them for the next file: a mapping of its own each time was slower, the
    // kernel clearing every page anew.
    void* grown = injected("malloc", false) ? nullptr : std::realloc(data_, capacity);
    if (grown == nullptr) return false;
    data_ = static_cast<char*>(grown);
    capacity_ = capacity;
    return true;
}

int read_all(int fd, FileText& text, std::size_t expected_size) {
    // One byte more than expected, so that reaching the end costs no growth.
    if (!text.reserve(text.size_ + (expected_size > 0 ? expected_size + 1 : 16384))) return ENOMEM;
    for (;;) {
        if (text.size_ == text.capacity_ && !text.reserve(text.capacity_ * 2)) return ENOMEM;
        ssize_t count = injected("read", true) ? -1 : ::read(fd, text.data_ + text.size_, text.capacity_ - text.size_);
        if (count == 0) return 0;
        if (count < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        text.size_ += static_cast<std::size_t>(count);
    }
}

int write_all(int fd, const char* data, std::size_t size) noexcept {
    while (size > 0) {
        ssize_t written = injected("write", true) ? -1 : ::write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return 0;
}

int sync_file(int fd) noexcept {
    return errno_of("fsync", [&] { return ::fsync(fd); });
}

void start_writeback(int fd, std::size_t offset, std::size_t size) noexcept {
#if defined(__linux__)
    if (!injected("sync_file_range", false))
        (void)::sync_file_range(fd, static_cast<off_t>(offset), static_cast<off_t>(size), SYNC_FILE_RANGE_WRITE);
#else
    (void)fd, (void)offset, (void)size;
#endif
}

void sync_directory_of(const std::string& path) noexcept {
    auto directory = open_file(directory_of(path), O_RDONLY | O_DIRECTORY);
    if (directory) (void)sync_file(directory->get());
}

int rename_path(const std::string& from, const std::string& to) noexcept {
    if (has_nul(from) || has_nul(to)) return nul_in_path;
    return errno_of("rename", [&] { return ::rename(from.c_str(), to.c_str()); });
}

int place_without_replacing(const std::string& from, const std::string& to) noexcept {
    if (has_nul(from) || has_nul(to)) return nul_in_path;
    int linked = errno_of("link", [&] { return ::link(from.c_str(), to.c_str()); });
    if (linked != EPERM && linked != ENOTSUP && linked != EOPNOTSUPP && linked != ENOSYS) return linked;
#if defined(RENAME_NOREPLACE)
    return errno_of("renameat2",
                    [&] { return ::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE); });
#else
    return linked;
#endif
}

int remove_file(const std::string& path) noexcept {
    if (has_nul(path)) return nul_in_path;
    return errno_of("unlink", [&] { return ::unlink(path.c_str()); });
}

int remove_directory(const std::string& path) noexcept {
    if (has_nul(path)) return nul_in_path;
    return errno_of("rmdir", [&] { return ::rmdir(path.c_str()); });
}

int make_directory(const std::string& path) noexcept {
    if (has_nul(path)) return nul_in_path;
    return errno_of("mkdir", [&] { return ::mkdir(path.c_str(), 0777); });
}

bool path_exists(const std::string& path) noexcept {
    struct stat status {};
    return !has_nul(path) && errno_of("stat", [&] { return ::stat(path.c_str(), &status); }) == 0;
}

namespace {

std::int64_t nanoseconds(const struct timespec& time) noexcept {
    return static_cast<std::int64_t>(time.tv_sec) * 1'000'000'000 + time.tv_nsec;
}

FileStatus status_of(const struct stat& status) noexcept {
    FileStatus result;
    result.regular = S_ISREG(status.st_mode);
    result.directory = S_ISDIR(status.st_mode);
    result.device_file = S_ISCHR(status.st_mode) || S_ISBLK(status.st_mode);
    result.device = status.st_dev;
    result.inode = status.st_ino;
    result.modified = status.st_mtime;
    result.permissions = status.st_mode & 07777;
    result.owner = status.st_uid;
    result.group = status.st_gid;
    result.identity = {status.st_dev, status.st_ino, status.st_size, nanoseconds(status.st_mtim),
                       nanoseconds(status.st_ctim)};
    return result;
}

}  // namespace

Result<FileStatus, int> file_status(int fd) {
    struct stat status {};
    if (int failure = errno_of("fstat", [&] { return ::fstat(fd, &status); }); failure != 0) return failure;
    return status_of(status);
}

Result<FileStatus, int> link_status(const std::string& path) {
    if (has_nul(path)) return nul_in_path;
    struct stat status {};
    if (int failure = errno_of("lstat", [&] { return ::lstat(path.c_str(), &status); }); failure != 0) return failure;
    return status_of(status);
}

Result<FileStatus, int> path_status(const std::string& path) {
    if (has_nul(path)) return nul_in_path;
    struct stat status {};
    if (int failure = errno_of("stat", [&] { return ::stat(path.c_str(), &status); }); failure != 0) return failure;
    return status_of(status);
}

int take_permissions_of(int fd, const FileStatus& like) noexcept {
    // The owner first: changing it clears the set-id bits, which the mode then restores.
    int owned = errno_of("fchown", [&] { return ::fchown(fd, like.owner, like.group); });
    if (owned != 0 && owned != EPERM) return owned;
    return set_permissions(fd, like.permissions);
}

int set_permissions(int fd, mode_t permissions) noexcept {
    return errno_of("fchmod", [&] { return ::fchmod(fd, permissions); });
}

Result<FileDescriptor, int> lock_directory(const std::string& path) {
    auto directory = open_file(path, O_RDONLY | O_DIRECTORY);
    if (!directory) return directory.error();
    if (int failure = lock_exclusive(directory->get()); failure != 0) return failure;
    return std::move(*directory);
}

int lock_exclusive(int fd) noexcept {
    return errno_of("flock", [&] { return ::flock(fd, LOCK_EX); });
}

int try_lock_exclusive(int fd) noexcept {
    return errno_of("flock", [&] { return ::flock(fd, LOCK_EX | LOCK_NB); });
}

Result<FileDescriptor, int> duplicate(int fd) {
    int copy = injected("fcntl F_DUPFD_CLOEXEC", false) ? -1 : ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (copy < 0) return errno;
    return FileDescriptor(copy);
}

time_t current_time() noexcept { return std::time(nullptr); }

Result<std::vector<std::string>, int> list_directory(const std::string& path, ListingErrors errors) {
    if (has_nul(path)) return nul_in_path;
    std::unique_ptr<DIR, DirectoryCloser> directory(injected("opendir", false) ? nullptr : ::opendir(path.c_str()));
    if (!directory) return errno;
    std::vector<std::string> names;
    for (;;) {
        errno = 0;
        dirent* entry = injected("readdir", false) ? nullptr : ::readdir(directory.get());
        if (entry == nullptr) break;
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
        names.emplace_back(entry->d_name);
    }
    if (errno != 0 && errors == ListingErrors::Report) return errno;
    return names;
}

int process_id() noexcept { return static_cast<int>(::getpid()); }

namespace injection {

void arm(std::size_t nth, int error) {
    injection_plan = InjectionPlan{nth, error, false, {}};
    injection_armed = true;
}

void disarm() noexcept { injection_armed = false; }

const std::vector<Call>& calls() noexcept { return injection_plan.calls; }

bool fired() noexcept { return injection_plan.fired; }

}  // namespace injection

}  // namespace quarn::sys
