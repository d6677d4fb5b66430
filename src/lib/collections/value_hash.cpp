#include "collections/value_hash.h"

#include <bit>
#include <cstring>

#include "core/random_seed.h"

namespace quarn {

namespace {

// A 64-bit finalizer: every input bit affects every output bit.
constexpr std::uint64_t mix(std::uint64_t x) noexcept {
    x ^= x >> 32;
    x *= 0xd6e8feb86659fd93ULL;
    x ^= x >> 32;
    x *= 0xd6e8feb86659fd93ULL;
    x ^= x >> 32;
    return x;
}

constexpr std::uint64_t combine(std::uint64_t seed, std::uint64_t value) noexcept {
    return mix(seed ^ (value + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2)));
}

std::uint64_t hash_bytes(std::uint64_t seed, const char* bytes, std::size_t size) noexcept {
    std::uint64_t hash = combine(seed, size);
    for (; size >= 8; bytes += 8, size -= 8) {
        std::uint64_t word;
        std::memcpy(&word, bytes, 8);
        hash = combine(hash, word);
    }
    if (size > 0) {
        std::uint64_t word = 0;
        std::memcpy(&word, bytes, size);
        hash = combine(hash, word);
    }
    return hash;
}

std::uint64_t hash_value(std::uint64_t seed, const Value& value) noexcept {
    const std::uint64_t kind_seed = combine(seed, static_cast<std::uint64_t>(value.kind()));
    switch (value.kind()) {
        case Kind::Null: return kind_seed;
        case Kind::Bool: return combine(kind_seed, value.as_bool());
        case Kind::Unsigned: return combine(kind_seed, value.as_unsigned());
        case Kind::Negative: return combine(kind_seed, static_cast<std::uint64_t>(value.as_negative()));
        case Kind::Float: {
            const double number = value.as_float();
            return combine(kind_seed, std::bit_cast<std::uint64_t>(number == 0.0 ? 0.0 : number));
        }
        case Kind::String: {
            const std::string_view text = value.as_string();
            return hash_bytes(kind_seed, text.data(), text.size());
        }
        case Kind::Array: {
            std::uint64_t hash = combine(kind_seed, value.array_size());
            for (const Value* element = value.array_begin(); element != value.array_end(); ++element)
                hash = combine(hash, hash_value(seed, *element));
            return hash;
        }
        case Kind::Object: {
            // Entries are kept in key order, so equal objects list them alike.
            std::uint64_t hash = combine(kind_seed, value.object_size());
            for (const Entry* entry = value.object_begin(); entry != value.object_end(); ++entry) {
                const std::string_view key = entry->key->text();
                hash = combine(hash, hash_bytes(seed, key.data(), key.size()));
                hash = combine(hash, hash_value(seed, entry->value));
            }
            return hash;
        }
    }
    return kind_seed;
}

}  // namespace

std::uint64_t equality_hash(const Value& value) noexcept { return hash_value(process_random_seed(), value); }

}  // namespace quarn
