// The C API differences between CPython and PyPy, in one place.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>

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
