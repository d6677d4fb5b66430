// Writing collection files.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "core/result.h"
#include "collections/collection.h"
#include "store/system.h"

namespace quarn {

// Creates path holding the keyed form of an empty collection, with the name
// written as a JSON string: written and synced under a temporary name, then
// put in place only if nothing is at path. The identity of the file it
// created, or nothing when something was already there (left as it was). OS
// errors are passed through, and leave no file behind.
Result<std::optional<sys::FileIdentity>> create_collection_file(const std::string& path,
                                                                std::string_view collection_name);

// Replaces path whole with the collection as one compact JSON array: written
// to a temporary file beside it, synced, renamed over it, the directory synced.
// The new file keeps the permissions of the one it replaces. A regular file at
// path that is not the one the collection last saw (another writer's) is never
// replaced: ValueError "Collection '<name>' changed on disk since it was read".
// On any failure the temporary file is removed and path is untouched. Clears
// away temporary files of path that killed writers left, first. Afterwards
// the collection has seen the file it wrote; if no status of it can be read,
// an OSError, with the file in place.
Status write_collection_file(const std::string& path, std::string_view collection_name,
                             const SharedCollection& collection);

}  // namespace quarn
