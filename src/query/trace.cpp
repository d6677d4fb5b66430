#include "query/trace.h"

#include <cstdint>

#include "json/utf8.h"

namespace quarn {

namespace {

struct Range {
    char32_t first, last;
};

// Written as \u{...}: controls, invisible format characters, noncharacters,
// and combining marks (which would otherwise attach to the quote before them).
constexpr Range escaped_ranges[] = {
    {0x0001, 0x001F}, {0x007F, 0x009F}, {0x00AD, 0x00AD}, {0x0300, 0x036F}, {0x0483, 0x0489},
    {0x0591, 0x05BD}, {0x0610, 0x061C}, {0x064B, 0x065F}, {0x0670, 0x0670}, {0x06D6, 0x06DC},
    {0x06DF, 0x06E4}, {0x180B, 0x180F}, {0x1AB0, 0x1AFF}, {0x1DC0, 0x1DFF}, {0x200B, 0x200F},
    {0x2028, 0x202E}, {0x2060, 0x206F}, {0x20D0, 0x20FF}, {0xFE00, 0xFE0F}, {0xFE20, 0xFE2F},
    {0xFEFF, 0xFEFF}, {0xFFF9, 0xFFFB}, {0xFFFE, 0xFFFF}, {0xE0000, 0xE0FFF},
};

bool is_escaped(char32_t code) noexcept {
    for (const Range& range : escaped_ranges)
        if (code >= range.first && code <= range.last) return true;
    return false;
}

void append_hex_escape(std::string& out, char32_t code) {
    static constexpr char digits[] = "0123456789abcdef";
    char buffer[8];
    int count = 0;
    do {
        buffer[count++] = digits[code & 0xF];
        code >>= 4;
    } while (code != 0);
    out += "\\u{";
    while (count > 0) out += buffer[--count];
    out += '}';
}

}  // namespace

void append_debug_string(std::string& out, std::string_view text) {
    out += '"';
    for (std::size_t at = 0; at < text.size();) {
        char32_t code = 0;
        std::size_t length = decode_utf8(text, at, code);
        switch (code) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\t': out += "\\t"; break;
            case '\r': out += "\\r"; break;
            case '\n': out += "\\n"; break;
            case 0: out += "\\0"; break;
            default:
                if (is_escaped(code)) append_hex_escape(out, code);
                else out.append(text.substr(at, length));
        }
        at += length;
    }
    out += '"';
}

std::string debug_list(const FieldPath& fields) {
    std::string out = "[";
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (i > 0) out += ", ";
        append_debug_string(out, fields.text(i));
    }
    out += ']';
    return out;
}

std::string update_trace(const Query<UpdateOperator>& term) {
    std::string lines = "Update operator found ";
    lines += operator_name(term.operator_);
    lines += "\nFields: ";
    lines += debug_list(term.fields);
    lines += '\n';
    return lines;
}

}  // namespace quarn
