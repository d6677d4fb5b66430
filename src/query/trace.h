// The two trace lines of an update term, as text: where they go is the caller's.
#pragma once

#include <string>
#include <string_view>

#include "query/query.h"

namespace quarn {

// The debug list form of a path: ["a", "b\"c"], [] when empty.
std::string debug_list(const FieldPath& fields);

// Appends text in double quotes with the debug escapes.
void append_debug_string(std::string& out, std::string_view text);

// "Update operator found <Name>\nFields: <list>\n".
std::string update_trace(const Query<UpdateOperator>& term);

}  // namespace quarn
