#include "store/writing.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cerrno>

#include "core/os_error.h"
#include "json/reader.h"
#include "json/writer.h"

namespace quarn {

namespace {

// The text reaches the file through a buffer of this size: whole buffers as
// they fill, and the last, partly filled one at the final flush. Which of the
// two a failure (a full disk) hits decides the error, so the size is fixed.
constexpr std::size_t buffer_size = 8192;
// Whole buffers are passed on in batches, to save system calls.
constexpr std::size_t batch_size = 8 * buffer_size;

// Writes all of data; false with errno set on failure.
bool write_all(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        ssize_t written = ::write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

std::string directory_of(const std::string& path) {
    std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

// File names longer than this are cut short in the temporary file's name, so
// that a collection whose file name is as long as the system allows still has
// a temporary file name within the limit (255 bytes).
constexpr std::size_t temporary_stem_limit = 200;

// A name no other writer uses: the final file name, ".tmp.", the process id
// and a counter. It never ends in ".json", so it is never taken for a collection.
std::string temporary_path_for(const std::string& path) {
    static std::atomic<unsigned long> counter{0};
    std::size_t slash = path.rfind('/');
    std::size_t stem_start = slash == std::string::npos ? 0 : slash + 1;
    std::string temporary = path.substr(0, stem_start + std::min(path.size() - stem_start, temporary_stem_limit));
    return temporary + ".tmp." + std::to_string(::getpid()) + "." + std::to_string(counter++);
}

// The temporary file: removed when the write does not complete.
class TemporaryFile {
public:
    explicit TemporaryFile(std::string path) : path_(std::move(path)) {
        fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    }
    ~TemporaryFile() {
        if (fd_ >= 0) ::close(fd_);
        if (!kept_) ::unlink(path_.c_str());
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;

    int fd() const noexcept { return fd_; }
    const std::string& path() const noexcept { return path_; }
    bool sync_and_close() {
        bool synced = ::fsync(fd_) == 0;
        bool closed = ::close(fd_) == 0;
        fd_ = -1;
        return synced && closed;
    }
    void keep() noexcept { kept_ = true; }

private:
    std::string path_;
    int fd_ = -1;
    bool kept_ = false;
};

void sync_directory(const std::string& path) {
    int fd = ::open(directory_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);  // the rename has happened; a failure here cannot be undone
    ::close(fd);
}

// Asks the kernel to start writing out what has been written so far, so that
// the disk works while the rest is serialized and the final fsync waits less.
// Only a hint: the fsync still decides.
class EarlyWriteback {
public:
    explicit EarlyWriteback(int fd) : fd_(fd) {}
    void wrote(std::size_t bytes) noexcept {
        written_ += bytes;
#if defined(__linux__)
        if (written_ - started_ >= writeback_step) {
            (void)::sync_file_range(fd_, static_cast<off_t>(started_), static_cast<off_t>(written_ - started_),
                                    SYNC_FILE_RANGE_WRITE);
            started_ = written_;
        }
#endif
    }

private:
    static constexpr std::size_t writeback_step = std::size_t{1} << 20;
    int fd_;
    std::size_t written_ = 0;
    std::size_t started_ = 0;
};

// Streams the documents as one array. A failure while whole buffers are
// written is "Error serializing JSON"; a failure of the final flush is an
// internal failure (PanicException), as for any writer whose flush fails.
Status write_documents(int fd, const std::vector<Value>& documents) {
    const Error serializing = Error::value_error("Error serializing JSON");
    EarlyWriteback writeback(fd);
    std::string buffer;
    buffer.reserve(batch_size * 2);
    buffer += '[';
    for (std::size_t index = 0; index < documents.size(); ++index) {
        if (index > 0) buffer += ',';
        // The file's array is one level, so a document may nest one less.
        if (!append_json(buffer, documents[index], max_read_nesting - 1)) return serializing;
        if (buffer.size() >= batch_size) {
            std::size_t whole = buffer.size() - buffer.size() % buffer_size;
            if (!write_all(fd, buffer.data(), whole)) return serializing;
            writeback.wrote(whole);
            buffer.erase(0, whole);
        }
    }
    buffer += ']';
    if (buffer.size() > buffer_size) {
        std::size_t whole = buffer.size() - buffer.size() % buffer_size;
        if (whole == buffer.size()) whole -= buffer_size;
        if (!write_all(fd, buffer.data(), whole)) return serializing;
        buffer.erase(0, whole);
    }
    if (!write_all(fd, buffer.data(), buffer.size()))
        return Error::panic("flushing the collection file failed: " + os_text_rendering(errno));
    return success();
}

}  // namespace

Status create_collection_file(const std::string& path, std::string_view collection_name) {
    if (path.find('\0') != std::string::npos) return Error::os_code_error(nul_in_path);
    std::string text = "{ ";
    append_json_string(text, collection_name);
    text += ":[] }";
    // Not through a symbolic link: a dangling one would create its target,
    // wherever that is, instead of a file in the database directory.
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (fd < 0) return Error::os_code_error(errno);
    bool written = write_all(fd, text.data(), text.size());
    int write_errno = errno;
    ::close(fd);
    if (!written) return Error::os_code_error(write_errno);
    return success();
}

Status write_collection_file(const std::string& path, const SharedCollection& collection) {
    if (path.find('\0') != std::string::npos)
        return Error::os_error("Problem creating temporary file: " + os_structured_rendering(nul_in_path));
    TemporaryFile temporary(temporary_path_for(path));
    if (temporary.fd() < 0)
        return Error::os_error("Problem creating temporary file: " + os_structured_rendering(errno));
    // The read lock is held until the rename, so the file is one snapshot.
    auto documents = collection.read();
    if (documents.poisoned()) return Error::panic("collection is poisoned by an earlier failure");
    if (Status written = write_documents(temporary.fd(), documents.documents()); !written) return written;
    if (!temporary.sync_and_close()) return Error::value_error("Error serializing JSON");
    if (::rename(temporary.path().c_str(), path.c_str()) != 0)
        return Error::os_error("Error renaming file: " + os_structured_rendering(errno));
    temporary.keep();
    sync_directory(path);
    return success();
}

}  // namespace quarn
