// The process's one random seed: hash maps and value hashes are seeded with
// it, so that their orders and collisions are nothing a caller can predict or
// rely on from one process to the next.
#pragma once

#include <cstdint>

namespace quarn {

// The same value for the whole process, drawn from the system on first use.
std::uint64_t process_random_seed() noexcept;

}  // namespace quarn
