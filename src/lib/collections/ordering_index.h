// An ordering index on one field path: the numbers found there, as doubles
// (the ordering operators compare doubles), sorted, with their positions.
// Only the top 32 bits of each double's sortable image are kept: they order
// the numbers up to about six significant digits, and a lookup widens its
// bounds to whole keys, so that it returns a superset (the caller evaluates
// every candidate) in half the memory and a quicker sort.
// It also counts the values there that are not numbers: an ordering term
// fails on those, so while any exist the index must not answer.
#pragma once

#include <cstdint>
#include <vector>

#include "json/value.h"
#include "query/field_path.h"
#include "query/operators.h"

namespace quarn {

class OrderingIndex {
public:
    // Indexes documents [0, documents.size()); each must be an object.
    void build(const FieldPath& path, const std::vector<Value>& documents);
    // Indexes the documents appended since the last build or extend.
    void extend(const FieldPath& path, const std::vector<Value>& documents);
    std::size_t covered() const noexcept { return covered_; }
    std::size_t non_numbers() const noexcept { return non_numbers_; }

    // The entries an interval selects: [first, last) of the sorted order.
    struct Span {
        std::size_t first = 0, last = 0;
        std::size_t size() const noexcept { return last > first ? last - first : 0; }
    };
    // Everything, narrowed by narrow() for each ordering term on the path.
    Span all() const noexcept { return {0, keys_.size()}; }
    // Narrows span to the entries whose number satisfies "number op operand".
    Span narrow(Span span, QueryOperator op, double operand) const noexcept;
    // The positions of span's entries, ascending.
    std::vector<std::uint32_t> positions(Span span, std::size_t document_count) const;

    std::size_t bytes() const noexcept {
        return keys_.capacity() * sizeof(std::uint32_t) + positions_.capacity() * sizeof(std::uint32_t);
    }

private:
    void collect(const FieldPath& path, const std::vector<Value>& documents, std::size_t first,
                 std::vector<std::uint32_t>& keys, std::vector<std::uint32_t>& positions);

    std::vector<std::uint32_t> keys_;        // the doubles' sortable images, truncated, ascending
    std::vector<std::uint32_t> positions_;   // the position of each key
    std::size_t covered_ = 0;
    std::size_t non_numbers_ = 0;
};

}  // namespace quarn
