#include "collections/collection_query.h"

#include <exception>
#include <string>
#include <vector>

namespace quarn {

namespace {

Error poisoned_error() { return Error::panic("the collection is poisoned by an earlier failure"); }
Error not_an_object_error() { return Error::panic("the collection holds a document that is not an object"); }

// Whether update would leave a document at one of positions nesting deeper
// than its collection file can hold and be read back from, at the turn of some term.
bool nests_too_deep(const QueryEngine<UpdateOperator>& update, const std::vector<Value>& documents,
                    const std::vector<std::size_t>& positions) {
    const std::vector<std::size_t> too_deep = update.too_deep_sets();
    if (too_deep.empty()) return false;
    for (std::size_t position : positions)
        for (std::size_t term : too_deep)
            if (update.takes_effect(term, documents[position])) return true;
    return false;
}

// The candidates (ascending positions, none failing: see AccessPaths) that
// query matches; were one to fail, it is explained as the scan explains it.
Result<std::vector<std::size_t>> matches_among(const std::vector<Value>& documents,
                                               const std::vector<std::uint32_t>& candidates,
                                               const QueryEngine<QueryOperator>& query, std::string_view name) {
    std::vector<std::size_t> positions;
    for (std::size_t i = 0; i < candidates.size(); ++i) {
        if (i + prefetch_distance < candidates.size())
            prefetch_document(documents, candidates[i + prefetch_distance]);
        auto matched = query.execute(documents[candidates[i]]);
        if (!matched) {
            query.explain_failure(matched.error(), documents[candidates[i]], name, candidates[i]);
            return std::move(matched.error());
        }
        if (*matched) positions.push_back(candidates[i]);
    }
    return positions;
}

// Every document in order: the positions of those query (null: any) matches.
Result<std::vector<std::size_t>> scan(const std::vector<Value>& documents, const QueryEngine<QueryOperator>* query,
                                      std::string_view name) {
    std::vector<std::size_t> positions;
    for (std::size_t index = 0; index < documents.size(); ++index) {
        prefetch_document(documents, index + prefetch_distance);
        const Value& document = documents[index];
        if (!document.is_object()) return not_an_object_error();
        if (query != nullptr) {
            auto matched = query->execute(document);
            if (!matched) {
                query->explain_failure(matched.error(), document, name, index);
                return std::move(matched.error());
            }
            if (!*matched) continue;
        }
        positions.push_back(index);
    }
    return positions;
}

// The plan shared by find and update: an index's candidates where one can
// answer exactly as the scan would, otherwise the scan.
Result<std::vector<std::size_t>> matching_positions(const SharedCollection& collection,
                                                    const std::vector<Value>& documents,
                                                    const QueryEngine<QueryOperator>* query, std::string_view name) {
    if (query != nullptr)
        if (auto candidates = collection.access_paths().candidates(documents, *query))
            return matches_among(documents, *candidates, *query, name);
    return scan(documents, query, name);
}

}  // namespace

Result<QueryResultRef> find_matches(const CollectionRef& collection, std::string_view name,
                                    const QueryEngine<QueryOperator>& query) {
    auto documents = collection->read();
    if (documents.poisoned()) return poisoned_error();
    auto positions = matching_positions(*collection, documents.documents(), &query, name);
    if (!positions) return std::move(positions.error());
    return QueryResultRef(std::make_shared<QueryResult>(QueryResult{collection, std::move(*positions)}));
}

Status update_documents(SharedCollection& collection, std::string_view name, const QueryEngine<UpdateOperator>& update,
                        const QueryEngine<QueryOperator>* query) {
    auto documents = collection.write();
    if (documents.poisoned()) return poisoned_error();
    std::vector<Value>& all = documents.documents();
    auto selected = matching_positions(collection, all, query, name);
    // Whatever the evaluation failure, the update rejects the call as an internal one; its notes stay.
    if (!selected) {
        selected.error().kind = ErrorKind::Panic;
        return std::move(selected.error());
    }
    if (!selected->empty() && update.has_empty_path())
        return Error::panic("an update term has an empty field path");
    if (nests_too_deep(update, all, *selected)) return Error::panic("nesting too deep");
    // From here documents change: a failure part-way cannot be undone, so it poisons.
    try {
        for (std::size_t position : *selected) {
            if (Status applied = update.execute(all[position]); !applied) {
                documents.poison();
                return applied;
            }
        }
        collection.access_paths().documents_changed(all, update, *selected);
    } catch (...) {
        documents.poison();
        throw;
    }
    return success();
}

}  // namespace quarn
