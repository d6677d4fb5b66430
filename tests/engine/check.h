// What the engine's C++ tests share: counting the checks that fail, Values
// from fixed JSON text and back, a seeded random source and a scratch
// directory. Each test sets test::program to its own name first.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <string_view>

#include "json/reader.h"
#include "json/writer.h"

namespace quarn::test {

inline const char* program = "engine";
inline int failures = 0;

// Past the first few, failures mostly repeat one fault: they are counted, not shown.
inline void fail(std::string_view what) {
    if (++failures <= 20)
        std::fprintf(stderr, "%s: FAILED: %.*s\n", program, static_cast<int>(what.size()), what.data());
}

inline bool check(bool holds, std::string_view what) {
    if (!holds) fail(what);
    return holds;
}

// A value from text the test wrote itself: text that does not parse is the test's fault.
inline Value json(std::string_view text) {
    auto value = parse_json(text);
    if (!value) {
        std::fprintf(stderr, "%s: bad fixed text %.*s\n", program, static_cast<int>(text.size()), text.data());
        std::exit(2);
    }
    return std::move(*value);
}

// Compact text, for messages and comparisons.
inline std::string text_of(const Value& value) {
    std::string out;
    if (!append_json(out, value, max_read_nesting)) out += "...(too deep)";
    return out;
}

// A fixed seed unless given: a failure can be run again as it was.
struct Random {
    explicit Random(std::uint64_t seed) : engine(seed) {}
    std::uint64_t below(std::uint64_t n) { return std::uniform_int_distribution<std::uint64_t>(0, n - 1)(engine); }
    bool one_in(std::uint64_t n) { return below(n) == 0; }
    template <typename T, std::size_t N>
    const T& pick(const T (&items)[N]) { return items[below(N)]; }
    std::mt19937_64 engine;
};

// How much a randomised test runs: --cases N and --seed S, each optional
// (the defaults otherwise); anything else prints the usage and exits.
struct RunSize {
    std::uint64_t cases;
    std::uint64_t seed;
};

inline RunSize run_size(int argc, char** argv, RunSize size) {
    for (int i = 1; i < argc; i += 2) {
        if (i + 1 < argc && std::strcmp(argv[i], "--cases") == 0) {
            size.cases = std::strtoull(argv[i + 1], nullptr, 10);
        } else if (i + 1 < argc && std::strcmp(argv[i], "--seed") == 0) {
            size.seed = std::strtoull(argv[i + 1], nullptr, 0);
        } else {
            std::fprintf(stderr, "usage: %s [--cases N] [--seed S]\n", program);
            std::exit(2);
        }
    }
    return size;
}

// argv[1], or a new directory under $TMPDIR (else /tmp) named after prefix.
inline std::string scratch_directory(int argc, char** argv, const char* prefix) {
    if (argc > 1) return argv[1];
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/" + prefix + "-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        std::perror("mkdtemp");
        std::exit(2);
    }
    return pattern;
}

// The exit status: 1 when any check failed.
inline int finish() {
    if (failures != 0) {
        std::fprintf(stderr, "%s: %d checks failed\n", program, failures);
        return 1;
    }
    std::printf("%s: all checks passed\n", program);
    return 0;
}

}  // namespace quarn::test
