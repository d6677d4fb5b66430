// Queries and updates over a whole collection, under its lock.
#pragma once

#include <string_view>

#include "core/result.h"
#include "query/query.h"
#include "collections/collection.h"

namespace quarn {

// Under the collection's read lock: evaluates query on every document, in
// order, and returns the positions of the matches. PanicException for a
// poisoned collection or a document that is not an object; an evaluation
// failure is returned with notes naming the document (as name[position]) and
// the value that made it fail.
Result<QueryResultRef> find_matches(const CollectionRef& collection, std::string_view name,
                                    const QueryEngine<QueryOperator>& query);

// Under the collection's write lock: selects the documents that query (or,
// when it is null, nothing) lets through, then applies update to them.
// Selection visits every document before any is changed, so a document that
// is not an object, a failing evaluation, an update term with an empty path
// (when anything is selected) or one that would leave a selected document
// deeper than max_updated_nesting ("nesting too deep") fails as a
// PanicException with every document unchanged and the collection still usable
// (a failing evaluation with find's notes).
Status update_documents(SharedCollection& collection, std::string_view name, const QueryEngine<UpdateOperator>& update,
                        const QueryEngine<QueryOperator>* query);

}  // namespace quarn
