// The key of a find result in the result cache.
#pragma once

#include <cstdint>
#include <string_view>

#include "json/value.h"

namespace quarn {

// SipHash-1-3 under the all-zero key of: the collection name's bytes, 0xFF,
// then the query object's body (entry count, then each key, 0xFF and value
// encoding in key order). Equal queries give equal keys whatever order their
// dict was built in; numbers carry their class, except that 0.0 and -0.0 are
// one key (they match the same documents). The same in every process.
std::uint64_t cache_key(std::string_view collection_name, const Value& query);

}  // namespace quarn
