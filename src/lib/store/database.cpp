#include "store/database.h"

#include <sys/stat.h>

#include <iterator>
#include <random>

#include "store/files.h"
#include "store/paths.h"

namespace quarn {

namespace {

std::uint64_t random_seed() {
    std::random_device device;
    return (static_cast<std::uint64_t>(device()) << 32) ^ device();
}

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

}  // namespace

std::size_t SeededHash::operator()(std::string_view text) const noexcept {
    return static_cast<std::size_t>(Key::hash_bytes(text) ^ seed);
}

Database::Database(std::string name)
    : name_(std::move(name)), collections_(0, SeededHash{random_seed()}), query_cache_(LruCache::default_capacity) {}

Result<Database> Database::open(std::string name) {
    Database database(std::move(name));
    const std::string& path = database.name_;
    if (!path_exists(path)) {
        // Outcome ignored on purpose: a database that cannot be created is
        // simply empty.
        if (path.find('\0') == std::string::npos) ::mkdir(path.c_str(), 0777);
        return database;
    }
    if (!path_exists(path)) return database;
    if (Status loaded = database.load_directory(); !loaded) return std::move(loaded.error());
    return database;
}

Status Database::load_directory() {
    auto entries = list_directory(name_, ListingErrors::Ignore);
    if (!entries) return std::move(entries.error());
    for (const std::string& file_name : *entries) {
        std::optional<std::string_view> collection_name = collection_name_of(file_name);
        if (!collection_name) continue;
        std::string path = join_path(name_, file_name);
        if (!is_valid_utf8(path)) return Error::panic("collection path is not valid UTF-8");
        auto file_value = read_document(path);
        if (!file_value) return std::move(file_value.error());
        auto documents = documents_of(std::move(*file_value), *collection_name);
        if (!documents) return std::move(documents.error());
        collections_.insert_or_assign(std::string(*collection_name), make_collection(std::move(*documents)));
    }
    return success();
}

std::string Database::collection_path(std::string_view collection_name) const {
    return quarn::collection_path(name_, collection_name);
}

Result<CollectionRef> Database::loaded_collection(const std::string& collection_name) {
    if (auto found = collections_.find(collection_name); found != collections_.end()) return found->second;
    if (Status loaded = update_in_memory_collections(collection_name); !loaded) return std::move(loaded.error());
    return collections_.at(collection_name);
}

Status Database::update_in_memory_collections(const std::string& collection_name) {
    std::string path = collection_path(collection_name);
    if (!path_exists(path))
        return Error::value_error("Collection with name '" + collection_name + "' not found on disk");
    auto file_value = read_document(path);
    if (!file_value) return std::move(file_value.error());
    auto documents = documents_of(std::move(*file_value), collection_name);
    if (!documents) return std::move(documents.error());
    collections_.insert_or_assign(collection_name, make_collection(std::move(*documents)));
    return success();
}

}  // namespace quarn
