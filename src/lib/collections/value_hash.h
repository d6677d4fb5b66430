// A hash that agrees with Value equality, for the equality index: values
// that compare equal hash alike (0.0 and -0.0 too), and the number classes,
// which never compare equal, are hashed apart.
//
// It is not the result cache's key (query/cache_key), on purpose: that key is
// SipHash-1-3 with a fixed key over a fixed byte stream, the same in every
// process, and a hit is confirmed by comparing the queries; this one is seeded
// per process, since the documents it hashes may be chosen by anyone, and is
// a cheap mix per value, since an index hashes every document of a collection.
#pragma once

#include <cstdint>

#include "json/value.h"

namespace quarn {

// Seeded once per process, so that stored data cannot be chosen to collide.
std::uint64_t equality_hash(const Value& value) noexcept;

}  // namespace quarn
