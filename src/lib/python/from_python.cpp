// Python objects to Values, and the method arguments converted as the engine reaches them.
//
// Objects are classified by a fixed sequence of type tests; the first match
// decides. Exact built-in types go straight to their rule (no other test can
// match them), and exact lists, tuples and dicts are walked without the
// generic protocol calls, with the same results.
#include <algorithm>
#include <cmath>
#include <memory>
#include <new>
#include <vector>

#include "json/utf8.h"
#include "python/conversion.h"
#include "python/errors.h"
#include "python/state.h"

namespace quarn {

namespace {

// The idle scratch, or a new one when a conversion re-entered from Python
// code holds it.
class ScratchLease {
public:
    ScratchLease()
        : scratch_(state().idle_scratch ? std::move(state().idle_scratch) : std::make_unique<ConversionScratch>()) {}
    ~ScratchLease() {
        if (!state().idle_scratch) state().idle_scratch = std::move(scratch_);
    }
    ConversionScratch& get() noexcept { return *scratch_; }

private:
    std::unique_ptr<ConversionScratch> scratch_;
};

// Empties a level buffer on every exit, dropping the storage that a huge
// value grew so that it is not kept for good.
template <typename Item>
struct ClearOnExit {
    std::vector<Item>& buffer;
    ~ClearOnExit() {
        buffer.clear();
        if (buffer.capacity() > 4096) std::vector<Item>().swap(buffer);
    }
};

// Likewise for entries, releasing the keys of entries not handed on.
struct ReleaseEntriesOnExit : ClearOnExit<Entry> {
    ~ReleaseEntriesOnExit() {
        for (Entry& entry : buffer)
            if (entry.key != nullptr) entry.key->release();
    }
};

// collections.abc.<name>, imported on first success and kept for the
// process. Returns a borrowed reference, or null with the exception set.
PyObject* abc_class(const char* name, PyObject*& cached) {
    if (cached != nullptr) return cached;
    Ref module_name = Ref::steal(PyUnicode_FromString("collections.abc"));
    Ref module = module_name ? Ref::steal(PyImport_Import(module_name.get())) : Ref();
    if (!module) return nullptr;
    cached = PyObject_GetAttrString(module.get(), name);
    return cached;
}

// 1 when object is an instance of collections.abc.<name>, else 0; a failing
// import or check is reported as unraisable and counts as 0. -1, with the
// exception pending, for an exception that is not an Exception: an interrupt
// or an exit must reach the caller.
int is_abc_instance(PyObject* object, const char* name, PyObject*& cached) {
    PyObject* abc = abc_class(name, cached);
    int found = abc != nullptr ? PyObject_IsInstance(object, abc) : -1;
    if (found < 0 && PyErr_ExceptionMatches(PyExc_Exception)) {
        PyErr_WriteUnraisable(object);
        found = 0;
    }
    return found;
}

// The int bounds of the "out of range" band, created once.
PyObject* int_constant(const char* digits, PyObject*& cached) {
    if (cached == nullptr) cached = PyLong_FromString(digits, nullptr, 10);
    return cached;
}


// Whether converting object surely runs no Python code: exact built-in
// scalars. (A container may hold something whose conversion runs code.)
bool runs_no_code(PyObject* object) noexcept {
    PyTypeObject* type = Py_TYPE(object);
    return type == &PyFloat_Type || type == &PyUnicode_Type || type == &PyLong_Type || object == Py_None ||
           type == &PyBool_Type;
}

// How many items ahead a list's items are fetched into the cache.
constexpr Py_ssize_t prefetch_distance = 6;

// The conversion's failures. Their texts are fixed: callers match on them.
Error nesting_too_deep() { return Error::exception("nesting too deep"); }
Error bytearray_refused() { return Error::exception("invalid type: byte array, expected any valid JSON value"); }
Error number_out_of_range() { return Error::exception("JSON number out of range"); }
Error dict_changed_size() { return Error::exception("dict changed size during conversion"); }
Error unsupported_type(PyObject* object) { return Error::type_error("unsupported type " + type_qualname(object)); }
Error unexpected_type(PyObject* object, const char* target) {
    return Error::type_error("unexpected type: '" + type_qualname(object) + "' object cannot be converted to '" +
                             target + "'");
}
Error sequence_length_changed(Py_ssize_t expected, Py_ssize_t actual) {
    return Error::value_error("expected sequence of length " + std::to_string(expected) + ", got " +
                              std::to_string(actual));
}

// NaN and the infinities have no JSON form: they become null.
Value float_value(double number) { return std::isfinite(number) ? Value::floating(number) : Value::null(); }

// Every out below is a null value that nothing has read yet (a fresh element
// or entry), so results are constructed over it in place: null owns nothing,
// and a move assignment would copy each value once more.
class ToJson {
public:
    ToJson(ConversionScratch& scratch, int max_nesting) noexcept : scratch_(scratch), max_nesting_(max_nesting) {}

    // Converts object (borrowed) into out (null); on failure returns false and error holds why.
    bool convert(PyObject* object, Value& out);

    Error error = Error::python_raised();
    HeldException raised;  // when error is python_raised: what Python code raised

private:
    bool convert_by_type_tests(PyObject* object, Value& out);
    bool convert_int(PyObject* number, Value& out);
    bool convert_wide_int(PyObject* number);
    bool convert_str(PyObject* text, Value& out);
    bool convert_list(PyObject* list, Value& out);
    bool convert_tuple(PyObject* tuple, Value& out);
    bool convert_sequence(PyObject* sequence, Value& out);
    bool convert_set(PyObject* set, Value& out);
    bool convert_dict(PyObject* dict, Value& out);
    bool convert_mapping(PyObject* mapping, Value& out);
    Key* entry_key(PyObject* key);
    bool add_entry(std::vector<Entry>& entries, PyObject* key, PyObject* value);

    // Counts one more container level; false (with error set) when too deep.
    bool enter_level();
    // Called before anything that may run Python code.
    void pin_dicts_being_read();

    // Taken out at once, so that releasing what the conversion holds runs
    // with no exception pending.
    bool fail_python() {
        raised = HeldException::fetch();
        error = Error::python_raised();
        return false;
    }
    bool fail(Error why) {
        error = std::move(why);
        return false;
    }

    // Leaves the level entered by enter_level.
    struct Level {
        int& depth;
        ~Level() { --depth; }
    };

    ConversionScratch& scratch_;
    const int max_nesting_;
    int depth_ = 0;
};

bool ToJson::enter_level() {
    if (depth_ >= max_nesting_) return fail(nesting_too_deep());
    ++depth_;
    return true;
}

bool ToJson::convert(PyObject* object, Value& out) {
    PyTypeObject* type = Py_TYPE(object);
    if (object == Py_None) {
        new (&out) Value(Value::null());
        return true;
    }
    if (type == &PyBool_Type) {
        new (&out) Value(Value::boolean(object == Py_True));
        return true;
    }
    if (type == &PyUnicode_Type) return convert_str(object, out);
    if (type == &PyLong_Type) {
        long long number = 0;
        if (!compat::small_int_value(object, number)) return convert_int(object, out);
        new (&out) Value(number < 0 ? Value::negative_int(number)
                                    : Value::unsigned_int(static_cast<std::uint64_t>(number)));
        return true;
    }
    if (type == &PyFloat_Type) {
        new (&out) Value(float_value(PyFloat_AS_DOUBLE(object)));
        return true;
    }
    if (type == &PyDict_Type) return convert_dict(object, out);
    if (type == &PyList_Type) return convert_list(object, out);
    if (type == &PyTuple_Type) return convert_tuple(object, out);
    return convert_by_type_tests(object, out);
}

// The full sequence of type tests, for everything but exact built-ins.
bool ToJson::convert_by_type_tests(PyObject* object, Value& out) {
    pin_dicts_being_read();  // the tests and conversions below may run Python code
    PyTypeObject* type = Py_TYPE(object);
    if (PyLong_Check(object)) return convert_int(object, out);
    if (PyList_Check(object) || PyTuple_Check(object)) return convert_sequence(object, out);
    if (PyDict_Check(object)) return convert_mapping(object, out);
    if (PyUnicode_Check(object)) return convert_str(object, out);
    if (PyBytes_Check(object))
        return fail(bytearray_refused());
    if (PyType_IsSubtype(type, &PyByteArray_Type)) return fail(unexpected_type(object, "PyBytes"));
    if (PyType_IsSubtype(type, &PyFloat_Type)) {
        double number = PyFloat_AsDouble(object);
        if (number == -1.0 && PyErr_Occurred()) return fail_python();
        new (&out) Value(float_value(number));
        return true;
    }
    if (PySet_Check(object) || PyFrozenSet_Check(object)) return convert_set(object, out);
    const int sequence = is_abc_instance(object, "Sequence", state().sequence_abc);
    if (sequence != 0) return sequence > 0 ? convert_sequence(object, out) : fail_python();
    const int mapping = is_abc_instance(object, "Mapping", state().mapping_abc);
    if (mapping != 0) return mapping > 0 ? convert_mapping(object, out) : fail_python();
    return fail(unsupported_type(object));
}

// An int is read as signed 64-bit, then unsigned 64-bit; only wider ones
// take the slow path. The 64-bit readings run no Python code, even for int subclasses.
bool ToJson::convert_int(PyObject* number, Value& out) {
    int overflow = 0;
    long long signed_value = PyLong_AsLongLongAndOverflow(number, &overflow);
    if (overflow == 0) {
        if (signed_value == -1 && PyErr_Occurred()) return fail_python();
        new (&out) Value(signed_value < 0 ? Value::negative_int(signed_value)
                                          : Value::unsigned_int(static_cast<std::uint64_t>(signed_value)));
        return true;
    }
    if (overflow > 0) {
        unsigned long long unsigned_value = PyLong_AsUnsignedLongLong(number);
        if (unsigned_value != static_cast<unsigned long long>(-1) || !PyErr_Occurred()) {
            new (&out) Value(Value::unsigned_int(unsigned_value));
            return true;
        }
        PyErr_Clear();  // the unsigned reading's error is not the one reported
    }
    return convert_wide_int(number);
}

// Fails for an int outside both 64-bit ranges: a Message within 128 bits
// (-2**127 <= v < 2**128), otherwise the signed reading's overflow error.
bool ToJson::convert_wide_int(PyObject* number) {
    Ref index = Ref::steal(PyNumber_Index(number));
    PyObject* upper = int_constant("340282366920938463463374607431768211456", state().two_to_128);
    PyObject* lower = int_constant("-170141183460469231731687303715884105728", state().minus_two_to_127);
    if (!index || upper == nullptr || lower == nullptr) return fail_python();
    int below_upper = PyObject_RichCompareBool(index.get(), upper, Py_LT);
    int above_lower = below_upper == 1 ? PyObject_RichCompareBool(index.get(), lower, Py_GE) : 0;
    if (below_upper < 0 || above_lower < 0) return fail_python();
    if (above_lower == 1) return fail(number_out_of_range());
    (void)PyLong_AsLongLong(index.get());  // raises OverflowError: the value is wider than 64 bits
    return fail_python();
}

#if !QUARN_PYPY

// Encodes the code units of a str as UTF-8 straight into out, with the
// width of its widest character. False, with out untouched, when it holds a
// surrogate: that has no UTF-8, and the codec's own error is then reported.
template <typename Unit>
bool encode_units(const Unit* units, std::size_t count, Value& out) {
    std::size_t size = count;
    std::uint32_t widest = 0;
    bool surrogate = false;
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint32_t code = units[i];
        size += (code >= 0x80) + (code >= 0x800) + (code >= 0x10000);
        widest = std::max(widest, code);
        if constexpr (sizeof(Unit) > 1) surrogate |= code - 0xD800 < 0x800;
    }
    if (surrogate) return false;
    const StringWidth width = widest < 0x80     ? StringWidth::Ascii
                              : widest < 0x100   ? StringWidth::Latin1
                              : widest < 0x10000 ? StringWidth::Ucs2
                                                 : StringWidth::Ucs4;
    auto* p = reinterpret_cast<unsigned char*>(out.become_string(size, width));
    for (std::size_t i = 0; i < count; ++i) p = encode_utf8(p, units[i]);
    return true;
}

#endif

// The str's characters are read where they are: an ASCII str's are its
// UTF-8 already, others are encoded once into the value (so no UTF-8 copy is
// left cached on the caller's str).
bool ToJson::convert_str(PyObject* text, Value& out) {
#if !QUARN_PYPY
    if (PyUnicode_IS_READY(text)) {
        const auto count = static_cast<std::size_t>(PyUnicode_GET_LENGTH(text));
        const void* units = PyUnicode_DATA(text);
        if (PyUnicode_IS_ASCII(text)) {
            new (&out) Value(Value::string({static_cast<const char*>(units), count}, StringWidth::Ascii));
            return true;
        }
        Py_ssize_t size = 0;
        if (const char* cached = compat::cached_utf8(text, &size)) {
            // Its kind is its width: CPython keeps every str at the narrowest kind.
            const int kind = PyUnicode_KIND(text);
            const StringWidth width = kind == PyUnicode_1BYTE_KIND   ? StringWidth::Latin1
                                      : kind == PyUnicode_2BYTE_KIND ? StringWidth::Ucs2
                                                                     : StringWidth::Ucs4;
            new (&out) Value(Value::string({cached, static_cast<std::size_t>(size)}, width));
            return true;
        }
        switch (PyUnicode_KIND(text)) {
            case PyUnicode_1BYTE_KIND:
                if (encode_units(static_cast<const Py_UCS1*>(units), count, out)) return true;
                break;
            case PyUnicode_2BYTE_KIND:
                if (encode_units(static_cast<const Py_UCS2*>(units), count, out)) return true;
                break;
            default:
                if (encode_units(static_cast<const Py_UCS4*>(units), count, out)) return true;
                break;
        }
    }
#endif
    Py_ssize_t size = 0;
    const char* bytes = compat::utf8(text, &size);
    if (bytes == nullptr) return fail_python();
    new (&out) Value(Value::string({bytes, static_cast<std::size_t>(size)}));
    return true;
}

// Exact lists and tuples are built straight into their array: their size is
// known, and each element is converted where it stays.
bool ToJson::convert_list(PyObject* list, Value& out) {
    if (!enter_level()) return false;
    Level level{depth_};
    const Py_ssize_t size = PyList_GET_SIZE(list);
    if (size == 0) {
        new (&out) Value(Value::empty_array());
        return true;
    }
    new (&out) Value(Value::array_with_capacity(static_cast<std::size_t>(size)));
    for (Py_ssize_t i = 0; i < size; ++i) {
        // Converting a subclass item may run code that shrinks the list; the
        // indexed fetch then fails as it would for any sequence.
        if (i >= PyList_GET_SIZE(list)) {
            Ref item = Ref::steal(PySequence_GetItem(list, i));
            if (!item) return fail_python();
            if (!convert(item.get(), out.append_null_element())) return false;
            continue;
        }
        // Items are mostly apart in memory and each is read first for its
        // type: asking early for one a few places ahead hides that wait.
        if (i + prefetch_distance < size) __builtin_prefetch(PyList_GET_ITEM(list, i + prefetch_distance));
        PyObject* item = PyList_GET_ITEM(list, i);
        // The list keeps an exact scalar alive; anything else is held while
        // its conversion may run code that changes the list.
        if (runs_no_code(item)) {
            if (!convert(item, out.append_null_element())) return false;
        } else {
            Ref held = Ref::borrow(item);
            if (!convert(held.get(), out.append_null_element())) return false;
        }
    }
    return true;
}

bool ToJson::convert_tuple(PyObject* tuple, Value& out) {
    if (!enter_level()) return false;
    Level level{depth_};
    const Py_ssize_t size = PyTuple_GET_SIZE(tuple);
    if (size == 0) {
        new (&out) Value(Value::empty_array());
        return true;
    }
    new (&out) Value(Value::array_with_capacity(static_cast<std::size_t>(size)));
    for (Py_ssize_t i = 0; i < size; ++i)  // a tuple keeps its items alive
        if (!convert(PyTuple_GET_ITEM(tuple, i), out.append_null_element())) return false;
    return true;
}

// Any sequence: its length read twice, then its items fetched by index.
bool ToJson::convert_sequence(PyObject* sequence, Value& out) {
    if (!enter_level()) return false;
    Level level{depth_};
    const Py_ssize_t expected = PyObject_Size(sequence);
    if (expected < 0) return fail_python();
    const Py_ssize_t actual = PyObject_Size(sequence);
    if (actual < 0) return fail_python();
    if (actual != expected) return fail(sequence_length_changed(expected, actual));
    std::vector<Value>& elements = scratch_.elements[depth_];
    ClearOnExit<Value> clear{elements};
    for (Py_ssize_t i = 0; i < expected; ++i) {
        Ref item = Ref::steal(PySequence_GetItem(sequence, i));
        if (!item) return fail_python();
        if (!convert(item.get(), elements.emplace_back())) return false;
    }
    new (&out) Value(Value::array(std::move(elements)));
    return true;
}

bool ToJson::convert_set(PyObject* set, Value& out) {
    if (!enter_level()) return false;
    Level level{depth_};
    Ref iterator = Ref::steal(PyObject_GetIter(set));
    if (!iterator) return fail_python();
    std::vector<Value>& elements = scratch_.elements[depth_];
    ClearOnExit<Value> clear{elements};
    while (true) {
        Ref item = Ref::steal(PyIter_Next(iterator.get()));
        if (!item) break;
        if (!convert(item.get(), elements.emplace_back())) return false;
    }
    if (PyErr_Occurred()) return fail_python();
    new (&out) Value(Value::array(std::move(elements)));
    return true;
}

// An exact dict, read as keys() and values() would give it at the start.
// Exact built-ins run no Python code, so their items come straight from the
// table; pin_dicts_being_read copies the rest out before anything else runs.
bool ToJson::convert_dict(PyObject* dict, Value& out) {
    if (!enter_level()) return false;
    Level level{depth_};
    const Py_ssize_t size = PyDict_Size(dict);
    if (size == 0) {
        new (&out) Value(Value::empty_object());
        return true;
    }
    std::vector<ConversionScratch::DictItem>& pinned = scratch_.dict_items[depth_];
    ClearOnExit<ConversionScratch::DictItem> clear_pinned{pinned};
    ConversionScratch::DictReading& reading = scratch_.dict_readings[depth_];
    reading = {dict, 0, nullptr, nullptr};
    struct StopReading {
        ConversionScratch::DictReading& reading;
        ~StopReading() { reading.dict = nullptr; }
    } stop{reading};

    // Entries go straight into the object's block, in the dict's order, and
    // are sorted there at the end.
    new (&out) Value(Value::object_with_capacity(static_cast<std::size_t>(size)));
    Py_ssize_t appended = 0;
    std::size_t next_pinned = 1;  // pinned[0] is the item that was being converted
    while (true) {
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        if (reading.dict != nullptr) {
            if (!PyDict_Next(dict, &reading.position, &key, &value)) break;
            reading.key = key;
            reading.value = value;
        } else {
            if (next_pinned >= pinned.size()) break;
            key = pinned[next_pinned].key.get();
            value = pinned[next_pinned].value.get();
            ++next_pinned;
        }
        // The dict's size is fixed until Python code runs, and from then on
        // its items are the pinned copies: never more than counted.
        if (appended++ == size) return fail(dict_changed_size());
        Key* interned = entry_key(key);
        if (interned == nullptr || !convert(value, out.append_entry(interned))) return false;
    }
    out.sort_entries();
    return true;
}

void ToJson::pin_dicts_being_read() {
    for (int at = 1; at <= depth_; ++at) {
        ConversionScratch::DictReading& reading = scratch_.dict_readings[at];
        if (reading.dict == nullptr) continue;
        std::vector<ConversionScratch::DictItem>& pinned = scratch_.dict_items[at];
        pinned.push_back({Ref::borrow(reading.key), Ref::borrow(reading.value)});
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(reading.dict, &reading.position, &key, &value))
            pinned.push_back({Ref::borrow(key), Ref::borrow(value)});
        reading.dict = nullptr;
    }
}

// Any mapping: keys list, values list, then size, in that order.
bool ToJson::convert_mapping(PyObject* mapping, Value& out) {
    if (!enter_level()) return false;
    Level level{depth_};
    Ref keys = Ref::steal(PyMapping_Keys(mapping));
    if (!keys) return fail_python();
    Ref values = Ref::steal(PyMapping_Values(mapping));
    if (!values) return fail_python();
    const Py_ssize_t size = PyMapping_Size(mapping);
    if (size < 0) return fail_python();

    std::vector<Entry>& entries = scratch_.entries[depth_];
    ReleaseEntriesOnExit release{entries};
    for (Py_ssize_t i = 0; i < size; ++i) {
        Ref key = Ref::steal(PySequence_GetItem(keys.get(), i));
        if (!key) return fail_python();
        if (!PyUnicode_Check(key.get())) return fail(unexpected_type(key.get(), "PyString"));  // before the value is fetched
        Ref value = Ref::steal(PySequence_GetItem(values.get(), i));
        if (!value) return fail_python();
        if (!add_entry(entries, key.get(), value.get())) return false;
    }
    new (&out) Value(Value::object(std::move(entries)));
    return true;
}

// The key of a str (checked here), as a new reference; null with error set on failure.
Key* ToJson::entry_key(PyObject* key) {
    if (!PyUnicode_Check(key)) {
        fail(unexpected_type(key, "PyString"));
        return nullptr;
    }
    const bool exact = PyUnicode_CheckExact(key);
    if (exact) {
        if (Key* known = state().key_memo.find(key)) return known;
    }
    Py_ssize_t size = 0;
    const char* bytes = compat::utf8(key, &size);
    if (bytes == nullptr) {
        fail_python();
        return nullptr;
    }
    const std::string_view text(bytes, static_cast<std::size_t>(size));
    if (!exact) return Key::intern(text);
    const Py_hash_t hash = PyObject_Hash(key);  // an exact str's: cached, and never fails but for memory
    if (hash == -1) {
        fail_python();
        return nullptr;
    }
    // Most likely a str made for this one document: not worth a slot by address.
    if (Key* known = state().key_texts.find(hash, text)) return known;
    Key* interned = Key::intern(text);
    state().key_texts.remember(hash, interned);
    state().key_memo.remember(key, interned);
    return interned;
}

// Appends key (borrowed; must be a str) and the converted value (borrowed).
bool ToJson::add_entry(std::vector<Entry>& entries, PyObject* key, PyObject* value) {
    Key* interned = entry_key(key);
    if (interned == nullptr) return false;
    Entry& entry = entries.emplace_back();
    entry.key = interned;
    return convert(value, entry.value);
}

}  // namespace

Result<Value> python_to_json(PyObject* object, int max_nesting) {
    Error error = Error::python_raised();
    HeldException raised;
    {
        ScratchLease scratch;
        ToJson converter(scratch.get(), std::min<int>(max_nesting, ConversionScratch::levels - 1));
        Value out;
        if (converter.convert(object, out)) return out;
        error = std::move(converter.error);
        raised = std::move(converter.raised);
    }  // the partial value is released before the exception is pending again
    raised.restore();
    return error;
}

ValueSource ConvertedArguments::source(PyObject* object, const char* what, int max_nesting) {
    return [this, object, what, max_nesting]() -> Result<Value> {
        auto value = python_to_json(object, max_nesting);
        if (!value) return conversion_failed(std::move(value.error()), what);
        return std::move(*value);
    };
}

Error ConvertedArguments::conversion_failed(Error error, const char* what) {
    std::string why = std::move(error.message);
    if (error.kind == ErrorKind::PythonRaised) {
        HeldException raised = HeldException::fetch();
        // An interrupt or an exit stops the call; it says nothing about the value.
        if (!raised.is_exception()) {
            raised.restore();
            return error;
        }
        why = raised.text();
        cause_ = Ref::borrow(raised.value());
    }
    return Error::panic(std::string(what) + " cannot be converted: " + why);
}

Error ConvertedArguments::raised_with_cause(const Error& error) {
    raise_error(error, cause_.get());
    return Error::python_raised();
}

}  // namespace quarn
