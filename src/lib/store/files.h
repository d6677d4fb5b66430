// Reading files and directories. Every descriptor is closed on every path.
#pragma once

#include <string>
#include <vector>

#include "core/result.h"
#include "json/value.h"

namespace quarn {

// Reads and parses one JSON file. OSError "Error opening document " + the
// text rendering when it cannot be opened; ValueError "Error deserializing
// JSON" when reading or parsing fails.
Result<Value> read_document(const std::string& path);

// Whether the system gives a status for path (following links). A path with
// a NUL byte has none: it would name another file.
bool path_exists(const std::string& path);

enum class ListingErrors { Ignore, Report };

// The entry names of a directory in listing order, without "." and "..".
// Fails with the OS error of opening it; an error part-way ends the listing,
// and is reported when asked.
Result<std::vector<std::string>> list_directory(const std::string& path, ListingErrors errors);

}  // namespace quarn
