#include "query/collection_query.h"

#include <exception>
#include <optional>
#include <string>
#include <vector>

namespace quarn {

namespace {

Error poisoned_error() { return Error::panic("the collection is poisoned by an earlier failure"); }
Error not_an_object_error() { return Error::panic("the collection holds a document that is not an object"); }

// Whether update would leave a selected document nesting deeper than its
// collection file can hold and be read back from, at the turn of some term.
bool nests_too_deep(const QueryEngine<UpdateOperator>& update, const std::vector<Value*>& selected) {
    const std::vector<std::size_t> too_deep = update.too_deep_sets();
    if (too_deep.empty()) return false;
    for (const Value* document : selected)
        for (std::size_t position : too_deep)
            if (update.takes_effect(position, *document)) return true;
    return false;
}

// The candidates (ascending positions, none failing: see AccessPaths) that query matches.
Result<std::vector<std::size_t>> matches_among(const std::vector<Value>& documents,
                                               const std::vector<std::uint32_t>& candidates,
                                               const QueryEngine<QueryOperator>& query) {
    std::vector<std::size_t> positions;
    for (std::size_t i = 0; i < candidates.size(); ++i) {
        if (i + prefetch_distance < candidates.size())
            prefetch_document(documents, candidates[i + prefetch_distance]);
        auto matched = query.execute(documents[candidates[i]]);
        if (!matched) return std::move(matched.error());
        if (*matched) positions.push_back(candidates[i]);
    }
    return positions;
}

}  // namespace

Result<QueryResultRef> find_matches(const CollectionRef& collection, const QueryEngine<QueryOperator>& query) {
    auto documents = collection->read();
    if (documents.poisoned()) return poisoned_error();
    auto result = std::make_shared<QueryResult>();
    result->source = collection;
    const std::vector<Value>& all = documents.documents();
    if (auto candidates = collection->access_paths().candidates(all, query)) {
        auto matched = matches_among(all, *candidates, query);
        if (!matched) return std::move(matched.error());
        result->positions = std::move(*matched);
        return QueryResultRef(std::move(result));
    }
    for (std::size_t index = 0; index < all.size(); ++index) {
        prefetch_document(all, index + prefetch_distance);
        const Value& document = all[index];
        if (!document.is_object()) return not_an_object_error();
        auto matched = query.execute(document);
        if (!matched) return std::move(matched.error());
        if (*matched) result->positions.push_back(index);
    }
    return QueryResultRef(std::move(result));
}

Status update_documents(SharedCollection& collection, const QueryEngine<UpdateOperator>& update,
                        const QueryEngine<QueryOperator>* query) {
    auto documents = collection.write();
    if (documents.poisoned()) return poisoned_error();
    std::vector<Value*> selected;
    std::vector<Value>& all = documents.documents();
    std::optional<std::vector<std::uint32_t>> candidates;
    if (query != nullptr) candidates = collection.access_paths().candidates(all, *query);
    if (candidates) {
        auto matched = matches_among(all, *candidates, *query);
        if (!matched) return Error::panic(std::move(matched.error().message));
        for (std::size_t position : *matched) selected.push_back(&all[position]);
    }
    for (std::size_t index = 0; index < all.size() && !candidates; ++index) {
        prefetch_document(all, index + prefetch_distance);
        Value& document = all[index];
        if (!document.is_object()) return not_an_object_error();
        if (query != nullptr) {
            auto matched = query->execute(document);
            // Whatever the evaluation failure, the update rejects the call as an internal one.
            if (!matched) return Error::panic(std::move(matched.error().message));
            if (!*matched) continue;
        }
        selected.push_back(&document);
    }
    if (!selected.empty() && update.has_empty_path())
        return Error::panic("an update term has an empty field path");
    if (nests_too_deep(update, selected)) return Error::panic("nesting too deep");
    // From here documents change: a failure part-way cannot be undone, so it poisons.
    try {
        for (Value* document : selected) {
            if (Status applied = update.execute(*document); !applied) {
                documents.poison();
                return applied;
            }
        }
        std::vector<std::uint32_t> changed;
        changed.reserve(selected.size());
        for (Value* document : selected) changed.push_back(static_cast<std::uint32_t>(document - all.data()));
        collection.access_paths().documents_changed(all, update, changed);
    } catch (...) {
        documents.poison();
        throw;
    }
    return success();
}

}  // namespace quarn
