"""Benchmarks quarn against the stores a Python user would pick instead.

    python3 bench/run.py             # N = 10,000 and 100,000 for every store,
                                     # 1,000,000 for quarn, plain Python and orjson
    python3 bench/run.py --quick     # N = 10,000 only (under a minute)
    python3 bench/run.py --targets   # re-render the report from its saved figures
    python3 bench/run.py --corpus    # real JSON files through quarn and orjson (corpus.py)

Install the peers first: python3 -m pip install '.[bench]' (quarn itself is imported
from the installed package, or from a build directory on PYTHONPATH).

Writes bench/results.md (tables of seconds and of each peer's time divided by quarn's,
memory per document, and the targets marked met or missed from these figures),
bench/results.png (log-scale seconds per workload, one bar per store) and
bench/results.json (the raw figures). --quick writes bench/results-quick.* instead.

Every figure is the median of several timed repetitions after one untimed warm-up run;
for quarn's uncached finds the warm-up (the first run of the query) is reported too.
Not a test: timings depend on the machine and on what else runs on it.

This file parses the arguments and runs the sizes in turn; the modules beside it hold the
rest: workloads.py (sizes, workloads, queries, checks), stores.py, store_base.py and
python_stores.py and sqlite_stores.py (the stores), timing.py (the timed loop, memory
probes), benchmark.py (one N), meta.py, report.py, targets.py, figures.py and plot.py (the
written results), corpus.py (the corpus run).
"""
import argparse
import json
import os
import resource
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)  # the modules beside this file, whatever the working directory
from benchmark import benchmark_size
from meta import load_average, run_meta, shown_command
from report import update_readme, write_report
from stores import PEERS_PYPI, STORE_KEYS, availability
from targets import evaluate_targets, in_parentheses
from timing import log
from workloads import FULL_SIZES, QUICK_SIZES


def argument_parser():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="N = 10,000 only, 3 repetitions")
    parser.add_argument("--targets", action="store_true",
                        help="re-render the report from its saved figures and print the targets")
    parser.add_argument("--sizes", help="comma-separated N to run instead of the default")
    parser.add_argument("--stores", help="comma-separated stores to run (default all): " + ",".join(STORE_KEYS))
    parser.add_argument("--out", help="path prefix of the .md, .png and .json written "
                        "(default bench/results, bench/results-quick with --quick)")
    parser.add_argument("--draft", help="a line saying why these figures are not final")
    parser.add_argument("--corpus", action="store_true",
                        help="run corpus.py instead: real JSON files, quarn against orjson in MB/s")
    parser.add_argument("--corpora", help="with --corpus: the directory of JSON files")
    return parser


def rerender(prefix):
    """--targets: the report again from prefix.json, and the targets printed."""
    with open(prefix + ".json") as handle:
        data = json.load(handle)
    write_report(data, prefix)
    if prefix == os.path.join(HERE, "results"):
        update_readme(data)
    for description, status, detail in evaluate_targets(data):
        print(f"{status:<13} {description}{in_parentheses(detail)}")


def chosen_sizes(arguments):
    if arguments.sizes:
        return [int(size.replace("_", "")) for size in arguments.sizes.split(",")]
    return QUICK_SIZES if arguments.quick else FULL_SIZES


def runnable_stores(wanted):
    """The stores that can run here, and {key: why not} for the others."""
    skipped = {}
    stores = []
    for key in wanted:
        problem = availability(key)
        if problem:
            skipped[key] = f"not installed: {problem} (pip install {PEERS_PYPI.get(key, key)})"
            log(f"skipping {key}: {skipped[key]}")
        else:
            stores.append(key)
    return stores, skipped


def run(parser, arguments, prefix):
    sizes = chosen_sizes(arguments)
    wanted = arguments.stores.split(",") if arguments.stores else list(STORE_KEYS)
    for key in wanted:
        if key not in STORE_KEYS:
            parser.error(f"unknown store {key!r}")
    problem = availability("quarn")
    if problem:
        sys.exit(f"quarn cannot be imported ({problem}): install it, or put its build directory on "
                 "PYTHONPATH")
    stores, skipped = runnable_stores(wanted)
    command = shown_command(sys.argv[1:], (arguments.draft, arguments.out))
    data = {"meta": run_meta(command, skipped, arguments.draft), "sizes": {}}
    started = time.perf_counter()

    def save():
        data["meta"]["load_end"] = load_average()
        data["meta"]["elapsed_seconds"] = round(time.perf_counter() - started, 1)
        used = [resource.getrusage(who) for who in (resource.RUSAGE_SELF, resource.RUSAGE_CHILDREN)]
        data["meta"]["cpu_seconds"] = round(sum(u.ru_utime + u.ru_stime for u in used), 1)
        write_report(data, prefix)

    for size in sizes:
        benchmark_size(size, stores, arguments.quick, data, save)
    save()
    if not arguments.quick and not arguments.sizes and not arguments.stores and not arguments.out:
        update_readme(data)  # only a full run of every store speaks for docs/performance.md
    log(f"done in {time.perf_counter() - started:.0f} s: {prefix}.md, {prefix}.png")
    for description, status, _ in evaluate_targets(data):
        print(f"{status:<13} {description}")


def main():
    parser = argument_parser()
    arguments = parser.parse_args()
    prefix = arguments.out or os.path.join(HERE, "results-quick" if arguments.quick else "results")
    if arguments.corpus:
        import corpus

        corpus.run(arguments.corpora or corpus.DEFAULT_CORPORA)
    elif arguments.targets:
        rerender(prefix)
    else:
        run(parser, arguments, prefix)


if __name__ == "__main__":
    main()
