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
    const auto* bytes = reinterpret_cast<const unsigned char*>(start);
    code = decode_valid_utf8(bytes);
    return static_cast<std::size_t>(next - start);
}

void append_utf8(std::string& out, std::uint32_t code) {
    unsigned char bytes[4];
    const unsigned char* end = encode_utf8(bytes, code);
    out.append(reinterpret_cast<const char*>(bytes), static_cast<std::size_t>(end - bytes));
}

}  // namespace quarn
