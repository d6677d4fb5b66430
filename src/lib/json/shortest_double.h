// The shortest decimal that reads back as a given double, by Giulietti's
// Schubfach method: three products with a 126-bit power of ten give the
// rounding interval's ends and the value itself, scaled so that at most two
// candidates remain (one digit shorter, or the value's own length).
#pragma once

#include <cstdint>

namespace quarn {

struct ShortestDecimal {
    std::uint64_t digits;  // at most 17 digits, no trailing zero (0 only for zero)
    int exponent;          // the value is digits * 10^exponent
};

// Of all decimals that round to number (finite, sign ignored), one with the
// fewest digits; among those the closest, and of two equally close the one
// with the even last digit. Zero gives {0, 0}.
ShortestDecimal shortest_decimal(double number) noexcept;

}  // namespace quarn
