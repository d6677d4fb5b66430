// A term's field path, outermost member first. Each piece is held as an
// interned key, so that evaluation finds members by comparing key ids.
#pragma once

#include <algorithm>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "json/key.h"
#include "json/value.h"

namespace quarn {

class FieldPath {
public:
    FieldPath() noexcept = default;
    // Interns every piece; pieces may be empty strings.
    static FieldPath from_pieces(const std::vector<std::string>& pieces);

    ~FieldPath();
    FieldPath(FieldPath&& other) noexcept : keys_(std::move(other.keys_)) { other.keys_.clear(); }
    FieldPath& operator=(FieldPath&& other) noexcept;
    FieldPath(const FieldPath&) = delete;
    FieldPath& operator=(const FieldPath&) = delete;

    // Another holder of the same pieces.
    FieldPath copy() const;
    friend bool operator==(const FieldPath& a, const FieldPath& b) noexcept { return a.keys_ == b.keys_; }
    // Whether one path is the other or leads into it: a change at either
    // changes what the other resolves to.
    bool overlaps(const FieldPath& other) const noexcept {
        return keys_.size() <= other.keys_.size() ? leads_into(other) : other.leads_into(*this);
    }
    // Whether this path is other or leads into it (is a prefix of it).
    bool leads_into(const FieldPath& other) const noexcept {
        return keys_.size() <= other.keys_.size() && std::equal(keys_.begin(), keys_.end(), other.keys_.begin());
    }

    bool empty() const noexcept { return keys_.empty(); }
    std::size_t size() const noexcept { return keys_.size(); }
    const Key* operator[](std::size_t index) const noexcept { return keys_[index]; }
    const Key* back() const noexcept { return keys_.back(); }
    std::string_view text(std::size_t index) const noexcept { return keys_[index]->text(); }

    // Path resolution, the same for queries and updates. A path goes through
    // objects only: arrays are never entered, and a missing piece or one that
    // is not an object ends it. The path must not be empty. A loop: paths may
    // be as long as a key's dots make them.

    // The object that holds the last piece's member (the document itself for
    // a one-piece path), or null.
    template <typename V>  // Value or const Value
    V* parent_in(V& document) const noexcept {
        V* at = &document;
        for (std::size_t i = 0; i + 1 < keys_.size(); ++i) {
            V* member = at->find(keys_[i]);
            if (member == nullptr || !member->is_object()) return nullptr;
            at = member;
        }
        return at;
    }

    // The member at the end of the path, or null.
    const Value* resolve(const Value& document) const noexcept {
        const Value* parent = parent_in(document);
        return parent != nullptr ? parent->find(keys_.back()) : nullptr;
    }

private:
    void release_all() noexcept;
    std::vector<Key*> keys_;  // one counted reference each
};

}  // namespace quarn
