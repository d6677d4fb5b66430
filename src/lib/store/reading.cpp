#include "store/reading.h"

#include "core/os_error.h"
#include "json/reader.h"
#include "store/system.h"

namespace quarn {

Result<Value> read_document(const std::string& path, FileKinds kinds) {
    // Opening a FIFO waits for a writer, with the interpreter lock held; opened
    // without waiting, one that has no writer reads as empty. Reads block as usual.
    auto file = sys::open_file(path, O_RDONLY | O_NONBLOCK);
    if (!file) return Error::os_error("Error opening document " + os_text_rendering(file.error()));
    // A FIFO with a writer would block for good, /dev/zero would fill memory.
    if (kinds == FileKinds::RegularOnly) {
        auto status = sys::file_status(file->get());
        if (!status || !status->regular) return Error::value_error("Error deserializing JSON");
    }
    sys::make_blocking(file->get());
    std::string contents;
    std::optional<Value> value;
    if (sys::read_all(file->get(), contents) == 0) value = parse_json(contents);
    if (!value) return Error::value_error("Error deserializing JSON");
    return std::move(*value);
}

}  // namespace quarn
