// Compatibility helpers that need more than a header.
#include "python/compat.h"

#include "python/ref.h"

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
    static PyObject* gc_module = nullptr;  // kept for the process
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

}  // namespace quarn::compat
