#include "json/value.h"

#include <algorithm>
#include <cstdlib>
#include <new>

#include "json/blocks.h"

namespace quarn {

namespace {

// Block counts are 32-bit: more elements than that would need 64 GiB.
std::uint32_t checked_count(std::size_t count) {
    if (count > UINT32_MAX) throw std::bad_alloc();
    return static_cast<std::uint32_t>(count);
}

std::size_t array_bytes(std::size_t capacity) noexcept { return sizeof(Array) + capacity * sizeof(Value); }
std::size_t object_bytes(std::size_t capacity) noexcept { return sizeof(Object) + capacity * sizeof(Entry); }
std::size_t string_bytes(std::size_t size) noexcept { return sizeof(HeapString) + size; }

Array* new_array(std::size_t capacity) {
    const std::uint32_t count = checked_count(capacity);
    auto* array = static_cast<Array*>(blocks::allocate(array_bytes(count)));
    array->size = 0;
    array->capacity = count;
    return array;
}

Object* new_object(std::size_t capacity) {
    const std::uint32_t count = checked_count(capacity);
    auto* object = static_cast<Object*>(blocks::allocate(object_bytes(count)));
    object->size = 0;
    object->capacity = count;
    return object;
}

// Documents rarely have more members than this, and comparing pointers
// across them costs less than a binary search that compares key bytes.
constexpr std::size_t linear_scan_limit = 32;

const Entry* entry_lower_bound(const Entry* first, const Entry* last, std::string_view key) noexcept {
    return std::lower_bound(first, last, key,
                            [](const Entry& entry, std::string_view text) { return entry.key->text() < text; });
}

// The documents of a collection mostly list the same keys in the same order,
// so the sorting orders of recent key sequences are kept and reused when an
// object brings the same keys again. Slots are chosen by the first and last
// keys and the count, so that the shapes of nested objects and of documents
// with a varying tail of members do not push each other out. Keys are
// recognised by id, never dereferenced from a slot; a slot is only trusted
// while no key has died since it was filled, since a dead key's id may come
// back for another key.
class RecentOrders {
public:
    static constexpr std::size_t max_keys = 64;

    // The remembered order of entries' keys, or null. Valid until the next remember.
    const std::uint32_t* recall(const Entry* entries, std::size_t count) const noexcept {
        const Slot& slot = slots_[slot_index(entries, count)];
        if (count != slot.count || slot.deaths != Key::deaths()) return nullptr;
        for (std::size_t i = 0; i < slot.count; ++i)
            if (entries[i].key.id() != slot.keys[i]) return nullptr;
        return slot.order;
    }

    void remember(const Entry* entries, std::size_t count, const std::uint32_t* order) noexcept {
        if (count > max_keys) return;
        Slot& slot = slots_[slot_index(entries, count)];
        slot.count = count;
        slot.deaths = Key::deaths();
        for (std::size_t i = 0; i < slot.count; ++i) {
            slot.keys[i] = entries[i].key.id();
            slot.order[i] = order[i];
        }
    }

private:
    struct Slot {
        std::size_t count = 0;
        std::uint64_t deaths = 0;
        std::uint32_t keys[max_keys];
        std::uint32_t order[max_keys];
    };
    static std::size_t slot_index(const Entry* entries, std::size_t count) noexcept {
        const std::uint64_t first = entries[0].key.id();
        const std::uint64_t last = entries[count - 1].key.id();
        return static_cast<std::size_t>((first ^ (last << 21) ^ (count << 42)) * 0x9E3779B97F4A7C15ULL >> 58);
    }
    Slot slots_[64];
};

RecentOrders& recent_orders() {
    static RecentOrders orders;
    return orders;
}

// Objects of up to this many members sort their positions on the stack.
constexpr std::size_t small_sort_limit = 64;

void sort_positions(const Entry* entries, std::size_t count, std::uint32_t* order);

// The positions of entries in the order of their keys: remembered, or sorted.
class KeyOrder {
public:
    KeyOrder(const Entry* entries, std::size_t count) {
        order_ = recent_orders().recall(entries, count);
        if (order_ != nullptr) return;
        std::uint32_t* sorted = small_;
        if (count > small_sort_limit) {
            large_.resize(count);
            sorted = large_.data();
        }
        sort_positions(entries, count, sorted);
        recent_orders().remember(entries, count, sorted);
        order_ = sorted;
    }
    const std::uint32_t* positions() const noexcept { return order_; }

private:
    const std::uint32_t* order_;
    std::uint32_t small_[small_sort_limit];
    std::vector<std::uint32_t> large_;
};

// Fills order with the positions of entries sorted by key, stable. The keys'
// prefixes are read once, so that most comparisons are one of two numbers
// rather than two lookups by id.
void sort_positions(const Entry* entries, std::size_t count, std::uint32_t* order) {
    struct Sorted {
        std::uint64_t prefix;
        const Key* key;
        std::uint32_t position;
    };
    Sorted small[small_sort_limit];
    std::vector<Sorted> large;
    Sorted* items = small;
    if (count > small_sort_limit) {
        large.resize(count);
        items = large.data();
    }
    for (std::size_t i = 0; i < count; ++i) {
        const Key* key = entries[i].key;
        items[i] = {key->prefix(), key, static_cast<std::uint32_t>(i)};
    }
    auto less = [](const Sorted& a, const Sorted& b) {
        if (a.prefix != b.prefix) return a.prefix < b.prefix;
        return a.key != b.key && a.key->text() < b.key->text();
    };
    if (count > small_sort_limit) {
        std::stable_sort(items, items + count, less);
    } else {
        for (std::size_t i = 1; i < count; ++i) {
            const Sorted item = items[i];
            std::size_t j = i;
            for (; j > 0 && less(item, items[j - 1]); --j) items[j] = items[j - 1];
            items[j] = item;
        }
    }
    for (std::size_t i = 0; i < count; ++i) order[i] = items[i].position;
}

// Appends entry (in key order) to out[0, size). Of equal keys the later one
// wins: its value replaces the one kept, and its key reference is dropped.
// The entry is left owning nothing.
void append_in_order(Entry* out, std::uint32_t& size, Entry& entry) noexcept {
    if (size > 0 && out[size - 1].key == entry.key) {
        out[size - 1].value = std::move(entry.value);
        entry.key->release();
    } else {
        new (out + size++) Entry{entry.key, std::move(entry.value)};
    }
    entry.key = nullptr;
}

}  // namespace

Value Value::boolean(bool flag) noexcept {
    Value v;
    v.kind_ = Kind::Bool;
    v.storage_[0] = flag ? 1 : 0;
    return v;
}

Value Value::unsigned_int(std::uint64_t number) noexcept {
    Value v;
    v.kind_ = Kind::Unsigned;
    v.store(number);
    return v;
}

Value Value::negative_int(std::int64_t number) noexcept {
    Value v;
    v.kind_ = Kind::Negative;
    v.store(number);
    return v;
}

Value Value::floating(double number) noexcept {
    Value v;
    v.kind_ = Kind::Float;
    v.store(number);
    return v;
}

unsigned char greatest_byte(std::string_view text) noexcept {
    const char* p = text.data();
    const char* const end = p + text.size();
    constexpr std::uint64_t high_bits = 0x8080808080808080ULL;
    for (; end - p >= 8; p += 8) {
        std::uint64_t word;
        std::memcpy(&word, p, 8);
        if ((word & high_bits) != 0) break;
    }
    unsigned char greatest = 0;
    for (; p != end; ++p) greatest = std::max(greatest, static_cast<unsigned char>(*p));
    return greatest;
}

Value Value::string(std::string_view text) { return string(text, width_of_greatest_byte(greatest_byte(text))); }

Value Value::string(std::string_view text, StringWidth width) {
    Value v;
    char* data = v.become_string(text.size(), width);
    if (!text.empty()) std::memcpy(data, text.data(), text.size());
    return v;
}

char* Value::become_string(std::size_t size, StringWidth width) {
    if (size <= small_string_capacity) {
        kind_ = Kind::String;
        small_size_ = static_cast<std::uint8_t>(size);
        return reinterpret_cast<char*>(storage_);
    }
    if (size > HeapString::size_mask) throw std::bad_alloc();
    auto* heap = static_cast<HeapString*>(blocks::allocate(string_bytes(size)));
    heap->header = static_cast<std::uint64_t>(size) | static_cast<std::uint64_t>(width) << HeapString::width_shift;
    kind_ = Kind::String;
    store(heap);
    small_size_ = heap_string_marker;
    return heap->data();
}

Value Value::array_with_capacity(std::size_t capacity) {
    Value v = empty_array();
    v.store(new_array(capacity));
    return v;
}

Value& Value::append_null_element() noexcept {
    Array* array = array_ptr();
    return *new (array->items() + array->size++) Value();
}

Value Value::object_with_capacity(std::size_t capacity) {
    Value v = empty_object();
    v.store(new_object(capacity));
    return v;
}

Value& Value::append_entry(Key* key) noexcept {
    Object* object = object_ptr();
    Entry* entry = new (object->entries() + object->size++) Entry{key, Value()};
    return entry->value;
}

void Value::sort_entries() {
    Object* object = object_ptr();
    const std::size_t count = object->size;
    if (count == 0) return;
    Entry* entries = object->entries();
    KeyOrder key_order(entries, count);
    const std::uint32_t* order = key_order.positions();
    std::size_t in_place = 0;
    while (in_place < count && order[in_place] == in_place) ++in_place;
    if (in_place == count) {
        // Already in order; equal keys would sit side by side.
        bool distinct = true;
        for (std::size_t i = 1; i < count && distinct; ++i) distinct = !(entries[i].key == entries[i - 1].key);
        if (distinct) return;
    }
    // The entries are moved out as bytes and back in order: a value's bytes
    // are the whole of it.
    alignas(Entry) unsigned char small[small_sort_limit * sizeof(Entry)];
    std::vector<unsigned char> large;
    unsigned char* moved = small;
    if (count > small_sort_limit) {
        large.resize(count * sizeof(Entry));
        moved = large.data();
    }
    std::memcpy(moved, static_cast<const void*>(entries), count * sizeof(Entry));
    std::uint32_t kept = 0;
    for (std::size_t i = 0; i < count; ++i)
        append_in_order(entries, kept, *reinterpret_cast<Entry*>(moved + order[i] * sizeof(Entry)));
    object->size = kept;
}

Value Value::array(std::vector<Value>&& elements) {
    Value v = empty_array();
    if (elements.empty()) return v;
    Array* array = new_array(elements.size());
    for (Value& element : elements) new (array->items() + array->size++) Value(std::move(element));
    elements.clear();
    v.store(array);
    return v;
}

Value Value::object(std::vector<Entry>&& entries) {
    Value v = empty_object();
    if (entries.empty()) return v;
    // Sort positions rather than entries, so that values move once, straight
    // into the object's block.
    const std::size_t count = entries.size();
    KeyOrder key_order(entries.data(), count);
    const std::uint32_t* order = key_order.positions();
    Object* object = new_object(count);
    v.store(object);
    for (std::size_t i = 0; i < count; ++i) append_in_order(object->entries(), object->size, entries[order[i]]);
    entries.clear();
    return v;
}

Value::Value(const Value& other) {
    clear_storage(Kind::Null);
    switch (other.kind_) {
        case Kind::String:
            if (other.is_small_string()) {
                std::memcpy(static_cast<void*>(this), static_cast<const void*>(&other), sizeof(Value));
            } else {
                *this = string(other.as_string(), other.string_width());
            }
            return;
        case Kind::Array: {
            kind_ = Kind::Array;
            const Array* source = other.array_ptr();
            if (source == nullptr) return;
            // Built in a local so that a failed allocation frees what was copied.
            Value copy = empty_array();
            Array* array = new_array(source->size);
            copy.store(array);
            for (std::size_t i = 0; i < source->size; ++i) {
                new (array->items() + array->size) Value(source->items()[i]);
                ++array->size;
            }
            steal(copy);
            return;
        }
        case Kind::Object: {
            kind_ = Kind::Object;
            const Object* source = other.object_ptr();
            if (source == nullptr) return;
            Value copy = empty_object();
            Object* object = new_object(source->size);
            copy.store(object);
            for (std::size_t i = 0; i < source->size; ++i) {
                const Entry& entry = source->entries()[i];
                new (object->entries() + object->size) Entry{entry.key, entry.value};
                entry.key->retain();
                ++object->size;
            }
            steal(copy);
            return;
        }
        default:
            std::memcpy(static_cast<void*>(this), static_cast<const void*>(&other), sizeof(Value));
            return;
    }
}

Value& Value::operator=(const Value& other) {
    if (this != &other) *this = Value(other);
    return *this;
}

void Value::destroy() noexcept {
    switch (kind_) {
        case Kind::String:
            if (!is_small_string()) {
                HeapString* heap = load<HeapString*>();
                blocks::release(heap, string_bytes(heap->size()));
            }
            break;
        case Kind::Array:
            if (Array* array = array_ptr()) {
                for (std::size_t i = 0; i < array->size; ++i) array->items()[i].~Value();
                blocks::release(array, array_bytes(array->capacity));
            }
            break;
        case Kind::Object:
            if (Object* object = object_ptr()) {
                for (std::size_t i = 0; i < object->size; ++i) {
                    Entry& entry = object->entries()[i];
                    entry.value.~Value();
                    entry.key->release();
                }
                blocks::release(object, object_bytes(object->capacity));
            }
            break;
        default:
            break;
    }
    clear_storage(Kind::Null);
}

double Value::to_double() const noexcept {
    switch (kind_) {
        case Kind::Unsigned: return static_cast<double>(as_unsigned());
        case Kind::Negative: return static_cast<double>(as_negative());
        case Kind::Float: return as_float();
        default: return 0.0;
    }
}

StringWidth Value::small_string_width() const noexcept {
    return width_of_greatest_byte(greatest_byte(as_string()));
}

const Value* Value::find(const Key* key) const noexcept {
    std::size_t size = object_size();
    const Entry* entries = object_begin();
    if (size <= linear_scan_limit) {
        const std::uint32_t id = key != nullptr ? key->id() : 0;
        for (std::size_t i = 0; i < size; ++i)
            if (entries[i].key.id() == id) return &entries[i].value;
        return nullptr;
    }
    return find(key->text());
}

const Value* Value::find(std::string_view key) const noexcept {
    const Entry* first = object_begin();
    const Entry* last = object_end();
    const Entry* at = entry_lower_bound(first, last, key);
    return (at != last && at->key->text() == key) ? &at->value : nullptr;
}

bool Value::erase(std::string_view key) noexcept {
    Object* object = object_ptr();
    if (object == nullptr) return false;
    Entry* entries = object->entries();
    Entry* at = const_cast<Entry*>(entry_lower_bound(entries, entries + object->size, key));
    if (at == entries + object->size || at->key->text() != key) return false;
    at->key->release();
    for (Entry* next = at + 1; next != entries + object->size; ++at, ++next) {
        at->key = next->key;
        at->value = std::move(next->value);
    }
    at->value.~Value();
    --object->size;
    return true;
}

bool operator==(const Value& a, const Value& b) noexcept {
    if (a.kind_ != b.kind_) return false;
    switch (a.kind_) {
        case Kind::Null: return true;
        case Kind::Bool: return a.as_bool() == b.as_bool();
        case Kind::Unsigned: return a.as_unsigned() == b.as_unsigned();
        case Kind::Negative: return a.as_negative() == b.as_negative();
        case Kind::Float: return a.as_float() == b.as_float();
        case Kind::String: return a.as_string() == b.as_string();
        case Kind::Array:
            return a.array_size() == b.array_size() && std::equal(a.array_begin(), a.array_end(), b.array_begin());
        case Kind::Object:
            return a.object_size() == b.object_size() &&
                   std::equal(a.object_begin(), a.object_end(), b.object_begin(),
                              [](const Entry& x, const Entry& y) { return x.key == y.key && x.value == y.value; });
    }
    return false;
}

}  // namespace quarn
