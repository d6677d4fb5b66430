// Operations on whole collections, and inserting into them.
#include <unistd.h>

#include <algorithm>

#include "store/database.h"
#include "store/files.h"
#include "store/paths.h"
#include "store/writing.h"

namespace quarn {

namespace {

void append_documents(std::vector<Value>& documents, Value value) {
    if (!value.is_array()) {
        documents.push_back(std::move(value));
        return;
    }
    // Grow by at least half, so that many small inserts stay linear in all;
    // a first insert into an empty collection gets exactly what it needs.
    const std::size_t needed = documents.size() + value.array_size();
    if (needed > documents.capacity())
        documents.reserve(documents.empty() ? needed : std::max(needed, documents.capacity() + documents.capacity() / 2));
    for (Value* element = value.array_begin(); element != value.array_end(); ++element)
        documents.push_back(std::move(*element));
}

}  // namespace

Status Database::create_collection(const std::string& collection_name) {
    std::string path = collection_path(collection_name);
    if (path_exists(path)) return success();
    if (Status created = create_collection_file(path, collection_name); !created) return created;
    collections_.insert_or_assign(collection_name, make_collection({}));
    query_cache_.clear();
    return success();
}

void Database::drop_collection(const std::string& collection_name) {
    std::string path = collection_path(collection_name);
    // A missing file or a directory in its place changes nothing. A path with
    // a NUL byte would name another file, so it is never passed on.
    if (path.find('\0') == std::string::npos) ::unlink(path.c_str());
    collections_.erase(collection_name);
    query_cache_.clear();
}

Result<std::vector<std::string>> Database::collection_names() const {
    auto entries = list_directory(name_, ListingErrors::Report);
    if (!entries) return std::move(entries.error());
    std::vector<std::string> names;
    for (const std::string& file_name : *entries) {
        std::optional<std::string_view> collection_name = collection_name_of(file_name);
        if (!collection_name) continue;
        if (!is_valid_utf8(*collection_name)) return Error::panic("collection name is not valid UTF-8");
        names.emplace_back(*collection_name);
    }
    return names;
}

Status Database::drop_all() {
    auto names = collection_names();
    if (!names) return Error::panic("listing the database directory failed: " + names.error().message);
    for (const std::string& collection_name : *names) drop_collection(collection_name);
    if (name_.find('\0') == std::string::npos) ::rmdir(name_.c_str());  // stays when other files remain
    query_cache_.clear();
    return success();
}

Status Database::write(const std::string& collection_name) const {
    auto found = collections_.find(collection_name);
    if (found == collections_.end())
        return Error::value_error("Collection '" + collection_name + "' not found in stored collections");
    CollectionRef collection = found->second;
    return write_collection_file(collection_path(collection_name), *collection);
}

Status Database::write_all() const {
    Status first_failure = success();
    for (const auto& [collection_name, collection] : collections_) {
        Status written = write_collection_file(collection_path(collection_name), *collection);
        if (!written && first_failure) first_failure = std::move(written);
    }
    return first_failure;
}

Status Database::insert_in_collection(const std::string& collection_name, Value value) {
    query_cache_.clear();
    if (collections_.find(collection_name) == collections_.end()) {
        if (path_exists(collection_path(collection_name))) {
            if (auto loaded = loaded_collection(collection_name); !loaded) return std::move(loaded.error());
        } else {
            (void)create_collection(collection_name);  // failure shows as the absence below
        }
    }
    auto found = collections_.find(collection_name);
    if (found == collections_.end())
        return Error::panic("collection '" + collection_name + "' could not be created");
    CollectionRef collection = found->second;
    auto documents = collection->write();
    if (documents.poisoned()) return Error::panic("collection '" + collection_name + "' is poisoned");
    append_documents(documents.documents(), std::move(value));
    return success();
}

Status Database::insert_many_from_document(const std::string& collection_name, const std::string& document_path) {
    auto document = read_document(document_path);
    if (!document) return std::move(document.error());
    if (!document->is_array()) return Error::value_error("Document is not an array");
    return insert_in_collection(collection_name, std::move(*document));
}

Status Database::load_from_document(const std::string& document_path) {
    auto document = read_document(document_path);
    if (!document) return std::move(document.error());
    if (!document->is_object()) return Error::panic("the document's top level is not an object");
    for (const Entry* entry = document->object_begin(); entry != document->object_end(); ++entry)
        if (Status valid = check_collection_name(entry->key->text()); !valid) return valid;
    query_cache_.clear();
    for (Entry* entry = document->object_begin(); entry != document->object_end(); ++entry) {
        Status inserted = insert_in_collection(std::string(entry->key->text()), std::move(entry->value));
        if (!inserted) return inserted;
    }
    return success();
}

}  // namespace quarn
