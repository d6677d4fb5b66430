// Compatibility helpers that need more than a header.
#include "python/compat.h"

#include "python/ref.h"
#include "python/state.h"

namespace quarn::compat {

#if !QUARN_PYPY && PY_VERSION_HEX >= 0x030A0000

GcPause::GcPause() : was_enabled_(PyGC_Disable() != 0) {}

GcPause::~GcPause() {
    if (was_enabled_) PyGC_Enable();
}

#else

namespace {

// Calls gc.<name>() and returns whether the result is true. The pause is only
// an optimisation: failures are dropped and any pending exception is kept.
bool call_gc(const char* name) {
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyObject*& gc_module = quarn::state().gc_module;
    if (gc_module == nullptr) gc_module = PyImport_ImportModule("gc");
    Ref result = gc_module != nullptr ? Ref::steal(PyObject_CallMethod(gc_module, name, nullptr)) : Ref();
    bool truth = result && PyObject_IsTrue(result.get()) == 1;
    PyErr_Clear();
    PyErr_Restore(type, value, traceback);
    return truth;
}

}  // namespace

GcPause::GcPause() : was_enabled_(call_gc("isenabled")) {
    if (was_enabled_) call_gc("disable");
}

GcPause::~GcPause() {
    if (was_enabled_) call_gc("enable");
}

#endif

#if PY_VERSION_HEX >= 0x030B0000

bool add_note(PyObject* exception, PyObject* note) {
    Ref added = Ref::steal(PyObject_CallMethod(exception, "add_note", "O", note));
    return static_cast<bool>(added);
}

#else

bool add_note(PyObject* exception, PyObject* note) {
    Ref notes = Ref::steal(PyObject_GetAttrString(exception, "__notes__"));
    if (!notes && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        notes = Ref::steal(PyList_New(0));
        if (notes && PyObject_SetAttrString(exception, "__notes__", notes.get()) < 0) notes = Ref();
    }
    if (notes && !PyList_Check(notes.get())) {
        PyErr_SetString(PyExc_TypeError, "Cannot add note: __notes__ is not a list");
        notes = Ref();
    }
    return notes && PyList_Append(notes.get(), note) == 0;
}

#endif

#if !QUARN_PYPY

PyObject* type_from_spec(PyType_Spec* spec) {
    Ref warnings = Ref::steal(PyImport_ImportModule("warnings"));
    Ref guard = Ref::steal(warnings ? PyObject_CallMethod(warnings.get(), "catch_warnings", nullptr) : nullptr);
    Ref entered = Ref::steal(guard ? PyObject_CallMethod(guard.get(), "__enter__", nullptr) : nullptr);
    Ref filtered = Ref::steal(entered ? PyObject_CallMethod(warnings.get(), "simplefilter", "sO", "ignore",
                                                            PyExc_DeprecationWarning)
                                      : nullptr);
    if (!filtered) return nullptr;
    Ref type = Ref::steal(PyType_FromSpec(spec));
    PyObject *error_type = nullptr, *error_value = nullptr, *error_traceback = nullptr;
    PyErr_Fetch(&error_type, &error_value, &error_traceback);
    Ref held_type = Ref::steal(error_type), held_value = Ref::steal(error_value);
    Ref held_traceback = Ref::steal(error_traceback);
    Ref exited = Ref::steal(PyObject_CallMethod(guard.get(), "__exit__", "OOO", Py_None, Py_None, Py_None));
    if (!exited) return nullptr;
    PyErr_Restore(held_type.release(), held_value.release(), held_traceback.release());
    return type.release();
}

#else

PyObject* type_from_spec(PyType_Spec* spec) { return PyType_FromSpec(spec); }

#endif

}  // namespace quarn::compat
