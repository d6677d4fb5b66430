// Reading JSON files: collection files and the documents callers name.
#pragma once

#include <string>

#include "core/result.h"
#include "json/value.h"

namespace quarn {

// Reads and parses one JSON file. OSError "Error opening document " + the
// text rendering when it cannot be opened; ValueError "Error deserializing
// JSON" when reading or parsing fails.
Result<Value> read_document(const std::string& path);

}  // namespace quarn
