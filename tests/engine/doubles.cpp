// The writer's doubles against the standard library. The shortest digits
// must be those std::to_chars gives in scientific form (fewest digits, then
// closest, ties to even), and the text the writer makes of them must be byte
// for byte what the layout below, over std::to_chars, makes: whole numbers up
// to 1e16 with ".0", fractions down to 1e-5 in full, d.ddde<exponent> beyond.
// Doubles: random bit patterns, every subnormal up to a bound, each power of
// two and its neighbours, integers around 2^53, and short random decimals.
//   engine_doubles [--cases N] [--seed S]   (defaults: 2000000 cases, a fixed seed)
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>

#include "core/limits.h"
#include "json/shortest_double.h"
#include "json/value.h"
#include "json/writer.h"
#include "check.h"

using namespace quarn;

namespace {

void report(const char* what, double number, const std::string& got, const std::string& expected) {
    char bits[20];
    std::snprintf(bits, sizeof bits, "%016llx", static_cast<unsigned long long>(std::bit_cast<std::uint64_t>(number)));
    test::fail(std::string(what) + " for bits " + bits + ": got " + got + ", expected " + expected);
}

// The layout, over the library's scientific digits: the oracle for the bytes.
std::string expected_text(double number) {
    char buffer[64];
    char* p = buffer;
    if (std::signbit(number)) *p++ = '-';
    char* const end = std::to_chars(p, buffer + sizeof buffer - 1, std::fabs(number), std::chars_format::scientific).ptr;
    *end = '\0';
    const char* e = static_cast<const char*>(std::memchr(p, 'e', static_cast<std::size_t>(end - p)));
    const int exponent = std::atoi(e + 1);
    std::string digits(p, 1);
    if (p[1] == '.') digits.append(static_cast<const char*>(p + 2), e);
    const std::string sign(buffer, p);
    const int count = static_cast<int>(digits.size());
    const int before_point = exponent + 1;
    if (before_point > 0 && before_point <= 16) {
        if (count <= before_point) return sign + digits + std::string(before_point - count, '0') + ".0";
        return sign + digits.substr(0, before_point) + "." + digits.substr(before_point);
    }
    if (before_point > -5 && before_point <= 0) return sign + "0." + std::string(-before_point, '0') + digits;
    return sign + digits.substr(0, 1) + (count > 1 ? "." + digits.substr(1) : "") + "e" + std::to_string(exponent);
}

// The library's shortest digits as {digits, exponent}, trailing zeros gone.
ShortestDecimal expected_decimal(double number) {
    char buffer[64];
    char* const end = std::to_chars(buffer, buffer + sizeof buffer - 1, std::fabs(number), std::chars_format::scientific).ptr;
    *end = '\0';
    const char* e = static_cast<const char*>(std::memchr(buffer, 'e', static_cast<std::size_t>(end - buffer)));
    std::uint64_t digits = 0;
    int fraction_digits = 0;
    for (const char* at = buffer; at != e; ++at) {
        if (*at == '.') continue;
        digits = digits * 10 + static_cast<std::uint64_t>(*at - '0');
        fraction_digits += at > buffer;
    }
    int exponent = std::atoi(e + 1) - fraction_digits;
    while (digits != 0 && digits % 10 == 0) {
        digits /= 10;
        ++exponent;
    }
    return {digits, digits == 0 ? 0 : exponent};
}

std::uint64_t checked = 0;

void check(double number) {
    if (!std::isfinite(number)) return;
    ++checked;
    const ShortestDecimal got = shortest_decimal(number), expected = expected_decimal(number);
    if (got.digits != expected.digits || got.exponent != expected.exponent)
        report("shortest digits", number, std::to_string(got.digits) + "e" + std::to_string(got.exponent),
               std::to_string(expected.digits) + "e" + std::to_string(expected.exponent));
    std::string text;
    (void)append_json(text, Value::floating(number), max_read_nesting);
    if (const std::string want = expected_text(number); text != want) report("written text", number, text, want);
}

double from_bits(std::uint64_t bits) { return std::bit_cast<double>(bits); }

}  // namespace

int main(int argc, char** argv) {
    test::program = "engine_doubles";
    const auto [cases, seed] = test::run_size(argc, argv, {2'000'000, 0x646F75626C6573});
    for (double special : {0.0, -0.0, std::numeric_limits<double>::max(), std::numeric_limits<double>::min(),
                           std::numeric_limits<double>::denorm_min(), 1e16, 9999999999999998.0, 1e-5, 9.999999999999999e-6,
                           0.1, 0.3, 5e-324, 1.7976931348623157e308})
        check(special);
    for (std::uint64_t bits = 1; bits <= 100'000; ++bits) check(from_bits(bits));  // the smallest subnormals
    for (std::uint64_t exponent = 0; exponent < 2047; ++exponent)  // powers of two and their neighbours
        for (std::int64_t offset = -2; offset <= 2; ++offset) check(from_bits((exponent << 52) + static_cast<std::uint64_t>(offset)));
    for (std::int64_t offset = -1000; offset <= 1000; ++offset) {
        check(9007199254740992.0 + static_cast<double>(offset));
        check(static_cast<double>(offset) / 8);
    }
    std::mt19937_64 random(seed);
    for (std::uint64_t n = 0; n < cases; ++n) {
        const std::uint64_t bits = random();
        check(from_bits(bits));
        // A short decimal read in: its shortest form is that decimal itself.
        const std::uint64_t digits = random() % 1'000'000'000;
        const int exponent = static_cast<int>(random() % 640) - 330;
        check(std::strtod((std::to_string(digits) + "e" + std::to_string(exponent)).c_str(), nullptr));
    }
    std::printf("engine_doubles: %llu doubles checked\n", static_cast<unsigned long long>(checked));
    return test::finish();
}
