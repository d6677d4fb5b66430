// The reader's numbers against the standard library. A number read in one
// pass must be, bit for bit, the double std::from_chars makes of the same
// text; an integer stays an integer while it fits in 64 bits; what is not a
// number is refused at the first byte the grammar cannot take, and a number
// out of range at its start. Texts: doubles of random bit
// patterns printed shortest, to 17 digits and with more; random digit strings
// with exponents across the whole range; midpoints between neighbouring
// doubles, exact and a little off; integers around 2^53, 2^63 and 2^64; and
// strings of number characters that are mostly not numbers at all.
//   engine_numbers [--cases N] [--seed S]   (defaults: 2000000 cases, a fixed seed)
#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "check.h"
#include "json/number_decimal.h"
#include "json/number_powers.h"
#include "json/reader.h"

using namespace quarn;

namespace {

void report(const char* what, std::string_view text) { test::fail(std::string(what) + ": " + std::string(text)); }

// --- The table of powers of five, checked by multiplication -----------------

// Little-endian 32-bit words, no leading zero words.
using Big = std::vector<std::uint32_t>;

void trim(Big& a) {
    while (!a.empty() && a.back() == 0) a.pop_back();
}

Big multiply(const Big& a, const Big& b) {
    Big out(a.size() + b.size(), 0);
    for (std::size_t i = 0; i < a.size(); ++i) {
        std::uint64_t carry = 0;
        for (std::size_t j = 0; j < b.size(); ++j) {
            const std::uint64_t sum = std::uint64_t{a[i]} * b[j] + out[i + j] + carry;
            out[i + j] = static_cast<std::uint32_t>(sum);
            carry = sum >> 32;
        }
        out[i + b.size()] = static_cast<std::uint32_t>(carry);
    }
    trim(out);
    return out;
}

Big add(const Big& a, const Big& b) {
    Big out(std::max(a.size(), b.size()) + 1, 0);
    std::uint64_t carry = 0;
    for (std::size_t i = 0; i < out.size(); ++i) {
        carry += (i < a.size() ? a[i] : 0) + std::uint64_t{i < b.size() ? b[i] : 0};
        out[i] = static_cast<std::uint32_t>(carry);
        carry >>= 32;
    }
    trim(out);
    return out;
}

int compare(const Big& a, const Big& b) {
    if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
    for (std::size_t i = a.size(); i-- > 0;)
        if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
    return 0;
}

Big power_of_two(int exponent) {
    Big out(static_cast<std::size_t>(exponent / 32 + 1), 0);
    out.back() = 1u << (exponent % 32);
    return out;
}

Big from_128(std::uint64_t high, std::uint64_t low) {
    Big out = {static_cast<std::uint32_t>(low), static_cast<std::uint32_t>(low >> 32),
               static_cast<std::uint32_t>(high), static_cast<std::uint32_t>(high >> 32)};
    trim(out);
    return out;
}

// Each entry T for 5^q with k = floor(q log2 5): T has 128 bits and
// T <= 5^q * 2^(127 - k) < T + 1, multiplied out to integers on both sides.
void check_power_table() {
    Big five_power = {1};  // 5^|q|
    const int largest = std::max(number::max_table_power5, -number::min_power5);
    for (int n = 0; n <= largest; ++n, five_power = multiply(five_power, {5})) {
        for (int q : {n, -n}) {
            if (q < number::min_power5 || q > number::max_table_power5 || (q == -n && n == 0)) continue;
            const number::Power5& entry = number::power5(q);
            const int k = number::floor_log2_pow10(q) - q;
            const Big t = from_128(entry.high, entry.low), t_next = add(t, {1});
            bool holds = entry.high >> 63 == 1;
            if (q >= 0 && 127 - k >= 0) {
                holds = holds && compare(t, multiply(five_power, power_of_two(127 - k))) == 0;
            } else if (q >= 0) {  // T * 2^(k - 127) <= 5^q < (T + 1) * 2^(k - 127)
                const Big scale = power_of_two(k - 127);
                holds = holds && compare(multiply(t, scale), five_power) <= 0 &&
                        compare(five_power, multiply(t_next, scale)) < 0;
            } else {  // T * 5^n <= 2^(127 - k) < (T + 1) * 5^n
                const Big target = power_of_two(127 - k);
                holds = holds && compare(multiply(t, five_power), target) <= 0 &&
                        compare(target, multiply(t_next, five_power)) < 0;
            }
            if (!holds) report("power of five table entry", std::to_string(q));
        }
    }
}

// The 128-bit product for compilers without a 128-bit integer, against the one with.
void check_multiply_in_halves(std::uint64_t seed) {
#if defined(__SIZEOF_INT128__)
    std::mt19937_64 random(seed);
    for (int i = 0; i < 100000; ++i) {
        // Random words, and words of all ones and zeros in either half, where carries go far.
        static constexpr std::uint64_t masks[] = {~std::uint64_t{0}, 0xFFFFFFFF, 0xFFFFFFFF00000000ULL};
        std::uint64_t a = random(), b = random();
        if (i % 4 == 1) a |= masks[random() % 3];
        if (i % 4 == 2) b |= masks[random() % 3];
        const number::Product128 native = number::multiply_128(a, b), halves = number::multiply_128_in_halves(a, b);
        if (native.high != halves.high || native.low != halves.low)
            report("the product in halves", std::to_string(a) + " * " + std::to_string(b));
    }
#else
    (void)seed;
#endif
}

// --- What the reader must give ----------------------------------------------

struct Expected {
    bool accepted = false;
    std::size_t fault = 0;  // when refused
    Kind kind = Kind::Null;
    std::uint64_t bits = 0;  // the integer, or the double's bits
};

// The end of the number at the start of text by the JSON grammar, or where it
// stops being one (the text's size when it ends too early) with ok false.
std::size_t grammar_end(std::string_view text, bool& ok) {
    std::size_t i = 0;
    const auto digit = [&](std::size_t at) { return at < text.size() && text[at] >= '0' && text[at] <= '9'; };
    ok = false;
    if (i < text.size() && text[i] == '-') ++i;
    if (!digit(i)) return i;
    if (text[i] == '0') {
        ++i;
    } else {
        while (digit(i)) ++i;
    }
    if (i < text.size() && text[i] == '.') {
        if (!digit(++i)) return i;
        while (digit(i)) ++i;
    }
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
        if (!digit(i)) return i;
        while (digit(i)) ++i;
    }
    ok = true;
    return i;
}

// The value the reader gives a number text (the grammar already checked).
Expected expected_value(std::string_view text) {
    Expected out;
    out.accepted = true;
    const bool negative = text[0] == '-';
    const std::string_view digits = text.substr(negative);
    if (digits.find_first_of(".eE") == std::string_view::npos) {
        std::uint64_t magnitude = 0;
        bool fits = true;
        for (char c : digits)
            fits = fits && !__builtin_mul_overflow(magnitude, 10, &magnitude) &&
                   !__builtin_add_overflow(magnitude, static_cast<unsigned>(c - '0'), &magnitude);
        if (fits && !negative) {
            out.kind = Kind::Unsigned;
            out.bits = magnitude;
            return out;
        }
        if (fits && negative && magnitude == 0) {
            out.kind = Kind::Float;
            out.bits = std::bit_cast<std::uint64_t>(-0.0);
            return out;
        }
        if (fits && magnitude <= std::uint64_t{1} << 63) {
            out.kind = Kind::Negative;
            out.bits = 0 - magnitude;
            return out;
        }
    }
    double number = 0;
    const auto result = std::from_chars(text.data(), text.data() + text.size(), number);
    out.kind = Kind::Float;
    if (result.ec == std::errc::result_out_of_range) {
        // from_chars does not say which way; strtod does, by what it returns.
        const std::string copy(text);
        if (std::isinf(std::strtod(copy.c_str(), nullptr))) return Expected{false, 0, Kind::Null, 0};
        number = negative ? -0.0 : 0.0;
    } else if (result.ec != std::errc() || result.ptr != text.data() + text.size()) {
        report("from_chars did not read a valid number", text);
    }
    out.bits = std::bit_cast<std::uint64_t>(number);
    return out;
}

Expected expected_for(std::string_view text) {
    bool ok = false;
    const std::size_t end = grammar_end(text, ok);
    if (!ok) return Expected{false, end, Kind::Null, 0};
    // A number out of range is refused at its start before anything after it
    // is looked at; then nothing but whitespace may follow.
    const Expected value = expected_value(text.substr(0, end));
    if (value.accepted && text.find_first_not_of(" \t\n\r", end) != std::string_view::npos)
        return Expected{false, end, Kind::Null, 0};
    return value;
}

bool same_value(const Value& value, const Expected& expected) {
    if (value.kind() != expected.kind) return false;
    switch (value.kind()) {
        case Kind::Unsigned: return value.as_unsigned() == expected.bits;
        case Kind::Negative: return static_cast<std::uint64_t>(value.as_negative()) == expected.bits;
        case Kind::Float: return std::bit_cast<std::uint64_t>(value.as_float()) == expected.bits;
        default: return false;
    }
}

// --- The texts --------------------------------------------------------------

class Texts {
public:
    explicit Texts(std::uint64_t seed) : random_(seed) {}

    std::string next() {
        switch (below(16)) {
            case 0: case 1: case 2: return shortest(random_double());
            case 3: return precise(random_double(), 17);
            case 4: return precise(random_double(), static_cast<int>(1 + below(40)));
            case 5: return with_extra_digits(shortest(random_double()));
            case 6: case 7: case 8: return digit_string();
            case 9: case 10: return near_midpoint();
            case 11: return around_integer_limits();
            case 12: return number_characters();
            case 13: return shortest(std::bit_cast<double>(edge_bits()));
            case 14: return precise(std::bit_cast<double>(edge_bits()), static_cast<int>(1 + below(30)));
            default: return digit_string();
        }
    }

private:
    std::uint64_t below(std::uint64_t n) { return random_() % n; }
    bool coin() { return (random_() & 1) != 0; }
    char digit() { return static_cast<char>('0' + below(10)); }

    double random_double() {
        for (;;) {
            const double d = std::bit_cast<double>(random_());
            if (std::isfinite(d)) return d;
        }
    }

    // Subnormals, the smallest normals and the largest doubles.
    std::uint64_t edge_bits() {
        const std::uint64_t sign = random_() & (std::uint64_t{1} << 63);
        const std::uint64_t mantissa = random_() & ((std::uint64_t{1} << 52) - 1);
        static constexpr std::uint64_t exponents[] = {0, 0, 1, 2, 0x7FE, 0x7FD};
        std::uint64_t bits = sign | exponents[below(6)] << 52 | (coin() ? mantissa : mantissa >> below(52));
        // DBL_MAX and below it, the least subnormals.
        if (below(4) == 0) bits = sign | (coin() ? 0x7FEFFFFFFFFFFFFFULL - below(4) : below(4));
        return bits;
    }

    static std::string shortest(double d) {
        char buffer[64];
        return std::string(buffer, std::to_chars(buffer, buffer + sizeof buffer, d).ptr);
    }

    // Exactly precision significant digits, in fixed or scientific form.
    std::string precise(double d, int precision) {
        char buffer[512];
        const bool fixed = std::fabs(d) > 1e-30 && std::fabs(d) < 1e30 && coin();
        const auto format = fixed ? std::chars_format::fixed : std::chars_format::scientific;
        const int digits = fixed ? static_cast<int>(below(40)) : precision - 1;
        return std::string(buffer, std::to_chars(buffer, buffer + sizeof buffer, d, format, digits).ptr);
    }

    // Random digits where the significand ends (before any exponent).
    std::string with_extra_digits(std::string text) {
        std::size_t at = text.find_first_of("eE");
        if (at == std::string::npos) at = text.size();
        std::string extra;
        if (text.find('.') == std::string::npos) extra += '.';
        for (std::uint64_t n = 1 + below(25); n > 0; --n) extra += digit();
        return text.insert(at, extra);
    }

    std::string exponent_text(long exponent) {
        std::string text = coin() ? "e" : "E";
        if (exponent < 0) text += '-';
        else if (coin()) text += '+';
        if (below(8) == 0) text += std::string(below(3), '0');
        return text + std::to_string(std::labs(exponent));
    }

    // 1 to 40 digits, the point anywhere or nowhere, exponents from deep
    // below the subnormals to beyond DBL_MAX.
    std::string digit_string() {
        std::string text = coin() ? "-" : "";
        const std::size_t count = 1 + below(40);
        std::string digits;
        for (std::size_t i = 0; i < count; ++i) digits += digit();
        if (below(8) == 0) std::fill(digits.begin() + static_cast<long>(1 + below(count)), digits.end(), '0');
        const std::size_t point = below(count + 2);  // count or more: no point
        // No digit may follow a leading zero.
        if (point != 1 && count > 1 && digits[0] == '0') digits[0] = static_cast<char>('1' + below(9));
        if (point == 0 || below(6) == 0) {
            text += "0." + std::string(below(30), '0') + digits;
        } else if (point < count) {
            text += digits.substr(0, point) + "." + digits.substr(point);
        } else {
            text += digits;
        }
        long exponent;
        switch (below(4)) {
            case 0: exponent = static_cast<long>(below(61)) - 30; break;
            case 1: exponent = static_cast<long>(below(700)) - 360; break;
            case 2:  // near DBL_MAX, or among the subnormals and below
                exponent = coin() ? 280 + static_cast<long>(below(50)) : static_cast<long>(below(60)) - 365;
                break;
            default: return text;  // no exponent: an integer, unless there is a point
        }
        return text + exponent_text(exponent);
    }

    // The midpoint between a double and the next one up, which needs one bit
    // more than a double: exactly, then cut short (just below), then with a
    // digit added (just above).
    std::string near_midpoint() {
        using wide = std::numeric_limits<long double>;
        static_assert(wide::digits >= 54 && wide::min_exponent < std::numeric_limits<double>::min_exponent - 53,
                      "a midpoint between doubles must be a long double");
        double d = below(3) == 0 ? std::bit_cast<double>(edge_bits()) : random_double();
        d = std::fabs(d);
        if (d == std::numeric_limits<double>::max()) d = std::nextafter(d, 0.0);
        if (below(4) == 0) {  // integers from 2^53 up, where midpoints are integers too
            const auto integer = static_cast<double>((std::uint64_t{1} << 53) + below(1 << 20));
            d = std::ldexp(integer, static_cast<int>(below(12)));
        }
        const long double midpoint = (static_cast<long double>(d) + std::nextafter(d, 1e308)) / 2;
        // Every digit: a midpoint k 2^-j (k odd) has j digits after the point,
        // of which about 0.301 (j - 53) are leading zeros; above 2^53 it is an integer.
        int binary_exponent = 0;
        (void)std::frexp(midpoint, &binary_exponent);
        const int fraction_bits = 54 - binary_exponent;
        const int precision =
            fraction_bits > 0 ? fraction_bits - (fraction_bits - 54) * 3 / 10 + 2 : binary_exponent * 3 / 10 + 2;
        char buffer[1200];
        std::snprintf(buffer, sizeof buffer, "%.*Le", precision, midpoint);
        std::string text = buffer;
        const std::size_t e = text.find('e');
        std::string mantissa = text.substr(0, e);
        const std::string exponent = text.substr(e);
        while (mantissa.back() == '0') mantissa.pop_back();
        if (mantissa.back() == '.') mantissa.pop_back();
        switch (below(4)) {
            case 0: break;
            case 1:
                if (mantissa.size() > 19) mantissa.resize(17 + below(mantissa.size() - 17));
                break;
            case 2:
                if (mantissa.find('.') == std::string::npos) mantissa += '.';
                mantissa += std::string(below(30), '0') + "1";
                break;
            default: {
                // Written out without an exponent when short enough (as an
                // integer it is not a double at all when it fits 64 bits).
                if (d < 1e25 && d >= 1) {
                    std::snprintf(buffer, sizeof buffer, "%.60Lf", midpoint);  // 53 fraction digits at most
                    std::string fixed = buffer;
                    while (fixed.back() == '0' && fixed[fixed.size() - 2] != '.') fixed.pop_back();
                    return fixed;
                }
            }
        }
        if (mantissa.back() == '.') mantissa.pop_back();
        return mantissa + exponent;
    }

    std::string around_integer_limits() {
        static constexpr std::uint64_t limits[] = {std::uint64_t{1} << 53, std::uint64_t{1} << 63,
                                                   10000000000000000000ULL, 0};
        const std::uint64_t limit = limits[below(4)];  // 0: 2^64
        const long offset = static_cast<long>(below(2001)) - 1000;
        std::string text = coin() ? "-" : "";
        if (limit == 0 && offset >= 0) {
            // 2^64 + offset, past uint64: the digits of 18446744073709551616 + offset.
            std::string digits = "18446744073709551616";
            long carry = offset;
            for (std::size_t i = digits.size(); i-- > 0 && carry > 0;) {
                const long sum = digits[i] - '0' + carry;
                digits[i] = static_cast<char>('0' + sum % 10);
                carry = sum / 10;
            }
            text += digits;
        } else {
            text += std::to_string(limit + static_cast<std::uint64_t>(offset));
        }
        switch (below(5)) {
            case 0: text += ".0"; break;
            case 1: text += "e0"; break;
            case 2: text += "E+00"; break;
            case 3: text += std::string(1 + below(3), '0'); break;
            default: break;
        }
        return text;
    }

    // Short strings of the characters numbers are made of: mostly no number.
    std::string number_characters() {
        static constexpr std::string_view alphabet = "0123456789-+.eE00112";
        std::string text;
        for (std::uint64_t n = 1 + below(12); n > 0; --n) text += alphabet[below(alphabet.size())];
        if (below(4) == 0) text += " ,]x"[below(4)];
        return text;
    }

    std::mt19937_64 random_;
};

// --- Running them -----------------------------------------------------------

// One text alone, in a buffer of exactly its size, so that the sanitizers
// catch a read past the end of the text.
void check_alone(const std::string& text, const Expected& expected) {
    const std::unique_ptr<char[]> exact(new char[text.size()]);
    std::memcpy(exact.get(), text.data(), text.size());
    std::size_t fault = std::string::npos;
    const std::optional<Value> value = parse_json(std::string_view(exact.get(), text.size()), &fault);
    if (value.has_value() != expected.accepted) report(expected.accepted ? "refused" : "accepted", text);
    else if (!value && fault != expected.fault) report("refused at another offset", text);
    else if (value && !same_value(*value, expected)) report("another value", text);
}

// Accepted numbers in one array, each followed by a separator.
void check_batch(const std::vector<std::string>& texts, const std::vector<Expected>& expected) {
    std::string document = "[";
    for (std::size_t i = 0; i < texts.size(); ++i) {
        document += texts[i];
        document += i + 1 == texts.size() ? "]" : (i % 3 == 0 ? ", " : ",");
    }
    const std::optional<Value> value = parse_json(document);
    if (!value || !value->is_array() || value->array_size() != texts.size()) {
        report("a batch of numbers was not read", texts.empty() ? "" : texts[0]);
        return;
    }
    for (std::size_t i = 0; i < texts.size(); ++i)
        if (!same_value(value->array_begin()[i], expected[i])) report("another value in an array", texts[i]);
}

}  // namespace

int main(int argc, char** argv) {
    test::program = "engine_numbers";
    const auto [cases, seed] = test::run_size(argc, argv, {2'000'000, 0x6E756D62657273});

    check_power_table();
    check_multiply_in_halves(seed);

    Texts texts(seed);
    std::vector<std::string> batch;
    std::vector<Expected> batch_expected;
    std::uint64_t refused = 0, floats = 0;
    for (std::uint64_t n = 0; n < cases; ++n) {
        const std::string text = texts.next();
        const Expected expected = expected_for(text);
        refused += !expected.accepted;
        floats += expected.accepted && expected.kind == Kind::Float;
        if (!expected.accepted || n % 8 == 0) {
            check_alone(text, expected);
        } else {
            batch.push_back(text);
            batch_expected.push_back(expected);
            if (batch.size() == 4096) {
                check_batch(batch, batch_expected);
                batch.clear();
                batch_expected.clear();
            }
        }
    }
    if (!batch.empty()) check_batch(batch, batch_expected);

    std::printf("engine_numbers: %llu texts (%llu doubles, %llu refused), seed %llu: %d failures\n",
                static_cast<unsigned long long>(cases), static_cast<unsigned long long>(floats),
                static_cast<unsigned long long>(refused), static_cast<unsigned long long>(seed), test::failures);
    return test::finish();
}
