"""How a figure is taken: the timed loop (median of repetitions after a warm-up), the
best of a few runs for quick readouts, the run's log, and memory held, measured in a
fresh process so that nothing the harness holds counts."""
import contextlib
import gc
import os
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
STARTED = time.perf_counter()
SAMPLE_SECONDS = 0.02  # a repetition of a faster call times that many calls


def log(message):
    print(f"[{time.perf_counter() - STARTED:5.0f} s] {message}", file=sys.stderr, flush=True)


class StdoutToDevNull:
    """Sends file descriptor 1 to /dev/null (quarn's update writes trace lines there).

    Entered before the timer starts and left after it stops, for every store alike, so
    no store pays for a terminal; writing two short lines to /dev/null costs next to nothing.
    """

    def __enter__(self):
        sys.stdout.flush()
        self.saved = os.dup(1)
        target = os.open(os.devnull, os.O_WRONLY)
        os.dup2(target, 1)
        os.close(target)
        return self

    def __exit__(self, *exc):
        sys.stdout.flush()
        os.dup2(self.saved, 1)
        os.close(self.saved)
        return False


def repetitions(warm_seconds, quick):
    """Timed repetitions after the warm-up: fewer when one run is slow."""
    if quick:
        return 3 if warm_seconds < 0.2 else 1
    if warm_seconds < 1.0:
        return 5
    if warm_seconds < 20.0:
        return 3
    return 1


def time_calls(run, prepare, finish, check, number):
    """Mean seconds of number calls of run(prepare()), and the last preparation's seconds.

    Only run is timed; each result is freed after its call's timing, as a single call's is.
    Results kept until all calls were done made the collector walk them again and again:
    that slowed the fast finds of the stores that build new objects (quarn's 10% find at
    N = 10,000 by 2 to 3 times) and not the ones that return their own.
    """
    total = 0.0
    for _ in range(number):
        started_prepare = time.perf_counter()
        argument = prepare() if prepare else None
        start = time.perf_counter()
        preparing = start - started_prepare
        result = run(argument)
        total += time.perf_counter() - start
        if check:
            check(result)
        if finish:
            finish(argument, result)
        del argument, result
    return total / number, preparing


def measure(run, prepare=None, finish=None, check=None, quick=False, redirect=False):
    """Median seconds of one run(prepare()); prepare, finish, check and freeing the
    result are not timed.

    A repetition of a call faster than SAMPLE_SECONDS (with its preparation) times several
    calls, each on its own (its prepare and finish between them untimed), and takes their
    mean.
    """
    timings = []
    planned = None
    calls = 0
    number = 1
    while planned is None or len(timings) < planned + 1:
        gc.collect()
        with (StdoutToDevNull() if redirect else contextlib.nullcontext()):
            elapsed, preparing = time_calls(run, prepare, finish, check, number)
        calls += number
        timings.append(elapsed)
        if planned is None:
            planned = repetitions(elapsed, quick)
            # a slow preparation (a fresh copy of the documents) limits the calls too
            number = max(1, min(1000, int(SAMPLE_SECONDS / max(elapsed + preparing, 1e-9))))
    timed = timings[1:]  # the first run is the warm-up
    return {"seconds": statistics.median(timed), "reps": len(timed), "calls_per_rep": number,
            "all": timed, "warmup": timings[0], "calls": calls}


def first_call(run, prepare=None, check=None):
    """Seconds of one run(prepare()) on its own, before measure() of the same call: the
    first run of a query, before any plan or index a store keeps for it."""
    gc.collect()
    argument = prepare() if prepare else None
    start = time.perf_counter()
    result = run(argument)
    seconds = time.perf_counter() - start
    if check:
        check(result)
    return seconds


def best_of(function, repeat=3):
    """The best time of function(); freeing its result is not timed."""
    timings = []
    for _ in range(repeat):
        start = time.perf_counter()
        result = function()
        timings.append(time.perf_counter() - start)
        del result
    return min(timings)


# ---------------------------------------------------------------- memory


def rss_bytes():
    """Resident memory of this process's own: file-backed pages (the code of a module run
    for the first time) are shared with every process that maps the file, and held by none."""
    with open("/proc/self/statm") as handle:
        fields = handle.read().split()
    return (int(fields[1]) - int(fields[2])) * os.sysconf("SC_PAGE_SIZE")


# Run with bench/ as its first argument, so it builds the store as the harness does; the
# imports happen before the first reading, so only what the store holds is counted.
MEMORY_PROBE = r"""
import gc, os, sys
sys.path.insert(0, sys.argv[1])
import stores, timing
key, source, copy_method = sys.argv[2], sys.argv[3], sys.argv[4]
store = stores.make_store(key, os.path.dirname(source), copy_method)
gc.collect()
before = timing.rss_bytes()
held = store.load_for_memory(source)
gc.collect()
print(timing.rss_bytes() - before)
"""

DICT_PROBE = r"""
import json, sys, tracemalloc
tracemalloc.start()
with open(sys.argv[1]) as handle:
    documents = json.load(handle)
print(tracemalloc.get_traced_memory()[0])
"""


def probe(code, *arguments):
    """The last number a fresh interpreter running code prints; RuntimeError if it fails."""
    done = subprocess.run([sys.executable, "-c", code, *map(str, arguments)],
                          capture_output=True, text=True, check=False)
    if done.returncode != 0:
        raise RuntimeError(done.stderr.strip().splitlines()[-1] if done.stderr else "failed")
    return int(done.stdout.split()[-1])


def memory_held(key, source, copy_method="copy.deepcopy"):
    """Resident set growth of a fresh process that opens (or fills) store key from source."""
    return probe(MEMORY_PROBE, HERE, key, source, copy_method)


def dict_bytes(json_path):
    """Bytes Python's own dicts take for the documents of a JSON file (tracemalloc)."""
    return probe(DICT_PROBE, json_path)
