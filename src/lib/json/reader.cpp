// One pass over the text, no lookahead buffers: strings without escapes are
// taken straight from the input, containers collect their members in scratch
// vectors (one per nesting level, reused for every container at that level)
// and are then built with one exact allocation.
#include "json/reader.h"

#include <bit>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <system_error>
#include <vector>

namespace quarn {

namespace {

constexpr bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

constexpr bool is_whitespace(char c) noexcept { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; }

// Bytes that end a plain run inside a string: quote, backslash, controls and
// anything non-ASCII (which needs UTF-8 validation).
constexpr bool is_string_special(unsigned char c) noexcept { return c == '"' || c == '\\' || c < 0x20 || c >= 0x80; }

// Returns the first string-special byte at or after p, or end. Eight bytes at
// a time where the word trick applies; the lowest flagged byte is always a
// real hit because false flags only appear above a true one.
const char* skip_plain(const char* p, const char* end) noexcept {
    if constexpr (std::endian::native == std::endian::little) {
        constexpr std::uint64_t ones = 0x0101010101010101ULL;
        constexpr std::uint64_t highs = 0x8080808080808080ULL;
        while (end - p >= 8) {
            std::uint64_t word;
            std::memcpy(&word, p, 8);
            std::uint64_t quote = word ^ (ones * '"');
            std::uint64_t backslash = word ^ (ones * '\\');
            std::uint64_t flags = ((quote - ones) & ~quote) | ((backslash - ones) & ~backslash) |
                                  ((word - ones * 0x20) & ~word) | word;
            flags &= highs;
            if (flags != 0) return p + std::countr_zero(flags) / 8;
            p += 8;
        }
    }
    while (p != end && !is_string_special(static_cast<unsigned char>(*p))) ++p;
    return p;
}

// Validates one UTF-8 sequence starting at a byte >= 0x80; returns the byte
// after it, or nullptr for overlong forms, surrogates, values above U+10FFFF
// and truncated or stray bytes.
const char* skip_utf8(const char* p, const char* end) noexcept {
    const auto* bytes = reinterpret_cast<const unsigned char*>(p);
    const std::ptrdiff_t available = end - p;
    const unsigned lead = bytes[0];
    auto continuation = [&](int i) { return (bytes[i] & 0xC0) == 0x80; };
    if (lead < 0xC2) return nullptr;
    if (lead < 0xE0) return available >= 2 && continuation(1) ? p + 2 : nullptr;
    if (lead < 0xF0) {
        if (available < 3) return nullptr;
        const unsigned low = lead == 0xE0 ? 0xA0 : 0x80;
        const unsigned high = lead == 0xED ? 0x9F : 0xBF;
        return bytes[1] >= low && bytes[1] <= high && continuation(2) ? p + 3 : nullptr;
    }
    if (lead < 0xF5) {
        if (available < 4) return nullptr;
        const unsigned low = lead == 0xF0 ? 0x90 : 0x80;
        const unsigned high = lead == 0xF4 ? 0x8F : 0xBF;
        return bytes[1] >= low && bytes[1] <= high && continuation(2) && continuation(3) ? p + 4 : nullptr;
    }
    return nullptr;
}

int hex_digit(char c) noexcept {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The four hex digits at p, or -1.
long hex4(const char* p) noexcept {
    long code = 0;
    for (int i = 0; i < 4; ++i) {
        int digit = hex_digit(p[i]);
        if (digit < 0) return -1;
        code = code * 16 + digit;
    }
    return code;
}

void append_utf8(std::string& out, unsigned long code) {
    char bytes[4];
    std::size_t size;
    if (code < 0x80) {
        bytes[0] = static_cast<char>(code);
        size = 1;
    } else if (code < 0x800) {
        bytes[0] = static_cast<char>(0xC0 | (code >> 6));
        bytes[1] = static_cast<char>(0x80 | (code & 0x3F));
        size = 2;
    } else if (code < 0x10000) {
        bytes[0] = static_cast<char>(0xE0 | (code >> 12));
        bytes[1] = static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        bytes[2] = static_cast<char>(0x80 | (code & 0x3F));
        size = 3;
    } else {
        bytes[0] = static_cast<char>(0xF0 | (code >> 18));
        bytes[1] = static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        bytes[2] = static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        bytes[3] = static_cast<char>(0x80 | (code & 0x3F));
        size = 4;
    }
    out.append(bytes, size);
}

// from_chars reports overflow and underflow alike; a valid JSON number is
// tiny when its first significant digit sits below the units place.
bool decimal_is_tiny(const char* p, const char* end) noexcept {
    if (*p == '-') ++p;
    long long lead = -1;  // power of ten of the first nonzero digit
    const char* integer_start = p;
    while (p != end && is_digit(*p)) ++p;
    if (*integer_start != '0') {
        lead = p - integer_start - 1;
    } else if (p != end && *p == '.') {
        const char* fraction_start = ++p;
        while (p != end && *p == '0') ++p;
        lead = -(p - fraction_start) - 1;
    }
    while (p != end && (*p == '.' || is_digit(*p))) ++p;
    long long exponent = 0;
    if (p != end) {  // at 'e' or 'E'
        ++p;
        bool negative = *p == '-';
        if (*p == '-' || *p == '+') ++p;
        constexpr long long saturation = 1'000'000'000'000LL;
        for (; p != end; ++p)
            if (exponent < saturation) exponent = exponent * 10 + (*p - '0');
        if (negative) exponent = -exponent;
    }
    return lead + exponent < 0;
}

class Reader {
public:
    Reader(std::string_view text) noexcept : cur_(text.data()), end_(text.data() + text.size()) {}
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

    ~Reader() {
        // Members of containers left unfinished by an error still hold keys.
        for (std::vector<Entry>& members : members_)
            for (Entry& entry : members)
                if (entry.key != nullptr) entry.key->release();
        for (std::vector<Key*>& keys : recent_keys_)
            for (Key* key : keys) key->release();
    }

    bool document(Value& out) {
        skip_whitespace();
        if (!value(out, 0)) return false;
        skip_whitespace();
        return cur_ == end_;
    }

private:
    void skip_whitespace() noexcept {
        while (cur_ != end_ && is_whitespace(*cur_)) ++cur_;
    }

    // Parses the value at cur_ into out; depth is the nesting level of its
    // container. out always holds null, which owns nothing, so results are
    // constructed over it in place: no move assignment, no temporaries.
    bool value(Value& out, int depth) {
        if (cur_ == end_) return false;
        switch (*cur_) {
            case '"': {
                std::string_view text;
                if (!string(text)) return false;
                new (&out) Value(Value::string(text));
                return true;
            }
            case '[': return array(out, depth + 1);
            case '{': return object(out, depth + 1);
            case 't': return literal("true") && new (&out) Value(Value::boolean(true));
            case 'f': return literal("false") && new (&out) Value(Value::boolean(false));
            case 'n': return literal("null");
            default: return number(out);
        }
    }

    bool literal(std::string_view word) noexcept {
        if (static_cast<std::size_t>(end_ - cur_) < word.size() || std::memcmp(cur_, word.data(), word.size()) != 0)
            return false;
        cur_ += word.size();
        return true;
    }

    // After an element: true with more_follow set at ',', false at close.
    bool separator(char close, bool& more_follow) noexcept {
        skip_whitespace();
        if (cur_ == end_) return false;
        char c = *cur_++;
        more_follow = c == ',';
        if (more_follow) skip_whitespace();
        return more_follow || c == close;
    }

    bool array(Value& out, int level) {
        if (level > max_read_nesting) return false;
        ++cur_;
        skip_whitespace();
        if (cur_ != end_ && *cur_ == ']') {
            ++cur_;
            new (&out) Value(Value::empty_array());
            return true;
        }
        std::vector<Value>& elements = elements_[level];
        for (bool more_follow = true; more_follow;) {
            elements.emplace_back();
            if (!value(elements.back(), level) || !separator(']', more_follow)) return false;
        }
        new (&out) Value(Value::array(std::move(elements)));
        return true;
    }

    bool object(Value& out, int level) {
        if (level > max_read_nesting) return false;
        ++cur_;
        skip_whitespace();
        if (cur_ != end_ && *cur_ == '}') {
            ++cur_;
            new (&out) Value(Value::empty_object());
            return true;
        }
        std::vector<Entry>& members = members_[level];
        for (bool more_follow = true; more_follow;) {
            if (cur_ == end_ || *cur_ != '"') return false;
            std::string_view name;
            if (!string(name)) return false;
            // The entry goes in first so that the destructor sees the key if
            // anything after interning fails.
            members.emplace_back();
            members.back().key = key_at(level, members.size() - 1, name);
            skip_whitespace();
            if (cur_ == end_ || *cur_ != ':') return false;
            ++cur_;
            skip_whitespace();
            if (!value(members.back().value, level) || !separator('}', more_follow)) return false;
        }
        sort_small(members);
        new (&out) Value(Value::object(std::move(members)));
        return true;
    }

    // Objects at one level tend to repeat the keys of the previous one in the
    // same places, so the key last seen at this position is tried before the
    // intern table. Returns one new reference.
    Key* key_at(int level, std::size_t position, std::string_view name) {
        std::vector<Key*>& recent = recent_keys_[level];
        if (position < recent.size()) {
            Key*& slot = recent[position];
            if (slot->text() != name) {
                Key* key = Key::intern(name);
                slot->release();
                slot = key;
            }
        } else {
            recent.push_back(Key::intern(name));  // a reference for the cache itself
        }
        Key* key = recent[position];
        key->retain();
        return key;
    }

    // Insertion sort, stable so that the last of equal keys still wins in
    // Value::object; it then finds the entries sorted and skips its own sort,
    // which would allocate a buffer for every object.
    static void sort_small(std::vector<Entry>& members) noexcept {
        constexpr std::size_t small_object = 32;
        if (members.size() > small_object) return;
        for (std::size_t i = 1; i < members.size(); ++i) {
            if (!key_less(members[i].key, members[i - 1].key)) continue;
            Entry moving{members[i].key, std::move(members[i].value)};
            std::size_t j = i;
            for (; j > 0 && key_less(moving.key, members[j - 1].key); --j) {
                members[j].key = members[j - 1].key;
                members[j].value = std::move(members[j - 1].value);
            }
            members[j].key = moving.key;
            members[j].value = std::move(moving.value);
        }
    }

    // Parses the string at cur_ (an opening quote). text is the input slice
    // when there are no escapes, otherwise the decoded scratch buffer.
    bool string(std::string_view& text) {
        const char* start = cur_ + 1;
        const char* p = start;
        for (;;) {
            p = skip_plain(p, end_);
            if (p == end_) return false;
            const char c = *p;
            if (c == '"') {
                text = std::string_view(start, static_cast<std::size_t>(p - start));
                cur_ = p + 1;
                return true;
            }
            if (c == '\\') {
                decoded_.assign(start, static_cast<std::size_t>(p - start));
                return escaped_string(p, text);
            }
            p = static_cast<unsigned char>(c) >= 0x80 ? skip_utf8(p, end_) : nullptr;
            if (p == nullptr) return false;
        }
    }

    // The rest of a string from its first escape at p, decoded into decoded_.
    bool escaped_string(const char* p, std::string_view& text) {
        for (;;) {
            const char c = *p;
            if (c == '"') {
                text = decoded_;
                cur_ = p + 1;
                return true;
            }
            if (c == '\\') {
                p = escape(p);
            } else if (static_cast<unsigned char>(c) >= 0x80) {
                const char* next = skip_utf8(p, end_);
                if (next != nullptr) decoded_.append(p, static_cast<std::size_t>(next - p));
                p = next;
            } else {
                return false;
            }
            if (p == nullptr) return false;
            const char* run = p;
            p = skip_plain(p, end_);
            decoded_.append(run, static_cast<std::size_t>(p - run));
            if (p == end_) return false;
        }
    }

    // Decodes the escape at p (a backslash); returns the byte after it or nullptr.
    const char* escape(const char* p) {
        if (end_ - p < 2) return nullptr;
        char plain;
        switch (p[1]) {
            case '"': plain = '"'; break;
            case '\\': plain = '\\'; break;
            case '/': plain = '/'; break;
            case 'b': plain = '\b'; break;
            case 'f': plain = '\f'; break;
            case 'n': plain = '\n'; break;
            case 'r': plain = '\r'; break;
            case 't': plain = '\t'; break;
            case 'u': return unicode_escape(p);
            default: return nullptr;
        }
        decoded_.push_back(plain);
        return p + 2;
    }

    // \uXXXX, or a surrogate pair of two of them; lone surrogates are errors.
    const char* unicode_escape(const char* p) {
        if (end_ - p < 6) return nullptr;
        long code = hex4(p + 2);
        if (code < 0 || (code >= 0xDC00 && code <= 0xDFFF)) return nullptr;
        if (code < 0xD800 || code > 0xDBFF) {
            append_utf8(decoded_, static_cast<unsigned long>(code));
            return p + 6;
        }
        if (end_ - p < 12 || p[6] != '\\' || p[7] != 'u') return nullptr;
        long low = hex4(p + 8);
        if (low < 0xDC00 || low > 0xDFFF) return nullptr;
        append_utf8(decoded_, 0x10000 + ((static_cast<unsigned long>(code) - 0xD800) << 10) +
                                  (static_cast<unsigned long>(low) - 0xDC00));
        return p + 12;
    }

    // Scans past a run of digits; false when there is none.
    bool digits(const char*& p) const noexcept {
        if (p == end_ || !is_digit(*p)) return false;
        do ++p;
        while (p != end_ && is_digit(*p));
        return true;
    }

    bool number(Value& out) {
        const char* start = cur_;
        const char* p = cur_;
        const bool negative = *p == '-';
        if (negative) ++p;
        if (p == end_ || !is_digit(*p)) return false;
        constexpr std::uint64_t limit = std::numeric_limits<std::uint64_t>::max() / 10;  // ...615 / 10
        std::uint64_t magnitude = 0;
        bool fits = true;
        if (*p == '0') {
            ++p;
        } else {
            for (; p != end_ && is_digit(*p); ++p) {
                const unsigned digit = static_cast<unsigned>(*p - '0');
                if (magnitude >= limit && (magnitude > limit || digit > 5)) fits = false;
                magnitude = magnitude * 10 + digit;
            }
        }
        bool integral = true;
        if (p != end_ && *p == '.') {
            ++p;
            if (!digits(p)) return false;
            integral = false;
        }
        if (p != end_ && (*p == 'e' || *p == 'E')) {
            ++p;
            if (p != end_ && (*p == '+' || *p == '-')) ++p;
            if (!digits(p)) return false;
            integral = false;
        }
        cur_ = p;
        if (integral && fits) {
            if (!negative) {
                new (&out) Value(Value::unsigned_int(magnitude));
                return true;
            }
            if (magnitude == 0) {
                new (&out) Value(Value::floating(-0.0));
                return true;
            }
            if (magnitude <= std::uint64_t{1} << 63) {
                new (&out) Value(Value::negative_int(static_cast<std::int64_t>(0 - magnitude)));
                return true;
            }
        }
        return floating(start, p, out);
    }

    static bool floating(const char* start, const char* end, Value& out) noexcept {
        double number = 0;
        const auto result = std::from_chars(start, end, number);
        if (result.ec == std::errc() && result.ptr == end) {
            new (&out) Value(Value::floating(number));
            return true;
        }
        if (result.ec == std::errc::result_out_of_range && decimal_is_tiny(start, end)) {
            new (&out) Value(Value::floating(*start == '-' ? -0.0 : 0.0));
            return true;
        }
        return false;
    }

    const char* cur_;
    const char* const end_;
    std::string decoded_;
    // Indexed by nesting level (1..max_read_nesting).
    std::vector<Value> elements_[max_read_nesting + 1];
    std::vector<Entry> members_[max_read_nesting + 1];
    std::vector<Key*> recent_keys_[max_read_nesting + 1];  // counted references
};

}  // namespace

std::optional<Value> parse_json(std::string_view text) {
    Reader reader(text);
    Value result;
    if (!reader.document(result)) return std::nullopt;
    return result;
}

}  // namespace quarn
