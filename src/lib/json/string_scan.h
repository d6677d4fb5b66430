// Finding where a plain run of string bytes ends, eight bytes at a time: the
// reader stops at quotes, backslashes, controls and non-ASCII bytes (which it
// validates), the writer at the bytes it escapes.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace quarn {

enum class NonAscii { Stop, Pass };

// The first byte at or after p that is '"', '\\' or below 0x20 (or, with
// NonAscii::Stop, 0x80 or above), or end. The lowest flagged byte of a word
// is always a real hit, because false flags only appear above a true one.
template <NonAscii non_ascii>
inline const char* find_string_stop(const char* p, const char* end) noexcept {
#if defined(__SSE2__)
    // Sixteen bytes at a time where every x86-64 processor can.
    const __m128i quote = _mm_set1_epi8('"'), backslash = _mm_set1_epi8('\\');
    for (; end - p >= 16; p += 16) {
        const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        __m128i hits = _mm_or_si128(_mm_cmpeq_epi8(chunk, quote), _mm_cmpeq_epi8(chunk, backslash));
        if constexpr (non_ascii == NonAscii::Stop) {
            // As signed bytes, controls and bytes from 0x80 up are both below 0x20.
            hits = _mm_or_si128(hits, _mm_cmplt_epi8(chunk, _mm_set1_epi8(0x20)));
        } else {
            const __m128i below_space = _mm_set1_epi8(0x1F);
            hits = _mm_or_si128(hits, _mm_cmpeq_epi8(_mm_max_epu8(chunk, below_space), below_space));
        }
        if (const int mask = _mm_movemask_epi8(hits); mask != 0)
            return p + std::countr_zero(static_cast<unsigned>(mask));
    }
#endif
    if constexpr (std::endian::native == std::endian::little) {
        constexpr std::uint64_t ones = 0x0101010101010101ULL;
        constexpr std::uint64_t high_bits = ones * 0x80;
        for (; end - p >= 8; p += 8) {
            std::uint64_t word;
            std::memcpy(&word, p, 8);
            const std::uint64_t quote = word ^ (ones * '"');
            const std::uint64_t backslash = word ^ (ones * '\\');
            std::uint64_t flags = ((quote - ones) & ~quote) | ((backslash - ones) & ~backslash) |
                                  ((word - ones * 0x20) & ~word);
            if constexpr (non_ascii == NonAscii::Stop) flags |= word;
            flags &= high_bits;
            if (flags != 0) return p + std::countr_zero(flags) / 8;
        }
    }
    for (; p != end; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        if (c == '"' || c == '\\' || c < 0x20 || (non_ascii == NonAscii::Stop && c >= 0x80)) return p;
    }
    return p;
}

}  // namespace quarn
