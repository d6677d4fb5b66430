// Writing collection files.
#pragma once

#include <string>
#include <string_view>

#include "core/result.h"
#include "store/collection.h"

namespace quarn {

// Creates path holding the keyed form of an empty collection, with the name
// written as a JSON string. OS errors are passed through.
Status create_collection_file(const std::string& path, std::string_view collection_name);

// Replaces path whole with the collection as one compact JSON array: written
// to a temporary file beside it, synced, renamed over it, the directory synced.
// On any failure the temporary file is removed and path is untouched.
Status write_collection_file(const std::string& path, const SharedCollection& collection);

}  // namespace quarn
