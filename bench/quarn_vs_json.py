"""Measures quarn's reading, inserting and writing against orjson and json.

    python3 bench/quarn_vs_json.py [N] [--corpora DIR] [--rounds R] [--only NAME,...]
    python3 bench/quarn_vs_json.py [N] --readout

By default prints a table of ratios, quarn's time over orjson's, measured side by side in
one process (timings alternate, the best of the rounds is kept, after one warm-up round):
bench's generated documents (N of them) and the records of each corpus file in DIR
(/work/shared/corpora by default, see its README):

    find-all   db.find(name) against orjson.loads of the same documents' compact text
    insert     db.insert_many(name, documents), appended to the collection, against orjson.dumps
    write      db.write(name) against orjson.dumps + writing the file + fsync + rename
               + fsync of the directory
    memory     bytes held per document once opened (a fresh process), over its compact text
    open+find  Quarn(directory).find(name) against reading the file + orjson.loads
    open/yy    Quarn(directory) against reading the file + yyjson.Document (when installed)
    open/sj    Quarn(directory) against reading the file + simdjson's Parser.parse (likewise)

The garbage collector stays on, as users run it. quarn pauses it while it builds a result,
so the collection that the new objects then cause comes at the next allocation, outside
the call; every timed find and loads call is therefore followed by gc.collect(0) inside
the timing, so that each side pays for the collections its objects cause.
Below 1.00 quarn is faster. --readout prints the older absolute figures instead.
Not a test: timings depend on the machine.
"""
import argparse
import gc
import json
import os
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from documents import make_documents
from quarn import Quarn
from timing import best_of, memory_held

try:
    import orjson
except ImportError:  # optional
    orjson = None
try:  # the next anchors for opening a file: optional
    import yyjson
except ImportError:
    yyjson = None
try:
    import simdjson
except ImportError:
    simdjson = None

CORPORA = "/work/shared/corpora"
SAMPLE_SECONDS = 0.05  # one sample repeats a faster call until it takes this long


def corpus_datasets(directory):
    """(name, documents) for each corpus file present: its natural collection of records."""

    def load(file):
        with open(os.path.join(directory, file), "rb") as handle:
            return json.loads(handle.read())

    def lines(file):
        with open(os.path.join(directory, file), "rb") as handle:
            return [json.loads(line) for line in handle if line.strip()]

    pick = [
        ("twitter statuses", "twitter.json", lambda: load("twitter.json")["statuses"]),
        ("citm_catalog whole", "citm_catalog.json", lambda: [load("citm_catalog.json")]),
        ("canada whole", "canada.json", lambda: [load("canada.json")]),
        ("gsoc-2018 values", "gsoc-2018.json", lambda: list(load("gsoc-2018.json").values())),
        ("apache_builds jobs", "apache_builds.json", lambda: load("apache_builds.json")["jobs"]),
        ("github_events", "github_events.json", lambda: load("github_events.json")),
        ("amazon_cellphones lines", "amazon_cellphones.ndjson", lambda: lines("amazon_cellphones.ndjson")),
    ]
    return [(name, loader) for name, file, loader in pick if os.path.exists(os.path.join(directory, file))]


def sample(function, prepare=None):
    """Seconds per call of function(prepare()), over enough calls to last SAMPLE_SECONDS;
    prepare and freeing the results are not timed."""
    total, calls, kept = 0.0, 0, []
    while total < SAMPLE_SECONDS:
        argument = prepare() if prepare else None
        start = time.perf_counter()
        kept.append(function(argument))
        total += time.perf_counter() - start
        calls += 1
    del kept
    return total / calls


def side_by_side(pairs, rounds):
    """Best seconds of each function of pairs (name -> (function, prepare)), sampled in
    turn for rounds rounds after one warm-up round."""
    best = {name: float("inf") for name in pairs}
    for round_number in range(rounds + 1):
        for name, (function, prepare) in pairs.items():
            seconds = sample(function, prepare)
            if round_number > 0:
                best[name] = min(best[name], seconds)
    return best


def with_young_collection(function):
    def run(_):
        result = function()
        gc.collect(0)
        return result

    return run


def peer_write(documents, directory):
    target = os.path.join(directory, "peer.json")
    temporary = target + ".tmp"

    def run(_):
        text = orjson.dumps(documents)
        fd = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
        try:
            os.write(fd, text)
            os.fsync(fd)
        finally:
            os.close(fd)
        os.rename(temporary, target)
        directory_fd = os.open(directory, os.O_RDONLY)
        try:
            os.fsync(directory_fd)
        finally:
            os.close(directory_fd)

    return run


def peer_open(path, parse):
    """Reading the file and parsing it with parse, as opening a collection does."""
    def run(_):
        with open(path, "rb") as handle:
            return parse(handle.read())

    return run


def open_ratios(directory, rounds):
    """Opening the written collection against reading its file and parsing it: with
    yyjson and simdjson (a parsed document, no Python objects), and with find-all
    against orjson.loads (Python objects)."""
    path = os.path.join(directory, "docs.json")
    pairs = {
        "open": (lambda _: Quarn(directory), None),
        "open+find": (with_young_collection(lambda: Quarn(directory).find("docs")), None),
        "read+loads": (with_young_collection(lambda: peer_open(path, orjson.loads)(None)), None),
    }
    if yyjson is not None:
        pairs["read+yyjson"] = (peer_open(path, yyjson.Document), None)
    if simdjson is not None:
        # A parser per call: one holds a single document, and each call's result is kept.
        pairs["read+simdjson"] = (peer_open(path, lambda data: simdjson.Parser().parse(data)), None)
    times = side_by_side(pairs, rounds)
    ratio = {"open+find": times["open+find"] / times["read+loads"]}
    for peer in ("yyjson", "simdjson"):
        if "read+" + peer in times:
            ratio["open/" + peer] = times["open"] / times["read+" + peer]
    return times, ratio


def measure(name, documents, root, rounds, memory):
    """One table row: quarn over orjson for find-all, insert_many and write."""
    directory = os.path.join(root, name.replace(" ", "_"))
    os.mkdir(directory)
    db = Quarn(directory)
    db.insert_many("docs", documents)
    text = orjson.dumps(documents)
    assert db.find("docs") == orjson.loads(text), name

    times = side_by_side({
        "find": (with_young_collection(lambda: db.find("docs")), None),
        "loads": (with_young_collection(lambda: orjson.loads(text)), None),
        "write": (lambda _: db.write("docs"), None),
        "peer write": (peer_write(documents, root), None),
    }, rounds)
    # Appended to the collection already there: emptying it between calls would put a
    # file's creation and its fsync right before each timed call. Last, since it grows.
    times.update(side_by_side({
        "insert": (lambda _: db.insert_many("docs", documents), None),
        "dumps": (lambda _: orjson.dumps(documents), None),
    }, rounds))
    # Opened from a collection of just these documents (the insert timing appended copies).
    open_directory = directory + "-open"
    os.mkdir(open_directory)
    written = Quarn(open_directory)
    written.insert_many("docs", documents)
    written.write("docs")
    del written
    open_times, open_ratio = open_ratios(open_directory, rounds)
    times.update(open_times)
    held = None
    if memory:
        db.drop_collection("docs")
        db.insert_many("docs", documents)
        db.write("docs")
        held = memory_held("quarn", directory) / len(documents) / (len(text) / len(documents))
    return {
        "docs": len(documents), "bytes": len(text), "times": times,
        "find": times["find"] / times["loads"], "insert": times["insert"] / times["dumps"],
        "write": times["write"] / times["peer write"], "memory": held, **open_ratio,
    }


def ratios(arguments):
    if orjson is None:
        sys.exit("orjson is needed for the ratios (the bench venv has it)")
    datasets = [("bench documents", lambda: make_documents(arguments.count))]
    datasets += corpus_datasets(arguments.corpora)
    if arguments.only:
        wanted = arguments.only.split(",")
        datasets = [(name, loader) for name, loader in datasets if any(w in name for w in wanted)]
    print(f"quarn time / orjson time, best of {arguments.rounds} rounds after a warm-up, gc on "
          f"({sys.implementation.name} {sys.version.split()[0]})")
    header = (f"{'dataset':26} {'docs':>7} {'KB':>7} {'find-all':>9} {'insert':>8} {'write':>8} {'memory':>7}"
              f" {'open+find':>9} {'open/yy':>8} {'open/sj':>8}")
    print(header)
    rows = []
    with tempfile.TemporaryDirectory() as root:
        for name, loader in datasets:
            row = measure(name, loader(), root, arguments.rounds, not arguments.no_memory)
            rows.append((name, row))
            memory = f"{row['memory']:7.2f}" if row["memory"] is not None else f"{'-':>7}"
            peers = " ".join(f"{row[key]:8.2f}" if key in row else f"{'-':>8}" for key in ("open/yyjson", "open/simdjson"))
            print(f"{name:26} {row['docs']:7} {row['bytes'] / 1e3:7.0f} {row['find']:9.2f} "
                  f"{row['insert']:8.2f} {row['write']:8.2f} {memory} {row['open+find']:9.2f} {peers}", flush=True)
            if arguments.verbose:
                print("    " + ", ".join(f"{key} {seconds * 1e3:.2f} ms" for key, seconds in row["times"].items()))
    if arguments.markdown:
        write_markdown(arguments, rows)


COLUMNS = [("find", "find-all / orjson.loads"), ("insert", "insert_many / orjson.dumps"),
           ("write", "write / durable orjson.dumps"), ("open+find", "open + find-all / read + orjson.loads"),
           ("open/yyjson", "open / read + yyjson"), ("open/simdjson", "open / read + simdjson"),
           ("memory", "memory / compact text")]


def write_markdown(arguments, rows):
    """The table as markdown, with how it was made."""
    lines = [f"quarn's time over its peer's, measured side by side in one process "
             f"(`python3 bench/quarn_vs_json.py {arguments.count} --rounds {arguments.rounds}`, best of the rounds, "
             f"warm; {sys.implementation.name} {sys.version.split()[0]}; below 1.00 quarn is faster):", "",
             "| dataset | KB | " + " | ".join(label for _, label in COLUMNS) + " |",
             "|---|---:|" + "---:|" * len(COLUMNS)]
    for name, row in rows:
        cells = [f"{row[key]:.2f}" if row.get(key) is not None else "-" for key, _ in COLUMNS]
        lines.append(f"| {name} | {row['bytes'] / 1e3:.0f} | " + " | ".join(cells) + " |")
    with open(arguments.markdown, "w") as handle:
        handle.write("\n".join(lines) + "\n")


def readout(count):
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

        print(f"memory held after opening: {memory_held('quarn', directory) / count:.0f} bytes per document")

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


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("count", nargs="?", type=int, default=100_000, help="generated documents")
    parser.add_argument("--corpora", default=CORPORA, help="directory of the corpus files")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--only", help="comma-separated parts of dataset names to measure")
    parser.add_argument("--no-memory", action="store_true", help="skip the memory probe")
    parser.add_argument("--verbose", action="store_true", help="also print each time")
    parser.add_argument("--readout", action="store_true", help="the absolute figures instead")
    parser.add_argument("--markdown", metavar="FILE", help="also write the table as markdown to FILE")
    arguments = parser.parse_args()
    if arguments.readout:
        readout(arguments.count)
    else:
        ratios(arguments)


if __name__ == "__main__":
    main()
