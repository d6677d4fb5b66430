#include "store/reading.h"

#include <optional>

#include "core/os_error.h"
#include "json/reader.h"
#include "store/system.h"

namespace quarn {

namespace {

// "Error deserializing JSON"; fault is where the text went wrong, when it was
// the text itself (not the file's kind or the reading) that failed.
Error deserializing_error(std::optional<TextPosition> fault = std::nullopt) {
    Error error = Error::value_error("Error deserializing JSON");
    if (fault) {
        error.file.line = fault->line;
        error.file.column = fault->column;
    }
    return error;
}

Result<Value> read_file(const std::string& path, FileKinds kinds, sys::FileIdentity* seen) {
    // Opening a FIFO waits for a writer, with the interpreter lock held; opened
    // without waiting, one that has no writer reads as empty. Reads block as usual.
    auto file = sys::open_file(path, O_RDONLY | O_NONBLOCK);
    if (!file) return Error::os_error("Error opening document " + os_text_rendering(file.error()), file.error());
    // A FIFO with a writer would block for good; a device such as /dev/zero
    // never ends and would fill memory, whoever names it.
    auto status = sys::file_status(file->get());
    if (!status || status->device_file) return deserializing_error();
    if (kinds == FileKinds::RegularOnly && !status->regular) return deserializing_error();
    if (seen != nullptr) *seen = status->identity;
    // Reads of a regular file never wait, with or without O_NONBLOCK.
    if (!status->regular) sys::make_blocking(file->get());
    sys::FileText contents;
    const std::size_t size = status->regular && status->identity.size > 0 ? status->identity.size : 0;
    if (sys::read_all(file->get(), contents, size) != 0) return deserializing_error();
    std::size_t fault_offset = 0;
    std::optional<Value> value = parse_json(contents.view(), &fault_offset);
    if (!value) return deserializing_error(text_position(contents.view(), fault_offset));
    return std::move(*value);
}

}  // namespace

Result<Value> read_document(const std::string& path, FileKinds kinds, sys::FileIdentity* seen) {
    return about_file(read_file(path, kinds, seen), path, FileAction::Reading);
}

}  // namespace quarn
