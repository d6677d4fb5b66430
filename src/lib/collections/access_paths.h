// The indexes of one collection, made and kept without being asked for.
//
// Policy: an uncached query counts one use of each (path, kind) it could be
// answered through: equality for an Equal term, ordering for the others. On
// its second use an index is built, if the collection's indexes then stay
// within half of a lower bound of the memory its documents take. (The least
// recently used indexes are dropped to make room.) Appended documents are
// indexed when the next query asks; documents an update changed at an indexed
// path become "stale" positions that every lookup also returns, until there
// are too many and the index is dropped.
//
// An index answers only when no term can fail on any document (no document
// that is not an object, no empty path, numbers on both sides of every
// ordering term), because then every document's outcome is independent of
// the order of evaluation; the caller still evaluates the whole query on
// every candidate, so the answer is the scan's.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "json/value.h"
#include "collections/equality_index.h"
#include "query/field_path.h"
#include "collections/ordering_index.h"
#include "query/query.h"

namespace quarn {

class AccessPaths {
public:
    // Ascending positions of a superset of the documents query matches, or
    // none when the documents must be scanned.
    std::optional<std::vector<std::uint32_t>> candidates(const std::vector<Value>& documents,
                                                         const QueryEngine<QueryOperator>& query);

    // After update was applied to the documents at changed (ascending).
    void documents_changed(const std::vector<Value>& documents, const QueryEngine<UpdateOperator>& update,
                           const std::vector<std::size_t>& changed);

    // How many indexes exist, and their bytes (for tests and measurements).
    std::size_t index_count() const;
    std::size_t index_bytes() const;

    AccessPaths();
    ~AccessPaths();

private:
    struct Index;
    struct Use;

    Index* find_index(const FieldPath& path, bool ordering) const noexcept;
    // The chosen candidates, or none when no index narrows the query enough.
    std::optional<std::vector<std::uint32_t>> choose(const std::vector<Value>& documents,
                                                     const QueryEngine<QueryOperator>& query);
    // Counts this query's uses; returns the (path, kind) pairs due to be built.
    std::vector<std::pair<const FieldPath*, bool>> count_uses(const QueryEngine<QueryOperator>& query);
    void build(const FieldPath& path, bool ordering, const std::vector<Value>& documents,
               const QueryEngine<QueryOperator>& query);
    void check_kinds(const std::vector<Value>& documents) noexcept;
    std::size_t bytes_held() const noexcept;
    static std::size_t document_bytes(const std::vector<Value>& documents) noexcept;

    mutable std::mutex mutex_;  // finds share the collection's lock; the indexes are ours
    std::vector<std::unique_ptr<Index>> indexes_;
    std::vector<Use> uses_;
    std::size_t kinds_checked_ = 0;   // documents [0, this) were checked for being objects
    std::size_t non_objects_ = 0;
    std::uint64_t clock_ = 0;         // counts queries, for least recent use
};

}  // namespace quarn
