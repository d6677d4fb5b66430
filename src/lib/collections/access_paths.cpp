#include "collections/access_paths.h"

#include <algorithm>

namespace quarn {

namespace {

constexpr unsigned uses_before_building = 2;
// Uses are remembered for this many (path, kind) pairs, and an index is only
// dropped for room when no query used it among this many.
constexpr std::size_t remembered_uses = 32;
// Candidates beyond this share of the collection save little over a scan.
constexpr std::size_t scan_share_divisor = 4;
// Stale positions beyond this share make an index more work than it saves.
constexpr std::size_t stale_share_divisor = 16;
constexpr std::size_t stale_minimum = 64;

bool is_ordering(QueryOperator op) noexcept { return op != QueryOperator::Equal && op != QueryOperator::NotEqual; }
bool is_indexable(QueryOperator op) noexcept { return op != QueryOperator::NotEqual; }

// What can be told from the query alone: no term with an empty path, and
// numbers as the operands of the ordering terms.
bool could_use_index(const QueryEngine<QueryOperator>& query) noexcept {
    if (query.queries.empty()) return false;
    for (const Query<QueryOperator>& term : query.queries) {
        if (term.fields.empty()) return false;
        if (is_ordering(term.operator_) && !term.value.is_number()) return false;
    }
    return true;
}

// Whether two terms are answered through the same index: one path, one kind.
bool same_index(const Query<QueryOperator>& a, const Query<QueryOperator>& b) noexcept {
    return is_indexable(a.operator_) && is_indexable(b.operator_) &&
           is_ordering(a.operator_) == is_ordering(b.operator_) && a.fields == b.fields;
}

// Whether term i is the first of the query's terms answered through its index.
bool first_for_its_index(const QueryEngine<QueryOperator>& query, std::size_t i) noexcept {
    for (std::size_t j = 0; j < i; ++j)
        if (same_index(query.queries[j], query.queries[i])) return false;
    return true;
}

std::vector<std::uint32_t> united(const std::vector<std::uint32_t>& a, const std::vector<std::uint32_t>& b) {
    if (b.empty()) return a;
    std::vector<std::uint32_t> out;
    out.reserve(a.size() + b.size());
    std::set_union(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(out));
    return out;
}

// Upper bounds of what an index on n documents takes.
std::size_t estimated_bytes(bool ordering, std::size_t n) noexcept { return ordering ? 8 * n : 10 * n + 64; }

}  // namespace

struct AccessPaths::Index {
    FieldPath path;
    bool ordering;
    EqualityIndex equality;
    OrderingIndex order;
    std::vector<std::uint32_t> stale;  // ascending; changed since indexed
    std::uint64_t last_used = 0;

    void extend(const std::vector<Value>& documents) {
        if (ordering && order.covered() < documents.size()) order.extend(path, documents);
        if (!ordering && equality.covered() < documents.size()) equality.extend(path, documents);
    }
    std::size_t bytes() const noexcept {
        return (ordering ? order.bytes() : equality.bytes()) + stale.capacity() * sizeof(std::uint32_t);
    }
    bool serves(const QueryEngine<QueryOperator>& query) const noexcept {
        for (const Query<QueryOperator>& term : query.queries)
            if (is_indexable(term.operator_) && is_ordering(term.operator_) == ordering && term.fields == path)
                return true;
        return false;
    }
};

struct AccessPaths::Use {
    FieldPath path;
    bool ordering;
    unsigned count;
};

AccessPaths::AccessPaths() = default;
AccessPaths::~AccessPaths() = default;

AccessPaths::Index* AccessPaths::find_index(const FieldPath& path, bool ordering) const noexcept {
    for (const auto& index : indexes_)
        if (index->ordering == ordering && index->path == path) return index.get();
    return nullptr;
}

std::optional<std::vector<std::uint32_t>> AccessPaths::candidates(const std::vector<Value>& documents,
                                                                  const QueryEngine<QueryOperator>& query) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++clock_;
    if (documents.size() >= EqualityIndex::none || !could_use_index(query)) return std::nullopt;
    const auto due = count_uses(query);
    bool indexed = !due.empty();
    for (const Query<QueryOperator>& term : query.queries)
        indexed = indexed || (is_indexable(term.operator_) && find_index(term.fields, is_ordering(term.operator_)));
    if (!indexed) return std::nullopt;
    check_kinds(documents);
    if (non_objects_ > 0) return std::nullopt;
    for (const auto& [path, ordering] : due)
        if (find_index(*path, ordering) == nullptr) build(*path, ordering, documents, query);
    return choose(documents, query);
}

std::optional<std::vector<std::uint32_t>> AccessPaths::choose(const std::vector<Value>& documents,
                                                              const QueryEngine<QueryOperator>& query) {
    const std::size_t n = documents.size();
    // Every ordering path needs its index, to know it holds no non-number.
    for (const Query<QueryOperator>& term : query.queries) {
        if (!is_ordering(term.operator_)) continue;
        Index* index = find_index(term.fields, true);
        if (index == nullptr) return std::nullopt;
        index->extend(documents);
        if (index->order.non_numbers() > 0) return std::nullopt;
    }
    std::optional<std::vector<std::uint32_t>> best;
    std::size_t best_size = n / scan_share_divisor;
    for (std::size_t i = 0; i < query.queries.size(); ++i) {
        const Query<QueryOperator>& term = query.queries[i];
        if (!is_indexable(term.operator_)) continue;
        Index* index = find_index(term.fields, is_ordering(term.operator_));
        if (index == nullptr) continue;
        index->last_used = clock_;
        if (index->ordering) {
            // One interval per path: every ordering term on it narrows it, at its first term.
            if (!first_for_its_index(query, i)) continue;
            OrderingIndex::Span span = index->order.all();
            for (std::size_t j = i; j < query.queries.size(); ++j)
                if (same_index(query.queries[j], term))
                    span = index->order.narrow(span, query.queries[j].operator_, query.queries[j].value.to_double());
            if (span.size() + index->stale.size() > best_size) continue;
            best = united(index->order.positions(span, n), index->stale);
        } else {
            index->extend(documents);
            if (index->stale.size() > best_size) continue;
            std::vector<std::uint32_t> found = index->equality.candidates(term.value, best_size - index->stale.size());
            if (found.size() + index->stale.size() > best_size) continue;
            best = united(found, index->stale);
        }
        best_size = best->size();
    }
    return best;
}

std::vector<std::pair<const FieldPath*, bool>> AccessPaths::count_uses(const QueryEngine<QueryOperator>& query) {
    std::vector<std::pair<const FieldPath*, bool>> due;
    for (std::size_t i = 0; i < query.queries.size(); ++i) {
        const Query<QueryOperator>& term = query.queries[i];
        if (!is_indexable(term.operator_)) continue;
        const bool ordering = is_ordering(term.operator_);
        // One use per query, however many terms share the index.
        if (find_index(term.fields, ordering) != nullptr || !first_for_its_index(query, i)) continue;
        auto use = std::find_if(uses_.begin(), uses_.end(),
                                [&](const Use& u) { return u.ordering == ordering && u.path == term.fields; });
        if (use == uses_.end()) {
            if (uses_.size() == remembered_uses) uses_.erase(uses_.begin());
            uses_.push_back(Use{term.fields.copy(), ordering, 0});
            use = uses_.end() - 1;
        }
        if (++use->count >= uses_before_building) due.emplace_back(&term.fields, ordering);
    }
    return due;
}

void AccessPaths::build(const FieldPath& path, bool ordering, const std::vector<Value>& documents,
                        const QueryEngine<QueryOperator>& query) {
    const std::size_t budget = document_bytes(documents) / 2;
    const std::size_t needed = estimated_bytes(ordering, documents.size());
    while (bytes_held() + needed > budget) {
        // Room is made only from indexes this query does not use that no recent query used.
        auto oldest = indexes_.end();
        for (auto it = indexes_.begin(); it != indexes_.end(); ++it)
            if (!(*it)->serves(query) && clock_ - (*it)->last_used > remembered_uses &&
                (oldest == indexes_.end() || (*it)->last_used < (*oldest)->last_used))
                oldest = it;
        if (oldest == indexes_.end()) return;
        indexes_.erase(oldest);
    }
    auto index = std::make_unique<Index>(Index{path.copy(), ordering, {}, {}, {}, clock_});
    if (ordering) index->order.build(path, documents);
    else index->equality.build(path, documents);
    indexes_.push_back(std::move(index));
}

void AccessPaths::check_kinds(const std::vector<Value>& documents) noexcept {
    // The kind is in the vector itself: this touches no document's block.
    for (; kinds_checked_ < documents.size(); ++kinds_checked_)
        if (!documents[kinds_checked_].is_object()) ++non_objects_;
}

std::size_t AccessPaths::document_bytes(const std::vector<Value>& documents) noexcept {
    // A lower bound from evenly spread samples: each sample's value, block
    // header and top-level entries, which is less than the document takes.
    constexpr std::size_t samples = 256;
    if (documents.empty()) return 0;
    const std::size_t step = std::max<std::size_t>(documents.size() / samples, 1);
    std::size_t sampled = 0, bytes = 0;
    for (std::size_t position = 0; position < documents.size(); position += step, ++sampled)
        bytes += sizeof(Value) + sizeof(Object) + sizeof(Entry) * documents[position].object_size();
    return bytes / sampled * documents.size();
}

void AccessPaths::documents_changed(const std::vector<Value>& documents, const QueryEngine<UpdateOperator>& update,
                                    const std::vector<std::size_t>& changed) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (changed.empty() || indexes_.empty()) return;
    const std::vector<std::uint32_t> positions(changed.begin(), changed.end());
    const std::size_t stale_limit = std::max(stale_minimum, documents.size() / stale_share_divisor);
    std::erase_if(indexes_, [&](const std::unique_ptr<Index>& index) {
        bool touched = false;
        for (const Query<UpdateOperator>& term : update.queries) touched = touched || term.fields.overlaps(index->path);
        if (!touched) return false;
        // A non-number where ordering terms look would make them fail: the scan must answer.
        if (index->ordering)
            for (std::uint32_t position : positions)
                if (const Value* found = index->path.resolve(documents[position]); found && !found->is_number())
                    return true;
        index->stale = united(index->stale, positions);
        return index->stale.size() > stale_limit;
    });
}

std::size_t AccessPaths::bytes_held() const noexcept {
    std::size_t total = 0;
    for (const auto& index : indexes_) total += index->bytes();
    return total;
}

std::size_t AccessPaths::index_count() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return indexes_.size();
}

std::size_t AccessPaths::index_bytes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return bytes_held();
}

}  // namespace quarn
