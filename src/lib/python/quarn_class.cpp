#include "python/quarn_class.h"

#include <new>
#include <string>
#include <vector>

#include "python/call.h"
#include "python/methods.h"
#include "python/errors.h"

namespace quarn {

namespace {

constexpr MethodSpec new_spec{"__new__", {"name"}, 1, 1, Borrow::Exclusive};
constexpr MethodSpec load_from_document_spec{"load_from_document", {"document_path"}, 1, 1, Borrow::Exclusive};
constexpr MethodSpec create_collection_spec{"create_collection", {"collection_name"}, 1, 1, Borrow::Exclusive};
constexpr MethodSpec insert_spec{"insert", {"collection_name", "document"}, 2, 2, Borrow::Exclusive};
constexpr MethodSpec insert_many_spec{"insert_many", {"collection_name", "documents"}, 2, 2, Borrow::Exclusive};
constexpr MethodSpec insert_many_from_document_spec{
    "insert_many_from_document", {"collection_name", "document_name"}, 2, 2, Borrow::Exclusive};
constexpr MethodSpec find_spec{"find", {"collection_name", "maybe_query"}, 2, 1, Borrow::Exclusive};
constexpr MethodSpec update_spec{
    "update", {"collection_name", "update_query", "maybe_query", "return_result"}, 4, 2, Borrow::Exclusive};
constexpr MethodSpec collections_spec{"collections", {}, 0, 0, Borrow::Shared};
constexpr MethodSpec drop_collection_spec{"drop_collection", {"collection_name"}, 1, 1, Borrow::Exclusive};
constexpr MethodSpec drop_all_spec{"drop_all", {}, 0, 0, Borrow::Exclusive};
constexpr MethodSpec write_spec{"write", {"collection_name"}, 1, 1, Borrow::Shared};
constexpr MethodSpec write_all_spec{"write_all", {}, 0, 0, Borrow::Shared};
constexpr MethodSpec clear_cache_spec{"clear_cache", {}, 0, 0, Borrow::Exclusive};

// One method: its binding description, trampoline, calling convention and
// signature text.
struct MethodEntry {
    const MethodSpec* spec;
    PyCFunction function;
    int flags;
    const char* doc;
};

template <const MethodSpec& Spec, MethodImpl Impl>
PyObject* fast_trampoline(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_fast_method(Spec, Impl, args, nargs, kwnames);
}

template <const MethodSpec& Spec, MethodImpl Impl>
PyObject* no_args_trampoline(PyObject* self, PyObject*) {
    return call_no_args_method(Spec, Impl, self);
}

// The receiver as the one argument of a plain function (see no_args_method).
template <const MethodSpec& Spec, MethodImpl Impl>
PyObject* receiver_trampoline(PyObject*, PyObject* receiver) {
    return call_no_args_method(Spec, Impl, receiver);
}

template <const MethodSpec& Spec, MethodImpl Impl>
constexpr MethodEntry fast_method(const char* doc) {
    return {&Spec, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&fast_trampoline<Spec, Impl>)),
            METH_FASTCALL | METH_KEYWORDS, doc};
}

// CPython: an ordinary method of the type. PyPy shows no signature for those,
// so there it is a plain function taking the receiver, installed like the
// fast-call methods.
template <const MethodSpec& Spec, MethodImpl Impl>
constexpr MethodEntry no_args_method(const char* doc) {
#if QUARN_PYPY
    return {&Spec, &receiver_trampoline<Spec, Impl>, METH_O, doc};
#else
    return {&Spec, &no_args_trampoline<Spec, Impl>, METH_NOARGS, doc};
#endif
}

const std::vector<MethodEntry>& no_args_methods() {
    static const std::vector<MethodEntry> methods = {
        no_args_method<collections_spec, methods::collections>("collections($self)\n--\n\n"),
        no_args_method<drop_all_spec, methods::drop_all>("drop_all($self)\n--\n\n"),
        no_args_method<write_all_spec, methods::write_all>("write_all($self)\n--\n\n"),
        no_args_method<clear_cache_spec, methods::clear_cache>("clear_cache($self)\n--\n\n"),
    };
    return methods;
}

const std::vector<MethodEntry>& fast_methods() {
    static const std::vector<MethodEntry> methods = {
        fast_method<load_from_document_spec, methods::load_from_document>(
            "load_from_document($self, document_path)\n--\n\n"),
        fast_method<create_collection_spec, methods::create_collection>(
            "create_collection($self, collection_name)\n--\n\n"),
        fast_method<insert_spec, methods::insert>("insert($self, collection_name, document)\n--\n\n"),
        fast_method<insert_many_spec, methods::insert_many>("insert_many($self, collection_name, documents)\n--\n\n"),
        fast_method<insert_many_from_document_spec, methods::insert_many_from_document>(
            "insert_many_from_document($self, collection_name, document_name)\n--\n\n"),
        fast_method<find_spec, methods::find>("find($self, collection_name, maybe_query=None)\n--\n\n"),
        fast_method<update_spec, methods::update>(
            "update($self, collection_name, update_query, maybe_query=None, return_result=False)\n--\n\n"),
        fast_method<drop_collection_spec, methods::drop_collection>("drop_collection($self, collection_name)\n--\n\n"),
        fast_method<write_spec, methods::write>("write($self, collection_name)\n--\n\n"),
    };
    return methods;
}

// PyPy shows signatures only with a plain "self".
std::string signature_text(const char* doc) {
    std::string text(doc);
#if QUARN_PYPY
    if (auto at = text.find("$self"); at != std::string::npos) text.erase(at, 1);
#endif
    return text;
}

}  // namespace

PyObject* quarn_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    BoundArgs bound(new_spec);
    Status bound_ok = bind_tuple(new_spec, args, kwargs, bound);
    if (!bound_ok) return raise_error(bound_ok.error());
    auto name = bound.str(0);
    if (!name) return raise_error(name.error());
    auto database = guard_internal([&]() -> Result<Database> { return Database::open(std::move(*name)); });
    if (!database) return raise_error(database.error());
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    auto* instance = reinterpret_cast<QuarnObject*>(self);
    new (&instance->database) Database(std::move(*database));
    instance->borrow = 0;
    return self;
}

void quarn_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    reinterpret_cast<QuarnObject*>(self)->database.~Database();
    type->tp_free(self);
    Py_DECREF(reinterpret_cast<PyObject*>(type));
}

PyMethodDef* no_args_method_defs() {
    static std::vector<PyMethodDef> definitions;
    if (definitions.empty()) {
        if (!QUARN_PYPY)
            for (const MethodEntry& method : no_args_methods())
                definitions.push_back({method.spec->name, method.function, method.flags, method.doc});
        definitions.push_back({nullptr, nullptr, 0, nullptr});
    }
    return definitions.data();
}

Status install_function_methods(PyObject* type) {
    std::vector<MethodEntry> installed = fast_methods();
    if (QUARN_PYPY) installed.insert(installed.end(), no_args_methods().begin(), no_args_methods().end());
    // The definitions must outlive the functions made from them.
    static std::vector<PyMethodDef> definitions;
    static std::vector<std::string> docs;
    definitions.reserve(installed.size());
    docs.reserve(installed.size());
    for (const MethodEntry& method : installed) {
        docs.push_back(signature_text(method.doc));
        definitions.push_back({method.spec->name, method.function, method.flags, docs.back().c_str()});
        Ref function = Ref::steal(PyCFunction_NewEx(&definitions.back(), nullptr, nullptr));
        Ref unbound = Ref::steal(function ? PyInstanceMethod_New(function.get()) : nullptr);
        if (!unbound || PyObject_SetAttrString(type, method.spec->name, unbound.get()) < 0)
            return Error::python_raised();
    }
    PyType_Modified(reinterpret_cast<PyTypeObject*>(type));
    return success();
}

}  // namespace quarn
