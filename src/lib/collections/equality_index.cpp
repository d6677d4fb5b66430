#include "collections/equality_index.h"

#include <algorithm>
#include <bit>

#include "collections/value_hash.h"

namespace quarn {

namespace {

// Buckets for about two documents each; chains stay short because a lookup
// also compares the stored half of the hash before touching a document.
std::size_t bucket_count_for(std::size_t documents) {
    return std::bit_ceil(std::max<std::size_t>(documents / 2, 16));
}

}  // namespace

void EqualityIndex::build(const FieldPath& path, const std::vector<Value>& documents) {
    heads_.assign(bucket_count_for(documents.size()), none);
    next_.clear();
    hashes_.clear();
    next_.reserve(documents.size());
    hashes_.reserve(documents.size());
    index_from(path, documents, 0);
}

void EqualityIndex::extend(const FieldPath& path, const std::vector<Value>& documents) {
    // Rebuilt when the buckets would hold more than four documents each:
    // doubling keeps the cost of appends linear overall.
    if (documents.size() > heads_.size() * 4) return build(path, documents);
    index_from(path, documents, next_.size());
}

void EqualityIndex::index_from(const FieldPath& path, const std::vector<Value>& documents, std::size_t first) {
    next_.resize(documents.size(), none);
    hashes_.resize(documents.size(), 0);
    const std::size_t mask = heads_.size() - 1;
    // Two passes: the documents are read in order, with their misses
    // overlapped, before the buckets are written in an order of their own.
    // Until the second pass, next_ holds each position's bucket.
    for (std::size_t position = first; position < documents.size(); ++position) {
        prefetch_document(documents, position + prefetch_distance);
        if (const Value* found = path.resolve(documents[position])) {
            const std::uint64_t hash = equality_hash(*found);
            hashes_[position] = static_cast<std::uint32_t>(hash);
            next_[position] = static_cast<std::uint32_t>((hash >> 32) & mask);
        }
    }
    for (std::size_t position = first; position < documents.size(); ++position) {
        const std::uint32_t bucket = next_[position];
        if (bucket == none) continue;
        next_[position] = heads_[bucket];
        heads_[bucket] = static_cast<std::uint32_t>(position);
    }
}

std::vector<std::uint32_t> EqualityIndex::candidates(const Value& operand, std::size_t limit) const {
    const std::uint64_t hash = equality_hash(operand);
    const std::uint32_t low = static_cast<std::uint32_t>(hash);
    std::vector<std::uint32_t> positions;
    // Chains run from the newest position to the oldest.
    for (std::uint32_t at = heads_[(hash >> 32) & (heads_.size() - 1)]; at != none; at = next_[at]) {
        if (hashes_[at] != low) continue;
        positions.push_back(at);
        if (positions.size() > limit) break;
    }
    std::reverse(positions.begin(), positions.end());
    return positions;
}

}  // namespace quarn
