"""The reader on number-heavy JSON files, compared across builds. Each file becomes a
collection of one document (the file wrapped in an array) in a directory of its own, and
what is timed is opening that directory and a find that matches nothing: reading the
file, parsing it, one query over one document. Best of many, the builds taking turns so
that load on the machine falls on all alike. With --callgrind, the instructions
executed inside quarn::parse_json alone instead, which noise does not move.

    python3 bench/number_parse.py BUILD_DIR [BUILD_DIR ...] [--rounds N] [--callgrind] [FILE ...]

A build directory is one holding the quarn module (a CMake build directory, or a copy of
its modules). The files default to canada.json, twitter.json and citm_catalog.json in
/work/shared/corpora (or $QUARN_CORPORA). The file is read warm, from the page cache.
"""
import argparse
import os
import re
import subprocess
import sys
import tempfile

CORPORA = os.environ.get("QUARN_CORPORA", "/work/shared/corpora")
DEFAULT_FILES = [os.path.join(CORPORA, name) for name in ("canada.json", "twitter.json", "citm_catalog.json")]
COLLECTION = "document"

# Runs in a fresh interpreter per build: opens and loads `repeat` times, prints the best in ms.
TIMED = """
import sys, time
sys.path.insert(0, sys.argv[1])
import quarn
best = float("inf")
for _ in range(int(sys.argv[3])):
    start = time.perf_counter()
    database = quarn.Quarn(sys.argv[2])
    database.find(sys.argv[4], {"no such member": 0})
    best = min(best, time.perf_counter() - start)
    del database  # after the timer: freeing the document is not reading it
print(best * 1000)
"""

ONCE = """
import sys
sys.path.insert(0, sys.argv[1])
import quarn
quarn.Quarn(sys.argv[2]).find(sys.argv[3], {"no such member": 0})
"""


def best_times(builds, directory, rounds):
    best = {build: float("inf") for build in builds}
    for round_index in range(rounds):
        # Alternate who goes first, so that neither always runs on a warmer machine.
        order = builds if round_index % 2 == 0 else list(reversed(builds))
        for build in order:
            command = [sys.executable, "-c", TIMED, build, directory, "20", COLLECTION]
            output = subprocess.run(command, check=True, capture_output=True, text=True)
            best[build] = min(best[build], float(output.stdout))
    return best


def instructions(build, directory):
    command = ["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null",
               "--toggle-collect=quarn::parse_json*", sys.executable, "-c", ONCE, build, directory, COLLECTION]
    output = subprocess.run(command, check=True, capture_output=True, text=True)
    match = re.search(r"Collected : (\d+)", output.stderr)
    if match is None:
        raise RuntimeError(f"no instruction count from callgrind:\n{output.stderr}")
    return int(match.group(1))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("paths", nargs="+", metavar="PATH", help="build directories, then optionally JSON files")
    parser.add_argument("--rounds", type=int, default=10, help="turns each build takes per file (default 10)")
    parser.add_argument("--callgrind", action="store_true", help="count instructions in parse_json instead")
    arguments = parser.parse_args()
    builds = [path for path in arguments.paths if os.path.isdir(path)]
    files = [path for path in arguments.paths if not os.path.isdir(path)] or DEFAULT_FILES
    for path in files:
        with tempfile.TemporaryDirectory() as directory:
            with open(path, "rb") as source, open(os.path.join(directory, COLLECTION + ".json"), "wb") as target:
                target.write(b"[" + source.read() + b"]")
            if arguments.callgrind:
                figures = {build: instructions(build, directory) for build in builds}
                cells = [f"{build}: {figures[build]:,} instructions" for build in builds]
            else:
                figures = best_times(builds, directory, arguments.rounds)
                cells = [f"{build}: {figures[build]:.3f} ms" for build in builds]
        first = figures[builds[0]]
        cells += [f"{figures[build] / first - 1:+.1%}" for build in builds[1:]]
        print(f"{os.path.basename(path):20} " + "  ".join(cells), flush=True)


if __name__ == "__main__":
    main()
