"""Measures reading, inserting, writing and reopening against Python's own tools.

    python3 bench/store.py [N]

Prints one line per figure. Not a test: timings depend on the machine.
"""
import json
import os
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(__file__))
from documents import make_documents  # noqa: E402

from quarn import Quarn  # noqa: E402

try:
    import orjson
except ImportError:  # optional
    orjson = None


def best_of(function, repeat=3):
    """The best time of function(); freeing its result is not timed."""
    timings = []
    for _ in range(repeat):
        start = time.perf_counter()
        result = function()
        timings.append(time.perf_counter() - start)
        del result
    return min(timings)


def memory_per_document(directory, count):
    """Resident set growth of a fresh process that opens the database."""
    import subprocess

    probe = (
        "import os, sys; from quarn import Quarn\n"
        "def rss():\n"
        "    return int(open('/proc/self/statm').read().split()[1]) * os.sysconf('SC_PAGE_SIZE')\n"
        "before = rss(); db = Quarn(sys.argv[1]); print(rss() - before)\n"
    )
    grown = subprocess.run([sys.executable, "-c", probe, directory], capture_output=True, text=True, check=True)
    return int(grown.stdout) / count


def main():
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 100_000
    documents = make_documents(count)
    with tempfile.TemporaryDirectory() as root:
        directory = os.path.join(root, "db")
        os.mkdir(directory)
        path = os.path.join(directory, "docs.json")
        with open(path, "w") as handle:
            json.dump(documents, handle)
        size = os.path.getsize(path)
        megabytes = size / 1e6
        print(f"documents: {count}, file: {megabytes:.1f} MB, {size / count:.0f} bytes per document")

        with open(path, "rb") as handle:
            text = handle.read()
        opening = best_of(lambda: Quarn(directory))
        print(f"open (read + parse): {opening * 1e3:.0f} ms, {megabytes / opening:.0f} MB/s")
        loads = best_of(lambda: json.loads(text))
        print(f"json.loads: {loads * 1e3:.0f} ms, {megabytes / loads:.0f} MB/s")
        if orjson:
            fast = best_of(lambda: orjson.loads(text))
            print(f"orjson.loads: {fast * 1e3:.0f} ms, {megabytes / fast:.0f} MB/s")

        print(f"memory held after opening: {memory_per_document(directory, count):.0f} bytes per document")

        fresh = os.path.join(root, "fresh")
        db = Quarn(fresh)
        inserting = best_of(lambda: (db.drop_collection("docs"), db.insert_many("docs", documents)))
        print(f"insert_many: {inserting * 1e3:.0f} ms")
        if orjson:
            print(f"orjson.dumps: {best_of(lambda: orjson.dumps(documents)) * 1e3:.0f} ms")
        print(f"json.dumps: {best_of(lambda: json.dumps(documents)) * 1e3:.0f} ms")

        writing = best_of(lambda: (db.write("docs"), Quarn(fresh)))
        print(f"write + reopen: {writing * 1e3:.0f} ms")
        plain = os.path.join(root, "plain.json")

        def dump_and_load():
            with open(plain, "w") as handle:
                json.dump(documents, handle)
            with open(plain) as handle:
                json.load(handle)

        print(f"json.dump + json.load: {best_of(dump_and_load) * 1e3:.0f} ms")


if __name__ == "__main__":
    main()
