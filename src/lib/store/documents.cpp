// The document operations: insert, find (with the result cache) and update.
// Each runs its steps in one function, in the order its checks are made.
#include <algorithm>
#include <optional>

#include "query/cache_key.h"
#include "collections/collection_query.h"
#include "store/database.h"
#include "store/paths.h"
#include "store/reading.h"

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

// A collection that could not be created, as an internal failure naming the reason.
Error creation_failure(const std::string& collection_name, Error reason) {
    Error failure = Error::panic("collection '" + collection_name + "' could not be created: " + reason.message);
    failure.file = std::move(reason.file);
    return failure;
}

// The query or update object from source, parsed into its terms.
template <typename Op>
Result<QueryEngine<Op>> parsed(const ValueSource& source, const TraceSink* trace = nullptr) {
    auto object = source();
    if (!object) return std::move(object.error());
    return QueryEngine<Op>::parse(*object, trace);
}

}  // namespace

Status Database::insert(const std::string& collection_name, const ValueSource& document) {
    if (Status valid = check_collection_name(collection_name); !valid) return valid;
    auto value = document();
    if (!value) return std::move(value.error());
    return insert_value(collection_name, std::move(*value));
}

Status Database::insert_many_from_document(const std::string& collection_name, const std::string& document_path) {
    if (Status valid = check_collection_name(collection_name); !valid) return valid;
    auto document = read_document(document_path);
    if (!document) return std::move(document.error());
    if (!document->is_array())
        return Error::value_error("Document is not an array").about_file(document_path, FileAction::Reading);
    return insert_value(collection_name, std::move(*document));
}

Status Database::insert_value(const std::string& collection_name, Value documents) {
    clear_cache();
    if (in_memory_.find(collection_name) == in_memory_.end()) {
        if (Status created = create_if_absent(collection_name); !created)
            return creation_failure(collection_name, std::move(created.error()));
    }
    // In memory, or on disk (perhaps just put there by another writer): loaded first.
    auto collection = loaded_collection(collection_name);
    if (!collection) return std::move(collection.error());
    auto guard = (*collection)->write();
    if (guard.poisoned()) return Error::panic("collection '" + collection_name + "' is poisoned");
    append_documents(guard.documents(), std::move(documents));
    return success();
}

Result<FoundDocuments> Database::find(const std::string& collection_name, const ValueSource* query_source) {
    if (Status valid = check_collection_name(collection_name); !valid) return std::move(valid.error());
    // Before the query is looked at: a missing collection is reported even for a bad or cached query.
    auto collection = loaded_collection(collection_name);
    if (!collection) return std::move(collection.error());
    if (query_source == nullptr) return FoundDocuments{std::move(*collection), nullptr};
    auto query = (*query_source)();
    if (!query) return std::move(query.error());
    const std::uint64_t key = cache_key(collection_name, *query);
    // Two queries whose keys collide never share a result, on one collection or across two.
    if (QueryResultRef cached = query_cache_.get(key, *query); cached && cached->source == *collection)
        return FoundDocuments{std::move(*collection), std::move(cached)};
    auto engine = QueryEngine<QueryOperator>::parse(*query);
    if (!engine) return std::move(engine.error());
    auto matches = find_matches(*collection, collection_name, *engine);
    if (!matches) return std::move(matches.error());
    query_cache_.put(key, std::move(*query), *matches);
    return FoundDocuments{std::move(*collection), std::move(*matches)};
}

Result<CollectionRef> Database::update(const std::string& collection_name, const ValueSource& update_object,
                                       const ValueSource* query, const TraceSink* trace) {
    if (Status valid = check_collection_name(collection_name); !valid) return std::move(valid.error());
    // Emptied as soon as the arguments are accepted, even when the update then fails.
    clear_cache();
    auto collection = loaded_collection(collection_name);
    if (!collection) {
        Error failure =
            Error::panic("collection '" + collection_name + "' cannot be loaded: " + collection.error().message);
        failure.file = std::move(collection.error().file);
        return failure;
    }
    // Both objects are converted and parsed before the write lock, so a bad one changes nothing.
    auto update_engine = parsed<UpdateOperator>(update_object, trace);
    if (!update_engine) return std::move(update_engine.error());
    std::optional<QueryEngine<QueryOperator>> query_engine;
    if (query != nullptr) {
        auto query_parsed = parsed<QueryOperator>(*query);
        if (!query_parsed) return std::move(query_parsed.error());
        query_engine.emplace(std::move(*query_parsed));
    }
    Status updated = update_documents(**collection, collection_name, *update_engine, query_engine ? &*query_engine : nullptr);
    if (!updated) return std::move(updated.error());
    return std::move(*collection);
}

}  // namespace quarn
