// SipHash-c-d, streamed: bytes may arrive in pieces of any size, and the
// digest is that of their concatenation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace quarn {

template <int CompressionRounds, int FinalizationRounds>
class SipHasher {
public:
    SipHasher(std::uint64_t k0, std::uint64_t k1) noexcept;

    void write(const void* data, std::size_t size) noexcept;
    void write(std::string_view bytes) noexcept { write(bytes.data(), bytes.size()); }
    void write_byte(std::uint8_t byte) noexcept { write(&byte, 1); }
    // Little-endian, as every count and code of the cache key is written.
    void write_u32(std::uint32_t number) noexcept;
    void write_u64(std::uint64_t number) noexcept;

    std::uint64_t finish() const noexcept;

private:
    void compress(std::uint64_t word) noexcept;

    std::uint64_t v0_, v1_, v2_, v3_;
    std::uint64_t tail_ = 0;      // pending bytes, little-endian
    std::size_t tail_size_ = 0;   // 0 to 7
    std::uint64_t length_ = 0;    // total bytes written
};

using SipHasher13 = SipHasher<1, 3>;

}  // namespace quarn
