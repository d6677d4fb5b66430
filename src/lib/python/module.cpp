// The extension module quarn: its entry point and the Quarn class.
#include "python/call.h"
#include "python/conversion.h"
#include "python/errors.h"
#include "python/quarn_class.h"
#include "python/state.h"

namespace quarn {

namespace {

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "quarn", "quarn: an embedded JSON document database, implemented natively.", 0,
    nullptr, nullptr, nullptr, nullptr, nullptr,
};

#if QUARN_PYPY
// PyPy lets any type be subclassed; refuse it the way CPython does.
PyObject* refuse_subclass(PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, "type 'Quarn' is not an acceptable base type");
    return nullptr;
}
PyMethodDef refuse_subclass_def = {"__init_subclass__", refuse_subclass, METH_NOARGS | METH_CLASS, nullptr};

// PyPy gives every instance a dict; the class has no settable attributes.
int refuse_setattr(PyObject* self, PyObject* name, PyObject*) {
    PyErr_Format(PyExc_AttributeError, "'Quarn' object has no attribute '%U'", name);
    (void)self;
    return -1;
}
#endif

// Creates the class once per process. Returns a borrowed reference or null.
PyTypeObject* create_quarn_type() {
    if (PyTypeObject* existing = state().quarn_type) return existing;
    static PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>("Quarn(name)\n--\n\n")},
        {Py_tp_new, reinterpret_cast<void*>(&quarn_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(&quarn_dealloc)},
        {Py_tp_methods, no_args_method_defs()},
#if QUARN_PYPY
        {Py_tp_setattro, reinterpret_cast<void*>(&refuse_setattr)},
#endif
        {0, nullptr},
    };
    static PyType_Spec spec = {"Quarn", static_cast<int>(sizeof(QuarnObject)), 0, Py_TPFLAGS_DEFAULT, slots};
    Ref type = Ref::steal(compat::type_from_spec(&spec));
    if (!type) return nullptr;
    // The name carries no module prefix; __module__ still tells where it lives.
    Ref module_name = Ref::steal(PyUnicode_FromString("quarn"));
    if (!module_name || PyObject_SetAttrString(type.get(), "__module__", module_name.get()) < 0) return nullptr;
    if (!install_function_methods(type.get())) return nullptr;
#if QUARN_PYPY
    Ref hook = Ref::steal(PyDescr_NewClassMethod(reinterpret_cast<PyTypeObject*>(type.get()), &refuse_subclass_def));
    if (!hook || PyObject_SetAttrString(type.get(), "__init_subclass__", hook.get()) < 0) return nullptr;
#endif
    state().quarn_type = reinterpret_cast<PyTypeObject*>(type.release());
    return state().quarn_type;
}

// Adds the class and __all__ = ["Quarn"] to the new module.
bool add_class(PyObject* module, PyTypeObject* type) {
    Ref all = Ref::steal(Py_BuildValue("[s]", "Quarn"));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
    return PyObject_SetAttrString(module, "Quarn", reinterpret_cast<PyObject*>(type)) == 0;
}

// Returns a new reference to the module, or null with an exception set.
PyObject* create_module() {
    if (state().module != nullptr) return compat::new_ref(state().module);
    Ref module = Ref::steal(PyModule_Create2(&module_definition, 1013));
    if (!module) return nullptr;
    PyTypeObject* type = create_quarn_type();
    if (type == nullptr || !add_class(module.get(), type)) return nullptr;
    install_key_cache_release();
    state().module = compat::new_ref(module.get());
    return module.release();
}

}  // namespace

}  // namespace quarn

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_quarn() { return quarn::create_module(); }
