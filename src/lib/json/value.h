// The JSON document model: one 16-byte tagged value.
//
// Scalars and strings of up to 14 bytes live inside the value; longer strings,
// arrays and objects live in one heap block each. An object's entries are
// inline in its block, sorted by the keys' bytes, each holding an interned Key
// (see key.h). Numbers keep three classes apart: unsigned, negative, float.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <utility>
#include <vector>

#include "json/key.h"

namespace quarn {

enum class Kind : std::uint8_t { Null, Bool, Unsigned, Negative, Float, String, Array, Object };

// The widest character of a string, in the classes that decide how Python
// stores it: ASCII, up to U+00FF, up to U+FFFF, beyond. Known when the
// string is made, so that building its str takes one allocation and one pass.
enum class StringWidth : std::uint8_t { Ascii, Latin1, Ucs2, Ucs4 };

// The width of valid UTF-8 text whose greatest byte is widest_byte: lead
// bytes C2-C3 start U+0080-U+00FF, C4-EF up to U+FFFF, F0-F4 the rest, and
// continuation bytes (80-BF) never exceed the lead before them.
constexpr StringWidth width_of_greatest_byte(unsigned char widest_byte) noexcept {
    return widest_byte < 0x80 ? StringWidth::Ascii
           : widest_byte < 0xC4 ? StringWidth::Latin1
           : widest_byte < 0xF0 ? StringWidth::Ucs2
                                : StringWidth::Ucs4;
}

// The greatest byte of text (0 when empty), eight bytes at a time until a
// non-ASCII byte shows up.
unsigned char greatest_byte(std::string_view text) noexcept;

class Value;
struct Entry;

// The header of a long string's block: its size, with its width in the top
// two bits (no string comes near 2^62 bytes); the bytes follow.
struct HeapString {
    std::uint64_t header;
    static constexpr int width_shift = 62;
    static constexpr std::uint64_t size_mask = (std::uint64_t{1} << width_shift) - 1;
    std::size_t size() const noexcept { return static_cast<std::size_t>(header & size_mask); }
    StringWidth width() const noexcept { return static_cast<StringWidth>(header >> width_shift); }
    char* data() noexcept { return reinterpret_cast<char*>(this + 1); }
    const char* data() const noexcept { return reinterpret_cast<const char*>(this + 1); }
};
class Array;
class Object;

class Value {
public:
    static constexpr std::size_t small_string_capacity = 14;

    Value() noexcept { clear_storage(Kind::Null); }
    ~Value() {
        if (owns_heap()) destroy();
    }
    Value(const Value& other);
    Value(Value&& other) noexcept { steal(other); }
    Value& operator=(const Value& other);
    Value& operator=(Value&& other) noexcept {
        if (this != &other) {
            if (owns_heap()) destroy();
            steal(other);
        }
        return *this;
    }

    static Value null() noexcept { return Value(); }
    static Value boolean(bool flag) noexcept;
    static Value unsigned_int(std::uint64_t number) noexcept;
    static Value negative_int(std::int64_t number) noexcept;  // number < 0
    static Value floating(double number) noexcept;            // number finite
    // text must be valid UTF-8. Without a width, it is found by a scan.
    static Value string(std::string_view text);
    static Value string(std::string_view text, StringWidth width);
    // Makes this value, which must be null, a string of size bytes of the
    // given width, for the caller to fill through the returned pointer before
    // anything else reads or moves it.
    char* become_string(std::size_t size, StringWidth width);
    // Takes the elements; an empty vector makes an empty array without allocating.
    static Value array(std::vector<Value>&& elements);
    // Takes the entries (and their key references); sorts them by key and keeps
    // the last of equal keys.
    static Value object(std::vector<Entry>&& entries);
    static Value empty_array() noexcept { Value v; v.clear_storage(Kind::Array); return v; }
    // An array block with room for capacity elements (more than zero) and
    // none yet, for elements built in place with append_null_element.
    static Value array_with_capacity(std::size_t capacity);
    // Appends a null element to an array from array_with_capacity, which
    // must have room; it stays in place while the array lives.
    Value& append_null_element() noexcept;
    // Likewise an object: entries are appended in any order, each holding
    // key (its reference taken) and a null value built in place, then
    // sort_entries puts them in key order, keeping the last of equal keys.
    static Value object_with_capacity(std::size_t capacity);
    Value& append_entry(Key* key) noexcept;
    void sort_entries();
    static Value empty_object() noexcept { Value v; v.clear_storage(Kind::Object); return v; }

    Kind kind() const noexcept { return kind_; }
    bool is_number() const noexcept { return kind_ == Kind::Unsigned || kind_ == Kind::Negative || kind_ == Kind::Float; }
    bool is_array() const noexcept { return kind_ == Kind::Array; }
    bool is_object() const noexcept { return kind_ == Kind::Object; }

    bool as_bool() const noexcept { return storage_[0] != 0; }
    std::uint64_t as_unsigned() const noexcept { return load<std::uint64_t>(); }
    std::int64_t as_negative() const noexcept { return load<std::int64_t>(); }
    double as_float() const noexcept { return load<double>(); }
    // Any number class as a double (ordering comparisons and arithmetic).
    double to_double() const noexcept;
    std::string_view as_string() const noexcept {
        if (is_small_string()) return {reinterpret_cast<const char*>(storage_), small_size_};
        const HeapString* heap = load<HeapString*>();
        return {heap->data(), heap->size()};
    }
    StringWidth string_width() const noexcept {
        if (!is_small_string()) return load<HeapString*>()->width();
        // Two overlapping words cover the 14 bytes; bytes past the size are
        // zero, and were they not, they could only send this to the full scan.
        std::uint64_t low, high;
        std::memcpy(&low, storage_, 8);
        std::memcpy(&high, storage_ + 6, 8);
        if (((low | high) & 0x8080808080808080ULL) == 0) return StringWidth::Ascii;
        return small_string_width();
    }

    // Null when the array or object was built empty (a block may also hold none).
    const Array* array_ptr() const noexcept { return load<Array*>(); }
    Array* array_ptr() noexcept { return load<Array*>(); }
    const Object* object_ptr() const noexcept { return load<Object*>(); }
    Object* object_ptr() noexcept { return load<Object*>(); }

    std::size_t array_size() const noexcept;
    const Value* array_begin() const noexcept;
    const Value* array_end() const noexcept { return array_begin() + array_size(); }
    Value* array_begin() noexcept { return const_cast<Value*>(std::as_const(*this).array_begin()); }
    Value* array_end() noexcept { return array_begin() + array_size(); }

    std::size_t object_size() const noexcept;
    const Entry* object_begin() const noexcept;
    const Entry* object_end() const noexcept;
    Entry* object_begin() noexcept { return const_cast<Entry*>(std::as_const(*this).object_begin()); }
    Entry* object_end() noexcept;

    // Member lookup: by interned key (its id compared; past a few members, by
    // its text in the sorted entries) or by text.
    const Value* find(const Key* key) const noexcept;
    Value* find(const Key* key) noexcept { return const_cast<Value*>(std::as_const(*this).find(key)); }
    const Value* find(std::string_view key) const noexcept;
    Value* find(std::string_view key) noexcept { return const_cast<Value*>(std::as_const(*this).find(key)); }
    // Removes a member; returns whether it was there. Object only.
    bool erase(std::string_view key) noexcept;

    // Equality keeps number classes apart (1 != 1.0); 0.0 == -0.0.
    friend bool operator==(const Value& a, const Value& b) noexcept;

private:
    template <typename T>
    T load() const noexcept {
        T out;
        std::memcpy(&out, storage_, sizeof(T));
        return out;
    }
    template <typename T>
    void store(T in) noexcept { std::memcpy(storage_, &in, sizeof(T)); }
    // One whole-value store, so that a following 16-byte copy of it does not
    // wait on several small stores.
    void clear_storage(Kind kind) noexcept {
        std::memset(static_cast<void*>(this), 0, sizeof(Value));
        if (kind != Kind::Null) kind_ = kind;
    }
    void steal(Value& other) noexcept {
        std::memcpy(static_cast<void*>(this), static_cast<const void*>(&other), sizeof(Value));
        other.clear_storage(Kind::Null);
    }
    bool is_small_string() const noexcept { return small_size_ != heap_string_marker; }
    // Whether destroying this value has anything to free.
    bool owns_heap() const noexcept {
        return kind_ == Kind::Array || kind_ == Kind::Object || (kind_ == Kind::String && !is_small_string());
    }
    void destroy() noexcept;
    StringWidth small_string_width() const noexcept;

    static constexpr std::uint8_t heap_string_marker = 0xff;

    // Number, pointer or the bytes of a small string.
    // Aligned to 4 only, so that an entry packs a key id and a value in 20
    // bytes; reads and writes go through memcpy.
    alignas(4) unsigned char storage_[small_string_capacity];
    std::uint8_t small_size_;  // small string length, or heap_string_marker
    Kind kind_;
};

static_assert(sizeof(Value) == 16, "a value must stay 16 bytes");

struct Entry {
    KeyRef key;  // one counted reference
    Value value;
};

static_assert(sizeof(Entry) == 20, "an entry is a 4-byte key id and a value");

// Heap block of an array: header then the elements.
class Array {
public:
    std::uint32_t size;
    std::uint32_t capacity;  // the block holds this many; freeing needs it
    Value* items() noexcept { return reinterpret_cast<Value*>(this + 1); }
    const Value* items() const noexcept { return reinterpret_cast<const Value*>(this + 1); }
};

// Heap block of an object: header then the entries, sorted by key bytes.
class Object {
public:
    std::uint32_t size;
    std::uint32_t capacity;  // erase lowers size, never capacity
    Entry* entries() noexcept { return reinterpret_cast<Entry*>(this + 1); }
    const Entry* entries() const noexcept { return reinterpret_cast<const Entry*>(this + 1); }
};

inline std::size_t Value::array_size() const noexcept {
    const Array* array = array_ptr();
    return array == nullptr ? 0 : array->size;
}

inline const Value* Value::array_begin() const noexcept {
    const Array* array = array_ptr();
    return array == nullptr ? nullptr : array->items();
}

inline std::size_t Value::object_size() const noexcept {
    const Object* object = object_ptr();
    return object == nullptr ? 0 : object->size;
}

inline const Entry* Value::object_begin() const noexcept {
    const Object* object = object_ptr();
    return object == nullptr ? nullptr : object->entries();
}

inline const Entry* Value::object_end() const noexcept { return object_begin() + object_size(); }
inline Entry* Value::object_end() noexcept { return object_begin() + object_size(); }

// Documents live in blocks of their own all over the heap; a pass over them
// asks for the block of the document a few places ahead, so that the cache
// misses overlap.
inline constexpr std::size_t prefetch_distance = 8;

inline void prefetch_document(const std::vector<Value>& documents, std::size_t index) noexcept {
    if (index < documents.size() && documents[index].is_object()) __builtin_prefetch(documents[index].object_ptr());
}

static_assert(sizeof(Array) == 8 && sizeof(Object) == 8, "block headers stay small: documents hold many");
static_assert(sizeof(Array) % alignof(Value) == 0 && sizeof(Object) % alignof(Entry) == 0);

}  // namespace quarn
