#include "core/siphash.h"

#include <bit>

namespace quarn {

namespace {

struct State {
    std::uint64_t& v0;
    std::uint64_t& v1;
    std::uint64_t& v2;
    std::uint64_t& v3;

    void round() noexcept {
        v0 += v1;
        v1 = std::rotl(v1, 13);
        v1 ^= v0;
        v0 = std::rotl(v0, 32);
        v2 += v3;
        v3 = std::rotl(v3, 16);
        v3 ^= v2;
        v0 += v3;
        v3 = std::rotl(v3, 21);
        v3 ^= v0;
        v2 += v1;
        v1 = std::rotl(v1, 17);
        v1 ^= v2;
        v2 = std::rotl(v2, 32);
    }
};

std::uint64_t load_le64(const unsigned char* bytes) noexcept {
    std::uint64_t word = 0;
    for (int i = 7; i >= 0; --i) word = (word << 8) | bytes[i];
    return word;
}

}  // namespace

template <int C, int D>
SipHasher<C, D>::SipHasher(std::uint64_t k0, std::uint64_t k1) noexcept
    : v0_(k0 ^ 0x736f6d6570736575ULL),
      v1_(k1 ^ 0x646f72616e646f6dULL),
      v2_(k0 ^ 0x6c7967656e657261ULL),
      v3_(k1 ^ 0x7465646279746573ULL) {}

template <int C, int D>
void SipHasher<C, D>::compress(std::uint64_t word) noexcept {
    State state{v0_, v1_, v2_, v3_};
    v3_ ^= word;
    for (int i = 0; i < C; ++i) state.round();
    v0_ ^= word;
}

template <int C, int D>
void SipHasher<C, D>::write(const void* data, std::size_t size) noexcept {
    const auto* bytes = static_cast<const unsigned char*>(data);
    length_ += size;
    // Top up the pending word first.
    while (tail_size_ != 0 && size > 0) {
        tail_ |= static_cast<std::uint64_t>(*bytes++) << (8 * tail_size_);
        --size;
        if (++tail_size_ == 8) {
            compress(tail_);
            tail_ = 0;
            tail_size_ = 0;
        }
    }
    for (; size >= 8; bytes += 8, size -= 8) compress(load_le64(bytes));
    for (; size > 0; --size) tail_ |= static_cast<std::uint64_t>(*bytes++) << (8 * tail_size_++);
}

template <int C, int D>
void SipHasher<C, D>::write_u32(std::uint32_t number) noexcept {
    unsigned char bytes[4];
    for (int i = 0; i < 4; ++i) bytes[i] = static_cast<unsigned char>(number >> (8 * i));
    write(bytes, sizeof bytes);
}

template <int C, int D>
void SipHasher<C, D>::write_u64(std::uint64_t number) noexcept {
    unsigned char bytes[8];
    for (int i = 0; i < 8; ++i) bytes[i] = static_cast<unsigned char>(number >> (8 * i));
    write(bytes, sizeof bytes);
}

template <int C, int D>
std::uint64_t SipHasher<C, D>::finish() const noexcept {
    std::uint64_t v0 = v0_, v1 = v1_, v2 = v2_, v3 = v3_;
    State state{v0, v1, v2, v3};
    const std::uint64_t last = (length_ << 56) | tail_;
    v3 ^= last;
    for (int i = 0; i < C; ++i) state.round();
    v0 ^= last;
    v2 ^= 0xff;
    for (int i = 0; i < D; ++i) state.round();
    return v0 ^ v1 ^ v2 ^ v3;
}

template class SipHasher<1, 3>;

}  // namespace quarn
