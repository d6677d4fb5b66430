// Text goes straight into the output buffer: room is reserved first, then
// numbers are formatted in place and unescaped string runs copied in one
// piece, with no temporaries in between.
#include "json/writer.h"

#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#include "json/shortest_double.h"
#include "json/string_scan.h"

namespace quarn {

JsonBuffer::~JsonBuffer() { std::free(data_); }

void JsonBuffer::erase_front(std::size_t count) noexcept {
    std::memmove(data_, data_ + count, size_ - count);
    size_ -= count;
}

void JsonBuffer::append(std::string_view text) {
    char* at = reserve(text.size());
    if (!text.empty()) std::memcpy(at, text.data(), text.size());
    size_ += text.size();
}

char* JsonBuffer::reserve(std::size_t bytes) {
    if (capacity_ - size_ < bytes) {
        std::size_t capacity = capacity_ < 256 ? 256 : capacity_ * 2;
        if (capacity - size_ < bytes) capacity = size_ + bytes;
        void* grown = std::realloc(data_, capacity);
        if (grown == nullptr) throw std::bad_alloc();
        data_ = static_cast<char*>(grown);
        capacity_ = capacity;
    }
    return data_ + size_;
}

namespace {

// The longest number text: a sign, 17 digits, a point and "0.0000" or an
// exponent, with room to spare.
constexpr std::size_t number_room = 40;

char* write_escape(char* p, unsigned char c) noexcept {
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
        p[0] = '\\';
        p[1] = named;
        return p + 2;
    }
    static constexpr char hex[] = "0123456789abcdef";
    const char escape[6] = {'\\', 'u', '0', '0', hex[c >> 4], hex[c & 0xF]};
    std::memcpy(p, escape, 6);
    return p + 6;
}

constexpr std::uint64_t powers_of_ten[] = {
    1,
    10,
    100,
    1'000,
    10'000,
    100'000,
    1'000'000,
    10'000'000,
    100'000'000,
    1'000'000'000,
    10'000'000'000,
    100'000'000'000,
    1'000'000'000'000,
    10'000'000'000'000,
    100'000'000'000'000,
    1'000'000'000'000'000,
    10'000'000'000'000'000,
    100'000'000'000'000'000,
};

// value / 10^power (split_digits) for value below 2^57 (every significand of 17 digits) and
// power in [1, 16], by a multiplication: m = ceil(2^(57 + l) / 10^power) with
// 2^l the power of two at or above 10^power makes floor(value * m / 2^(57 + l))
// the quotient (Granlund and Montgomery).
struct Reciprocal {
    std::uint64_t multiplier;
    int shift;
};

constexpr std::array<Reciprocal, 17> make_reciprocals() {
    std::array<Reciprocal, 17> table{};
    for (int power = 1; power <= 16; ++power) {
        const std::uint64_t divisor = powers_of_ten[power];
        int l = 0;
        while ((std::uint64_t{1} << l) < divisor) ++l;
        const unsigned __int128 numerator = static_cast<unsigned __int128>(1) << (57 + l);
        table[power] = {static_cast<std::uint64_t>((numerator + divisor - 1) / divisor), 57 + l};
    }
    return table;
}

constexpr std::array<Reciprocal, 17> reciprocals = make_reciprocals();

struct SplitDigits {
    std::uint64_t high;  // the digits above the last power ones
    std::uint64_t low;   // those last power digits
};

SplitDigits split_digits(std::uint64_t value, int power) noexcept {
    const Reciprocal& r = reciprocals[power];
    const auto high = static_cast<std::uint64_t>(static_cast<unsigned __int128>(value) * r.multiplier >> r.shift);
    return {high, value - high * powers_of_ten[power]};
}

// The number of decimal digits of value (at least 1, below 10^18).
int digit_count(std::uint64_t value) noexcept {
    const int guess = (64 - std::countl_zero(value | 1)) * 1233 >> 12;  // 1233 / 4096 ~ log10 2
    return guess + 1 - (value < powers_of_ten[guess]);
}

// The eight digits of value (below 10^8) as eight bytes, the first digit
// lowest: halves, then pairs, then digits, each split in every lane at once
// by a multiplication (x / 100 = x * 10486 >> 20 below 43699; x / 10 =
// x * 103 >> 10 below 179).
std::uint64_t eight_digits(std::uint32_t value) noexcept {
    std::uint64_t lanes = value / 10'000 | std::uint64_t{value % 10'000} << 32;
    const std::uint64_t hundreds = (lanes * 10486 >> 20) & 0x0000007F0000007F;
    lanes = hundreds | (lanes - hundreds * 100) << 16;
    const std::uint64_t tens = (lanes * 103 >> 10) & 0x000F000F000F000F;
    lanes = tens | (lanes - tens * 10) << 8;
    return lanes + 0x3030303030303030;
}

// Writes the count (1 to 17) digits of value (below 10^count, leading zeros
// written) from p on. Whole eight-byte stores, so up to eight bytes past the
// digits are overwritten; stores only, so nothing waits on one to land.
void put_digits(char* p, std::uint64_t value, int count) noexcept {
    if (count == 17) {
        const SplitDigits split = split_digits(value, 16);
        *p++ = static_cast<char>('0' + split.high);
        value = split.low;
        count = 16;
    }
    if (count > 8) {
        const std::uint64_t high = eight_digits(static_cast<std::uint32_t>(value / 100'000'000)) >> (8 * (16 - count));
        const std::uint64_t low = eight_digits(static_cast<std::uint32_t>(value % 100'000'000));
        std::memcpy(p, &high, 8);
        std::memcpy(p + count - 8, &low, 8);
        return;
    }
    const std::uint64_t digits = eight_digits(static_cast<std::uint32_t>(value)) >> (8 * (8 - count));
    std::memcpy(p, &digits, 8);
}

// The layout of a finite double: its shortest round-trip digits, written
// out in full from 1e-5 up to 1e16 (".0" after a whole number), otherwise as
// d.ddde<exponent> with no plus sign or leading zeros. Room for number_room
// bytes at p; returns the end. Each piece goes straight to its place, at
// whole-word stores that the pieces after it overwrite.
char* write_double(char* p, double number) noexcept {
    if (std::signbit(number)) *p++ = '-';
    const ShortestDecimal decimal = shortest_decimal(number);
    if (decimal.digits == 0) {
        std::memcpy(p, "0.0", 3);
        return p + 3;
    }
    const int count = digit_count(decimal.digits);
    const int exponent = decimal.exponent + count - 1;  // of the first digit
    const int before_point = exponent + 1;
    if (before_point > 0 && before_point <= 16) {
        if (count <= before_point) {
            put_digits(p, decimal.digits, count);
            std::memcpy(p + count, "0000000000000000", 16);
            std::memcpy(p + before_point, ".0", 2);
            return p + before_point + 2;
        }
        const SplitDigits split = split_digits(decimal.digits, count - before_point);
        put_digits(p, split.high, before_point);
        p[before_point] = '.';
        put_digits(p + before_point + 1, split.low, count - before_point);
        return p + count + 1;
    }
    if (before_point > -5 && before_point <= 0) {
        std::memcpy(p, "0.0000", 6);
        put_digits(p + 2 - before_point, decimal.digits, count);
        return p + 2 - before_point + count;
    }
    if (count == 1) {
        *p++ = static_cast<char>('0' + decimal.digits);
    } else {
        const SplitDigits split = split_digits(decimal.digits, count - 1);
        p[0] = static_cast<char>('0' + split.high);
        p[1] = '.';
        put_digits(p + 2, split.low, count - 1);
        p += count + 1;
    }
    *p++ = 'e';
    if (exponent < 0) *p++ = '-';
    const int magnitude = exponent < 0 ? -exponent : exponent;  // 16 to 308, or 6 to 324
    const int magnitude_digits = magnitude >= 100 ? 3 : magnitude >= 10 ? 2 : 1;
    put_digits(p, static_cast<std::uint64_t>(magnitude), magnitude_digits);
    return p + magnitude_digits;
}

class Writer {
public:
    explicit Writer(JsonBuffer& out) noexcept : out_(out), p_(out.end()), limit_(out.limit()) {}
    ~Writer() { out_.set_end(p_); }
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

    // level is the nesting level of the container holding value (0 at the top).
    bool value(const Value& value, int level, int max_depth) {
        switch (value.kind()) {
            case Kind::Null: put("null", 4); return true;
            case Kind::Bool:
                if (value.as_bool()) put("true", 4);
                else put("false", 5);
                return true;
            case Kind::Unsigned:
                room(number_room);
                p_ = std::to_chars(p_, p_ + number_room, value.as_unsigned()).ptr;
                return true;
            case Kind::Negative:
                room(number_room);
                p_ = std::to_chars(p_, p_ + number_room, value.as_negative()).ptr;
                return true;
            case Kind::Float: floating(value.as_float()); return true;
            case Kind::String: string(value.as_string()); return true;
            case Kind::Array: return level < max_depth && array(value, level + 1, max_depth);
            case Kind::Object: return level < max_depth && object(value, level + 1, max_depth);
        }
        return false;
    }

    void floating(double number) {
        if (!std::isfinite(number)) {
            put("null", 4);
            return;
        }
        room(number_room);
        p_ = write_double(p_, number);
    }

    void string(std::string_view text) {
        room(text.size() + 2);
        *p_++ = '"';
        const char* at = text.data();
        const char* const end = at + text.size();
        for (;;) {
            const char* run = at;
            at = find_string_stop<NonAscii::Pass>(at, end);
            std::memcpy(p_, run, static_cast<std::size_t>(at - run));
            p_ += at - run;
            if (at == end) break;
            // The escape, the rest unescaped and the closing quote.
            room(static_cast<std::size_t>(end - at) + 6);
            p_ = write_escape(p_, static_cast<unsigned char>(*at++));
        }
        *p_++ = '"';
    }

private:
    bool array(const Value& array, int level, int max_depth) {
        put('[');
        for (const Value* element = array.array_begin(); element != array.array_end(); ++element) {
            if (element != array.array_begin()) put(',');
            if (!value(*element, level, max_depth)) return false;
        }
        put(']');
        return true;
    }

    bool object(const Value& object, int level, int max_depth) {
        put('{');
        for (const Entry* entry = object.object_begin(); entry != object.object_end(); ++entry) {
            if (entry != object.object_begin()) put(',');
            const Key* key = entry->key;
            if (key->plain()) {
                // Whole blocks, so that no copy is a call: the key's storage
                // is padded to them, and the room here is made for one more.
                const std::string_view member = key->member_text();
                room(member.size() + Key::member_block);
                for (std::size_t at = 0; at < member.size(); at += Key::member_block)
                    std::memcpy(p_ + at, member.data() + at, Key::member_block);
                p_ += member.size();
            } else {
                string(key->text());
                put(':');
            }
            if (!value(entry->value, level, max_depth)) return false;
        }
        put('}');
        return true;
    }

    void room(std::size_t bytes) {
        if (static_cast<std::size_t>(limit_ - p_) < bytes) {
            out_.set_end(p_);
            p_ = out_.reserve(bytes);
            limit_ = out_.limit();
        }
    }
    void put(char c) {
        room(1);
        *p_++ = c;
    }
    void put(const char* text, std::size_t size) {
        room(size);
        std::memcpy(p_, text, size);
        p_ += size;
    }

    JsonBuffer& out_;
    char* p_;
    char* limit_;
};

}  // namespace

bool append_json(JsonBuffer& out, const Value& value, int max_depth) {
    Writer writer(out);
    return writer.value(value, 0, max_depth);
}

bool append_json(std::string& out, const Value& value, int max_depth) {
    JsonBuffer buffer;
    const bool written = append_json(buffer, value, max_depth);
    out.append(buffer.data(), buffer.size());
    return written;
}

void append_json_string(std::string& out, std::string_view text) {
    JsonBuffer buffer;
    Writer(buffer).string(text);
    out.append(buffer.data(), buffer.size());
}

}  // namespace quarn
