// insert, insert_many, insert_many_from_document, find, update, clear_cache.
#include "python/methods.h"
#include "python/conversion.h"
#include "store/system.h"

namespace quarn::methods {

namespace {

// insert and insert_many: a name, then a dict or list (extract) that the
// engine converts with at most max_nesting levels.
template <typename Extract>
Result<Ref> insert_argument(Database& database, const BoundArgs& args, Extract extract, int max_nesting) {
    auto name = args.str(0);
    if (!name) return std::move(name.error());
    auto object = (args.*extract)(1);
    if (!object) return std::move(object.error());
    ConvertedArguments converted;
    ValueSource document = converted.source(*object, "the document", max_nesting);
    return none_or_error(converted.checked(database.insert(*name, document)));
}

}  // namespace

Result<Ref> insert(Database& database, const BoundArgs& args) {
    return insert_argument(database, args, &BoundArgs::dict, max_convert_nesting);
}

Result<Ref> insert_many(Database& database, const BoundArgs& args) {
    // The list is not stored, only its elements: each may nest as deep as a
    // document inserted on its own.
    return insert_argument(database, args, &BoundArgs::list, max_convert_nesting + 1);
}

Result<Ref> insert_many_from_document(Database& database, const BoundArgs& args) {
    auto name = args.str(0);
    if (!name) return std::move(name.error());
    auto path = args.str(1);
    if (!path) return std::move(path.error());
    return none_or_error(database.insert_many_from_document(*name, *path));
}

Result<Ref> find(Database& database, const BoundArgs& args) {
    auto name = args.str(0);
    if (!name) return std::move(name.error());
    auto query_dict = args.optional_dict(1);
    if (!query_dict) return std::move(query_dict.error());
    ConvertedArguments converted;
    ValueSource query = converted.source(*query_dict, "the query");
    auto found = converted.checked(database.find(*name, *query_dict != nullptr ? &query : nullptr));
    if (!found) return std::move(found.error());
    return found_to_python(*found);
}

namespace {

// The update trace lines, written to file descriptor 1 directly, bypassing
// the interpreter's own output objects (sys.stdout); a closed or broken
// standard output loses the trace, nothing else.
const TraceSink& trace_to_standard_output() {
    static const TraceSink sink = [](std::string_view lines) { (void)sys::write_all(1, lines.data(), lines.size()); };
    return sink;
}

}  // namespace

Result<Ref> update(Database& database, const BoundArgs& args) {
    auto name = args.str(0);
    if (!name) return std::move(name.error());
    auto update_dict = args.dict(1);
    if (!update_dict) return std::move(update_dict.error());
    auto query_dict = args.optional_dict(2);
    if (!query_dict) return std::move(query_dict.error());
    auto return_result = args.boolean(3, false);
    if (!return_result) return std::move(return_result.error());
    ConvertedArguments converted;
    ValueSource query = converted.source(*query_dict, "the query");
    // An operand sits one level deeper in {path: {"$set": operand}} than in the
    // document; the engine judges the documents' nesting itself.
    ValueSource update_object = converted.source(*update_dict, "the update object", max_convert_nesting + 1);
    auto updated = converted.checked(
        database.update(*name, update_object, *query_dict != nullptr ? &query : nullptr, &trace_to_standard_output()));
    if (!updated) return std::move(updated.error());
    if (!*return_result) return Ref::borrow(Py_None);
    return collection_to_python(**updated);
}

Result<Ref> clear_cache(Database& database, const BoundArgs&) {
    database.clear_cache();
    return Ref::borrow(Py_None);
}

}  // namespace quarn::methods
