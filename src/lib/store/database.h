// The database object: a directory, the collections in memory, and the
// result cache of find.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>

#include "core/result.h"
#include "store/collection.h"
#include "store/lru_cache.h"

namespace quarn {

// Seeded per map, so that iteration order is not something callers can rely on.
struct SeededHash {
    using is_transparent = void;
    std::uint64_t seed;
    std::size_t operator()(std::string_view text) const noexcept;
};

using CollectionMap = std::unordered_map<std::string, CollectionRef, SeededHash, std::equal_to<>>;

class Database {
public:
    // Opens the directory name: creates it when its status cannot be read,
    // otherwise loads every *.json entry in it as a collection.
    static Result<Database> open(std::string name);

    const std::string& name() const noexcept { return name_; }
    CollectionMap& collections() noexcept { return collections_; }
    LruCache& query_cache() noexcept { return query_cache_; }

    std::string collection_path(std::string_view collection_name) const;

    // Reads the collection's file (either form) into collections, replacing
    // any entry of that name. ValueError "Collection with name '<name>' not
    // found on disk" when the file has no status.
    Status update_in_memory_collections(const std::string& collection_name);

    // The named collection, loaded from its file when it is not in memory;
    // the loader's error otherwise.
    Result<CollectionRef> loaded_collection(const std::string& collection_name);

    // Whole collections. Every operation that changes what a collection holds,
    // or whether it exists, empties query_cache.

    // Creates the file (keyed form, empty) and an empty collection in memory,
    // unless something already exists at the file's path.
    Status create_collection(const std::string& collection_name);
    // Unlinks the file (failures ignored) and forgets the collection.
    void drop_collection(const std::string& collection_name);
    // The collections in the directory: stems of the *.json entries, in
    // listing order.
    Result<std::vector<std::string>> collection_names() const;
    // Drops every collection of the directory, then the directory if empty.
    Status drop_all();
    // Writes one in-memory collection to its file.
    Status write(const std::string& collection_name) const;
    // Writes every in-memory collection; reports the first failure.
    Status write_all() const;

    // Appends value (an array: each element) to the collection, loading it
    // from its file or creating it first when it is not in memory.
    Status insert_in_collection(const std::string& collection_name, Value value);
    // Inserts the array held by a JSON file. ValueError "Document is not an array".
    Status insert_many_from_document(const std::string& collection_name, const std::string& document_path);
    // Inserts each member of a JSON file's top-level object into the
    // collection named by its key.
    Status load_from_document(const std::string& document_path);

private:
    explicit Database(std::string name);
    Status load_directory();

    std::string name_;
    CollectionMap collections_;
    LruCache query_cache_;
};

}  // namespace quarn
