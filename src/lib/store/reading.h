// Reading JSON files: collection files and the documents callers name.
#pragma once

#include <string>

#include "core/result.h"
#include "json/value.h"
#include "store/system.h"

namespace quarn {

enum class FileKinds {
    Any,          // a document the caller names: a pipe or FIFO may feed it (never a device)
    RegularOnly,  // a collection file: a FIFO or device there is refused unread
};

// Reads and parses one JSON file. OSError "Error opening document " + the
// text rendering when it cannot be opened; ValueError "Error deserializing
// JSON" when it is not a kind allowed, or reading or parsing fails. Every
// error names path, and a parse failure the line and column of the fault.
// seen, when given, receives the identity of the file read (taken before its
// first byte, so that a change while it is read shows as a change).
Result<Value> read_document(const std::string& path, FileKinds kinds = FileKinds::Any,
                            sys::FileIdentity* seen = nullptr);

}  // namespace quarn
