// The JSON reader and writer on each other and on texts of their own.
// Random values (nested containers, strings of escapes and every UTF-8
// length, integers at the 64-bit edges, doubles of any bits) are written and
// read back: the value is equal and its text the same again. They are also
// read from a loose text made here, with whitespace between tokens and
// escapes the writer never uses. Texts to refuse are refused at the byte the
// reader's header names. No interned key outlives the values holding it.
//   engine_json [--cases N]   (default: 20000 values, a fixed seed)
#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "check.h"
#include "json/utf8.h"

using namespace quarn;
using test::check;

namespace {

test::Random rng(0x6A736F6E);

std::uint32_t random_code_point() {
    static const std::uint32_t edges[] = {'a',   '"',   '\\',  '/',    0,      0x1F,    0x7F,
                                          0x80, 0xFF, 0x7FF, 0x800, 0xFFFF, 0x10000, 0x10FFFF};
    if (rng.one_in(2)) return rng.pick(edges);
    const std::uint32_t code = static_cast<std::uint32_t>(rng.below(0x110000));
    return code >= 0xD800 && code <= 0xDFFF ? code - 0x1000 : code;  // surrogates have no UTF-8 form
}

// Around the 14 bytes a value holds in place, and longer.
std::string random_text() {
    std::string out;
    for (std::uint64_t n = rng.one_in(4) ? rng.below(40) : rng.below(8); n > 0; --n)
        append_utf8(out, random_code_point());
    return out;
}

double random_double() {
    static const double edges[] = {0.0, -0.0, 5e-324, 2.2250738585072014e-308, 1.7976931348623157e308, 1e16,
                                   9999999999999998.0, 1e-5, 9.999999999999999e-6, 0.1, 3.0, 9223372036854775808.0,
                                   18446744073709551616.0};
    if (rng.one_in(3)) return rng.pick(edges);
    double number;
    do number = std::bit_cast<double>(rng.engine()); while (!std::isfinite(number));
    return number;
}

Value random_value(int depth) {
    static const std::uint64_t unsigned_edges[] = {0, 1, 9007199254740993ULL, 9223372036854775807ULL,
                                                   9223372036854775808ULL, 18446744073709551615ULL};
    static const std::int64_t negative_edges[] = {-1, -9007199254740993LL, std::numeric_limits<std::int64_t>::min()};
    switch (rng.below(depth >= 4 ? 6 : 8)) {
        case 0: return rng.one_in(2) ? Value::null() : Value::boolean(rng.one_in(2));
        case 1: return Value::unsigned_int(rng.one_in(2) ? rng.pick(unsigned_edges) : rng.engine() >> rng.below(64));
        case 2: {
            const std::int64_t magnitude = static_cast<std::int64_t>(rng.engine() >> (1 + rng.below(63)));
            return Value::negative_int(rng.one_in(2) ? rng.pick(negative_edges) : -1 - magnitude);
        }
        case 3: return Value::floating(random_double());
        case 4:
        case 5: return Value::string(random_text());
        case 6: {
            std::vector<Value> elements(rng.below(5));
            for (Value& element : elements) element = random_value(depth + 1);
            return Value::array(std::move(elements));
        }
        default: {
            // Both ways of building an object; keys may repeat, the last one kept.
            const std::uint64_t size = rng.below(5);
            const bool in_place = rng.one_in(2) && size > 0;
            Value object = in_place ? Value::object_with_capacity(size) : Value::empty_object();
            std::vector<Entry> entries;
            for (std::uint64_t i = 0; i < size; ++i) {
                const char few[] = {static_cast<char>('a' + rng.below(3)), '\0'};
                Key* key = Key::intern(rng.one_in(3) ? std::string(few) : random_text());
                if (in_place) object.append_entry(key) = random_value(depth + 1);
                else entries.push_back(Entry{key, random_value(depth + 1)});
            }
            if (!in_place) return Value::object(std::move(entries));
            object.sort_entries();
            return object;
        }
    }
}

// Some whitespace of the four kinds the reader skips, often none.
std::string space() { return std::string(rng.below(3), " \t\n\r"[rng.below(4)]); }

void loose_string(std::string& out, std::string_view text) {
    out += '"';
    for (std::size_t at = 0; at < text.size();) {
        char32_t code;
        const std::size_t length = decode_utf8(text, at, code);
        char escape[16];
        if (code < 0x20 || code == '"' || code == '\\' || rng.one_in(3)) {
            if (code > 0xFFFF) {
                const std::uint32_t offset = code - 0x10000;
                std::snprintf(escape, sizeof escape, "\\u%04X\\u%04x", 0xD800 + (offset >> 10),
                              0xDC00 + (offset & 0x3FF));
            } else {
                const unsigned code_unit = code;
                std::snprintf(escape, sizeof escape, rng.one_in(2) ? "\\u%04x" : "\\u%04X", code_unit);
            }
            out += code == '/' ? "\\/" : code == '\n' ? "\\n" : escape;
        } else {
            out.append(text, at, length);
        }
        at += length;
    }
    out += '"';
}

// The value in a layout of the test's own: scientific doubles, every string escaped at random.
void loose(std::string& out, const Value& value) {
    out += space();
    char number[40];
    switch (value.kind()) {
        case Kind::Null: out += "null"; break;
        case Kind::Bool: out += value.as_bool() ? "true" : "false"; break;
        case Kind::Unsigned: out += std::to_string(value.as_unsigned()); break;
        case Kind::Negative: out += std::to_string(value.as_negative()); break;
        case Kind::Float: {
            const double x = value.as_float();
            out.append(number, std::to_chars(number, number + sizeof number, x, std::chars_format::scientific).ptr);
            break;
        }
        case Kind::String: loose_string(out, value.as_string()); break;
        case Kind::Array:
            out += '[';
            for (const Value* element = value.array_begin(); element != value.array_end(); ++element)
                loose(out += element == value.array_begin() ? "" : ",", *element);
            out += space() + ']';
            break;
        case Kind::Object:
            out += '{';
            for (const Entry* entry = value.object_begin(); entry != value.object_end(); ++entry) {
                out += entry == value.object_begin() ? space() : "," + space();
                loose_string(out, entry->key->text());
                loose(out += space() + ':', entry->value);
            }
            out += space() + '}';
            break;
    }
    out += space();
}

// Value equality, but floats bit for bit: here -0.0 is not 0.0.
bool identical(const Value& a, const Value& b) {
    if (a.kind() != b.kind()) return false;
    switch (a.kind()) {
        case Kind::Float:
            return std::bit_cast<std::uint64_t>(a.as_float()) == std::bit_cast<std::uint64_t>(b.as_float());
        case Kind::Array:
            return a.array_size() == b.array_size() &&
                   std::equal(a.array_begin(), a.array_end(), b.array_begin(), identical);
        case Kind::Object:
            return a.object_size() == b.object_size() &&
                   std::equal(a.object_begin(), a.object_end(), b.object_begin(), [](const Entry& x, const Entry& y) {
                       return x.key == y.key && identical(x.value, y.value);
                   });
        default: return a == b;
    }
}

void check_round_trip(const Value& value) {
    const std::string text = test::text_of(value);
    const auto read = parse_json(text);
    if (!check(read && identical(*read, value), "written then read, the value differs: " + text)) return;
    check(test::text_of(*read) == text, "read back, the value is written otherwise: " + text);
    std::string other;
    loose(other, value);
    const auto loosely = parse_json(other);
    check(loosely && identical(*loosely, value), "the loose text reads as another value: " + other);
}

// Levels of arrays and objects in turn around a number, the outermost an array when arrays_even.
std::string nested(int levels, bool arrays_even) {
    std::string open, close;
    for (int level = 0; level < levels; ++level) {
        open += (level % 2 == 0) == arrays_even ? "[" : "{\"k\":";
        close.insert(0, (level % 2 == 0) == arrays_even ? "]" : "}");
    }
    return open + "1" + close;
}

// Each text to refuse with the first byte the reader cannot accept.
void check_refusals() {
    const struct {
        std::string text;
        std::size_t fault;
    } refused[] = {
        {"", 0}, {"[", 1}, {"[1,]", 3}, {"{\"a\":1,}", 7}, {"[1 2]", 3}, {"{\"a\" 1}", 5}, {"[01]", 2},
        {"[1e400]", 1}, {"nul", 0}, {"[1] x", 4}, {"\"a\\x\"", 2}, {"\"a\tb\"", 2},
        // A lone surrogate has no UTF-8 form, and strings hold valid UTF-8 only.
        {"\"\\ud800\"", 1}, {"\"\\udc00\"", 1}, {"\"x\\ud800\\u0041\"", 2},
        // Stray continuation, overlong, a surrogate, past U+10FFFF, cut short.
        {"\"\x80\"", 1}, {"\"\xc3\x28\"", 1}, {"\"\xc0\xaf\"", 1}, {"\"\xed\xa0\x80\"", 1},
        {"\"\xf4\x90\x80\x80\"", 1}, {"\"ab\xe2\x82\"", 3},
        // One level too deep: the fault is the container that opens it.
        {nested(max_read_nesting + 1, true), nested(max_read_nesting, true).find('1')},
        {nested(max_read_nesting + 1, false), nested(max_read_nesting, false).find('1')},
    };
    for (const auto& [text, fault] : refused) {
        std::size_t at = std::string::npos;
        check(!parse_json(text, &at), "accepted: " + text);
        check(at == fault, "refused at " + std::to_string(at) + ", not " + std::to_string(fault) + ": " + text);
    }
    for (bool arrays_even : {true, false}) {
        const std::string text = nested(max_read_nesting, arrays_even);
        const auto deepest = parse_json(text);
        std::string out;
        check(deepest && append_json(out, *deepest, max_read_nesting) && out == text,
              "the deepest nesting allowed is not read and written back");
        check(deepest && !append_json(out, *deepest, max_read_nesting - 1),
              "written deeper than the writer was allowed");
    }
}

// The reader first tries each key as the one that followed the previous key
// last time; only the bytes may decide, also once that key has died and its
// id belongs to another.
void check_repeated_shapes() {
    const struct {
        const char* text;
        const char* expected;
    } cases[] = {
        {R"([{"a":1},{"ab":2},{"ab":3},{"a":4,"a":5},{"b":{"a":6}},{"b":{"ab":7}},{"b":[{"a":8},{"a":9,"c":0}]}])",
         R"([{"a":1},{"ab":2},{"ab":3},{"a":5},{"b":{"a":6}},{"b":{"ab":7}},{"b":[{"a":8},{"a":9,"c":0}]}])"},
        {R"({"p":{"gone1":1,"gone2":2}})", R"({"p":{"gone1":1,"gone2":2}})"},
    };
    const Value keeps_p = test::json(R"({"p":0})");  // p, and the hints it keeps, outlive what follows
    for (const auto& [text, expected] : cases) {
        const auto read = parse_json(text);
        check(read && test::text_of(*read) == expected, std::string("read otherwise: ") + text);
    }
    // gone1 and gone2 have died; new keys take their ids.
    std::vector<Value> others;
    for (int i = 0; i < 8; ++i) others.push_back(test::json("{\"other" + std::to_string(i) + "\":1}"));
    const auto again = parse_json(R"({"p":{"other1":1,"gone2":2}})");
    check(again && test::text_of(*again) == R"({"p":{"gone2":2,"other1":1}})", "a dead key's hint misread a key");
}

}  // namespace

int main(int argc, char** argv) {
    test::program = "engine_json";
    const bool given = argc > 2 && std::strcmp(argv[1], "--cases") == 0;
    const std::uint64_t cases = given ? std::strtoull(argv[2], nullptr, 10) : 20000;
    const std::size_t keys_before = Key::live_count();
    for (std::uint64_t n = 0; n < cases; ++n) check_round_trip(random_value(0));
    check_refusals();
    check_repeated_shapes();
    check(Key::live_count() == keys_before, "interned keys outlive every value that held them");
    return test::finish();
}
