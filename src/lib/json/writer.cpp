// Text goes straight into the output buffer: room is reserved first, then
// numbers are formatted in place and unescaped string runs copied in one
// piece, with no temporaries in between.
#include "json/writer.h"

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

// The decimal digits of value, at most 20, written to end at end; returns where they start.
char* digits_before(char* end, std::uint64_t value) noexcept {
    static constexpr char pairs[] =
        "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
        "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
        "8081828384858687888990919293949596979899";
    while (value >= 100) {
        end -= 2;
        std::memcpy(end, pairs + value % 100 * 2, 2);
        value /= 100;
    }
    if (value >= 10) {
        end -= 2;
        std::memcpy(end, pairs + value * 2, 2);
    } else {
        *--end = static_cast<char>('0' + value);
    }
    return end;
}

// The layout of a finite double: its shortest round-trip digits, written
// out in full from 1e-5 up to 1e16 (".0" after a whole number), otherwise as
// d.ddde<exponent> with no plus sign or leading zeros. Room for number_room
// bytes at p; returns the end.
char* write_double(char* p, double number) noexcept {
    if (std::signbit(number)) *p++ = '-';
    const ShortestDecimal decimal = shortest_decimal(number);
    char buffer[20];
    char* const buffer_end = buffer + sizeof buffer;
    const char* const digits = digits_before(buffer_end, decimal.digits);
    const int count = static_cast<int>(buffer_end - digits);
    const int exponent = decimal.exponent + count - 1;  // of the first digit
    const int before_point = exponent + 1;
    auto put = [&p](const char* from, int size) {
        std::memcpy(p, from, static_cast<std::size_t>(size));
        p += size;
    };
    if (before_point > 0 && before_point <= 16) {
        if (count <= before_point) {
            put(digits, count);
            std::memset(p, '0', static_cast<std::size_t>(before_point - count));
            p += before_point - count;
            put(".0", 2);
            return p;
        }
        put(digits, before_point);
        *p++ = '.';
        put(digits + before_point, count - before_point);
        return p;
    }
    if (before_point > -5 && before_point <= 0) {
        put("0.0000", 2 - before_point);
        put(digits, count);
        return p;
    }
    *p++ = digits[0];
    if (count > 1) {
        *p++ = '.';
        put(digits + 1, count - 1);
    }
    *p++ = 'e';
    if (exponent < 0) *p++ = '-';
    char exponent_digits[4];
    const char* const first = digits_before(exponent_digits + 4, static_cast<std::uint64_t>(exponent < 0 ? -exponent : exponent));
    put(first, static_cast<int>(exponent_digits + 4 - first));
    return p;
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
                const std::string_view text = key->text();
                room(text.size() + 3);
                *p_++ = '"';
                std::memcpy(p_, text.data(), text.size());
                p_ += text.size();
                p_[0] = '"';
                p_[1] = ':';
                p_ += 2;
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
