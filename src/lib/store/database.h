// The database object: a directory, the collections in memory, the result
// cache of find, and every operation on them. Each public operation does the
// whole of its work, in the order of its checks, and reports failures as
// values; the binding only converts arguments and results.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/result.h"
#include "collections/collection.h"
#include "store/query_result_cache.h"

namespace quarn {

// Seeded with the process's random seed, so that iteration order is not something
// callers can rely on from one run to the next.
struct SeededHash {
    using is_transparent = void;
    std::uint64_t seed;
    std::size_t operator()(std::string_view text) const noexcept;
};

using CollectionMap = std::unordered_map<std::string, CollectionRef, SeededHash, std::equal_to<>>;

// A document argument, converted when the operation reaches it: where a
// conversion fails among the other checks is the operation's to decide.
using ValueSource = std::function<Result<Value>()>;

// The source of a value the caller already has (a copy is handed out).
inline ValueSource given(Value value) {
    return [value = std::move(value)]() -> Result<Value> { return Value(value); };
}

// What find hands back: the collection, and the positions of the query's
// matches in it (every document, in order, when matches is null).
struct FoundDocuments {
    CollectionRef collection;
    QueryResultRef matches;
};

class Database {
public:
    // Opens the directory name: creates it when its status cannot be read,
    // otherwise loads every *.json entry in it as a collection.
    static Result<Database> open(std::string name);

    // The collections held in memory (the files on disk are what Python's
    // collections() lists).
    CollectionMap& in_memory_collections() noexcept { return in_memory_; }

    // ---- Documents (every name is checked first: ValueError "Invalid collection name '<name>'").

    // Appends the document (an array: each element) to the collection,
    // loading it from its file or creating it first when it is not in memory.
    Status insert(const std::string& collection_name, const ValueSource& document);
    // Inserts the array held by a JSON file. ValueError "Document is not an array".
    Status insert_many_from_document(const std::string& collection_name, const std::string& document_path);
    // The collection's documents, or with a query (null: none) those it
    // matches, answered from the result cache when the same query on the same
    // collection was answered since the last change.
    Result<FoundDocuments> find(const std::string& collection_name, const ValueSource* query);
    // Applies the update object to the documents the query (null: none)
    // selects; nothing changes unless every selected document can take it.
    // Each update term's two trace lines go to trace (null: nowhere) as the
    // update object is parsed. Returns the collection.
    Result<CollectionRef> update(const std::string& collection_name, const ValueSource& update_object,
                                 const ValueSource* query, const TraceSink* trace = nullptr);
    // Empties the result cache. Every operation that changes what a collection
    // holds, or whether it exists, calls it too, so that a cached result always
    // describes its collection as it is.
    void clear_cache() noexcept { query_cache_.clear(); }

    // ---- Whole collections.

    // Creates the file (keyed form, empty) and an empty collection in memory,
    // unless something already exists at the file's path.
    Status create_collection(const std::string& collection_name);
    // Unlinks the file and forgets the collection. A file that stays (but for
    // a directory in its place) is the system's error, the collection unchanged.
    Status drop_collection(const std::string& collection_name);
    // The collections in the directory: stems of the *.json entries, in
    // listing order.
    Result<std::vector<std::string>> collection_names() const;
    // Drops every collection of the directory, then the directory if empty;
    // tries them all, then reports the first failure.
    Status drop_all();
    // Writes one in-memory collection to its file.
    Status write(const std::string& collection_name) const;
    // Writes every in-memory collection; reports the first failure.
    Status write_all() const;
    // Inserts each member of a JSON file's top-level object into the
    // collection named by its key.
    Status load_from_document(const std::string& document_path);

private:
    // Reads the collection's file (either form) into collections. Called only
    // for a name that is not in memory. ValueError "Collection with name
    // '<name>' not found on disk" when the file has no status.
    Status update_in_memory_collections(const std::string& collection_name);
    explicit Database(std::string name);
    // Loads every *.json entry of the directory's listing as a collection.
    Status load_collections(const std::vector<std::string>& entries);
    std::string collection_path(std::string_view collection_name) const;
    // The named collection, loaded from its file when it is not in memory.
    Result<CollectionRef> loaded_collection(const std::string& collection_name);
    // create_collection for a name already checked.
    Status create_if_absent(const std::string& collection_name);
    // Appends to a collection whose name was checked; loads or creates it first.
    Status insert_value(const std::string& collection_name, Value documents);
    // Removes the collection's file, then forgets it; when the file cannot be
    // removed (for a reason but its absence, or a directory there), its error,
    // and the collection stays.
    Status forget_collection(const std::string& collection_name);

    std::string name_;
    CollectionMap in_memory_;
    QueryResultCache query_cache_;
};

}  // namespace quarn
