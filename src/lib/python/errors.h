// Turning engine errors into Python exceptions.
#pragma once

#include <string>

#include "core/result.h"
#include "python/compat.h"
#include "python/ref.h"

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

// An exception taken out of the interpreter while cleanup that may run
// Python code happens, then raised again, read, or kept as a cause.
class HeldException {
public:
    // Takes the pending exception (a SystemError when none is), normalised
    // so that its text can be shown.
    static HeldException fetch();
    // Makes it the pending exception again; the holder is empty after.
    void restore();
    explicit operator bool() const noexcept { return static_cast<bool>(type_); }
    bool is_exception() const;  // an Exception, not an interrupt or an exit
    PyObject* value() const noexcept { return value_.get(); }  // borrowed
    std::string text() const;   // str() of the exception

private:
    Ref type_, value_, traceback_;
};

// str(object) (borrowed; may be null) as UTF-8, or fallback when there is
// none; leaves no exception pending.
std::string str_text(PyObject* object, const char* fallback);

// The qualified name of object's type, as Python shows it.
std::string type_qualname(PyObject* object);

}  // namespace quarn
