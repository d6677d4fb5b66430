#!/usr/bin/env bash
# Runs the three fuzz harnesses one after another, under AddressSanitizer and
# UndefinedBehaviorSanitizer, sharing SECONDS (default 60) between them.
#   fuzz/run.sh [SECONDS]
# Needs clang with its libFuzzer runtime (Debian: clang libclang-rt-14-dev),
# CMake, and atheris in the Python that runs it ($PYTHON, default python3).
# Builds into build-fuzz/; new corpus entries stay in build-fuzz/work/.
# Any crash, sanitizer report or broken invariant fails the run, leaving the
# input in build-fuzz/artifacts/.
set -euo pipefail
cd "$(dirname "$0")/.."
total=${1:-60}
each=$(( total / 3 > 0 ? total / 3 : 1 ))
python=${PYTHON:-python3}
root=$PWD
work=$root/build-fuzz/work
artifacts=$root/build-fuzz/artifacts
mkdir -p "$work"/json_reader "$work"/open_database "$work"/convert "$artifacts"

# The engine-only targets (clang, libFuzzer; CMake's QUARN_FUZZ, no Python).
cmake -S . -B build-fuzz/engine -DQUARN_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_COMPILER="${FUZZ_CXX:-clang++}" > /dev/null
cmake --build build-fuzz/engine -j 2 --target json_reader open_database > /dev/null

# The extension modules for the atheris harness: the sanitizer build, made
# with clang and instrumented for coverage, so that libFuzzer sees the native
# code too. Their runtime (sanitizers and libFuzzer in one library) comes with
# atheris; it has no C++ type checks of UBSan, so those are left out
# (fuzz/clang-coverage++).
atheris_dir=$("$python" -c 'import atheris; print(atheris.path())')
cmake -S . -B build-fuzz/module -DQUARN_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_COMPILER="$root/fuzz/clang-coverage++" \
    -DQUARN_ENGINE_DRIVER=OFF -DPython_EXECUTABLE="$(command -v "$python")" > /dev/null
cmake --build build-fuzz/module -j 2 --target quarn > /dev/null

# The harnesses' databases live here; a tmpfs keeps the writes' syncs cheap.
scratch=$(mktemp -d /dev/shm/quarn-fuzz-run-XXXXXX 2>/dev/null || mktemp -d)
trap 'rm -rf "$scratch"' EXIT
export TMPDIR=$scratch

common=(-max_total_time="$each" -print_final_stats=1)
echo "== json_reader: ${each}s"
build-fuzz/engine/json_reader "${common[@]}" -artifact_prefix="$artifacts/json_reader-" -max_len=4096 \
    "$work"/json_reader fuzz/corpus/json_reader
echo "== open_database: ${each}s"
build-fuzz/engine/open_database "${common[@]}" -artifact_prefix="$artifacts/open_database-" -max_len=8192 \
    "$work"/open_database fuzz/corpus/open_database
echo "== convert: ${each}s"
# The interpreter itself is not built with the sanitizers: their runtime is
# preloaded, and leaks (the interpreter keeps much alive at exit) are not reported.
LD_PRELOAD="$atheris_dir/asan_with_fuzzer.so" ASAN_OPTIONS=detect_leaks=0 \
    PYTHONPATH="$root/build-fuzz/module" \
    "$python" fuzz/convert.py "${common[@]}" -artifact_prefix="$artifacts/convert-" -rss_limit_mb=4096 -detect_leaks=0 \
    "$work"/convert fuzz/corpus/convert
echo "fuzz: all harnesses ran ${each}s each without a finding"
