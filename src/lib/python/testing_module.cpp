// _quarn_testing: direct access to the engine's JSON text and the value
// conversion, for the test suite. Not part of quarn's API.
#include <string>

#include "json/reader.h"
#include "json/writer.h"
#include "python/call.h"
#include "python/compat.h"
#include "python/errors.h"
#include "python/state.h"
#include "query/cache_key.h"
#include "store/query_result_cache.h"
#include "python/conversion.h"

namespace quarn {
namespace {

// parse(data: bytes) -> object. Returns a new reference.
PyObject* parse(PyObject*, PyObject* data) {
    if (!PyBytes_Check(data)) {
        PyErr_SetString(PyExc_TypeError, "parse() takes bytes");
        return nullptr;
    }
    std::string_view text(PyBytes_AS_STRING(data), static_cast<std::size_t>(PyBytes_GET_SIZE(data)));
    std::optional<Value> value = parse_json(text);
    if (!value) {
        PyErr_SetString(PyExc_ValueError, "Error deserializing JSON");
        return nullptr;
    }
    // Through the conversion that find uses, as a one-document collection.
    SharedCollection holder({std::move(*value)});
    auto list = collection_to_python(holder);
    if (!list) return raise_error(list.error());
    return compat::new_ref(PyList_GET_ITEM(list->get(), 0));
}

// dump(object) -> bytes: the compact text of the converted object. Returns a new reference.
PyObject* dump(PyObject*, PyObject* object) {
    auto value = python_to_json(object);
    if (!value) return raise_error(value.error());
    std::string text;
    if (!append_json(text, *value, max_read_nesting)) {
        PyErr_SetString(PyExc_ValueError, "Error serializing JSON");
        return nullptr;
    }
    return PyBytes_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

// live_keys() -> int: interned keys alive now, for leak checks.
PyObject* live_keys(PyObject*, PyObject*) { return PyLong_FromSize_t(Key::live_count()); }

// bind(name, parameters, required_count, args, kwargs) -> list: runs the
// call wrapper's argument binding for a made-up method; not-given parameters
// come back as None. Returns a new reference.
PyObject* bind(PyObject*, PyObject* call_args) {
    const char* name = nullptr;
    PyObject *parameters = nullptr, *args = nullptr, *kwargs = nullptr;
    int required = 0;
    if (!PyArg_ParseTuple(call_args, "sO!iO!O!", &name, &PyTuple_Type, &parameters, &required, &PyTuple_Type, &args,
                          &PyDict_Type, &kwargs))
        return nullptr;
    MethodSpec spec{name, {}, static_cast<int>(PyTuple_GET_SIZE(parameters)), required, Borrow::Exclusive};
    if (spec.parameter_count > max_parameters) {
        PyErr_SetString(PyExc_ValueError, "too many parameters");
        return nullptr;
    }
    for (int index = 0; index < spec.parameter_count; ++index) {
        spec.parameters[index] = PyUnicode_AsUTF8(PyTuple_GET_ITEM(parameters, index));
        if (spec.parameters[index] == nullptr) return nullptr;
    }
    BoundArgs bound(spec);
    Status bound_ok = bind_tuple(spec, args, PyDict_GET_SIZE(kwargs) ? kwargs : nullptr, bound);
    if (!bound_ok) return raise_error(bound_ok.error());
    Ref result = Ref::steal(PyList_New(spec.parameter_count));
    if (!result) return nullptr;
    for (int index = 0; index < spec.parameter_count; ++index)
        PyList_SET_ITEM(result.get(), index, compat::new_ref(bound[index] ? bound[index] : Py_None));
    return result.release();
}

// cache_key(collection_name: str, query: dict) -> int: the result cache's key.
PyObject* query_cache_key(PyObject*, PyObject* call_args) {
    const char* name = nullptr;
    Py_ssize_t name_size = 0;
    PyObject* query = nullptr;
    if (!PyArg_ParseTuple(call_args, "s#O!", &name, &name_size, &PyDict_Type, &query)) return nullptr;
    auto value = python_to_json(query);
    if (!value) return raise_error(value.error());
    return PyLong_FromUnsignedLongLong(cache_key({name, static_cast<std::size_t>(name_size)}, *value));
}

// lru(capacity, keys) -> list[bool]: for each key, whether a cache of that
// capacity held it (a hit); a miss then stores it, as find does.
PyObject* lru(PyObject*, PyObject* call_args) {
    Py_ssize_t capacity = 0;
    PyObject* keys = nullptr;
    if (!PyArg_ParseTuple(call_args, "nO!", &capacity, &PyList_Type, &keys)) return nullptr;
    QueryResultCache cache(static_cast<std::size_t>(capacity));
    Ref hits = Ref::steal(PyList_New(PyList_GET_SIZE(keys)));
    if (!hits) return nullptr;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys); ++i) {
        unsigned long long key = PyLong_AsUnsignedLongLong(PyList_GET_ITEM(keys, i));
        if (PyErr_Occurred()) return nullptr;
        bool hit = cache.get(key, Value()) != nullptr;
        if (!hit) cache.put(key, Value(), std::make_shared<QueryResult>());
        PyList_SET_ITEM(hits.get(), i, compat::new_ref(hit ? Py_True : Py_False));
    }
    return hits.release();
}

// index_sizes(db: Quarn, name: str) -> (count, bytes): the indexes the
// collection holds in memory now ((0, 0) when it is not in memory). The hooks
// live in quarn's own shared object, so the object is quarn's very type.
PyObject* index_sizes(PyObject*, PyObject* call_args) {
    PyObject* db = nullptr;
    const char* name = nullptr;
    if (!PyArg_ParseTuple(call_args, "Os", &db, &name)) return nullptr;
    if (state().quarn_type == nullptr || !PyObject_TypeCheck(db, state().quarn_type)) {
        PyErr_SetString(PyExc_TypeError, "index_sizes() takes a Quarn object");
        return nullptr;
    }
    const CollectionMap& collections = reinterpret_cast<QuarnObject*>(db)->database.in_memory_collections();
    auto found = collections.find(std::string_view(name));
    if (found == collections.end()) return Py_BuildValue("(nn)", Py_ssize_t(0), Py_ssize_t(0));
    const AccessPaths& paths = found->second->access_paths();
    return Py_BuildValue("(nn)", Py_ssize_t(paths.index_count()), Py_ssize_t(paths.index_bytes()));
}

PyMethodDef testing_methods[] = {
    {"index_sizes", index_sizes, METH_VARARGS, "How many indexes a collection of a Quarn object holds, and their bytes."},
    {"lru", lru, METH_VARARGS, "Replay cache lookups; returns which were hits."},
    {"cache_key", query_cache_key, METH_VARARGS, "The result cache's key of a collection name and a query."},
    {"bind", bind, METH_VARARGS, "Bind arguments to a made-up method's parameters as the call wrapper does."},
    {"parse", parse, METH_O, "Parse JSON text (bytes) with the engine's reader and convert it to Python."},
    {"dump", dump, METH_O, "Convert a Python object and write it with the engine's writer (bytes)."},
    {"live_keys", live_keys, METH_NOARGS, "Number of interned object keys alive."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef testing_module = {
    PyModuleDef_HEAD_INIT, "_quarn_testing", "Test hooks into quarn's engine.", 0, testing_methods,
    nullptr, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace quarn

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__quarn_testing() {
    // Its engine is quarn's (one shared object, two init functions): the key
    // caches' release hook is quarn's too, in place even if this init runs first.
    quarn::install_key_cache_release();
    return PyModule_Create2(&quarn::testing_module, 1013);
}
