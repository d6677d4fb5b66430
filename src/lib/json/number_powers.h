// Powers of five to 128 bits, for turning decimal numbers into doubles and
// doubles into their shortest digits: for every q in [min_power5,
// max_table_power5], the 128 leading bits of 5^q, truncated.
// They are computed when this is compiled, with exact multiple-word integers.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace quarn::number {

struct Power5 {
    std::uint64_t high, low;  // 5^q ~ (high * 2^64 + low) * 2^(floor(q log2 5) - 127), high's top bit set
};

// Below min_power5 even a 19-digit significand rounds to zero; above
// max_power5 every nonzero one overflows.
inline constexpr int min_power5 = -342;
inline constexpr int max_power5 = 308;
// The shortest digits of the smallest doubles scale them by up to 10^324.
inline constexpr int max_table_power5 = 324;
inline constexpr std::size_t power5_count = max_table_power5 - min_power5 + 1;

// 5^q for q in [0, exact_power5_limit] fits in 128 bits: those entries are exact.
inline constexpr int exact_power5_limit = 55;

// floor(q log2 10), which is floor(q log2 5) + q; exact over the table's range
// (the generator below refuses to compile otherwise).
constexpr int floor_log2_pow10(int q) noexcept { return (q * 217706) >> 16; }

namespace detail {

// A little-endian integer of 32-bit words, large enough for 2^960.
struct BigInteger {
    static constexpr int capacity = 31;
    std::uint32_t words[capacity] = {};
    int size = 0;  // words in use; the top one is nonzero

    constexpr int bit_length() const {
        if (size == 0) return 0;
        int bits = 32 * (size - 1);
        for (std::uint32_t top = words[size - 1]; top != 0; top >>= 1) ++bits;
        return bits;
    }
    constexpr unsigned bit(int at) const {
        return at < 0 || at >= 32 * size ? 0 : words[at / 32] >> (at % 32) & 1;
    }
    constexpr void multiply_by_5() {
        std::uint64_t carry = 0;
        for (int i = 0; i < size; ++i) {
            const std::uint64_t product = std::uint64_t{words[i]} * 5 + carry;
            words[i] = static_cast<std::uint32_t>(product);
            carry = product >> 32;
        }
        if (carry != 0) words[size++] = static_cast<std::uint32_t>(carry);
    }
    // The floor of the quotient, so that n divisions give floor(x / 5^n).
    constexpr void divide_by_5() {
        std::uint64_t remainder = 0;
        for (int i = size - 1; i >= 0; --i) {
            const std::uint64_t current = remainder << 32 | words[i];
            words[i] = static_cast<std::uint32_t>(current / 5);
            remainder = current % 5;
        }
        while (size > 0 && words[size - 1] == 0) --size;
    }
    // The 128 bits from the top one down, truncated (zeros below bit 0).
    constexpr Power5 leading_128() const {
        Power5 out{0, 0};
        const int top = bit_length() - 1;
        for (int i = 0; i < 64; ++i) out.high = out.high << 1 | bit(top - i);
        for (int i = 64; i < 128; ++i) out.low = out.low << 1 | bit(top - i);
        return out;
    }
};

constexpr std::array<Power5, power5_count> generate_powers5() {
    std::array<Power5, power5_count> table{};
    BigInteger power;  // 5^q
    power.words[0] = 1;
    power.size = 1;
    for (int q = 0; q <= max_table_power5; ++q, power.multiply_by_5()) {
        table[q - min_power5] = power.leading_128();
        // 5^q has floor(q log2 5) + 1 bits.
        if (power.bit_length() - 1 != floor_log2_pow10(q) - q) throw "floor_log2_pow10 is wrong";
    }
    // 5^-n as floor(2^960 / 5^n): truncating that to 128 bits truncates 5^-n,
    // and 960 bits leave 128 of them at n = -min_power5.
    constexpr int scale = 960;
    BigInteger reciprocal;
    reciprocal.words[scale / 32] = 1;
    reciprocal.size = scale / 32 + 1;
    for (int n = 1; n <= -min_power5; ++n) {
        reciprocal.divide_by_5();
        if (reciprocal.bit_length() < 128) throw "too few bits for the smallest power";
        table[-n - min_power5] = reciprocal.leading_128();
        // 2^960 / 5^n is no power of two, so it has floor(960 - n log2 5) + 1 bits.
        if (reciprocal.bit_length() - 1 - scale != floor_log2_pow10(-n) + n) throw "floor_log2_pow10 is wrong";
    }
    return table;
}

}  // namespace detail

inline constexpr std::array<Power5, power5_count> powers5 = detail::generate_powers5();

// The entry for 5^q, q in [min_power5, max_table_power5].
constexpr const Power5& power5(int q) noexcept { return powers5[static_cast<std::size_t>(q - min_power5)]; }

}  // namespace quarn::number
