#include "store/database.h"

#include <iterator>

#include "core/random_seed.h"
#include "store/paths.h"
#include "store/reading.h"
#include "store/system.h"

namespace quarn {

namespace {

// A collection file holds either an array of documents, or an object whose
// member named after the collection is that array.
Result<std::vector<Value>> documents_of(Value file_value, std::string_view collection_name) {
    Value* documents = &file_value;
    if (file_value.is_object()) documents = file_value.find(collection_name);
    if (documents == nullptr || !documents->is_array())
        return Error::panic("the file of collection '" + std::string(collection_name) +
                            "' holds neither an array nor an object with an array named after it");
    return std::vector<Value>(std::make_move_iterator(documents->array_begin()),
                              std::make_move_iterator(documents->array_end()));
}

// The collection stored in the file at path; its errors name the file.
Result<CollectionRef> read_collection(const std::string& path, std::string_view collection_name) {
    sys::FileIdentity file;
    auto file_value = read_document(path, FileKinds::RegularOnly, &file);
    if (!file_value) return std::move(file_value.error());
    auto documents = documents_of(std::move(*file_value), collection_name);
    if (!documents) return std::move(documents.error().about_file(path, FileAction::Reading));
    return make_collection(std::move(*documents), file);
}

}  // namespace

std::size_t SeededHash::operator()(std::string_view text) const noexcept {
    return static_cast<std::size_t>(Key::hash_bytes(text) ^ seed);
}

Database::Database(std::string name)
    : name_(std::move(name)), in_memory_(0, SeededHash{process_random_seed()}), query_cache_(QueryResultCache::default_capacity) {}

Result<Database> Database::open(std::string name) {
    Database database(std::move(name));
    // Listed at once: the status is asked for only when the listing fails.
    auto entries = sys::list_directory(database.name_, sys::ListingErrors::Ignore);
    if (!entries && !sys::path_exists(database.name_)) {
        // Outcome ignored on purpose: a database that cannot be created is
        // simply empty.
        (void)sys::make_directory(database.name_);
        return database;
    }
    if (!entries) return Error::os_code_error(entries.error()).about_file(database.name_, FileAction::Listing);
    if (Status loaded = database.load_collections(*entries); !loaded) return std::move(loaded.error());
    return database;
}

Status Database::load_collections(const std::vector<std::string>& entries) {
    for (const std::string& file_name : entries) {
        std::optional<std::string_view> collection_name = collection_name_of(file_name);
        if (!collection_name) continue;
        std::string path = join_path(name_, file_name);
        if (!is_valid_utf8(path)) return Error::panic("collection path is not valid UTF-8");
        auto collection = read_collection(path, *collection_name);
        if (!collection) return std::move(collection.error());
        in_memory_.insert_or_assign(std::string(*collection_name), std::move(*collection));
    }
    return success();
}

std::string Database::collection_path(std::string_view collection_name) const {
    return quarn::collection_path(name_, collection_name);
}

Result<CollectionRef> Database::loaded_collection(const std::string& collection_name) {
    if (auto found = in_memory_.find(collection_name); found != in_memory_.end()) return found->second;
    if (Status loaded = update_in_memory_collections(collection_name); !loaded) return std::move(loaded.error());
    return in_memory_.at(collection_name);
}

Status Database::update_in_memory_collections(const std::string& collection_name) {
    std::string path = collection_path(collection_name);
    if (!sys::path_exists(path))
        return Error::value_error("Collection with name '" + collection_name + "' not found on disk")
            .about_file(path, FileAction::Reading);
    auto collection = read_collection(path, collection_name);
    if (!collection) return std::move(collection.error());
    // Only ever called for a name that is not in memory, so no cached result
    // can describe it: the cache stays.
    in_memory_.insert_or_assign(collection_name, std::move(*collection));
    return success();
}

}  // namespace quarn
