#include "collections/ordering_index.h"

#include <algorithm>
#include <array>
#include <bit>
#include <tuple>
#include <utility>

namespace quarn {

namespace {

// Maps doubles to integers in the same order (0.0 and -0.0 alike, as they
// compare equal) and keeps the top half: a < b implies key(a) <= key(b).
std::uint32_t sortable(double number) noexcept {
    const std::uint64_t bits = std::bit_cast<std::uint64_t>(number == 0.0 ? 0.0 : number);
    return static_cast<std::uint32_t>(((bits >> 63) != 0 ? ~bits : bits | (std::uint64_t(1) << 63)) >> 32);
}

// Least-significant-digit radix sort of keys with their positions, in three
// passes of 11 bits whose counts are taken in one read; a pass whose digit is
// the same for every key is skipped (numbers of a field mostly share their
// sign and exponent).
void radix_sort(std::vector<std::uint32_t>& keys, std::vector<std::uint32_t>& positions) {
    constexpr int digit_bits = 11, passes = 3;
    constexpr std::size_t buckets = std::size_t(1) << digit_bits;
    std::vector<std::array<std::uint32_t, buckets>> counts(passes);
    for (std::uint32_t key : keys)
        for (int pass = 0; pass < passes; ++pass) ++counts[pass][(key >> (pass * digit_bits)) & (buckets - 1)];
    std::vector<std::uint32_t> keys_out(keys.size());
    std::vector<std::uint32_t> positions_out(positions.size());
    for (int pass = 0; pass < passes; ++pass) {
        const int shift = pass * digit_bits;
        auto& offsets = counts[pass];
        if (offsets[(keys.front() >> shift) & (buckets - 1)] == keys.size()) continue;
        std::uint32_t total = 0;
        for (std::uint32_t& count : offsets) total += std::exchange(count, total);
        for (std::size_t i = 0; i < keys.size(); ++i) {
            const std::uint32_t at = offsets[(keys[i] >> shift) & (buckets - 1)]++;
            keys_out[at] = keys[i];
            positions_out[at] = positions[i];
        }
        keys.swap(keys_out);
        positions.swap(positions_out);
    }
}

void sort_entries(std::vector<std::uint32_t>& keys, std::vector<std::uint32_t>& positions) {
    if (keys.size() < 2) return;
    if (keys.size() >= 4096) return radix_sort(keys, positions);
    std::vector<std::pair<std::uint32_t, std::uint32_t>> entries(keys.size());
    for (std::size_t i = 0; i < keys.size(); ++i) entries[i] = {keys[i], positions[i]};
    std::sort(entries.begin(), entries.end());
    for (std::size_t i = 0; i < keys.size(); ++i) std::tie(keys[i], positions[i]) = entries[i];
}

}  // namespace

void OrderingIndex::collect(const FieldPath& path, const std::vector<Value>& documents, std::size_t first,
                            std::vector<std::uint32_t>& keys, std::vector<std::uint32_t>& positions) {
    for (std::size_t position = first; position < documents.size(); ++position) {
        prefetch_document(documents, position + prefetch_distance);
        const Value* found = path.resolve(documents[position]);
        if (found == nullptr) continue;
        if (!found->is_number()) {
            ++non_numbers_;
            continue;
        }
        keys.push_back(sortable(found->to_double()));
        positions.push_back(static_cast<std::uint32_t>(position));
    }
    covered_ = documents.size();
}

void OrderingIndex::build(const FieldPath& path, const std::vector<Value>& documents) {
    keys_.clear();
    positions_.clear();
    non_numbers_ = 0;
    keys_.reserve(documents.size());
    positions_.reserve(documents.size());
    collect(path, documents, 0, keys_, positions_);
    sort_entries(keys_, positions_);
    keys_.shrink_to_fit();
    positions_.shrink_to_fit();
}

void OrderingIndex::extend(const FieldPath& path, const std::vector<Value>& documents) {
    std::vector<std::uint32_t> keys;
    std::vector<std::uint32_t> positions;
    collect(path, documents, covered_, keys, positions);
    if (keys.empty()) return;
    sort_entries(keys, positions);
    // Merged from the back, so that no entry moves twice.
    std::size_t old_size = keys_.size();
    keys_.resize(old_size + keys.size());
    positions_.resize(old_size + keys.size());
    std::size_t out = keys_.size(), left = old_size, right = keys.size();
    while (right > 0) {
        if (left > 0 && keys_[left - 1] > keys[right - 1]) {
            --out, --left;
            keys_[out] = keys_[left];
            positions_[out] = positions_[left];
        } else {
            --out, --right;
            keys_[out] = keys[right];
            positions_[out] = positions[right];
        }
    }
}

OrderingIndex::Span OrderingIndex::narrow(Span span, QueryOperator op, double operand) const noexcept {
    const std::uint32_t bound = sortable(operand);
    const auto begin = keys_.begin();
    if (span.size() == 0) return span;
    // Keys are truncated: numbers on either side of the operand may share its
    // key, so whole keys are kept and strictness is left to the evaluation.
    switch (op) {
        case QueryOperator::GreaterThan:
        case QueryOperator::GreaterThanEqual:
            span.first = std::size_t(std::lower_bound(begin + span.first, begin + span.last, bound) - begin);
            break;
        case QueryOperator::LessThan:
        case QueryOperator::LessThanEqual:
            span.last = std::size_t(std::upper_bound(begin + span.first, begin + span.last, bound) - begin);
            break;
        default: break;
    }
    if (span.first > span.last) span.last = span.first;
    return span;
}

std::vector<std::uint32_t> OrderingIndex::positions(Span span, std::size_t document_count) const {
    std::vector<std::uint32_t> out;
    out.reserve(span.size());
    // A few positions sort quickly; many are put in order through a bitmap.
    if (span.size() * 32 < document_count) {
        out.assign(positions_.begin() + span.first, positions_.begin() + span.last);
        std::sort(out.begin(), out.end());
        return out;
    }
    std::vector<std::uint64_t> bitmap((document_count + 63) / 64);
    for (std::size_t i = span.first; i < span.last; ++i) bitmap[positions_[i] >> 6] |= std::uint64_t(1) << (positions_[i] & 63);
    for (std::size_t word = 0; word < bitmap.size(); ++word)
        for (std::uint64_t bits = bitmap[word]; bits != 0; bits &= bits - 1)
            out.push_back(static_cast<std::uint32_t>(word * 64 + std::countr_zero(bits)));
    return out;
}

}  // namespace quarn
