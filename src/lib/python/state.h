// The binding's process-wide state, in one struct: the module and its class,
// the exception class, the Python objects that conversion looks up once, and
// conversion's reusable buffers and remembered keys. Everything here lives for
// the process; the references it holds are owned and never released.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "json/value.h"
#include "python/compat.h"
#include "python/conversion.h"
#include "python/ref.h"

namespace quarn {

// Buffers per nesting level, kept between calls so that converting a value
// allocates little besides the value's own blocks.
struct ConversionScratch {
    struct DictItem {
        Ref key;
        Ref value;
    };
    static constexpr std::size_t levels = max_convert_nesting + 2;  // one list of documents around them
    std::vector<std::vector<Value>> elements{levels};
    std::vector<std::vector<Entry>> entries{levels};
    std::vector<std::vector<DictItem>> dict_items{levels};
    // An exact dict read straight from its table, until Python code might
    // run: then the rest of its items are copied out ("pinned"), so that the
    // dict still reads as of the start whatever that code does to it.
    struct DictReading {
        PyObject* dict = nullptr;  // borrowed; null when the level reads no dict directly
        Py_ssize_t position = 0;
        PyObject* key = nullptr;  // the item being converted, borrowed from the table
        PyObject* value = nullptr;
    };
    std::vector<DictReading> dict_readings{levels};
};


// The documents of a collection repeat their keys, mostly as the very same
// str objects: the key of an exact str is remembered by the str's address,
// which skips encoding and interning. A slot holds a reference to the str, so
// the address cannot be reused while it is remembered, and one to its key.
class KeyMemo {
public:
    // A new reference to the key remembered for text, or null.
    Key* find(PyObject* text) noexcept {
        Slot& slot = slots_[index(text)];
        if (slot.text != text) return nullptr;
        slot.key->retain();
        return slot.key;
    }
    void remember(PyObject* text, Key* key) noexcept {
        Slot& slot = slots_[index(text)];
        Py_INCREF(text);
        key->retain();
        Slot old = slot;
        slot = {text, key};
        if (old.key != nullptr) old.key->release();
        Py_XDECREF(old.text);
    }

private:
    struct Slot {
        PyObject* text = nullptr;
        Key* key = nullptr;
    };
    // Enough slots for the distinct keys of documents with many fields
    // (records of a few hundred keys in all are common), so that they seldom
    // push each other out.
    static constexpr int slot_bits = 11;
    static std::size_t index(PyObject* text) noexcept {
        return static_cast<std::size_t>((reinterpret_cast<std::uintptr_t>(text) >> 4) * 0x9E3779B97F4A7C15ULL >>
                                        (64 - slot_bits));
    }
    Slot slots_[std::size_t{1} << slot_bits];
};

// Keys that documents make afresh each time (f-strings, decoded text) come
// as new str objects with the same text: the key is then found by the str's
// hash (cached in it once it has been a dict key) and its text. A slot holds
// one reference to its key.
class KeyTextMemo {
public:
    // A new reference to the key remembered for text with this hash, or null.
    Key* find(Py_hash_t hash, std::string_view text) noexcept {
        Slot& slot = slots_[index(hash)];
        if (slot.key == nullptr || slot.hash != hash || slot.key->text() != text) return nullptr;
        slot.key->retain();
        return slot.key;
    }
    void remember(Py_hash_t hash, Key* key) noexcept {
        Slot& slot = slots_[index(hash)];
        key->retain();
        Key* old = slot.key;
        slot = {hash, key};
        if (old != nullptr) old->release();
    }

private:
    struct Slot {
        Py_hash_t hash = 0;
        Key* key = nullptr;
    };
    static constexpr int slot_bits = 10;
    static std::size_t index(Py_hash_t hash) noexcept {
        return static_cast<std::size_t>(static_cast<std::uint64_t>(hash) * 0x9E3779B97F4A7C15ULL >> (64 - slot_bits));
    }
    Slot slots_[std::size_t{1} << slot_bits];
};

struct BindingState {
    PyObject* module = nullptr;             // the quarn module, created once
    PyTypeObject* quarn_type = nullptr;     // the Quarn class
    PyObject* panic_exception = nullptr;    // quarn.PanicException, created on first use
    PyObject* sequence_abc = nullptr;       // collections.abc.Sequence, imported on first use
    PyObject* mapping_abc = nullptr;        // collections.abc.Mapping, likewise
    PyObject* gc_module = nullptr;          // gc, where the collector is paused through it
    PyObject* two_to_128 = nullptr;         // bounds of the out-of-range int band
    PyObject* minus_two_to_127 = nullptr;
    std::unique_ptr<ConversionScratch> idle_scratch;  // null while a conversion holds it
    KeyMemo key_memo;
    KeyTextMemo key_texts;
};

// The one instance; conversion reads it per key, so it is a plain global.
// Callers hold the interpreter lock.
extern BindingState binding_state;
inline BindingState& state() noexcept { return binding_state; }

}  // namespace quarn
