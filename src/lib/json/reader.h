// Strict reader of JSON text into Values.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include "core/limits.h"
#include "json/value.h"

namespace quarn {

// Parses exactly one JSON value, optionally surrounded by whitespace (space,
// tab, line feed, carriage return). Returns nullopt on any error; then, when
// fault_offset is given, it receives the offset of the first byte that could
// not be accepted (the text's size when the text ended too early; the start
// of a number out of range, of a literal misspelt, of an escape not allowed).
std::optional<Value> parse_json(std::string_view text, std::size_t* fault_offset = nullptr);

// A place in text: 1-based line (lines end at line feeds) and column, the
// column counted in characters (UTF-8 sequences), not bytes.
struct TextPosition {
    std::size_t line;
    std::size_t column;
};

// The position of the byte at offset (at most text's size).
TextPosition text_position(std::string_view text, std::size_t offset) noexcept;

}  // namespace quarn
