// The Quarn class's constructor, destructor and method table.
#pragma once

#include "core/result.h"
#include "python/compat.h"

namespace quarn {

// tp_new: Quarn(name). Returns a new reference or null with an exception set.
PyObject* quarn_new(PyTypeObject* type, PyObject* args, PyObject* kwargs);
void quarn_dealloc(PyObject* self);

// Methods without arguments, for the type's method slot (null-terminated).
PyMethodDef* no_args_method_defs();

// Installs the fast-call methods (and, on PyPy, the others) on the created
// type. Each is a plain
// function taking the receiver first, wrapped as an instance method, so that
// the call wrapper checks the receiver itself.
Status install_function_methods(PyObject* type);

}  // namespace quarn
