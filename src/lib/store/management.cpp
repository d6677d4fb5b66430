// Operations on whole collections.
#include <cerrno>

#include "store/database.h"
#include "store/paths.h"
#include "store/reading.h"
#include "store/system.h"
#include "store/writing.h"

namespace quarn {

Status Database::create_collection(const std::string& collection_name) {
    if (Status valid = check_collection_name(collection_name); !valid) return valid;
    return create_if_absent(collection_name);
}

Status Database::create_if_absent(const std::string& collection_name) {
    std::string path = collection_path(collection_name);
    if (sys::path_exists(path)) return success();
    auto created = create_collection_file(path, collection_name);
    if (!created) return std::move(created.error().about_file(path, FileAction::Creating));
    if (!*created) return success();  // another writer's file appeared meanwhile: it stays as it is
    in_memory_.insert_or_assign(collection_name, make_collection({}, **created));
    clear_cache();
    return success();
}

Status Database::drop_collection(const std::string& collection_name) {
    if (Status valid = check_collection_name(collection_name); !valid) return valid;
    return forget_collection(collection_name);
}

Status Database::forget_collection(const std::string& collection_name) {
    const std::string path = collection_path(collection_name);
    // ENOENT, ENOTDIR and ENAMETOOLONG all say that no file is there (or can be).
    int failure = sys::remove_file(path);
    if (failure != 0 && failure != ENOENT && failure != ENOTDIR && failure != ENAMETOOLONG) {
        // A directory in the file's place is not the collection's to remove.
        auto status = sys::link_status(path);
        bool directory = status && status->directory;
        // The file stays, so the collection stays too, or it would come back on the next open.
        if (!directory) return Error::os_code_error(failure).about_file(path, FileAction::Removing);
    }
    in_memory_.erase(collection_name);
    clear_cache();
    return success();
}

Result<std::vector<std::string>> Database::collection_names() const {
    auto entries = sys::list_directory(name_, sys::ListingErrors::Report);
    if (!entries) return Error::os_code_error(entries.error()).about_file(name_, FileAction::Listing);
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
    Status first_failure = success();
    for (const std::string& collection_name : *names) {
        Status forgotten = forget_collection(collection_name);
        if (!forgotten && first_failure) first_failure = std::move(forgotten);
    }
    (void)sys::remove_directory(name_);  // stays when other files remain
    clear_cache();
    return first_failure;
}

Status Database::write(const std::string& collection_name) const {
    if (Status valid = check_collection_name(collection_name); !valid) return valid;
    auto found = in_memory_.find(collection_name);
    if (found == in_memory_.end())
        return Error::value_error("Collection '" + collection_name + "' not found in stored collections");
    CollectionRef collection = found->second;
    const std::string path = collection_path(collection_name);
    return about_file(write_collection_file(path, collection_name, *collection), path, FileAction::Writing);
}

Status Database::write_all() const {
    Status first_failure = success();
    for (const auto& [collection_name, collection] : in_memory_) {
        const std::string path = collection_path(collection_name);
        Status written =
            about_file(write_collection_file(path, collection_name, *collection), path, FileAction::Writing);
        if (!written && first_failure) first_failure = std::move(written);
    }
    return first_failure;
}

Status Database::load_from_document(const std::string& document_path) {
    auto document = read_document(document_path);
    if (!document) return std::move(document.error());
    if (!document->is_object())
        return Error::panic("the document's top level is not an object").about_file(document_path, FileAction::Reading);
    for (const Entry* entry = document->object_begin(); entry != document->object_end(); ++entry)
        if (Status valid = check_collection_name(entry->key->text()); !valid) return valid;
    clear_cache();
    for (Entry* entry = document->object_begin(); entry != document->object_end(); ++entry) {
        Status inserted = insert_value(std::string(entry->key->text()), std::move(entry->value));
        if (!inserted) return inserted;
    }
    return success();
}

}  // namespace quarn
