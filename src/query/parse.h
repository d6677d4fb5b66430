// Parsing query and update objects into terms.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "core/result.h"
#include "json/value.h"

namespace quarn {

// Appends the pieces of the dotted key to fields, then follows value: a
// scalar is the operand; an object continues the path through its first
// entry only, whose key, when it starts with "$", is appended whole and
// names the operator of its value. Null and arrays fail ("Not Valid query"),
// as do empty objects ("Error while parsing query"), as PanicException errors.
Result<Value> parse_query(const Value& value, std::string_view key, std::vector<std::string>& fields);

}  // namespace quarn
