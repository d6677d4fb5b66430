// An equality index on one field path: for every document position, the hash
// of the value at the path, chained by hash bucket. A lookup yields a superset
// of the positions whose value equals the operand, in collection order; the
// caller evaluates the query on each to drop the rest.
#pragma once

#include <cstdint>
#include <vector>

#include "json/value.h"
#include "query/field_path.h"

namespace quarn {

class EqualityIndex {
public:
    static constexpr std::uint32_t none = 0xffffffff;

    // Indexes documents [0, documents.size()); each must be an object.
    void build(const FieldPath& path, const std::vector<Value>& documents);
    // Indexes the documents appended since the last build or extend.
    void extend(const FieldPath& path, const std::vector<Value>& documents);
    std::size_t covered() const noexcept { return next_.size(); }

    // Up to limit + 1 positions whose value may equal operand, ascending; the
    // caller treats more than limit as "too many".
    std::vector<std::uint32_t> candidates(const Value& operand, std::size_t limit) const;

    std::size_t bytes() const noexcept {
        return (heads_.capacity() + next_.capacity() + hashes_.capacity()) * sizeof(std::uint32_t);
    }

private:
    void index_from(const FieldPath& path, const std::vector<Value>& documents, std::size_t first);

    std::vector<std::uint32_t> heads_;   // newest position of each bucket, or none
    std::vector<std::uint32_t> next_;    // per position: the previous position of its bucket, or none
    std::vector<std::uint32_t> hashes_;  // per position: the low half of its value's hash (skips collisions)
};

}  // namespace quarn
