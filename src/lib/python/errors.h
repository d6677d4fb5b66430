// Turning engine errors into Python exceptions.
#pragma once

#include <string>

#include "core/result.h"
#include "python/compat.h"

namespace quarn {

// The PanicException class (derives from BaseException), created once.
// Borrowed; null with an exception set if it cannot be created.
PyObject* panic_exception_type();

// Sets the Python exception for error (nothing for PythonRaised, whose
// exception is already set) and returns null for the caller to return.
PyObject* raise_error(const Error& error);

// The qualified name of object's type, as Python shows it.
std::string type_qualname(PyObject* object);

}  // namespace quarn
