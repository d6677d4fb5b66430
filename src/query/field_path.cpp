#include "query/field_path.h"

namespace quarn {

FieldPath FieldPath::from_pieces(const std::vector<std::string>& pieces) {
    // Built in a local so that a failed intern releases the keys taken so far.
    FieldPath path;
    path.keys_.reserve(pieces.size());
    for (const std::string& piece : pieces) path.keys_.push_back(Key::intern(piece));
    return path;
}

FieldPath FieldPath::copy() const {
    FieldPath path;
    path.keys_ = keys_;
    for (Key* key : path.keys_) key->retain();
    return path;
}

FieldPath::~FieldPath() { release_all(); }

FieldPath& FieldPath::operator=(FieldPath&& other) noexcept {
    if (this != &other) {
        release_all();
        keys_ = std::move(other.keys_);
        other.keys_.clear();
    }
    return *this;
}

void FieldPath::release_all() noexcept {
    for (Key* key : keys_) key->release();
    keys_.clear();
}

}  // namespace quarn
