"""Real JSON files through quarn and through orjson, in MB/s of the collection file.

    python3 bench/corpus.py [--corpora DIR] [--repeat N] [--out PATH]
    python3 bench/run.py --corpus [--corpora DIR]

Each file of the corpora directory (../shared/corpora beside the repository by default)
becomes a collection file: a JSON array of its natural records (see COLLECTIONS). On it
quarn opens the directory (which loads the collection), finds every document (its result
cache emptied first), does both, and writes the collection after a change; orjson reads
the file and loads it, and dumps the documents and writes them durably. Each figure is
the best of several rounds (each runs every job once, so that the two meet the same load),
with the garbage collector on, as a user runs. Writes
bench/corpus.md and prints it. Not a test: timings depend on the machine.
"""
import argparse
import gc
import os
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)  # the modules beside this file, whatever the working directory
import orjson
from meta import load_average, machine_description, package_versions
from python_stores import durable_write
from quarn import Quarn

DEFAULT_CORPORA = os.path.join(os.path.dirname(HERE), "..", "shared", "corpora")
DEFAULT_OUT = os.path.join(HERE, "corpus.md")
# Where the records of an object lie: a member holding their array, or its values
# (records keyed by id). Other objects are one document; an array is the collection as is.
COLLECTIONS = {"twitter.json": "statuses", "apache_builds.json": "jobs", "gsoc-2018.json": "values"}


def documents_of(path):
    """(documents, how they were taken from the file)."""
    with open(path, "rb") as handle:
        text = handle.read()
    if path.endswith((".ndjson", ".jsonl")):
        return [orjson.loads(line) for line in text.splitlines() if line.strip()], "its lines"
    value = orjson.loads(text)
    if isinstance(value, list):
        return value, "the array"
    member = COLLECTIONS.get(os.path.basename(path))
    if member == "values":
        return list(value.values()), "the object's values"
    if member:
        return value[member], f"`{member}`"
    return [value], "the whole object"


def best_of_each(jobs, repeat):
    """{name: best seconds of run(prepare())} of jobs {name: (run, prepare)}, run in turn
    within each round, so that quarn and orjson meet the same load on a shared machine;
    prepare and freeing the result are not timed."""
    best = {}
    for _ in range(repeat):
        for name, (run, prepare) in jobs.items():
            argument = prepare() if prepare else None
            start = time.perf_counter()
            result = run(argument)
            seconds = time.perf_counter() - start
            del result
            best[name] = min(seconds, best.get(name, seconds))
    return best


def measure_file(path, root, repeat):
    """The figures of one corpus file, in seconds, with its collection file's size."""
    documents, taken = documents_of(path)
    name = os.path.splitext(os.path.basename(path))[0]
    directory = os.path.join(root, name)
    os.mkdir(directory)
    collection = os.path.join(directory, name + ".json")
    with open(collection, "wb") as handle:
        handle.write(orjson.dumps(documents))
    size = os.path.getsize(collection)

    def read_and_load(_):
        with open(collection, "rb") as handle:
            return orjson.loads(handle.read())

    db = Quarn(directory)
    if db.find(name) != documents:
        raise AssertionError(f"quarn's documents of {name} differ from orjson's")
    # A change before each write (one small document, not timed), so there is something
    # to write whatever quarn does with an unchanged collection.
    changes = iter(range(repeat))
    orjson_file = os.path.join(root, name + ".orjson")
    figures = best_of_each({
        "open": (lambda _: Quarn(directory), None),
        "find_all": (lambda _: db.find(name), db.clear_cache),
        "open_find_all": (lambda _: Quarn(directory).find(name), None),
        "orjson_read": (read_and_load, None),
        "write": (lambda _: db.write(name), lambda: db.insert(name, {"bench_change": next(changes)})),
        "orjson_write": (lambda _: durable_write(orjson_file, orjson.dumps(documents)), None),
    }, repeat)
    return {"file": os.path.basename(path), "taken": taken, "documents": len(documents),
            "bytes": size, "seconds": figures}


QUARN_COLUMNS = (("open", "quarn open"), ("find_all", "quarn find all"),
                 ("open_find_all", "quarn open + find all"), ("write", "quarn write"))
ORJSON_COLUMNS = (("orjson_read", "read + orjson.loads"),
                  ("orjson_write", "orjson.dumps + write + fsync + rename"))
# Each quarn figure against the orjson figure doing the same job.
PEER_OF = {"open": "orjson_read", "find_all": "orjson_read", "open_find_all": "orjson_read",
           "write": "orjson_write"}


def megabytes_per_second(result, key):
    return result["bytes"] / 1e6 / result["seconds"][key]


def render(results, repeat):
    columns = QUARN_COLUMNS + ORJSON_COLUMNS
    versions = package_versions()
    lines = ["# quarn on real JSON files", "",
             (f"- Command: `python3 bench/corpus.py`; best of {repeat} rounds, each running every "
              "job once in turn; garbage collector on"),
             f"- Machine: {machine_description()}; load average {load_average()}",
             f"- Packages: quarn {versions['quarn']}, orjson {versions['orjson']}", "",
             ("Each file of the corpora becomes a collection file (a JSON array of documents, "
              "written by orjson.dumps: compact); speeds are MB of that file per second. quarn "
              "open = Quarn(directory), which loads the collection; find all = db.find(name) "
              "with the result cache emptied first; write = db.write(name) after one small "
              "document was inserted (not timed), which rewrites the file durably: a temporary "
              "file, fsync, rename, then an fsync of the directory; the orjson write does the "
              "same but the directory's fsync, which on these small files is a large part of "
              "the time. quarn's documents are checked equal to orjson's."), "",
             "MB/s (higher is faster):", "",
             "| file | collection | documents | MB | " + " | ".join(label for _, label in columns) + " |",
             "|---|---|---:|---:|" + "---:|" * len(columns)]
    for result in results:
        cells = [f"{megabytes_per_second(result, key):.0f}" for key, _ in columns]
        lines.append(f"| {result['file']} | {result['taken']} | {result['documents']:,} | "
                     f"{result['bytes'] / 1e6:.2f} | " + " | ".join(cells) + " |")
    lines += ["", ("quarn's speed divided by orjson's on the same job (above 1, quarn is faster; "
                   "open and find all are set against read + orjson.loads, write against orjson's "
                   "write):"),
              "", "| file | " + " | ".join(label for _, label in QUARN_COLUMNS) + " |",
              "|---|" + "---:|" * len(QUARN_COLUMNS)]
    for result in results:
        seconds = result["seconds"]
        cells = [f"{seconds[PEER_OF[key]] / seconds[key]:.2f}" for key, _ in QUARN_COLUMNS]
        lines.append(f"| {result['file']} | " + " | ".join(cells) + " |")
    return "\n".join(lines) + "\n"


def corpus_files(corpora):
    return sorted(os.path.join(corpora, name) for name in os.listdir(corpora)
                  if name.endswith((".json", ".ndjson", ".jsonl")))


def run(corpora=DEFAULT_CORPORA, repeat=21, out=DEFAULT_OUT):
    files = corpus_files(corpora)
    if not files:
        sys.exit(f"no JSON files in {corpora}")
    with tempfile.TemporaryDirectory(prefix="quarn-corpus-") as root:
        results = []
        for path in files:
            print(f"{os.path.basename(path)} ...", file=sys.stderr, flush=True)
            results.append(measure_file(path, root, repeat))
            gc.collect()  # between files, never inside a timing
    text = render(results, repeat)
    with open(out, "w") as handle:
        handle.write(text)
    print(text)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--corpora", default=DEFAULT_CORPORA, help="directory of JSON files "
                        "(default ../shared/corpora beside the repository)")
    parser.add_argument("--repeat", type=int, default=21, help="runs per figure, the best kept")
    parser.add_argument("--out", default=DEFAULT_OUT, help="the table's file")
    arguments = parser.parse_args()
    run(arguments.corpora, arguments.repeat, arguments.out)


if __name__ == "__main__":
    main()
