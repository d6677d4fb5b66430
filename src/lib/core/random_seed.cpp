#include "core/random_seed.h"

#include <sys/random.h>

#include <cerrno>
#include <chrono>

namespace quarn {

namespace {

std::uint64_t draw_seed() noexcept {
    // getrandom is one system call; constructing a random device costs tens of
    // microseconds on some virtual machines, paid by every first open.
    std::uint64_t seed = 0;
    for (int attempt = 0; attempt < 8; ++attempt) {
        ssize_t got = ::getrandom(&seed, sizeof seed, GRND_NONBLOCK);
        if (got == static_cast<ssize_t>(sizeof seed)) return seed;
        if (got < 0 && errno != EINTR) break;
    }
    // Without entropy yet (early boot) the seed need only differ between
    // processes: it guards against predictable orders, not against attackers.
    auto now = std::chrono::steady_clock::now().time_since_epoch().count();
    return static_cast<std::uint64_t>(now) * 0x9e3779b97f4a7c15ULL ^ reinterpret_cast<std::uintptr_t>(&seed);
}

}  // namespace

std::uint64_t process_random_seed() noexcept {
    static const std::uint64_t seed = draw_seed();
    return seed;
}

}  // namespace quarn
