#include "store/writing.h"

#include <cerrno>
#include <memory>

#include "core/os_error.h"
#include "json/reader.h"
#include "json/writer.h"
#include "store/paths.h"
#include "store/system.h"
#include "store/temporary_files.h"

namespace quarn {

namespace {

// The text reaches the file through a buffer of this size: whole buffers as
// they fill, and the last, partly filled one at the final flush. Which of the
// two a failure (a full disk) hits decides the error, so the size is fixed.
constexpr std::size_t buffer_size = 8192;
// Whole buffers are passed on in batches, to save system calls.
constexpr std::size_t batch_size = 8 * buffer_size;

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

// The buffer the documents are serialized into, kept between writes: a fresh
// one of this size is mapped and unmapped by the allocator, and its pages
// faulted in, on every write. One that a huge document grew is let go as the
// write ends.
class ReusedBuffer {
public:
    ReusedBuffer() {
        if (!slot()) slot() = std::make_unique<JsonBuffer>();
        slot()->clear();
    }
    ~ReusedBuffer() {
        if (slot()->capacity() > kept_capacity) slot().reset();
    }
    ReusedBuffer(const ReusedBuffer&) = delete;
    ReusedBuffer& operator=(const ReusedBuffer&) = delete;
    JsonBuffer& get() noexcept { return *slot(); }

private:
    static constexpr std::size_t kept_capacity = 4 * batch_size;
    static std::unique_ptr<JsonBuffer>& slot() {
        thread_local std::unique_ptr<JsonBuffer> buffer;
        return buffer;
    }
};

// Streams the documents as one array. A failure while whole buffers are
// written is "Error serializing JSON"; a failure of the final flush is an
// internal failure (PanicException), as for any writer whose flush fails.
Status write_documents(int fd, const std::vector<Value>& documents) {
    const Error serializing = Error::value_error("Error serializing JSON");
    EarlyWriteback writeback(fd);
    ReusedBuffer reused;
    JsonBuffer& buffer = reused.get();
    buffer.reserve(batch_size * 2);
    buffer.push_back('[');
    for (std::size_t index = 0; index < documents.size(); ++index) {
        if (index > 0) buffer.push_back(',');
        // The file's array is one level, so a document may nest one less.
        if (!append_json(buffer, documents[index], max_document_nesting)) return serializing;
        if (buffer.size() >= batch_size) {
            std::size_t whole = buffer.size() - buffer.size() % buffer_size;
            if (sys::write_all(fd, buffer.data(), whole) != 0) return serializing;
            writeback.wrote(whole);
            buffer.erase_front(whole);
        }
    }
    buffer.push_back(']');
    if (buffer.size() > buffer_size) {
        std::size_t whole = buffer.size() - buffer.size() % buffer_size;
        if (whole == buffer.size()) whole -= buffer_size;
        if (sys::write_all(fd, buffer.data(), whole) != 0) return serializing;
        buffer.erase_front(whole);
    }
    if (int failure = sys::write_all(fd, buffer.data(), buffer.size()); failure != 0)
        return Error::panic("flushing the collection file failed: " + os_text_rendering(failure));
    return success();
}

// The refusal of a write that would replace another writer's file unseen.
Error changed_on_disk(std::string_view collection_name) {
    Error error = Error::value_error("Collection '" + std::string(collection_name) + "' changed on disk since it was read");
    error.advice =
        "another writer changed or replaced the file after this database read it; open the database again to see "
        "that writer's documents, or remove the file to replace it with this copy deliberately";
    return error;
}

// The identity of the file that temporary has just put in place at path: its
// descriptor's, or should that status fail, the path's, which no other writer
// of the database replaces while this writer's turn lasts. Without it, the
// next write would take this file for another writer's.
Result<sys::FileIdentity, int> placed_identity(const TemporaryFile& temporary, const std::string& path) {
    if (auto identity = temporary.identity()) return *identity;
    auto status = sys::path_status(path);
    if (!status) return status.error();
    return status->identity;
}

}  // namespace

Result<std::optional<sys::FileIdentity>> create_collection_file(const std::string& path,
                                                                std::string_view collection_name) {
    remove_abandoned_temporaries(path);
    std::string text = "{ ";
    append_json_string(text, collection_name);
    text += ":[] }";
    // Written whole beside the target and only then given its name, without
    // replacing anything: a failure leaves no file, and a file another writer
    // put there meanwhile is never truncated.
    TemporaryFile temporary(path);
    if (int failure = temporary.open_error(); failure != 0) return Error::os_code_error(failure);
    if (int failure = sys::write_all(temporary.fd(), text.data(), text.size()); failure != 0)
        return Error::os_code_error(failure);
    if (int failure = temporary.take_final_permissions(nullptr); failure != 0) return Error::os_code_error(failure);
    if (int failure = temporary.sync_and_close(); failure != 0) return Error::os_code_error(failure);
    // The identity is taken in the same turn as the file appears, so that it
    // is this file's and not a change another writer made right after.
    auto turn = sys::lock_directory(directory_of(path));
    if (int failure = sys::place_without_replacing(temporary.path(), path); failure != 0) {
        if (failure != EEXIST) return Error::os_code_error(failure);
        // A dangling link there is not followed: creating through it would put
        // the file wherever the link points.
        if (!sys::path_exists(path)) return Error::os_code_error(ELOOP);
        return std::optional<sys::FileIdentity>();
    }
    temporary.drop_name();  // before the identity: removing a link changes the file's times
    auto identity = placed_identity(temporary, path);
    sys::sync_directory_of(path);
    if (!identity) return Error::os_code_error(identity.error());
    return std::optional<sys::FileIdentity>(*identity);
}

Status write_collection_file(const std::string& path, std::string_view collection_name,
                             const SharedCollection& collection) {
    remove_abandoned_temporaries(path);
    TemporaryFile temporary(path);
    if (int failure = temporary.open_error(); failure != 0)
        return Error::os_error("Problem creating temporary file: " + os_structured_rendering(failure), failure);
    // The read lock is held until the rename, so the file is one snapshot.
    auto documents = collection.read();
    if (documents.poisoned()) return Error::panic("collection is poisoned by an earlier failure");
    if (Status written = write_documents(temporary.fd(), documents.documents()); !written) return written;
    if (temporary.sync_and_close() != 0) return Error::value_error("Error serializing JSON");
    // Writers of a database take turns from the check to the rename, so that
    // none replaces a file that another has just put in place unseen. Without
    // the lock (a directory that cannot be opened) the check still runs, and
    // the rename reports a directory that is missing.
    auto turn = sys::lock_directory(directory_of(path));
    auto present = sys::path_status(path);
    // Only the plain absence of a file lets the write go on unchecked: a file
    // whose status cannot be read may be another writer's.
    if (!present && present.error() != ENOENT && present.error() != ENOTDIR)
        return Error::os_error("Error reading the status of the file to replace: " +
                                   os_structured_rendering(present.error()),
                               present.error());
    const bool replacing = present && present->regular;
    if (replacing && collection.file_seen() != present->identity) return changed_on_disk(collection_name);
    if (int failure = temporary.take_final_permissions(replacing ? &*present : nullptr); failure != 0)
        return Error::os_error("Problem creating temporary file: " + os_structured_rendering(failure), failure);
    if (int failure = sys::rename_path(temporary.path(), path); failure != 0)
        return Error::os_error("Error renaming file: " + os_structured_rendering(failure), failure);
    temporary.keep();
    // Renaming changes the file's change time: its identity is taken after.
    auto identity = placed_identity(temporary, path);
    sys::sync_directory_of(path);
    if (!identity)
        return Error::os_error("Error reading the status of the written file: " +
                                   os_structured_rendering(identity.error()),
                               identity.error());
    collection.saw_file(*identity);
    return success();
}

}  // namespace quarn
