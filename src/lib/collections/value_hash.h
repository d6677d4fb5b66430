// A hash that agrees with Value equality, for the equality index: values
// that compare equal hash alike (0.0 and -0.0 too), and the number classes,
// which never compare equal, are hashed apart.
#pragma once

#include <cstdint>

#include "json/value.h"

namespace quarn {

// Seeded once per process, so that stored data cannot be chosen to collide.
std::uint64_t equality_hash(const Value& value) noexcept;

}  // namespace quarn
