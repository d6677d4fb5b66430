// A decimal w * 10^q to the nearest double, ties to even, without going back
// to the text: Clinger's exact fast path when w and 10^q are both doubles,
// otherwise Eisel and Lemire's 128-bit product with the truncated power of
// five. Either answers, or reports that it cannot decide (a truncated
// significand whose two bounds round apart, or a product too close to a
// rounding boundary for its truncation); the caller then reads the text.
#pragma once

#include <bit>
#include <cstdint>

#include "json/number_powers.h"

namespace quarn::number {

inline constexpr std::uint64_t infinity_bits = 0x7FF0000000000000ULL;

struct Product128 {
    std::uint64_t high, low;
};

// From 32-bit halves, for compilers without a 128-bit integer.
inline Product128 multiply_128_in_halves(std::uint64_t a, std::uint64_t b) noexcept {
    const std::uint64_t a_low = a & 0xFFFFFFFF, a_high = a >> 32, b_low = b & 0xFFFFFFFF, b_high = b >> 32;
    const std::uint64_t low_low = a_low * b_low, high_low = a_high * b_low, low_high = a_low * b_high;
    const std::uint64_t middle = (low_low >> 32) + (high_low & 0xFFFFFFFF) + (low_high & 0xFFFFFFFF);
    return {a_high * b_high + (high_low >> 32) + (low_high >> 32) + (middle >> 32),
            middle << 32 | (low_low & 0xFFFFFFFF)};
}

inline Product128 multiply_128(std::uint64_t a, std::uint64_t b) noexcept {
#if defined(__SIZEOF_INT128__)
    __extension__ using uint128 = unsigned __int128;
    const uint128 product = static_cast<uint128>(a) * b;
    return {static_cast<std::uint64_t>(product >> 64), static_cast<std::uint64_t>(product)};
#else
    return multiply_128_in_halves(a, b);
#endif
}

// The bits of the double nearest w * 10^q (w > 0, q in the table's range),
// which may be zero or infinity_bits; false when the truncated power of five
// leaves it undecided.
//
// With w' = w shifted to its top bit and T the entry for 5^q, the exact
// product X = w' * 5^q * 2^k lies in [w'T, w'T + w'), and exactly at w'T for
// the exact entries. Rounding needs the 53 bits from X's top, the bit below
// them and whether anything below that is nonzero; an uncertain product
// decides them whenever its error cannot carry into the bits kept.
inline bool eisel_lemire(std::uint64_t w, int q, std::uint64_t& bits) noexcept {
    const int leading_zeros = std::countl_zero(w);
    w <<= leading_zeros;
    const Power5& power = power5(q);
    const bool exact = static_cast<unsigned>(q) <= exact_power5_limit;
    const int exponent_base = 1086 + floor_log2_pow10(q) - leading_zeros;

    // From the top word of X: the biased exponent, and shift, the number of
    // bits under the kept ones (53 and the rounding bit; fewer kept for a
    // subnormal). False when none are kept: X is under half the least subnormal.
    int exponent = 0;
    int shift = 0;
    const auto place = [&](std::uint64_t top) {
        const int upper = static_cast<int>(top >> 63);  // X has 191 or 192 bits
        exponent = exponent_base + upper;
        shift = 9 + upper;
        if (exponent <= 0) {
            shift += 1 - exponent;
            exponent = 1;
        }
        return shift < 64;
    };

    const Product128 first = multiply_128(w, power.high);
    std::uint64_t top = first.high;
    bool below_zero;  // of an exact product: nothing below the rounding bit
    if (!place(top)) {
        bits = 0;  // under half the least subnormal
        return true;
    }
    std::uint64_t mask = (std::uint64_t{1} << shift) - 1;
    if ((top & mask) != mask) {
        // The rest of the product carries at most one into first.high, which
        // cannot reach the kept bits; when inexact, what lies below them is
        // neither zero nor a whole unit, so no tie.
        below_zero = false;
        if (exact && (top & mask) == 0 && first.low == 0) {
            const Product128 second = multiply_128(w, power.low);
            below_zero = second.high == 0 && second.low == 0;
        }
    } else {
        // Those bits are all ones: the next 64 bits of the product decide.
        const Product128 second = multiply_128(w, power.low);
        const std::uint64_t middle = first.low + second.high;
        top += middle < first.low;
        if (!place(top)) {
            bits = 0;
            return true;
        }
        mask = (std::uint64_t{1} << shift) - 1;
        // Inexact, X lies within 2^64 above this 192-bit product: only a
        // carry through an all-ones middle word could still reach the kept bits.
        if (!exact && middle == ~std::uint64_t{0} && (top & mask) == mask) return false;
        below_zero = (top & mask) == 0 && middle == 0 && second.low == 0;
    }

    const std::uint64_t kept = top >> shift;  // the rounding bit last
    const std::uint64_t round = kept & 1;
    const std::uint64_t truncated = kept >> 1;
    const bool tie = exact && round != 0 && below_zero;
    const std::uint64_t mantissa = truncated + (tie ? (truncated & 1) : round);
    // The implicit bit adds one to the exponent field; a subnormal's
    // exponent is 1 here and has none, and a carry out of the mantissa moves
    // into the exponent by itself.
    bits = (static_cast<std::uint64_t>(exponent - 1) << 52) + mantissa;
    if (bits >= infinity_bits) bits = infinity_bits;
    return true;
}

// w * 10^q (w > 0, exact) by one correctly rounded operation on exact doubles.
inline bool clinger(std::uint64_t w, int q, double& out) noexcept {
    static constexpr double powers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                        1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    constexpr std::uint64_t exact_limit = std::uint64_t{1} << 53;
    if (w > exact_limit || q < -22) return false;
    if (q > 22) {
        // w * 10^(q - 22) may still be an exact integer double.
        if (q > 22 + 15) return false;
        for (int i = 22; i < q; ++i) {
            w *= 10;
            if (w > exact_limit) return false;
        }
        q = 22;
    }
    out = q >= 0 ? static_cast<double>(w) * powers[q] : static_cast<double>(w) / powers[-q];
    return true;
}

// The bits of the double nearest (w + r) * 10^q for some r in [0, 1) when
// truncated, else w * 10^q; infinity_bits when that overflows. False when
// undecided.
inline bool decimal_to_double(std::uint64_t w, std::int64_t q, bool truncated, std::uint64_t& bits) noexcept {
    // Out of the table's range the answer is zero or infinity for every w
    // up to 10^19.
    if (w == 0 || q < min_power5) {
        bits = 0;
        return true;
    }
    if (q > max_power5) {
        bits = infinity_bits;
        return true;
    }
    if (double exact = 0; !truncated && clinger(w, static_cast<int>(q), exact)) {
        bits = std::bit_cast<std::uint64_t>(exact);
        return true;
    }
    if (!eisel_lemire(w, static_cast<int>(q), bits)) return false;
    if (truncated) {
        // The digits cut off lie strictly between w and w + 1 (at most 10^19).
        std::uint64_t upper_bits = 0;
        if (!eisel_lemire(w + 1, static_cast<int>(q), upper_bits) || upper_bits != bits) return false;
    }
    return true;
}

}  // namespace quarn::number
