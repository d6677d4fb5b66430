#include "python/call.h"

#include <cstring>
#include <vector>

#include "python/errors.h"
#include "python/state.h"

namespace quarn {

namespace {

std::string full_name(const MethodSpec& spec) { return std::string("Quarn.") + spec.name + "()"; }

Error too_many_positional(const MethodSpec& spec, Py_ssize_t given) {
    std::string accepted = std::to_string(spec.parameter_count);
    if (spec.required_count < spec.parameter_count)
        accepted = "from " + std::to_string(spec.required_count) + " to " + accepted;
    return Error::type_error(full_name(spec) + " takes " + accepted + " positional arguments but " +
                             std::to_string(given) + (given == 1 ? " was" : " were") + " given");
}

Error missing_required(const MethodSpec& spec, const std::vector<const char*>& missing) {
    std::string names;
    for (std::size_t i = 0; i < missing.size(); ++i) {
        if (i > 0) names += (missing.size() == 2) ? " and " : (i + 1 == missing.size() ? ", and " : ", ");
        names += std::string("'") + missing[i] + "'";
    }
    return Error::type_error(full_name(spec) + " missing " + std::to_string(missing.size()) +
                             " required positional " + (missing.size() == 1 ? "argument" : "arguments") + ": " +
                             names);
}

// Places one keyword argument; keyword is a str (the interpreter guarantees it).
Status bind_keyword(const MethodSpec& spec, PyObject* keyword, PyObject* value, BoundArgs& bound) {
    Py_ssize_t size = 0;
    const char* name = compat::utf8(keyword, &size);
    if (name == nullptr) return Error::python_raised();
    for (int index = 0; index < spec.parameter_count; ++index) {
        if (std::strlen(spec.parameters[index]) != static_cast<std::size_t>(size) ||
            std::memcmp(spec.parameters[index], name, static_cast<std::size_t>(size)) != 0)
            continue;
        if (bound[index] != nullptr)
            return Error::type_error(full_name(spec) + " got multiple values for argument '" +
                                     spec.parameters[index] + "'");
        bound.set(index, value);
        return success();
    }
    return Error::type_error(full_name(spec) + " got an unexpected keyword argument '" +
                             std::string(name, static_cast<std::size_t>(size)) + "'");
}

Status check_required(const MethodSpec& spec, const BoundArgs& bound) {
    std::vector<const char*> missing;
    for (int index = 0; index < spec.required_count; ++index)
        if (bound[index] == nullptr) missing.push_back(spec.parameters[index]);
    if (!missing.empty()) return missing_required(spec, missing);
    return success();
}

// Holds the instance's borrow (and a reference to it) for one call.
class BorrowGuard {
public:
    BorrowGuard(QuarnObject* self, Borrow mode) : self_(self), mode_(mode) {}
    ~BorrowGuard() {
        if (!held_) return;
        if (mode_ == Borrow::Exclusive) self_->borrow = 0;
        else --self_->borrow;
        Py_DECREF(reinterpret_cast<PyObject*>(self_));
    }
    BorrowGuard(const BorrowGuard&) = delete;
    BorrowGuard& operator=(const BorrowGuard&) = delete;

    Status take() {
        if (mode_ == Borrow::Exclusive) {
            if (self_->borrow != 0) return Error::runtime_error("Already borrowed");
            self_->borrow = -1;
        } else {
            if (self_->borrow == -1) return Error::runtime_error("Already mutably borrowed");
            ++self_->borrow;
        }
        Py_INCREF(reinterpret_cast<PyObject*>(self_));
        held_ = true;
        return success();
    }

private:
    QuarnObject* self_;
    Borrow mode_;
    bool held_ = false;
};

// Receiver check, borrow, the operation; returns a new reference or null.
PyObject* run_method(const MethodSpec& spec, MethodImpl impl, PyObject* receiver, const BoundArgs& args) {
    if (!PyObject_TypeCheck(receiver, state().quarn_type))
        return raise_error(Error::type_error("'" + type_qualname(receiver) + "' object cannot be converted to 'Quarn'"));
    auto* self = reinterpret_cast<QuarnObject*>(receiver);
    Result<Ref> result = Error::python_raised();
    {
        BorrowGuard borrow(self, spec.borrow);
        Status taken = borrow.take();
        if (!taken) return raise_error(taken.error());
        result = guard_internal([&]() -> Result<Ref> { return impl(self->database, args); });
    }
    if (!result) return raise_error(result.error());
    return result->release();
}

// Replaces a pending TypeError by one whose message names the parameter,
// keeping its cause; other exceptions pass unchanged.
Error prefix_pending_type_error(const char* parameter) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return Error::python_raised();
    HeldException old = HeldException::fetch();
    Ref text = Ref::steal(old.value() != nullptr ? PyObject_Str(old.value()) : nullptr);
    if (!text) return Error::python_raised();
    Ref message = Ref::steal(PyUnicode_FromFormat("argument '%s': %U", parameter, text.get()));
    Ref replacement = Ref::steal(message ? PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr) : nullptr);
    if (!replacement) return Error::python_raised();
    if (PyObject* cause = PyException_GetCause(old.value())) PyException_SetCause(replacement.get(), cause);
    PyErr_SetObject(PyExc_TypeError, replacement.get());
    return Error::python_raised();
}

bool is_numpy_bool(PyObject* object) {
    auto* type = reinterpret_cast<PyObject*>(Py_TYPE(object));
    Ref module = Ref::steal(PyObject_GetAttrString(type, "__module__"));
    Ref name = Ref::steal(PyObject_GetAttrString(type, "__name__"));
    if (!module || !name) {
        PyErr_Clear();
        return false;
    }
    return PyUnicode_Check(module.get()) && PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0 &&
           PyUnicode_Check(name.get()) &&
           (PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0 ||
            PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0);
}

// How to turn a path object or bytes given for a name into the str asked for.
std::string str_advice(PyObject* object) {
    if (PyBytes_Check(object) || PyByteArray_Check(object))
        return "names are taken as str: decode the bytes first, e.g. os.fsdecode(name)";
    // os.PathLike is any class with __fspath__.
    const int path_like = PyObject_HasAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__fspath__");
    if (path_like == 1) return "names and file paths are taken as str: pass str(path)";
    return {};
}

}  // namespace

Error BoundArgs::wrong_type(int index, const char* target) const {
    return Error::type_error(std::string("argument '") + spec_.parameters[index] + "': '" +
                             type_qualname(items_[index]) + "' object cannot be converted to '" + target + "'");
}

Result<std::string> BoundArgs::str(int index) const {
    PyObject* object = items_[index];
    if (!PyUnicode_Check(object)) {
        Error error = wrong_type(index, "PyString");
        error.advice = str_advice(object);
        return error;
    }
    Py_ssize_t size = 0;
    const char* text = compat::utf8(object, &size);
    if (text == nullptr) return prefix_pending_type_error(spec_.parameters[index]);
    return std::string(text, static_cast<std::size_t>(size));
}

Result<PyObject*> BoundArgs::dict(int index) const {
    if (!PyDict_Check(items_[index])) return wrong_type(index, "PyDict");
    return items_[index];
}

Result<PyObject*> BoundArgs::optional_dict(int index) const {
    if (items_[index] == nullptr || items_[index] == Py_None) return static_cast<PyObject*>(nullptr);
    return dict(index);
}

Result<PyObject*> BoundArgs::list(int index) const {
    if (!PyList_Check(items_[index])) return wrong_type(index, "PyList");
    return items_[index];
}

Result<bool> BoundArgs::boolean(int index, bool default_value) const {
    PyObject* object = items_[index];
    if (object == nullptr) return default_value;
    if (object == Py_True || object == Py_False) return object == Py_True;
    if (!is_numpy_bool(object)) return wrong_type(index, "PyBool");
    PyNumberMethods* number = Py_TYPE(object)->tp_as_number;
    if (number == nullptr || number->nb_bool == nullptr)
        return Error::type_error(std::string("argument '") + spec_.parameters[index] + "': object of type '" +
                                 type_qualname(object) + "' does not define a '__bool__' conversion");
    int truth = number->nb_bool(object);
    if (truth < 0) return prefix_pending_type_error(spec_.parameters[index]);
    return truth != 0;
}

Status bind_vector(const MethodSpec& spec, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   BoundArgs& bound) {
    if (nargs > spec.parameter_count) return too_many_positional(spec, nargs);
    for (Py_ssize_t index = 0; index < nargs; ++index) bound.set(static_cast<int>(index), args[index]);
    Py_ssize_t keyword_count = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t index = 0; index < keyword_count; ++index) {
        Status placed = bind_keyword(spec, PyTuple_GET_ITEM(kwnames, index), args[nargs + index], bound);
        if (!placed) return placed;
    }
    return check_required(spec, bound);
}

Status bind_tuple(const MethodSpec& spec, PyObject* args, PyObject* kwargs, BoundArgs& bound) {
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (nargs > spec.parameter_count) return too_many_positional(spec, nargs);
    for (Py_ssize_t index = 0; index < nargs; ++index) bound.set(static_cast<int>(index), PyTuple_GET_ITEM(args, index));
    Py_ssize_t position = 0;
    PyObject *keyword = nullptr, *value = nullptr;
    while (kwargs != nullptr && PyDict_Next(kwargs, &position, &keyword, &value)) {
        if (!PyUnicode_Check(keyword)) return Error::type_error(full_name(spec) + " keywords must be strings");
        Status placed = bind_keyword(spec, keyword, value, bound);
        if (!placed) return placed;
    }
    return check_required(spec, bound);
}

PyObject* call_fast_method(const MethodSpec& spec, MethodImpl impl, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
    if (nargs < 1)
        return raise_error(Error::type_error(std::string("unbound method ") + full_name(spec) + " needs an argument"));
    BoundArgs bound(spec);
    Status bound_ok = bind_vector(spec, args + 1, nargs - 1, kwnames, bound);
    if (!bound_ok) return raise_error(bound_ok.error());
    return run_method(spec, impl, args[0], bound);
}

PyObject* call_no_args_method(const MethodSpec& spec, MethodImpl impl, PyObject* receiver) {
    return run_method(spec, impl, receiver, BoundArgs(spec));
}

}  // namespace quarn
