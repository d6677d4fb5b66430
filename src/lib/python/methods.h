// The methods of Quarn, each a short function behind the call wrapper.
#pragma once

#include "python/call.h"

namespace quarn::methods {

// Whole collections.
Result<Ref> create_collection(Database& database, const BoundArgs& args);
Result<Ref> drop_collection(Database& database, const BoundArgs& args);
Result<Ref> collections(Database& database, const BoundArgs& args);
Result<Ref> drop_all(Database& database, const BoundArgs& args);
Result<Ref> write(Database& database, const BoundArgs& args);
Result<Ref> write_all(Database& database, const BoundArgs& args);
Result<Ref> load_from_document(Database& database, const BoundArgs& args);

// Documents.
Result<Ref> insert(Database& database, const BoundArgs& args);
Result<Ref> insert_many(Database& database, const BoundArgs& args);
Result<Ref> insert_many_from_document(Database& database, const BoundArgs& args);

// Queries.
Result<Ref> find(Database& database, const BoundArgs& args);
Result<Ref> clear_cache(Database& database, const BoundArgs& args);
Result<Ref> update(Database& database, const BoundArgs& args);

// Shared by the methods: None for a successful status, else its error.
Result<Ref> none_or_error(Status status);

}  // namespace quarn::methods
