// Compact writer of JSON text: sorted keys, no whitespace, fixed escapes and
// shortest round-trip doubles.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "json/value.h"

namespace quarn {

// A growing buffer of text that the writer fills through a cursor: the room
// it reserves is never cleared first, as a std::string's would be.
class JsonBuffer {
public:
    JsonBuffer() = default;
    ~JsonBuffer();
    JsonBuffer(const JsonBuffer&) = delete;
    JsonBuffer& operator=(const JsonBuffer&) = delete;

    const char* data() const noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }
    std::size_t capacity() const noexcept { return capacity_; }
    void clear() noexcept { size_ = 0; }
    // Drops the first count bytes, moving the rest to the front.
    void erase_front(std::size_t count) noexcept;
    void append(std::string_view text);
    void push_back(char c) { append(std::string_view(&c, 1)); }

    // For the writer: room for at least bytes more after the end; a pointer
    // to the end (throws std::bad_alloc).
    char* reserve(std::size_t bytes);
    char* end() noexcept { return data_ + size_; }
    char* limit() noexcept { return data_ + capacity_; }
    // The text now ends at end, written after the old end.
    void set_end(char* end) noexcept { size_ = static_cast<std::size_t>(end - data_); }

private:
    char* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

// Appends value's text to out. Returns false, with out partly appended, when
// value nests arrays and objects deeper than max_depth levels (value itself is
// level 1).
bool append_json(JsonBuffer& out, const Value& value, int max_depth);
bool append_json(std::string& out, const Value& value, int max_depth);

// Appends text as a quoted JSON string with the writer's escapes.
void append_json_string(std::string& out, std::string_view text);


}  // namespace quarn
