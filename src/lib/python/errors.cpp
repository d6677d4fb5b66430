#include "python/errors.h"

#include <cerrno>
#include <string>

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
        case ErrorKind::Exception: return PyExc_Exception;
        case ErrorKind::OSError: return PyExc_OSError;
        case ErrorKind::OSErrorCode: return os_error_family(error.os_code);
        case ErrorKind::Panic: return panic_exception_type();
        case ErrorKind::PythonRaised: return nullptr;
    }
    return nullptr;
}

const char* action_word(FileAction action) {
    switch (action) {
        case FileAction::Reading: return "reading";
        case FileAction::Writing: return "writing";
        case FileAction::Creating: return "creating";
        case FileAction::Listing: return "listing";
        case FileAction::Removing: return "removing";
        case FileAction::None: break;
    }
    return "using";
}

// "while reading /db/c.json", and ": line 3, column 14" for a fault in the text.
std::string file_note(const FileContext& file) {
    std::string note = std::string("while ") + action_word(file.action) + " " + file.path;
    if (file.line != 0)
        note += ": line " + std::to_string(file.line) + ", column " + std::to_string(file.column);
    return note;
}

// A new str from UTF-8 text (bytes that are not UTF-8 replaced), or null with
// the exception set.
PyObject* text_object(const std::string& text) {
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

// Adds what error tells beyond its message to exception (borrowed). Returns
// false with an exception set on failure.
bool describe(PyObject* exception, const Error& error, PyObject* cause) {
    const bool os_kind = error.kind == ErrorKind::OSError || error.kind == ErrorKind::OSErrorCode;
    if (os_kind && error.os_code > 0) {
        Ref code = Ref::steal(PyLong_FromLong(error.os_code));
        if (!code || PyObject_SetAttrString(exception, "errno", code.get()) < 0) return false;
    }
    if (!error.file.path.empty()) {
        Ref note = Ref::steal(text_object(file_note(error.file)));
        if (!note || !compat::add_note(exception, note.get())) return false;
    }
    // Each line of the advice is a note of its own: what was found, then the way out.
    for (std::size_t start = 0; start < error.advice.size();) {
        std::size_t end = error.advice.find('\n', start);
        if (end == std::string::npos) end = error.advice.size();
        Ref note = Ref::steal(text_object(error.advice.substr(start, end - start)));
        if (!note || !compat::add_note(exception, note.get())) return false;
        start = end + 1;
    }
    if (cause != nullptr) PyException_SetCause(exception, compat::new_ref(cause));  // steals the new reference
    return true;
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

PyObject* raise_error(const Error& error, PyObject* cause) {
    if (error.kind == ErrorKind::PythonRaised) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "quarn: error reported without an exception");
        return nullptr;
    }
    PyObject* type = exception_class(error);
    if (type == nullptr) return nullptr;  // creating PanicException failed; its error is set
    Ref message = Ref::steal(text_object(error.message));
    Ref exception = Ref::steal(message ? PyObject_CallFunctionObjArgs(type, message.get(), nullptr) : nullptr);
    // When describing fails, its own exception is the one raised.
    if (exception && describe(exception.get(), error, cause)) PyErr_SetObject(type, exception.get());
    return nullptr;
}

HeldException HeldException::fetch() {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "quarn: failure reported without an exception");
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    HeldException held;
    held.type_ = Ref::steal(type);
    held.value_ = Ref::steal(value);
    held.traceback_ = Ref::steal(traceback);
    return held;
}

void HeldException::restore() {
    if (type_) PyErr_Restore(type_.release(), value_.release(), traceback_.release());
}

bool HeldException::is_exception() const { return PyErr_GivenExceptionMatches(type_.get(), PyExc_Exception) != 0; }

std::string HeldException::text() const {
    return str_text(value_ ? value_.get() : type_.get(), "<exception text unavailable>");
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
