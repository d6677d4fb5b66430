// find, clear_cache and update: the query language over collections.
#include <optional>

#include "python/collection_methods.h"
#include "python/convert.h"
#include "query/cache_key.h"
#include "query/collection_query.h"
#include "store/paths.h"

namespace quarn::methods {

namespace {

// The engine of a query or update argument (a dict), converted then parsed.
template <typename Op>
Result<QueryEngine<Op>> parsed_argument(PyObject* dict, const char* what) {
    auto value = argument_value(dict, what);
    if (!value) return std::move(value.error());
    return QueryEngine<Op>::parse(*value);
}

// A converted list as a method's result, a failed conversion as its exception.
Result<Ref> method_result(Result<Ref, ConversionError> list) {
    if (!list) return to_python_exception(std::move(list.error()));
    return std::move(*list);
}

// The cached result for the query, or a new one evaluated and cached.
Result<QueryResultRef> query_result(Database& database, const std::string& name, const CollectionRef& collection,
                                    const Value& query) {
    const std::uint64_t key = cache_key(name, query);
    if (QueryResultRef cached = database.query_cache().get(key); cached && cached->current_for(*collection))
        return cached;
    auto engine = QueryEngine<QueryOperator>::parse(query);
    if (!engine) return std::move(engine.error());
    return find_matches(collection, *engine, database.query_cache(), key);
}

}  // namespace

Result<Ref> find(Database& database, const BoundArgs& args) {
    auto name = args.str(0);
    if (!name) return std::move(name.error());
    auto query_dict = args.optional_dict(1);
    if (!query_dict) return std::move(query_dict.error());
    if (Status valid = check_collection_name(*name); !valid) return std::move(valid.error());
    // Before the query is looked at: a missing collection is reported even for a bad or cached query.
    auto collection = database.loaded_collection(*name);
    if (!collection) return std::move(collection.error());
    if (*query_dict == nullptr) return method_result(collection_to_python(**collection));
    auto query = argument_value(*query_dict, "the query");
    if (!query) return std::move(query.error());
    auto result = query_result(database, *name, *collection, *query);
    if (!result) return std::move(result.error());
    return method_result(query_result_to_python(**result));
}

Result<Ref> clear_cache(Database& database, const BoundArgs&) {
    database.query_cache().clear();
    return Ref::borrow(Py_None);
}

Result<Ref> update(Database& database, const BoundArgs& args) {
    auto name = args.str(0);
    if (!name) return std::move(name.error());
    auto update_dict = args.dict(1);
    if (!update_dict) return std::move(update_dict.error());
    auto query_dict = args.optional_dict(2);
    if (!query_dict) return std::move(query_dict.error());
    auto return_result = args.boolean(3, false);
    if (!return_result) return std::move(return_result.error());
    if (Status valid = check_collection_name(*name); !valid) return std::move(valid.error());
    database.query_cache().clear();
    auto collection = database.loaded_collection(*name);
    if (!collection) return Error::panic("collection '" + *name + "' cannot be loaded: " + collection.error().message);
    // Both objects are converted and parsed before the write lock, so a bad one changes nothing.
    auto update_engine = parsed_argument<UpdateOperator>(*update_dict, "the update object");
    if (!update_engine) return std::move(update_engine.error());
    std::optional<QueryEngine<QueryOperator>> query_engine;
    if (*query_dict != nullptr) {
        auto parsed = parsed_argument<QueryOperator>(*query_dict, "the query");
        if (!parsed) return std::move(parsed.error());
        query_engine.emplace(std::move(*parsed));
    }
    Status updated = update_documents(**collection, *update_engine, query_engine ? &*query_engine : nullptr);
    if (!updated) return std::move(updated.error());
    if (!*return_result) return Ref::borrow(Py_None);
    return method_result(collection_to_python(**collection));
}

}  // namespace quarn::methods
