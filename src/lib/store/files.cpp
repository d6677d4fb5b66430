#include "store/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "core/os_error.h"
#include "json/reader.h"

namespace quarn {

namespace {

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const noexcept { return fd_; }

private:
    int fd_;
};

// Reads the whole file; false on any read error (a directory gives EISDIR).
bool read_all(int fd, std::string& contents) {
    struct stat status {};
    if (::fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && status.st_size > 0)
        contents.reserve(static_cast<std::size_t>(status.st_size));
    char chunk[65536];
    for (;;) {
        ssize_t count = ::read(fd, chunk, sizeof chunk);
        if (count == 0) return true;
        if (count < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        contents.append(chunk, static_cast<std::size_t>(count));
    }
}

}  // namespace

bool path_exists(const std::string& path) {
    struct stat status {};
    return path.find('\0') == std::string::npos && ::stat(path.c_str(), &status) == 0;
}

Result<Value> read_document(const std::string& path) {
    if (path.find('\0') != std::string::npos)
        return Error::os_error("Error opening document " + os_text_rendering(nul_in_path));
    // Opening a FIFO waits for a writer, with the interpreter lock held; opened
    // without waiting, one that has no writer reads as empty. Reads block as usual.
    FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (file.get() < 0) return Error::os_error("Error opening document " + os_text_rendering(errno));
    if (int flags = ::fcntl(file.get(), F_GETFL); flags >= 0) ::fcntl(file.get(), F_SETFL, flags & ~O_NONBLOCK);
    std::string contents;
    std::optional<Value> value;
    if (read_all(file.get(), contents)) value = parse_json(contents);
    if (!value) return Error::value_error("Error deserializing JSON");
    return std::move(*value);
}

Result<std::vector<std::string>> list_directory(const std::string& path, ListingErrors errors) {
    if (path.find('\0') != std::string::npos) return Error::os_code_error(nul_in_path);
    std::unique_ptr<DIR, int (*)(DIR*)> directory(::opendir(path.c_str()), &::closedir);
    if (!directory) return Error::os_code_error(errno);
    std::vector<std::string> names;
    for (;;) {
        errno = 0;
        dirent* entry = ::readdir(directory.get());
        if (entry == nullptr) break;
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
        names.emplace_back(entry->d_name);
    }
    if (errno != 0 && errors == ListingErrors::Report) return Error::os_code_error(errno);
    return names;
}

}  // namespace quarn
