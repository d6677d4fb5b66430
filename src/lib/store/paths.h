// Where collections live on disk, and which names may be used.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "core/result.h"
#include "json/utf8.h"

namespace quarn {

inline constexpr std::string_view collection_extension = "json";

// dir joined with file: a separator is inserted unless dir is empty or already
// ends with one; an absolute file replaces dir.
std::string join_path(std::string_view dir, std::string_view file);

// The directory part of path ("." when it has none, "/" for the root).
std::string directory_of(std::string_view path);

// The last part of path: what follows its last "/".
std::string_view file_name_of(std::string_view path);

// The file of a collection: dir joined with name + ".json" (appended, so that
// every name has a file of its own).
std::string collection_path(std::string_view dir, std::string_view collection_name);

// The collection stored in a directory entry: the file name without its final
// ".json", or nothing when the entry has another extension or none (".json"
// itself has none).
std::optional<std::string_view> collection_name_of(std::string_view file_name);

// Refuses names that could leave the database directory: empty, ".", "..",
// or holding "/" or NUL. ValueError "Invalid collection name '<name>'".
Status check_collection_name(std::string_view collection_name);

}  // namespace quarn
