// One pass over the text, no lookahead buffers: strings without escapes are
// taken straight from the input, containers collect their members in scratch
// vectors (one per nesting level, reused for every container at that level)
// and are then built with one exact allocation.
#include "json/reader.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <system_error>
#include <vector>

#include "json/number_decimal.h"
#include "json/string_scan.h"
#include "json/utf8.h"

namespace quarn {

namespace {

constexpr bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

// Space, tab, line feed, carriage return; one comparison for everything else.
constexpr bool is_whitespace(char c) noexcept {
    constexpr std::uint64_t set = 1ULL << ' ' | 1ULL << '\t' | 1ULL << '\n' | 1ULL << '\r';
    return static_cast<unsigned char>(c) <= ' ' && (set >> static_cast<unsigned char>(c) & 1) != 0;
}

std::uint64_t load(const char* p, std::size_t count) noexcept {
    std::uint64_t bytes = 0;
    std::memcpy(&bytes, p, count);
    return bytes;
}

// The four hex digits at p, or -1.
long hex4(const char* p) noexcept {
    long code = 0;
    for (int i = 0; i < 4; ++i) {
        const char c = p[i];
        const char lower = static_cast<char>(c | 0x20);
        if (is_digit(c)) code = code * 16 + (c - '0');
        else if (lower >= 'a' && lower <= 'f') code = code * 16 + (lower - 'a' + 10);
        else return -1;
    }
    return code;
}

// Whether the digits [first, last) (no leading zeros) fit in a uint64.
bool fits_uint64(const char* first, const char* last) noexcept {
    constexpr std::string_view max_text = "18446744073709551615";
    const auto count = static_cast<std::size_t>(last - first);
    return count < max_text.size() || (count == max_text.size() && std::string_view(first, count) <= max_text);
}

// Up to the first eight bytes of text as a number, read without touching any
// byte outside it (overlapping loads hold equal bytes where they overlap).
// On little-endian machines it holds exactly those bytes.
std::uint64_t head_bytes(std::string_view text) noexcept {
    const char* p = text.data();
    const std::size_t n = text.size();
    if (n >= 8) return load(p, 8);
    if (n >= 4) return load(p, 4) | load(p + n - 4, 4) << (8 * (n - 4));
    if (n > 0) return load(p, 1) | load(p + n / 2, 1) << (8 * (n / 2)) | load(p + n - 1, 1) << (8 * (n - 1));
    return 0;
}

// Whether a equals b, whose head_bytes are given; keys are short, so mostly
// without a library call.
bool same_text(std::string_view a, std::string_view b, std::uint64_t b_head) noexcept {
    if constexpr (std::endian::native != std::endian::little) return a == b;
    if (a.size() != b.size() || head_bytes(a) != b_head) return false;
    return a.size() <= 8 || std::memcmp(a.data() + 8, b.data() + 8, a.size() - 8) == 0;
}

// Eight bytes in text order, the first in the lowest byte.
std::uint64_t load_text_order(const char* p) noexcept {
    const std::uint64_t word = load(p, 8);
    if constexpr (std::endian::native == std::endian::little) return word;
    else return __builtin_bswap64(word);
}

// A word of text (in text order) with each byte's value as a digit: 0 to 9
// where it is one.
constexpr std::uint64_t digit_values(std::uint64_t word) noexcept { return word ^ 0x3030303030303030ULL; }

// The high bit of each byte of digit_values that is not a digit (9 < value).
// Only the lowest flag is sure: a byte from 0x8A up carries into the next
// one, but is flagged itself, so no flag is missed and none is false below it.
constexpr std::uint64_t non_digit_flags(std::uint64_t values) noexcept {
    return ((values + 0x7676767676767676ULL) | values) & 0x8080808080808080ULL;
}

// Eight digit values (the first in the lowest byte) as one number: pairs
// joined into 16-bit lanes, then each lane weighted by its power of ten in
// two multiplies whose sums land in the top half.
constexpr std::uint64_t eight_digits(std::uint64_t values) noexcept {
    values = (values * 10 + (values >> 8)) & 0x00FF00FF00FF00FFULL;  // lanes: 10 d0 + d1, ...
    constexpr std::uint64_t lane_mask = 0x0000FFFF0000FFFFULL;
    const std::uint64_t first_of_pairs = (values & lane_mask) * (100 + (1000000ULL << 32));
    const std::uint64_t second_of_pairs = (values >> 16 & lane_mask) * (1 + (10000ULL << 32));
    return (first_of_pairs + second_of_pairs) >> 32;
}

constexpr std::uint64_t powers_of_ten[] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000};

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
        const bool negative = *++p == '-';
        if (*p == '-' || *p == '+') ++p;
        for (; p != end; ++p)
            if (exponent < 1'000'000'000'000LL) exponent = exponent * 10 + (*p - '0');
        if (negative) exponent = -exponent;
    }
    return lead + exponent < 0;
}

class Reader {
public:
    explicit Reader(std::string_view text) noexcept : cur_(text.data()), end_(text.data() + text.size()) {}
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

    ~Reader() {
        // Members of containers left unfinished by an error still hold keys.
        for (std::vector<Entry>& members : members_)
            for (Entry& entry : members)
                if (entry.key != nullptr) entry.key->release();
        for (Key* key : key_cache_)
            if (key != nullptr) key->release();
    }

    bool document(Value& out) {
        skip_whitespace();
        if (!value(out, 0, element_hints_[0])) return false;
        skip_whitespace();
        return cur_ == end_;
    }

    // After a failure: the first byte the reader could not accept (the end of
    // the text when it ended too early). Every failure leaves cur_ there.
    std::size_t fault_offset(const char* begin) const noexcept { return static_cast<std::size_t>(cur_ - begin); }

private:
    // Marks at as the fault; only failure paths call it, so success pays nothing.
    [[gnu::cold]] bool fail_at(const char* at) noexcept {
        cur_ = at;
        return false;
    }

    void skip_whitespace() noexcept {
        while (cur_ != end_ && is_whitespace(*cur_)) ++cur_;
    }

    // Parses the value at cur_ into out; depth is the nesting level of its
    // container. out always holds null, which owns nothing, so results are
    // constructed over it in place: no move assignment, no temporaries.
    bool value(Value& out, int depth, std::uint32_t& first_hint) {
        if (cur_ == end_) return false;
        switch (*cur_) {
            case '"': {
                std::string_view text;
                if (!string(text)) return false;
                new (&out) Value(Value::string(text, width_of_greatest_byte(widest_)));
                return true;
            }
            case '[': return array(out, depth + 1);
            case '{': return object(out, depth + 1, first_hint);
            case 't': return boolean(out, "true", true);
            case 'f': return boolean(out, "false", false);
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

    bool boolean(Value& out, std::string_view word, bool flag) noexcept {
        if (!literal(word)) return false;
        new (&out) Value(Value::boolean(flag));
        return true;
    }

    // After an element: true with more_follow set at ',', false at close.
    bool separator(char close, bool& more_follow) noexcept {
        skip_whitespace();
        if (cur_ == end_) return false;
        const char c = *cur_++;
        more_follow = c == ',';
        if (more_follow) skip_whitespace();
        return more_follow || c == close || fail_at(cur_ - 1);
    }

    // Consumes the opening bracket, and the closing one when the container is
    // empty (an empty scratch vector then builds it without allocating).
    bool open_container(char close) noexcept {
        ++cur_;
        skip_whitespace();
        if (cur_ == end_ || *cur_ != close) return false;
        ++cur_;
        return true;
    }

    bool array(Value& out, int level) {
        if (level > max_read_nesting) return false;
        std::vector<Value>& elements = elements_[level];
        for (bool more_follow = !open_container(']'); more_follow;) {
            elements.emplace_back();
            if (!value(elements.back(), level, element_hints_[level]) || !separator(']', more_follow)) return false;
        }
        new (&out) Value(Value::array(std::move(elements)));
        return true;
    }

    // first_hint: where the first key of the last object in this place is
    // remembered (its key's hint, or its level's as an element).
    bool object(Value& out, int level, std::uint32_t& first_hint) {
        if (level > max_read_nesting) return false;
        std::vector<Entry>& members = members_[level];
        // Each key is first tried as the one that followed the previous key
        // last time (the first as the one that began the last such object).
        std::uint32_t* hint = &first_hint;
        for (bool more_follow = !open_container('}'); more_follow;) {
            if (cur_ == end_ || *cur_ != '"') return false;
            // The entry goes in before the key, so that the destructor
            // releases the key whatever fails next.
            members.emplace_back();
            Key* key = *hint != 0 ? predicted_key(*hint) : nullptr;
            if (key == nullptr) {
                std::string_view name;
                if (!string(name)) return false;
                key = cached_key(name);
                *hint = key->id();
            }
            members.back().key = key;
            hint = &key->next_key_hint();  // the entry keeps the key alive
            skip_whitespace();
            if (cur_ == end_ || *cur_ != ':') return false;
            ++cur_;
            skip_whitespace();
            if (!value(members.back().value, level, key->first_member_hint()) || !separator('}', more_follow))
                return false;
        }
        new (&out) Value(Value::object(std::move(members)));
        return true;
    }

    // The key with this id when the text at cur_ is that key as a plain
    // string (the key needs no escapes, so the bytes decide): consumed, and
    // one new reference returned. Null otherwise, cur_ unmoved. The id may
    // have died, or been given to another key since: the bytes still decide.
    Key* predicted_key(std::uint32_t id) noexcept {
        Key* key = Key::from_id(id);
        if (key == nullptr || !key->plain()) return nullptr;
        const std::size_t quoted = key->text().size() + 2;  // "text"
        if (static_cast<std::size_t>(end_ - cur_) < quoted || std::memcmp(cur_, key->member_text().data(), quoted) != 0)
            return nullptr;
        cur_ += quoted;
        key->retain();
        return key;
    }

    // Documents repeat a small set of keys, so a direct-mapped cache on a
    // cheap hash answers most lookups without the intern table's hashing and
    // probing. Returns one new reference.
    Key* cached_key(std::string_view name) {
        const std::uint64_t tail = name.size() > 8 ? load(name.data() + name.size() - 8, 8) : 0;
        const std::uint64_t head = head_bytes(name);
        const std::uint64_t hash = (head ^ (tail * 0xC2B2AE3D27D4EB4FULL) ^ name.size()) * 0x9E3779B97F4A7C15ULL;
        Key*& slot = key_cache_[hash >> (64 - key_cache_bits)];
        if (slot == nullptr || !same_text(slot->text(), name, head)) {
            Key* key = Key::intern(name);  // this reference stays with the cache
            if (slot != nullptr) slot->release();
            slot = key;
        }
        slot->retain();
        return slot;
    }

    // Parses the string at cur_ (an opening quote). text is the input slice
    // when there are no escapes, otherwise the decoded scratch buffer; widest_
    // is then the greatest byte of its UTF-8.
    bool string(std::string_view& text) {
        widest_ = 0;
        const char* start = cur_ + 1;
        const char* p = start;
        for (;;) {
            p = find_string_stop<NonAscii::Stop>(p, end_);
            if (p == end_) return fail_at(p);
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
            if (static_cast<unsigned char>(c) < 0x80) return fail_at(p);  // a control character
            // Text in other scripts runs in multi-byte characters: they are
            // checked one after another before the plain scan resumes.
            do {
                widest_ = std::max(widest_, static_cast<unsigned char>(*p));
                const char* next = skip_utf8_sequence(p, end_);
                if (next == nullptr) return fail_at(p);
                p = next;
            } while (p != end_ && static_cast<unsigned char>(*p) >= 0x80);
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
            const char* next = nullptr;
            if (c == '\\') {
                next = escape(p);
            } else if (static_cast<unsigned char>(c) >= 0x80) {
                widest_ = std::max(widest_, static_cast<unsigned char>(c));
                next = skip_utf8_sequence(p, end_);
                if (next != nullptr) decoded_.append(p, static_cast<std::size_t>(next - p));
            }
            if (next == nullptr) return fail_at(p);
            p = find_string_stop<NonAscii::Stop>(next, end_);
            decoded_.append(next, static_cast<std::size_t>(p - next));
            if (p == end_) return fail_at(p);
        }
    }

    // Decodes the escape at p (a backslash); returns the byte after it or nullptr.
    const char* escape(const char* p) {
        if (end_ - p < 2) return nullptr;
        static constexpr std::string_view names = "\"\\/bfnrt";
        static constexpr std::string_view meanings = "\"\\/\b\f\n\r\t";
        if (p[1] == 'u') return unicode_escape(p);
        const std::size_t at = names.find(p[1]);
        if (at == std::string_view::npos) return nullptr;
        decoded_.push_back(meanings[at]);
        return p + 2;
    }

    // \uXXXX, or a surrogate pair of two of them; lone surrogates are errors.
    const char* unicode_escape(const char* p) {
        if (end_ - p < 6) return nullptr;
        const long code = hex4(p + 2);
        if (code < 0 || (code >= 0xDC00 && code <= 0xDFFF)) return nullptr;
        if (code < 0xD800 || code > 0xDBFF) {
            append_decoded(static_cast<std::uint32_t>(code));
            return p + 6;
        }
        if (end_ - p < 12 || p[6] != '\\' || p[7] != 'u') return nullptr;
        const long low = hex4(p + 8);
        if (low < 0xDC00 || low > 0xDFFF) return nullptr;
        append_decoded(static_cast<std::uint32_t>(0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00)));
        return p + 12;
    }

    void append_decoded(std::uint32_t code) {
        const std::size_t before = decoded_.size();
        append_utf8(decoded_, code);
        widest_ = std::max(widest_, static_cast<unsigned char>(decoded_[before]));
    }

    // Scans past a run of digits at p, appending them to value (which wraps
    // past 19 digits: callers count them). Eight bytes at a time while that
    // many are left in the text, so the last word of a run is converted as
    // far as its digits go.
    const char* scan_digits(const char* p, std::uint64_t& value) const noexcept {
        while (end_ - p >= 8) {
            const std::uint64_t values = digit_values(load_text_order(p));
            const std::uint64_t others = non_digit_flags(values);
            if (others == 0) {
                value = value * 100'000'000 + eight_digits(values);
                p += 8;
                continue;
            }
            // The digits before the first other byte, moved to the top
            // bytes: zeros (leading zeros) come in below them.
            const int count = std::countr_zero(others) / 8;
            if (count == 0) return p;
            value = value * powers_of_ten[count] + eight_digits(values << (64 - 8 * count));
            return p + count;
        }
        for (; p != end_ && is_digit(*p); ++p) value = value * 10 + static_cast<unsigned>(*p - '0');
        return p;
    }

    bool number(Value& out) {
        const char* start = cur_;
        const char* p = cur_;
        const bool negative = *p == '-';
        if (negative) ++p;
        if (p == end_ || !is_digit(*p)) return fail_at(p);
        const char* integer_start = p;
        std::uint64_t significand = 0;  // every digit, wrapping when too long
        if (*p == '0') {
            ++p;  // a digit after a leading zero is left over, and so rejected
        } else {
            p = scan_digits(p, significand);
        }
        const char* integer_end = p;
        std::int64_t fraction_digits = 0;
        bool integral = true;
        if (p != end_ && *p == '.') {
            const char* fraction_start = ++p;
            p = scan_digits(p, significand);
            if (p == fraction_start) return fail_at(p);
            fraction_digits = p - fraction_start;
            integral = false;
        }
        const char* digits_end = p;
        std::int64_t exponent = 0;  // stops growing where every result is 0 or infinite anyway
        if (p != end_ && (*p == 'e' || *p == 'E')) {
            bool exponent_negative = false;
            if (++p != end_ && (*p == '+' || *p == '-')) exponent_negative = *p++ == '-';
            if (p == end_ || !is_digit(*p)) return fail_at(p);
            do {
                if (exponent < 100'000'000'000'000'000) exponent = exponent * 10 + (*p - '0');
            } while (++p != end_ && is_digit(*p));
            if (exponent_negative) exponent = -exponent;
            integral = false;
        }
        cur_ = p;
        // 19 digits always fit; fits_uint64 sees to 20. Integers that do not
        // fit are read as doubles.
        if (integral && (integer_end - integer_start < 20 || fits_uint64(integer_start, integer_end))) {
            if (!negative) {
                new (&out) Value(Value::unsigned_int(significand));
                return true;
            }
            if (significand <= std::uint64_t{1} << 63) {
                if (significand == 0) new (&out) Value(Value::floating(-0.0));  // the text -0
                else new (&out) Value(Value::negative_int(static_cast<std::int64_t>(0 - significand)));
                return true;
            }
        }
        // A number out of range is at fault as a whole.
        const Scanned scanned{start,    integer_start, integer_end, digits_end, p, fraction_digits,
                              exponent, significand,   negative};
        return floating(scanned, out) || fail_at(start);
    }

    // A number as number() scanned it.
    struct Scanned {
        const char* start;          // the sign or first digit
        const char* integer_start;  // [integer_start, digits_end): the digits and the point
        const char* integer_end;
        const char* digits_end;
        const char* end;
        std::int64_t fraction_digits;
        std::int64_t exponent;
        std::uint64_t significand;  // of all the digits; right while at most 19 are significant
        bool negative;
    };

    // The number as a double; false when out of range.
    static bool floating(const Scanned& number, Value& out) noexcept {
        std::int64_t power = number.exponent - number.fraction_digits;
        bool truncated = false;
        std::uint64_t significand = number.significand;
        // A lone zero before the point is no significant digit.
        const std::int64_t integer_digits =
            *number.integer_start == '0' ? 0 : number.integer_end - number.integer_start;
        if (integer_digits + number.fraction_digits > 19)
            significand = leading_digits(number.integer_start, number.digits_end, power, truncated);
        std::uint64_t bits = 0;
        if (!number::decimal_to_double(significand, power, truncated, bits))
            return floating_from_text(number.start, number.end, out);
        if (bits == number::infinity_bits) return false;
        new (&out) Value(Value::floating(std::bit_cast<double>(bits | std::uint64_t{number.negative} << 63)));
        return true;
    }

    // The first 19 significant digits of [p, end) (digits and at most one
    // point, which is skipped); power grows by the digits left out, truncated
    // tells whether any of those was not zero.
    static std::uint64_t leading_digits(const char* p, const char* end, std::int64_t& power,
                                        bool& truncated) noexcept {
        std::uint64_t value = 0;
        int taken = 0;
        for (; p != end && (*p == '0' || *p == '.'); ++p) {}
        for (; p != end; ++p) {
            if (*p == '.') continue;
            if (taken < 19) {
                value = value * 10 + static_cast<unsigned>(*p - '0');
                ++taken;
            } else {
                ++power;
                truncated |= *p != '0';
            }
        }
        return value;
    }

    // For the few numbers decimal_to_double leaves undecided: the library,
    // which reports overflow and underflow alike.
    static bool floating_from_text(const char* start, const char* end, Value& out) noexcept {
        double number = 0;
        const auto result = std::from_chars(start, end, number);
        if (result.ec == std::errc() && result.ptr == end) new (&out) Value(Value::floating(number));
        else if (result.ec == std::errc::result_out_of_range && decimal_is_tiny(start, end))
            new (&out) Value(Value::floating(*start == '-' ? -0.0 : 0.0));
        else return false;
        return true;
    }

    const char* cur_;
    const char* const end_;
    std::string decoded_;
    unsigned char widest_ = 0;  // of the last string parsed
    // Indexed by nesting level (1..max_read_nesting).
    std::vector<Value> elements_[max_read_nesting + 1];
    std::vector<Entry> members_[max_read_nesting + 1];
    // The first key of the last object met at each level as an array's
    // element (or as the document), for the next one there.
    std::uint32_t element_hints_[max_read_nesting + 1] = {};
    static constexpr int key_cache_bits = 8;
    Key* key_cache_[1 << key_cache_bits] = {};  // counted references
};

}  // namespace

std::optional<Value> parse_json(std::string_view text, std::size_t* fault_offset) {
    Reader reader(text);
    Value result;
    if (!reader.document(result)) {
        if (fault_offset != nullptr) *fault_offset = reader.fault_offset(text.data());
        return std::nullopt;
    }
    return result;
}

TextPosition text_position(std::string_view text, std::size_t offset) noexcept {
    const std::string_view before = text.substr(0, offset);
    const std::size_t line_break = before.rfind('\n');
    const std::string_view line = line_break == std::string_view::npos ? before : before.substr(line_break + 1);
    TextPosition position{1, 1};
    position.line += static_cast<std::size_t>(std::count(before.begin(), before.end(), '\n'));
    // Characters: every byte but UTF-8 continuation bytes starts one.
    for (char c : line) position.column += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    return position;
}

}  // namespace quarn
