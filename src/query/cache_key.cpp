#include "query/cache_key.h"

#include <bit>

#include "core/siphash.h"

namespace quarn {

namespace {

enum KindCode : std::uint32_t { NullCode, BoolCode, NumberCode, StringCode, ArrayCode, ObjectCode };
enum NumberClass : std::uint8_t { UnsignedClass, NegativeClass, FloatClass };

constexpr std::uint8_t end_of_text = 0xFF;

std::uint32_t count32(std::size_t count) noexcept { return static_cast<std::uint32_t>(count); }

void encode(SipHasher13& hasher, const Value& value);

void encode_object_body(SipHasher13& hasher, const Value& object) {
    hasher.write_u32(count32(object.object_size()));
    for (const Entry* entry = object.object_begin(); entry != object.object_end(); ++entry) {
        hasher.write(entry->key->text());
        hasher.write_byte(end_of_text);
        encode(hasher, entry->value);
    }
}

void encode_number(SipHasher13& hasher, const Value& value) {
    hasher.write_u32(NumberCode);
    switch (value.kind()) {
        case Kind::Unsigned:
            hasher.write_byte(UnsignedClass);
            hasher.write_u64(value.as_unsigned());
            return;
        case Kind::Negative:
            hasher.write_byte(NegativeClass);
            hasher.write_u64(static_cast<std::uint64_t>(value.as_negative()));
            return;
        default: {
            hasher.write_byte(FloatClass);
            double number = value.as_float();
            hasher.write_u64(number == 0.0 ? 0 : std::bit_cast<std::uint64_t>(number));
            return;
        }
    }
}

// Recursion follows the query's nesting, which conversion bounds.
void encode(SipHasher13& hasher, const Value& value) {
    switch (value.kind()) {
        case Kind::Null: hasher.write_u32(NullCode); return;
        case Kind::Bool:
            hasher.write_u32(BoolCode);
            hasher.write_byte(value.as_bool() ? 1 : 0);
            return;
        case Kind::Unsigned:
        case Kind::Negative:
        case Kind::Float: encode_number(hasher, value); return;
        case Kind::String:
            hasher.write_u32(StringCode);
            hasher.write(value.as_string());
            hasher.write_byte(end_of_text);
            return;
        case Kind::Array:
            hasher.write_u32(ArrayCode);
            hasher.write_u32(count32(value.array_size()));
            for (const Value* element = value.array_begin(); element != value.array_end(); ++element)
                encode(hasher, *element);
            return;
        case Kind::Object:
            hasher.write_u32(ObjectCode);
            encode_object_body(hasher, value);
            return;
    }
}

}  // namespace

std::uint64_t cache_key(std::string_view collection_name, const Value& query) {
    SipHasher13 hasher(0, 0);
    hasher.write(collection_name);
    hasher.write_byte(end_of_text);
    encode_object_body(hasher, query);
    return hasher.finish();
}

}  // namespace quarn
