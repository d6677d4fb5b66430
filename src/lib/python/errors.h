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
// exception is already set) and returns null for the caller to return. The
// exception's one argument is the message. When the error names a file, the
// exception carries a note naming it, with the line and column of a fault in
// JSON text; an OSError carries the system's errno (filename stays unset: it
// would make str() show "[Errno N] ..." in place of the message). cause
// (borrowed, may be null) becomes its __cause__.
PyObject* raise_error(const Error& error, PyObject* cause = nullptr);

// str(object) (borrowed; may be null) as UTF-8, or fallback when there is
// none; leaves no exception pending.
std::string str_text(PyObject* object, const char* fallback);

// The qualified name of object's type, as Python shows it.
std::string type_qualname(PyObject* object);

}  // namespace quarn
