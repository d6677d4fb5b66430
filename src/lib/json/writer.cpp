// Output is appended in runs: unescaped string bytes are copied in one piece,
// numbers are formatted in a local buffer first.
#include "json/writer.h"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "json/string_scan.h"

namespace quarn {

namespace {

void append_escape(std::string& out, unsigned char c) {
    char named = 0;
    switch (c) {
        case '"': named = '"'; break;
        case '\\': named = '\\'; break;
        case '\b': named = 'b'; break;
        case '\f': named = 'f'; break;
        case '\n': named = 'n'; break;
        case '\r': named = 'r'; break;
        case '\t': named = 't'; break;
        default: break;
    }
    if (named != 0) {
        const char escape[2] = {'\\', named};
        out.append(escape, 2);
        return;
    }
    static constexpr char hex[] = "0123456789abcdef";
    const char escape[6] = {'\\', 'u', '0', '0', hex[c >> 4], hex[c & 0xF]};
    out.append(escape, 6);
}

template <typename Integer>
void append_integer(std::string& out, Integer number) {
    char buffer[24];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, number);
    out.append(buffer, static_cast<std::size_t>(result.ptr - buffer));
}

bool append_value(std::string& out, const Value& value, int level, int max_depth);

bool append_array(std::string& out, const Value& array, int level, int max_depth) {
    out.push_back('[');
    for (const Value* element = array.array_begin(); element != array.array_end(); ++element) {
        if (element != array.array_begin()) out.push_back(',');
        if (!append_value(out, *element, level, max_depth)) return false;
    }
    out.push_back(']');
    return true;
}

bool append_object(std::string& out, const Value& object, int level, int max_depth) {
    out.push_back('{');
    for (const Entry* entry = object.object_begin(); entry != object.object_end(); ++entry) {
        if (entry != object.object_begin()) out.push_back(',');
        append_json_string(out, entry->key->text());
        out.push_back(':');
        if (!append_value(out, entry->value, level, max_depth)) return false;
    }
    out.push_back('}');
    return true;
}

// level is the nesting level of the container holding value (0 at the top).
bool append_value(std::string& out, const Value& value, int level, int max_depth) {
    switch (value.kind()) {
        case Kind::Null: out.append("null", 4); return true;
        case Kind::Bool:
            if (value.as_bool()) out.append("true", 4);
            else out.append("false", 5);
            return true;
        case Kind::Unsigned: append_integer(out, value.as_unsigned()); return true;
        case Kind::Negative: append_integer(out, value.as_negative()); return true;
        case Kind::Float: append_json_double(out, value.as_float()); return true;
        case Kind::String: append_json_string(out, value.as_string()); return true;
        case Kind::Array: return level < max_depth && append_array(out, value, level + 1, max_depth);
        case Kind::Object: return level < max_depth && append_object(out, value, level + 1, max_depth);
    }
    return false;
}

// The shortest round-trip digits of a positive finite double and the power of
// ten of the first digit (value = first.rest x 10^exponent).
struct Digits {
    char text[20];
    int count = 0;
    int exponent = 0;
};

Digits shortest_digits(double positive) {
    char scientific[32];
    const auto result =
        std::to_chars(scientific, scientific + sizeof scientific, positive, std::chars_format::scientific);
    Digits digits;
    const char* p = scientific;
    for (; *p != 'e'; ++p)
        if (*p != '.') digits.text[digits.count++] = *p;
    ++p;
    const bool negative_exponent = *p == '-';
    for (++p; p != result.ptr; ++p) digits.exponent = digits.exponent * 10 + (*p - '0');
    if (negative_exponent) digits.exponent = -digits.exponent;
    return digits;
}

}  // namespace

bool append_json(std::string& out, const Value& value, int max_depth) {
    return append_value(out, value, 0, max_depth);
}

void append_json_string(std::string& out, std::string_view text) {
    out.push_back('"');
    const char* p = text.data();
    const char* const end = p + text.size();
    for (;;) {
        const char* run = p;
        p = find_string_stop<NonAscii::Pass>(p, end);
        out.append(run, static_cast<std::size_t>(p - run));
        if (p == end) break;
        append_escape(out, static_cast<unsigned char>(*p++));
    }
    out.push_back('"');
}

void append_json_double(std::string& out, double number) {
    if (!std::isfinite(number)) {
        out.append("null", 4);
        return;
    }
    const Digits digits = shortest_digits(std::fabs(number));
    const int n = digits.count;
    const int kk = digits.exponent + 1;  // digits before the decimal point
    const int k = kk - n;                // value = digits x 10^k
    char buffer[48];
    char* p = buffer;
    auto put = [&p](const char* from, int count) {
        std::memcpy(p, from, static_cast<std::size_t>(count));
        p += count;
    };
    auto put_zeros = [&p](int count) {
        std::memset(p, '0', static_cast<std::size_t>(count));
        p += count;
    };
    if (std::signbit(number)) *p++ = '-';
    if (k >= 0 && kk <= 16) {
        put(digits.text, n);
        put_zeros(k);
        put(".0", 2);
    } else if (kk > 0 && kk <= 16) {
        put(digits.text, kk);
        *p++ = '.';
        put(digits.text + kk, n - kk);
    } else if (kk > -5 && kk <= 0) {
        put("0.", 2);
        put_zeros(-kk);
        put(digits.text, n);
    } else {
        *p++ = digits.text[0];
        if (n > 1) {
            *p++ = '.';
            put(digits.text + 1, n - 1);
        }
        *p++ = 'e';
        p = std::to_chars(p, buffer + sizeof buffer, kk - 1).ptr;
    }
    out.append(buffer, static_cast<std::size_t>(p - buffer));
}

}  // namespace quarn
