// create_collection, drop_collection, collections, drop_all, write, write_all,
// load_from_document.
#include "python/methods.h"

namespace quarn::methods {

Result<Ref> none_or_error(Status status) {
    if (!status) return std::move(status.error());
    return Ref::borrow(Py_None);
}

Result<Ref> create_collection(Database& database, const BoundArgs& args) {
    auto name = args.str(0);
    if (!name) return std::move(name.error());
    return none_or_error(database.create_collection(*name));
}

Result<Ref> drop_collection(Database& database, const BoundArgs& args) {
    auto name = args.str(0);
    if (!name) return std::move(name.error());
    return none_or_error(database.drop_collection(*name));
}

Result<Ref> collections(Database& database, const BoundArgs&) {
    auto names = database.collection_names();
    if (!names) return std::move(names.error());
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(names->size())));
    if (!list) return Error::python_raised();
    for (std::size_t index = 0; index < names->size(); ++index) {
        const std::string& name = (*names)[index];
        PyObject* text = PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
        if (text == nullptr) return Error::python_raised();
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(index), text);
    }
    return list;
}

Result<Ref> drop_all(Database& database, const BoundArgs&) { return none_or_error(database.drop_all()); }

Result<Ref> write(Database& database, const BoundArgs& args) {
    auto name = args.str(0);
    if (!name) return std::move(name.error());
    return none_or_error(database.write(*name));
}

Result<Ref> write_all(Database& database, const BoundArgs&) { return none_or_error(database.write_all()); }

Result<Ref> load_from_document(Database& database, const BoundArgs& args) {
    auto path = args.str(0);
    if (!path) return std::move(path.error());
    return none_or_error(database.load_from_document(*path));
}

}  // namespace quarn::methods
