// Writing collection files.
#pragma once

#include <string>
#include <string_view>

#include "core/result.h"
#include "store/collection.h"

namespace quarn {

// Creates path holding the keyed form of an empty collection, with the name
// written as a JSON string: written and synced under a temporary name, then
// put in place only if nothing is at path. True when it created the file,
// false when something was already there (left as it was). OS errors are
// passed through, and leave no file behind.
Result<bool> create_collection_file(const std::string& path, std::string_view collection_name);

// Replaces path whole with the collection as one compact JSON array: written
// to a temporary file beside it, synced, renamed over it, the directory synced.
// On any failure the temporary file is removed and path is untouched. Clears
// away temporary files of path that killed writers left, first.
Status write_collection_file(const std::string& path, const SharedCollection& collection);

}  // namespace quarn
