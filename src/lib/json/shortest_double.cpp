#include "json/shortest_double.h"

#include <bit>

#include "json/number_decimal.h"
#include "json/number_powers.h"

namespace quarn {

namespace {

using u128 = unsigned __int128;

constexpr int significand_bits = 53;
constexpr int min_binary_exponent = -1074;  // of the least significant bit of a subnormal
constexpr std::uint64_t hidden_bit = std::uint64_t{1} << (significand_bits - 1);
// Below this a subnormal's significand is scaled by ten first: the method
// needs at least two digits of it above the interval's width.
constexpr std::uint64_t tiny_significand = 3;
constexpr std::uint64_t low_63_bits = (std::uint64_t{1} << 63) - 1;

// floor(q log10 2) and floor(q log10 (3/4 * 2)), exact for |q| < 1100 or so:
// the multipliers are log10 2 and log10 (3/4) to 41 bits.
constexpr int floor_log10_pow2(int q) noexcept { return static_cast<int>(q * std::int64_t{661971961083} >> 41); }
constexpr int floor_log10_three_quarters_pow2(int q) noexcept {
    return static_cast<int>((q * std::int64_t{661971961083} - std::int64_t{274743187321}) >> 41);
}

std::uint64_t high_64(std::uint64_t a, std::uint64_t b) noexcept {
    return static_cast<std::uint64_t>(static_cast<u128>(a) * b >> 64);
}

// The product of the 126-bit g = g1 2^63 + g0 with cp, over 2^126 to
// nearest-odd ("round to odd": the lowest bit records whether anything was
// cut), which keeps comparisons with the scaled interval's ends exact.
std::uint64_t round_to_odd(std::uint64_t g1, std::uint64_t g0, std::uint64_t cp) noexcept {
    const std::uint64_t x1 = high_64(g0, cp);
    const u128 y = static_cast<u128>(g1) * cp;
    const std::uint64_t z = (static_cast<std::uint64_t>(y) >> 1) + x1;
    const std::uint64_t vbp = static_cast<std::uint64_t>(y >> 64) + (z >> 63);
    return vbp | ((z & low_63_bits) + low_63_bits) >> 63;
}

// digits (not zero, at most 17 of them) with its trailing zeros moved into
// the exponent: eight, four, two and one at a time, so that a short number
// padded with zeros takes as many steps as a long one.
ShortestDecimal without_trailing_zeros(std::uint64_t digits, int exponent) noexcept {
    while (digits % 100'000'000 == 0) {
        digits /= 100'000'000;
        exponent += 8;
    }
    if (digits % 10'000 == 0) {
        digits /= 10'000;
        exponent += 4;
    }
    if (digits % 100 == 0) {
        digits /= 100;
        exponent += 2;
    }
    if (digits % 10 == 0) {
        digits /= 10;
        exponent += 1;
    }
    return {digits, exponent};
}

// The value c 2^q; dk is -1 when c was scaled by ten.
ShortestDecimal to_decimal(int q, std::uint64_t c, int dk) noexcept {
    // Even significands round half to themselves: the interval is closed.
    const std::uint64_t open = c & 1;
    const std::uint64_t cb = c << 2;
    const std::uint64_t cbr = cb + 2;
    std::uint64_t cbl;
    int k;
    if (c != hidden_bit || q == min_binary_exponent) {
        cbl = cb - 2;
        k = floor_log10_pow2(q);
    } else {
        // A power of two: the number below is half as far as the one above.
        cbl = cb - 1;
        k = floor_log10_three_quarters_pow2(q);
    }
    const int h = q + number::floor_log2_pow10(-k) + 2;
    // 10^-k to 126 bits, truncated, plus one: from the 128-bit truncated power.
    const number::Power5& power = number::power5(-k);
    const u128 g = ((static_cast<u128>(power.high) << 64 | power.low) >> 2) + 1;
    const std::uint64_t g1 = static_cast<std::uint64_t>(g >> 63);
    const std::uint64_t g0 = static_cast<std::uint64_t>(g) & low_63_bits;

    const std::uint64_t vb = round_to_odd(g1, g0, cb << h);
    const std::uint64_t vbl = round_to_odd(g1, g0, cbl << h);
    const std::uint64_t vbr = round_to_odd(g1, g0, cbr << h);

    const std::uint64_t s = vb >> 2;
    if (s >= 100) {
        // One digit fewer: s rounded down and up to a multiple of ten. The
        // multiplier is 2^64 / 10 rounded up: floor(s / 10) for s below
        // 2.8e17, and s < 2^53 * 10.
        const std::uint64_t sp10 = 10 * high_64(s, std::uint64_t{115292150460684698} << 4);
        const std::uint64_t tp10 = sp10 + 10;
        const bool lower_in = vbl + open <= sp10 << 2;
        const bool upper_in = (tp10 << 2) + open <= vbr;
        if (lower_in != upper_in) return without_trailing_zeros(lower_in ? sp10 : tp10, k + dk);
    }
    const std::uint64_t t = s + 1;
    const bool lower_in = vbl + open <= s << 2;
    const bool upper_in = (t << 2) + open <= vbr;
    if (lower_in != upper_in) return without_trailing_zeros(lower_in ? s : t, k + dk);
    // Both in the interval: the closer, the even one on a tie.
    const auto cmp = static_cast<std::int64_t>(vb - ((s + t) << 1));
    return without_trailing_zeros(cmp < 0 || (cmp == 0 && (s & 1) == 0) ? s : t, k + dk);
}

// The method decides between the value's own length and one digit fewer, and
// only the smallest subnormals have as few as two: one digit may do for them.
// The one-digit candidates are two's neighbours at the next power of ten; of
// those that read back as the subnormal bits, the closer to two (never a tie
// there, the tests check every subnormal this reaches).
ShortestDecimal one_digit_if_enough(ShortestDecimal two, std::uint64_t bits) noexcept {
    if (two.digits < 10) return two;
    const std::uint64_t below = two.digits / 10, above = below + 1;
    std::uint64_t read = 0;
    const bool below_in = below != 0 && number::decimal_to_double(below, two.exponent + 1, false, read) && read == bits;
    const bool above_in = number::decimal_to_double(above, two.exponent + 1, false, read) && read == bits;
    if (below_in && (!above_in || two.digits % 10 < 5)) return {below, two.exponent + 1};
    if (above_in) return without_trailing_zeros(above, two.exponent + 1);
    return two;
}

}  // namespace

ShortestDecimal shortest_decimal(double number) noexcept {
    const auto bits = std::bit_cast<std::uint64_t>(number);
    const int biased = static_cast<int>(bits >> (significand_bits - 1) & 0x7FF);
    const std::uint64_t fraction = bits & (hidden_bit - 1);
    if (biased != 0) {
        const int shift = -min_binary_exponent + 1 - biased;  // -q
        const std::uint64_t c = hidden_bit | fraction;
        // A whole number below 2^53 is its own shortest form.
        if (0 < shift && shift < significand_bits) {
            const std::uint64_t whole = c >> shift;
            if (whole << shift == c) return without_trailing_zeros(whole, 0);
        }
        return to_decimal(-shift, c, 0);
    }
    if (fraction == 0) return {0, 0};
    const ShortestDecimal found = fraction < tiny_significand ? to_decimal(min_binary_exponent, 10 * fraction, -1)
                                                              : to_decimal(min_binary_exponent, fraction, 0);
    return found.digits < 100 ? one_digit_if_enough(found, fraction) : found;
}

}  // namespace quarn
