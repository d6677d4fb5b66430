// The C API differences between CPython and PyPy, in one place.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>

#if !defined(PYPY_VERSION) && PY_VERSION_HEX < 0x030B0000
#include <longintrepr.h>  // PyLongObject's digits; Python.h brings it from 3.11
#endif

#if defined(PYPY_VERSION)
#define QUARN_PYPY 1
#else
#define QUARN_PYPY 0
#endif

namespace quarn::compat {

// Py_NewRef exists from 3.10 and not on PyPy 3.9.
inline PyObject* new_ref(PyObject* object) {
    Py_INCREF(object);
    return object;
}

// An exact int that fits one machine digit (most ints in documents) read
// without a call; false for any other, which takes the general path.
inline bool small_int_value(PyObject* number, long long& value) {
#if QUARN_PYPY
    (void)number;
    (void)value;
    return false;
#elif PY_VERSION_HEX >= 0x030C0000
    auto* integer = reinterpret_cast<PyLongObject*>(number);
    if (!PyUnstable_Long_IsCompact(integer)) return false;
    value = PyUnstable_Long_CompactValue(integer);
    return true;
#else
    const Py_ssize_t size = Py_SIZE(number);
    if (size < -1 || size > 1) return false;
    // Zero may have no digit at all.
    value = size == 0 ? 0 : size * static_cast<long long>(reinterpret_cast<PyLongObject*>(number)->ob_digit[0]);
    return true;
#endif
}

// The UTF-8 that CPython has already made and keeps with a str that is not
// ASCII (null when there is none); the str keeps it alive.
inline const char* cached_utf8(PyObject* text, Py_ssize_t* size) {
#if QUARN_PYPY
    (void)text;
    (void)size;
    return nullptr;
#else
    const auto* compact = reinterpret_cast<const PyCompactUnicodeObject*>(text);
    *size = compact->utf8_length;
    return compact->utf8;
#endif
}

// UTF-8 view of a str; PyPy returns char*. Borrowed from the str.
inline const char* utf8(PyObject* text, Py_ssize_t* size) { return PyUnicode_AsUTF8AndSize(text, size); }

// A new empty dict with room for members entries without resizing; PyPy has
// no presized dict. Returns a new reference, or null with the exception set.
inline PyObject* new_dict(std::size_t members) {
#if QUARN_PYPY
    (void)members;
    return PyDict_New();
#else
    return _PyDict_NewPresized(static_cast<Py_ssize_t>(members));
#endif
}

// Suspends the cyclic collector while a large result is built (no Python
// code runs in between), restoring its earlier state afterwards.
class GcPause {
public:
    GcPause();
    ~GcPause();
    GcPause(const GcPause&) = delete;
    GcPause& operator=(const GcPause&) = delete;

private:
    bool was_enabled_ = false;
};

// Adds note (a str, borrowed) to exception (borrowed): BaseException.add_note
// from 3.11, the __notes__ list that it keeps before (created if missing).
// Returns false with an exception set on failure.
bool add_note(PyObject* exception, PyObject* note);

// PyType_FromSpec, without the DeprecationWarning that CPython gives for a
// type name without a module prefix (an error under -W error). Returns a new reference or null.
PyObject* type_from_spec(PyType_Spec* spec);

}  // namespace quarn::compat
