// Compact writer of JSON text: sorted keys, no whitespace, fixed escapes and
// shortest round-trip doubles.
#pragma once

#include <string>
#include <string_view>

#include "json/value.h"

namespace quarn {

// Appends value's text to out. Returns false, with out partly appended, when
// value nests arrays and objects deeper than max_depth levels (value itself is
// level 1).
bool append_json(std::string& out, const Value& value, int max_depth);

// Appends text as a quoted JSON string with the writer's escapes.
void append_json_string(std::string& out, std::string_view text);

// Appends a double by the writer's layout rules ("null" when not finite).
void append_json_double(std::string& out, double number);

}  // namespace quarn
