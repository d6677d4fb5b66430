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

// str(object) (borrowed; may be null) as UTF-8, or fallback when there is
// none; leaves no exception pending.
std::string str_text(PyObject* object, const char* fallback);

// The qualified name of object's type, as Python shows it.
std::string type_qualname(PyObject* object);

}  // namespace quarn
