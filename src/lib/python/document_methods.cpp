#include "python/collection_methods.h"
#include "python/convert.h"
#include "store/paths.h"

namespace quarn::methods {

namespace {

// Extracts the name and a dict or list argument, then checks the name.
// max_nesting bounds the converted argument's levels.
template <typename Extract>
Result<Ref> insert_converted(Database& database, const BoundArgs& args, Extract extract, int max_nesting) {
    auto name = args.str(0);
    if (!name) return std::move(name.error());
    auto object = (args.*extract)(1);
    if (!object) return std::move(object.error());
    if (Status valid = check_collection_name(*name); !valid) return std::move(valid.error());
    auto value = argument_value(*object, "the document", max_nesting);
    if (!value) return std::move(value.error());
    return none_or_error(database.insert_in_collection(*name, std::move(*value)));
}

}  // namespace

Result<Ref> insert(Database& database, const BoundArgs& args) {
    return insert_converted(database, args, &BoundArgs::dict, max_convert_nesting);
}

Result<Ref> insert_many(Database& database, const BoundArgs& args) {
    // The list is not stored, only its elements: each may nest as deep as a
    // document inserted on its own.
    return insert_converted(database, args, &BoundArgs::list, max_convert_nesting + 1);
}

Result<Ref> insert_many_from_document(Database& database, const BoundArgs& args) {
    auto name = args.str(0);
    if (!name) return std::move(name.error());
    auto path = args.str(1);
    if (!path) return std::move(path.error());
    if (Status valid = check_collection_name(*name); !valid) return std::move(valid.error());
    return none_or_error(database.insert_many_from_document(*name, *path));
}

}  // namespace quarn::methods
