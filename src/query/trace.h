// The two lines that building an update term writes to standard output.
#pragma once

#include <string>
#include <string_view>

#include "query/query.h"

namespace quarn {

// The debug list form of a path: ["a", "b\"c"], [] when empty.
std::string debug_list(const FieldPath& fields);

// Appends text in double quotes with the debug escapes.
void append_debug_string(std::string& out, std::string_view text);

// Writes "Update operator found <Name>" and "Fields: <list>" to file
// descriptor 1 directly, bypassing the interpreter's own output objects.
void write_update_trace(const Query<UpdateOperator>& term);

}  // namespace quarn
