#include "store/writing.h"

#include <algorithm>
#include <atomic>

#include "core/os_error.h"
#include "json/reader.h"
#include "json/writer.h"
#include "store/system.h"

namespace quarn {

namespace {

// The text reaches the file through a buffer of this size: whole buffers as
// they fill, and the last, partly filled one at the final flush. Which of the
// two a failure (a full disk) hits decides the error, so the size is fixed.
constexpr std::size_t buffer_size = 8192;
// Whole buffers are passed on in batches, to save system calls.
constexpr std::size_t batch_size = 8 * buffer_size;

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
    return temporary + ".tmp." + std::to_string(sys::process_id()) + "." + std::to_string(counter++);
}

// The temporary file: removed when the write does not complete.
class TemporaryFile {
public:
    explicit TemporaryFile(std::string path) : path_(std::move(path)) {
        auto opened = sys::open_file(path_, O_WRONLY | O_CREAT | O_EXCL);
        if (opened) file_ = std::move(*opened);
        else open_error_ = opened.error();
    }
    ~TemporaryFile() {
        file_.close();
        if (!kept_ && open_error_ == 0) (void)sys::remove_file(path_);
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;

    // 0 when the file is open, else the errno of creating it.
    int open_error() const noexcept { return open_error_; }
    int fd() const noexcept { return file_.get(); }
    const std::string& path() const noexcept { return path_; }
    bool sync_and_close() {
        bool synced = sys::sync_file(file_.get()) == 0;
        bool closed = file_.close() == 0;
        return synced && closed;
    }
    void keep() noexcept { kept_ = true; }

private:
    std::string path_;
    sys::FileDescriptor file_;
    int open_error_ = 0;
    bool kept_ = false;
};

// Asks the kernel to start writing out what has been written so far, so that
// the disk works while the rest is serialized and the final fsync waits less.
// Only a hint: the fsync still decides.
class EarlyWriteback {
public:
    explicit EarlyWriteback(int fd) : fd_(fd) {}
    void wrote(std::size_t bytes) noexcept {
        written_ += bytes;
        if (written_ - started_ >= writeback_step) {
            sys::start_writeback(fd_, started_, written_ - started_);
            started_ = written_;
        }
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
            if (sys::write_all(fd, buffer.data(), whole) != 0) return serializing;
            writeback.wrote(whole);
            buffer.erase(0, whole);
        }
    }
    buffer += ']';
    if (buffer.size() > buffer_size) {
        std::size_t whole = buffer.size() - buffer.size() % buffer_size;
        if (whole == buffer.size()) whole -= buffer_size;
        if (sys::write_all(fd, buffer.data(), whole) != 0) return serializing;
        buffer.erase(0, whole);
    }
    if (int failure = sys::write_all(fd, buffer.data(), buffer.size()); failure != 0)
        return Error::panic("flushing the collection file failed: " + os_text_rendering(failure));
    return success();
}

}  // namespace

Status create_collection_file(const std::string& path, std::string_view collection_name) {
    std::string text = "{ ";
    append_json_string(text, collection_name);
    text += ":[] }";
    // Not through a symbolic link: a dangling one would create its target,
    // wherever that is, instead of a file in the database directory.
    auto file = sys::open_file(path, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW);
    if (!file) return Error::os_code_error(file.error());
    if (int failure = sys::write_all(file->get(), text.data(), text.size()); failure != 0)
        return Error::os_code_error(failure);
    return success();
}

Status write_collection_file(const std::string& path, const SharedCollection& collection) {
    TemporaryFile temporary(temporary_path_for(path));
    if (int failure = temporary.open_error(); failure != 0)
        return Error::os_error("Problem creating temporary file: " + os_structured_rendering(failure), failure);
    // The read lock is held until the rename, so the file is one snapshot.
    auto documents = collection.read();
    if (documents.poisoned()) return Error::panic("collection is poisoned by an earlier failure");
    if (Status written = write_documents(temporary.fd(), documents.documents()); !written) return written;
    if (!temporary.sync_and_close()) return Error::value_error("Error serializing JSON");
    if (int failure = sys::rename_path(temporary.path(), path); failure != 0)
        return Error::os_error("Error renaming file: " + os_structured_rendering(failure), failure);
    temporary.keep();
    sys::sync_directory_of(path);
    return success();
}

}  // namespace quarn
