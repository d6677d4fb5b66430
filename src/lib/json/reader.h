// Strict reader of JSON text into Values.
#pragma once

#include <optional>
#include <string_view>

#include "json/value.h"

namespace quarn {

// Arrays and objects nest at most this deep; the top-level value is level 1.
inline constexpr int max_read_nesting = 127;

// Parses exactly one JSON value, optionally surrounded by whitespace (space,
// tab, line feed, carriage return). Returns nullopt on any error; the details
// are not reported.
std::optional<Value> parse_json(std::string_view text);

}  // namespace quarn
