#include "python/errors.h"

#include <cerrno>

#include "python/ref.h"
#include "python/state.h"

namespace quarn {

namespace {

PyObject* os_error_family(int code) {
    switch (code) {
        case ENOENT: return PyExc_FileNotFoundError;
        case EPERM:
        case EACCES: return PyExc_PermissionError;
        case EEXIST: return PyExc_FileExistsError;
        case EINTR: return PyExc_InterruptedError;
        case EAGAIN: return PyExc_BlockingIOError;
        case EPIPE: return PyExc_BrokenPipeError;
        case ECONNABORTED: return PyExc_ConnectionAbortedError;
        case ECONNRESET: return PyExc_ConnectionResetError;
        case ETIMEDOUT: return PyExc_TimeoutError;
        case ECONNREFUSED: return PyExc_ConnectionRefusedError;
        default: return PyExc_OSError;
    }
}

PyObject* exception_class(const Error& error) {
    switch (error.kind) {
        case ErrorKind::TypeError: return PyExc_TypeError;
        case ErrorKind::RuntimeError: return PyExc_RuntimeError;
        case ErrorKind::ValueError: return PyExc_ValueError;
        case ErrorKind::OSError: return PyExc_OSError;
        case ErrorKind::OSErrorCode: return os_error_family(error.os_code);
        case ErrorKind::Panic: return panic_exception_type();
        case ErrorKind::PythonRaised: return nullptr;
    }
    return nullptr;
}

}  // namespace

PyObject* panic_exception_type() {
    PyObject*& panic_type = state().panic_exception;
    if (panic_type == nullptr) {
        panic_type = PyErr_NewExceptionWithDoc(
            "quarn.PanicException",
            "An internal failure of quarn: an invariant that did not hold, or a collection that an earlier "
            "such failure left unusable.",
            PyExc_BaseException, nullptr);
    }
    return panic_type;
}

PyObject* raise_error(const Error& error) {
    if (error.kind == ErrorKind::PythonRaised) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "quarn: error reported without an exception");
        return nullptr;
    }
    PyObject* type = exception_class(error);
    if (type == nullptr) return nullptr;  // creating PanicException failed; its error is set
    Ref message = Ref::steal(
        PyUnicode_DecodeUTF8(error.message.data(), static_cast<Py_ssize_t>(error.message.size()), "replace"));
    if (message) PyErr_SetObject(type, message.get());
    return nullptr;
}

std::string str_text(PyObject* object, const char* fallback) {
    Ref text = Ref::steal(object != nullptr ? PyObject_Str(object) : nullptr);
    Py_ssize_t size = 0;
    const char* bytes = text ? compat::utf8(text.get(), &size) : nullptr;
    if (bytes == nullptr) {
        PyErr_Clear();
        return fallback;
    }
    return std::string(bytes, static_cast<std::size_t>(size));
}

std::string type_qualname(PyObject* object) {
    Ref name = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__qualname__"));
    return str_text(name.get(), "unknown");
}

}  // namespace quarn
