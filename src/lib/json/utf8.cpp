#include "json/utf8.h"

namespace quarn {

bool is_valid_utf8(std::string_view text) noexcept {
    const char* at = text.data();
    const char* end = at + text.size();
    while (at < end) {
        if (static_cast<unsigned char>(*at) < 0x80) ++at;
        else if ((at = skip_utf8_sequence(at, end)) == nullptr) return false;
    }
    return true;
}

std::size_t decode_utf8(std::string_view text, std::size_t at, char32_t& code) noexcept {
    const auto lead = static_cast<unsigned char>(text[at]);
    const char* start = text.data() + at;
    const char* next = lead < 0x80 ? start + 1 : skip_utf8_sequence(start, text.data() + text.size());
    if (next == nullptr || lead < 0x80) {
        code = lead;
        return 1;
    }
    const auto length = static_cast<std::size_t>(next - start);
    code = lead & (0x7F >> length);
    for (std::size_t i = 1; i < length; ++i) code = (code << 6) | (static_cast<unsigned char>(start[i]) & 0x3F);
    return length;
}

void append_utf8(std::string& out, std::uint32_t code) {
    static constexpr unsigned char lead_marks[] = {0, 0, 0xC0, 0xE0, 0xF0};
    const int size = code < 0x80 ? 1 : code < 0x800 ? 2 : code < 0x10000 ? 3 : 4;
    char bytes[4];
    for (int i = size - 1; i > 0; --i, code >>= 6) bytes[i] = static_cast<char>(0x80 | (code & 0x3F));
    bytes[0] = static_cast<char>(lead_marks[size] | code);
    out.append(bytes, static_cast<std::size_t>(size));
}

}  // namespace quarn
