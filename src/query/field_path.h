// A term's field path, outermost member first. Each piece is held as an
// interned key, so that evaluation finds members by pointer comparison.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "json/key.h"

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

    bool empty() const noexcept { return keys_.empty(); }
    std::size_t size() const noexcept { return keys_.size(); }
    const Key* operator[](std::size_t index) const noexcept { return keys_[index]; }
    const Key* back() const noexcept { return keys_.back(); }
    std::string_view text(std::size_t index) const noexcept { return keys_[index]->text(); }

private:
    void release_all() noexcept;
    std::vector<Key*> keys_;  // one counted reference each
};

}  // namespace quarn
