// The one call wrapper that every method goes through: argument binding,
// receiver check, borrow rule, argument conversion, and errors to exceptions.
#pragma once

#include <exception>
#include <new>
#include <string>

#include "core/result.h"
#include "python/compat.h"
#include "python/ref.h"
#include "store/database.h"

namespace quarn {

// A Quarn instance: the object header, the database, the borrow counter
// (0 free, -1 held exclusively, n > 0 held shared by n calls).
struct QuarnObject {
    PyObject_HEAD
    Database database;
    Py_ssize_t borrow;
};

enum class Borrow { Exclusive, Shared };

inline constexpr int max_parameters = 4;

struct MethodSpec {
    const char* name;  // "find"; "__new__" for the constructor
    const char* parameters[max_parameters];
    int parameter_count;
    int required_count;  // the leading parameters without a default
    Borrow borrow;
};

// Arguments bound to parameters: borrowed references, null where not given.
// The conversions name the parameter in their TypeError messages.
class BoundArgs {
public:
    explicit BoundArgs(const MethodSpec& spec) : spec_(spec) {}
    PyObject* operator[](int index) const noexcept { return items_[index]; }
    void set(int index, PyObject* object) noexcept { items_[index] = object; }

    Result<std::string> str(int index) const;
    Result<PyObject*> dict(int index) const;           // borrowed
    Result<PyObject*> optional_dict(int index) const;  // borrowed; null when absent or None
    Result<PyObject*> list(int index) const;           // borrowed
    Result<bool> boolean(int index, bool default_value) const;

private:
    Error wrong_type(int index, const char* target) const;
    const MethodSpec& spec_;
    PyObject* items_[max_parameters] = {};
};

// What a method does once bound: returns a new reference, or an error.
using MethodImpl = Result<Ref> (*)(Database& database, const BoundArgs& args);

// Binding by position and keyword, with the interpreter's two conventions.
Status bind_vector(const MethodSpec& spec, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   BoundArgs& bound);
Status bind_tuple(const MethodSpec& spec, PyObject* args, PyObject* kwargs, BoundArgs& bound);

// Fast-call method whose receiver arrives as args[0]. Returns a new reference
// or null with an exception set.
PyObject* call_fast_method(const MethodSpec& spec, MethodImpl impl, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames);
// Method without arguments. Returns a new reference or null with an exception set.
PyObject* call_no_args_method(const MethodSpec& spec, MethodImpl impl, PyObject* receiver);

// Runs an operation, turning escaping C++ exceptions into errors, so that
// none crosses into the interpreter.
template <typename Operation>
auto guard_internal(Operation&& operation) -> decltype(operation()) {
    try {
        return operation();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return Error::python_raised();
    } catch (const std::exception& failure) {
        return Error::panic(failure.what());
    } catch (...) {
        return Error::panic("unknown internal failure");
    }
}

}  // namespace quarn
