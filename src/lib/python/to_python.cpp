// Values to Python objects. (Python objects to Values: from_python.cpp.)
#include "python/conversion.h"

#include <bit>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "json/utf8.h"
#include "python/errors.h"

namespace quarn {

// ---- Values to Python objects ----

namespace {

// A key's cached str holds one reference, dropped when the key dies.
void release_key_cache(void* cache) { Py_DECREF(static_cast<PyObject*>(cache)); }

// The key's str, cached in the key on first use. Returns a borrowed
// reference (owned by the key), or null with the exception set.
PyObject* key_str(Key* key) {
    if (void* cached = key->cache()) return static_cast<PyObject*>(cached);
    std::string_view text = key->text();
    PyObject* str = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    if (str != nullptr) key->set_cache(str);
    return str;
}

PyObject* to_python(const Value& value);

#if !QUARN_PYPY

// Decodes valid UTF-8 into the code units of a str of the right width; ASCII
// runs go eight bytes at a time.
template <typename Unit>
void decode_into(const unsigned char* p, const unsigned char* end, Unit* out) noexcept {
    while (p != end) {
        for (; end - p >= 8; p += 8, out += 8) {
            std::uint64_t word;
            std::memcpy(&word, p, 8);
            if ((word & 0x8080808080808080ULL) != 0) break;
            for (int i = 0; i < 8; ++i) out[i] = static_cast<Unit>(p[i]);
        }
        if (p == end) break;
        *out++ = static_cast<Unit>(decode_valid_utf8(p));
    }
}

// A str built at its final kind: one allocation, then one copy (ASCII) or one
// decoding pass.
PyObject* string_to_python(const Value& value) {
    const std::string_view text = value.as_string();
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    const auto* end = bytes + text.size();
    const StringWidth width = value.string_width();
    if (width == StringWidth::Ascii) {
        PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(text.size()), 0x7F);
        if (str != nullptr && !text.empty()) std::memcpy(PyUnicode_1BYTE_DATA(str), bytes, text.size());
        return str;
    }
    std::size_t continuations = 0;
    {
        const unsigned char* p = bytes;
        for (; end - p >= 8; p += 8) {
            std::uint64_t word;
            std::memcpy(&word, p, 8);
            continuations += static_cast<std::size_t>(std::popcount(word & ~(word << 1) & 0x8080808080808080ULL));
        }
        for (; p != end; ++p) continuations += (*p & 0xC0) == 0x80;
    }
    const auto count = static_cast<Py_ssize_t>(text.size() - continuations);
    switch (width) {
        case StringWidth::Latin1: {
            PyObject* str = PyUnicode_New(count, 0xFF);
            if (str != nullptr) decode_into(bytes, end, PyUnicode_1BYTE_DATA(str));
            return str;
        }
        case StringWidth::Ucs2: {
            PyObject* str = PyUnicode_New(count, 0xFFFF);
            if (str != nullptr) decode_into(bytes, end, PyUnicode_2BYTE_DATA(str));
            return str;
        }
        default: {
            PyObject* str = PyUnicode_New(count, 0x10FFFF);
            if (str != nullptr) decode_into(bytes, end, PyUnicode_4BYTE_DATA(str));
            return str;
        }
    }
}

#else

PyObject* string_to_python(const Value& value) {
    const std::string_view text = value.as_string();
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

#endif

// Returns a new reference, or null with the exception set.
PyObject* array_to_python(const Value& value) {
    const std::size_t size = value.array_size();
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(size)));
    if (!list) return nullptr;
    const Value* elements = value.array_begin();
    for (std::size_t i = 0; i < size; ++i) {
        PyObject* item = to_python(elements[i]);
        if (item == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);  // steals item
    }
    return list.release();
}

// Returns a new reference, or null with the exception set. Entries are
// stored in key order, so the dict iterates in key order.
PyObject* object_to_python(const Value& value) {
    Ref dict = Ref::steal(compat::new_dict(value.object_size()));
    if (!dict) return nullptr;
    for (const Entry* entry = value.object_begin(); entry != value.object_end(); ++entry) {
        PyObject* key = key_str(entry->key);
        if (key == nullptr) return nullptr;
        Ref member = Ref::steal(to_python(entry->value));
        if (!member || PyDict_SetItem(dict.get(), key, member.get()) < 0) return nullptr;
    }
    return dict.release();
}

// Returns a new reference, or null with the exception set.
PyObject* to_python(const Value& value) {
    switch (value.kind()) {
        case Kind::Null: return compat::new_ref(Py_None);
        case Kind::Bool: return compat::new_ref(value.as_bool() ? Py_True : Py_False);
        case Kind::Unsigned: return PyLong_FromUnsignedLongLong(value.as_unsigned());
        case Kind::Negative: return PyLong_FromLongLong(value.as_negative());
        case Kind::Float: return PyFloat_FromDouble(value.as_float());
        case Kind::String: return string_to_python(value);
        case Kind::Array: return array_to_python(value);
        case Kind::Object: return object_to_python(value);
    }
    PyErr_SetString(PyExc_SystemError, "value of unknown kind");
    return nullptr;
}

}  // namespace

void install_key_cache_release() { set_key_cache_release(release_key_cache); }

namespace {

// A new list of the documents at positions (every document when null).
Result<Ref> documents_to_python(const SharedCollection& collection,
                                const std::vector<std::size_t>* positions) {
    auto documents = collection.read();
    if (documents.poisoned())
        return Error::exception("lock poison error while serializing");  // fixed text
    const std::vector<Value>& values = documents.documents();
    const std::size_t count = positions != nullptr ? positions->size() : values.size();
    // One pause for the whole list: no Python code runs while it is built.
    compat::GcPause gc_pause;
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(count)));
    if (!list) return Error::python_raised();
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t at = positions != nullptr ? (*positions)[i] : i;
        if (at >= values.size())
            return Error::exception("a cached result outlived its collection");
        PyObject* item = to_python(values[at]);
        if (item == nullptr) return Error::python_raised();
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);  // steals item
    }
    return list;
}

}  // namespace

Result<Ref> collection_to_python(const SharedCollection& collection) {
    return documents_to_python(collection, nullptr);
}

Result<Ref> found_to_python(const FoundDocuments& found) {
    return documents_to_python(*found.collection, found.matches ? &found.matches->positions : nullptr);
}

}  // namespace quarn
