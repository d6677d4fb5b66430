// UTF-8: the one decoder and encoder of the engine. The reader validates
// with it, paths and names are checked with it, trace lines and the conversions
// to and from Python strings decode and encode with it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace quarn {

// Validates one sequence starting at a byte >= 0x80; returns the byte after
// it, or nullptr for overlong forms, surrogates, values above U+10FFFF and
// truncated or stray bytes. Inline: the reader calls it per character.
inline const char* skip_utf8_sequence(const char* p, const char* end) noexcept {
    const auto* bytes = reinterpret_cast<const unsigned char*>(p);
    const unsigned lead = bytes[0];
    const int size = lead < 0xC2 ? 0 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : lead < 0xF5 ? 4 : 0;
    if (size == 0 || end - p < size) return nullptr;
    // The second byte's range excludes overlong forms, surrogates and > U+10FFFF.
    unsigned low = 0x80, high = 0xBF;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
    if (bytes[1] < low || bytes[1] > high) return nullptr;
    for (int i = 2; i < size; ++i)
        if ((bytes[i] & 0xC0) != 0x80) return nullptr;
    return p + size;
}

// The character at p, which starts a valid sequence; advances p past it.
// Inline: conversions to Python call it per character.
inline std::uint32_t decode_valid_utf8(const unsigned char*& p) noexcept {
    const unsigned lead = *p;
    if (lead < 0x80) {
        p += 1;
        return lead;
    }
    if (lead < 0xE0) {
        const std::uint32_t code = (lead & 0x1F) << 6 | (p[1] & 0x3F);
        p += 2;
        return code;
    }
    if (lead < 0xF0) {
        const std::uint32_t code = (lead & 0x0F) << 12 | (p[1] & 0x3F) << 6 | (p[2] & 0x3F);
        p += 3;
        return code;
    }
    const std::uint32_t code = (lead & 0x07) << 18 | (p[1] & 0x3F) << 12 | (p[2] & 0x3F) << 6 | (p[3] & 0x3F);
    p += 4;
    return code;
}

// Writes the encoding of code (at most U+10FFFF, not a surrogate) at out,
// which has room for four bytes; returns the byte after it.
inline unsigned char* encode_utf8(unsigned char* out, std::uint32_t code) noexcept {
    if (code < 0x80) {
        *out++ = static_cast<unsigned char>(code);
    } else if (code < 0x800) {
        *out++ = static_cast<unsigned char>(0xC0 | code >> 6);
        *out++ = static_cast<unsigned char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        *out++ = static_cast<unsigned char>(0xE0 | code >> 12);
        *out++ = static_cast<unsigned char>(0x80 | (code >> 6 & 0x3F));
        *out++ = static_cast<unsigned char>(0x80 | (code & 0x3F));
    } else {
        *out++ = static_cast<unsigned char>(0xF0 | code >> 18);
        *out++ = static_cast<unsigned char>(0x80 | (code >> 12 & 0x3F));
        *out++ = static_cast<unsigned char>(0x80 | (code >> 6 & 0x3F));
        *out++ = static_cast<unsigned char>(0x80 | (code & 0x3F));
    }
    return out;
}

bool is_valid_utf8(std::string_view text) noexcept;

// Decodes the character at text[at] into code; returns its length in bytes.
// A byte that does not start a valid sequence decodes as itself, one byte long.
std::size_t decode_utf8(std::string_view text, std::size_t at, char32_t& code) noexcept;

// Appends the encoding of code (at most U+10FFFF, not a surrogate).
void append_utf8(std::string& out, std::uint32_t code);

}  // namespace quarn
