"""Benchmarks quarn against the stores a Python user would pick instead.

    python3 bench/run.py             # N = 10,000 and 100,000 for every store,
                                     # 1,000,000 for quarn, plain Python and orjson
    python3 bench/run.py --quick     # N = 10,000 only (under a minute)
    python3 bench/run.py --targets   # re-render the report from its saved figures

Install the peers first: python3 -m pip install '.[bench]' (quarn itself is imported
from the installed package, or from a build directory on PYTHONPATH).

Writes bench/results.md (tables of seconds and of each peer's time divided by quarn's,
memory per document, and the targets marked met or missed from these figures),
bench/results.png (log-scale seconds per workload, one bar per store) and
bench/results.json (the raw figures). --quick writes bench/results-quick.* instead.

Every figure is the median of several timed repetitions after one untimed warm-up run.
Not a test: timings depend on the machine and on what else runs on it.
"""
import argparse
import contextlib
import copy
import datetime
import gc
import json
import math
import os
import platform
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import traceback

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from documents import make_documents  # noqa: E402

try:
    import orjson
except ImportError:  # the bench extra brings it; the harness still runs without it
    orjson = None

FULL_SIZES = [10_000, 100_000, 1_000_000]
QUICK_SIZES = [10_000]
ALL_STORES_UP_TO = 100_000  # above this, only the stores with big_n = True run

# Table columns, in order: key, label.
WORKLOADS = [
    ("insert", "insert_many"),
    ("find_all", "find all"),
    ("find_eq", "find 1% (equality)"),
    ("find_range", "find 10% (range)"),
    ("find_nested", "find nested path"),
    ("cache_hit", "same find again (cache hit)"),
    ("update", "update 10% ($inc)"),
    ("write", "write to disk"),
    ("open", "open from disk"),
]
LABELS = dict(WORKLOADS)
FIND_WORKLOADS = ["find_all", "find_eq", "find_range", "find_nested", "cache_hit"]
QUERY_WORKLOADS = ["find_eq", "find_range", "find_nested", "update"]

# The queries, independent of any store: (kind, dotted path, operands).
# group is id % 100 (1% match 42); score is uniform in [0, 100) (10% in [20, 30));
# address.city is one of 500 words (the city of document 0 is chosen).
UPDATE_SELECT = ("lt", "group", 10)  # 10% of the documents get score += 1
CHECK_QUERY = ("eq", "id", 0)


def queries_for(documents):
    return {
        "find_eq": ("eq", "group", 42),
        "find_range": ("range", "score", (20.0, 30.0)),
        "find_nested": ("eq", "address.city", documents[0]["address"]["city"]),
    }


# ---------------------------------------------------------------- utilities


def rss_bytes():
    with open("/proc/self/statm") as handle:
        return int(handle.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def fresh_copy(documents):
    """Independent copies of the documents, made outside any timing."""
    if orjson is not None:
        return orjson.loads(orjson.dumps(documents))
    return copy.deepcopy(documents)


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


STARTED = time.perf_counter()


def log(message):
    print("[%5.0f s] %s" % (time.perf_counter() - STARTED, message), file=sys.stderr, flush=True)


# ---------------------------------------------------------------- stores
#
# Each store holds one "main" instance (the one the last insert repetition built) and
# answers the workloads on it. Methods that return None for a workload mean "not
# applicable" (a memory-only store has no file to write or open).


class Store:
    key = ""
    label = ""
    big_n = False  # runs at N above ALL_STORES_UP_TO
    keeps_input = True  # holds (or changes) the dicts it is given: it gets fresh copies
    note = ""

    def __init__(self, root):
        self.root = root
        self.main = None
        self.count = 0

    # setup
    def new_empty(self, index):
        raise NotImplementedError

    def insert(self, store, documents):
        raise NotImplementedError

    def adopt(self, store):
        self.close_main()
        self.main = store

    def close_main(self):
        self.main = None

    # queries
    def before_find(self):
        pass

    def find(self, query):
        raise NotImplementedError

    def find_all(self):
        raise NotImplementedError

    def update(self):
        raise NotImplementedError

    has_write = False
    has_open = False

    def write(self):
        raise NotImplementedError

    def before_open(self):
        pass

    def open(self):
        raise NotImplementedError

    def after_open(self, opened):
        pass

    def after_opens(self):
        pass

    def score_of_first(self):
        """score of the document whose id is 0 (checks the update ran)."""
        found = self.find(CHECK_QUERY)
        assert len(found) == 1, (self.key, found)
        return found[0]["score"]

    # memory, in a fresh process: returns an object that holds the documents
    def load_for_memory(self, jsonl_path):
        raise NotImplementedError


def json_lines_batches(path, size=1000):
    batch = []
    with open(path, "rb") as handle:
        for line in handle:
            batch.append(json.loads(line))
            if len(batch) == size:
                yield batch
                batch = []
    if batch:
        yield batch


class QuarnStore(Store):
    key = "quarn"
    label = "quarn"
    keeps_input = False  # converts them
    note = "Quarn(directory); its result cache is emptied (clear_cache) before each uncached find."
    big_n = True
    has_write = True
    has_open = True

    def __init__(self, root):
        super().__init__(root)
        from quarn import Quarn

        self.Quarn = Quarn
        self.directory = None

    @staticmethod
    def query(shape):
        kind, path, operand = shape
        if kind == "eq":
            return {path: operand}
        if kind == "lt":
            return {path: {"$lt": operand}}
        low, high = operand  # a range is two top-level keys
        return {path: {"$gte": low}, path + ".$lt": high}

    def new_empty(self, index):
        directory = os.path.join(self.root, "quarn-%d" % index)
        return (directory, self.Quarn(directory))

    def insert(self, store, documents):
        store[1].insert_many("docs", documents)

    def adopt(self, store):
        self.directory, self.main = store

    def before_find(self):
        self.main.clear_cache()  # an uncached find must scan

    def find(self, query):
        return self.main.find("docs", self.query(query))

    def find_all(self):
        return self.main.find("docs")

    def update(self):
        self.main.update("docs", {"score": {"$inc": 1}}, self.query(UPDATE_SELECT))

    def write(self):
        self.main.write("docs")

    def open(self):
        return self.Quarn(self.directory)

    def load_for_memory(self, directory):
        return self.Quarn(directory)


class TinyDBStore(Store):
    def __init__(self, root):
        super().__init__(root)
        from tinydb import Query, TinyDB

        self.TinyDB = TinyDB
        self.Query = Query
        self.conditions = {}

    def condition(self, shape):
        # the same Query object each time, so TinyDB's own query cache can recognise it
        if shape not in self.conditions:
            kind, path, operand = shape
            field = self.Query()
            for piece in path.split("."):
                field = field[piece]
            if kind == "eq":
                condition = field == operand
            elif kind == "lt":
                condition = field < operand
            else:
                condition = (field >= operand[0]) & (field < operand[1])
            self.conditions[shape] = condition
        return self.conditions[shape]

    def insert(self, store, documents):
        store.insert_multiple(documents)

    def close_main(self):
        if self.main is not None:
            self.main.close()
        self.main = None

    def before_find(self):
        self.main.clear_cache()  # TinyDB keeps the results of recent queries

    def find(self, query):
        return self.main.search(self.condition(query))

    def find_all(self):
        return self.main.all()

    def update(self):
        from tinydb.operations import increment

        self.main.update(increment("score"), self.condition(UPDATE_SELECT))


class TinyDBJSONStore(TinyDBStore):
    key = "tinydb-json"
    label = "TinyDB (JSON file)"
    has_write = True
    has_open = True
    note = ("TinyDB(path), its default JSONStorage: every call reads or rewrites the file; "
            "its query cache answers the repeated find (with the same Document objects). "
            "write = its storage's write() of the whole database (json.dumps, write, fsync); "
            "open = TinyDB(path) and len() (reads and parses the file).")

    def new_empty(self, index):
        path = os.path.join(self.root, "tinydb-%d.json" % index)
        return (path, self.TinyDB(path))

    def insert(self, store, documents):
        store[1].insert_multiple(documents)

    def adopt(self, store):
        self.close_main()
        self.path, self.main = store

    def write(self):
        return self.main.storage.write(self.data)

    def open(self):
        opened = self.TinyDB(self.path)
        len(opened)
        return opened

    def after_open(self, opened):
        opened.close()

    def prepare_write(self):
        self.data = self.main.storage.read()

    def load_for_memory(self, path):
        opened = self.TinyDB(path)
        len(opened)
        return opened


class TinyDBMemoryStore(TinyDBStore):
    key = "tinydb-memory"
    label = "TinyDB (memory)"
    note = ("TinyDB(storage=MemoryStorage); its query cache answers the repeated find "
            "(with the same Document objects).")

    def new_empty(self, index):
        from tinydb.storages import MemoryStorage

        return self.TinyDB(storage=MemoryStorage)

    def load_for_memory(self, jsonl_path):
        from tinydb.storages import MemoryStorage

        store = self.TinyDB(storage=MemoryStorage)
        for batch in json_lines_batches(jsonl_path):
            store.insert_multiple(batch)
        return store


class MongoLikeStore(Store):
    @staticmethod
    def query(shape):
        kind, path, operand = shape
        if kind == "eq":
            return {path: operand}
        if kind == "lt":
            return {path: {"$lt": operand}}
        return {path: {"$gte": operand[0], "$lt": operand[1]}}

    def insert(self, store, documents):
        store.insert_many(documents)

    def find(self, query):
        return list(self.main.find(self.query(query)))

    def find_all(self):
        return list(self.main.find({}))

    def update(self):
        self.main.update_many(self.query(UPDATE_SELECT), {"$inc": {"score": 1}})

    # One client per process (montydb allows only one in-memory client per process);
    # each insert repetition fills a new collection and the previous one is dropped.
    client = None

    def database(self):
        raise NotImplementedError

    def new_empty(self, index):
        return self.database()["docs%d" % index]

    def close_main(self):
        if self.main is not None:
            self.database().drop_collection(self.main.name)
        self.main = None

    def load_for_memory(self, jsonl_path):
        store = self.new_empty(0)
        for batch in json_lines_batches(jsonl_path):
            store.insert_many(batch)
        return store


class MongitaStore(MongoLikeStore):
    key = "mongita-memory"
    label = "mongita (memory)"
    note = "MongitaClientMemory()."

    def database(self):
        if MongitaStore.client is None:
            import mongita

            MongitaStore.client = mongita.MongitaClientMemory()
        return MongitaStore.client["bench"]


class MontyStore(MongoLikeStore):
    key = "montydb-memory"
    label = "montydb (memory)"
    note = 'MontyClient(":memory:").'

    def database(self):
        if MontyStore.client is None:
            import montydb

            MontyStore.client = montydb.MontyClient(":memory:")
        return MontyStore.client["bench"]


class PoloStore(MongoLikeStore):
    key = "polodb"
    label = "PoloDB"
    has_open = True
    note = ("polodb-python's PoloDB(path): every change is committed to its files, so there "
            "is no separate write; open = PoloDB(path) and len() of the collection.")

    def __init__(self, root):
        super().__init__(root)
        from polodb import PoloDB

        self.PoloDB = PoloDB
        self.database = None

    def new_empty(self, index):
        path = os.path.join(self.root, "polodb-%d.db" % index)
        database = self.PoloDB(path)
        return (path, database, database["docs"])

    def insert(self, store, documents):
        store[2].insert_many(documents)

    def adopt(self, store):
        self.close_main()
        self.path, self.database, self.main = store

    def close_main(self):
        if self.database is not None:
            self.database.close()
        self.database = self.main = None

    def find(self, query):
        return self.main.find(self.query(query)).to_list()

    def find_all(self):
        return self.main.find({}).to_list()

    def before_open(self):
        self.close_main()  # the files are locked while a database holds them

    def open(self):
        database = self.PoloDB(self.path)
        len(database["docs"])
        return database

    def after_open(self, opened):
        opened.close()

    def after_opens(self):
        database = self.PoloDB(self.path)
        self.database, self.main = database, database["docs"]

    def load_for_memory(self, path):
        database = self.PoloDB(path)
        len(database["docs"])
        return database


class PythonStore(Store):
    """A list of dicts; queries are list comprehensions, updates a loop."""

    big_n = True
    copies = True

    def __init__(self, root, copy_method):
        super().__init__(root)
        self.copy_method = copy_method
        if copy_method == "orjson":
            self.copy = lambda found: orjson.loads(orjson.dumps(found))
        else:
            self.copy = copy.deepcopy
        self.city = None

    def new_empty(self, index):
        return []

    def insert(self, store, documents):
        store.extend(self.copy(documents) if self.copies else documents)

    def find(self, query):
        kind, path, operand = query
        docs = self.main
        if path == "group":
            found = [d for d in docs if d["group"] == operand]
        elif path == "score":
            low, high = operand
            found = [d for d in docs if low <= d["score"] < high]
        elif path == "address.city":
            found = [d for d in docs if d["address"]["city"] == operand]
        elif path == "id":
            found = [d for d in docs if d["id"] == operand]
        else:
            raise AssertionError(query)
        return self.copy(found) if self.copies else found

    def find_all(self):
        return self.copy(self.main) if self.copies else list(self.main)

    def update(self):
        for d in self.main:
            if d["group"] < 10:
                d["score"] += 1


class PythonCopyStore(PythonStore):
    key = "python-copy"
    label = "Python list (copies)"
    keeps_input = False  # copies them
    has_write = True
    has_open = True

    @property
    def note(self):
        return ("finds return independent copies of the matches (%s, the faster of "
                "copy.deepcopy and an orjson round trip here); insert_many stores copies; "
                "write = json.dump to a file (which encodes in pieces, slower than writing json.dumps' "
                "text), open = json.load." % self.copy_method)

    def write(self):
        self.path = os.path.join(self.root, "python.json")
        with open(self.path, "w") as handle:
            json.dump(self.main, handle)

    def open(self):
        with open(self.path) as handle:
            return json.load(handle)

    def load_for_memory(self, path):
        with open(path) as handle:
            return json.load(handle)


class PythonNoCopyStore(PythonStore):
    key = "python-nocopy"
    label = "Python list (no copy)"
    copies = False
    note = ("finds return the very dicts the list holds (no database can); insert_many "
            "extends the list; write and open are those of the copying list.")


class OrjsonStore(Store):
    """The floor for moving documents between Python objects and JSON text."""

    key = "orjson"
    label = "orjson"
    keeps_input = False  # serializes them
    big_n = True
    has_write = True
    has_open = True
    note = ("insert_many = orjson.dumps of the list; find all = orjson.loads of the "
            "collection's text; write = orjson.dumps and writing the bytes; open = reading "
            "the file and orjson.loads.")

    def new_empty(self, index):
        return {}

    def insert(self, store, documents):
        store["text"] = orjson.dumps(documents)

    def find_all(self):
        return orjson.loads(self.main["text"])

    def write(self):
        self.path = os.path.join(self.root, "orjson.json")
        text = orjson.dumps(self.documents)
        with open(self.path, "wb") as handle:
            handle.write(text)

    def open(self):
        with open(self.path, "rb") as handle:
            return orjson.loads(handle.read())

    def load_for_memory(self, path):
        with open(path, "rb") as handle:
            return orjson.loads(handle.read())


STORE_CLASSES = [QuarnStore, TinyDBJSONStore, TinyDBMemoryStore, MongitaStore, MontyStore,
                 PoloStore, PythonCopyStore, PythonNoCopyStore, OrjsonStore]
STORE_KEYS = [cls.key for cls in STORE_CLASSES]
LABEL_OF = {cls.key: cls.label for cls in STORE_CLASSES}
PEERS_PYPI = {"tinydb-json": "tinydb", "tinydb-memory": "tinydb", "mongita-memory": "mongita",
              "montydb-memory": "montydb", "polodb": "polodb-python", "orjson": "orjson"}


def availability(key):
    """None when the store can run here, otherwise why not."""
    modules = {"quarn": "quarn", "tinydb-json": "tinydb", "tinydb-memory": "tinydb",
               "mongita-memory": "mongita", "montydb-memory": "montydb", "polodb": "polodb",
               "orjson": "orjson"}
    module = modules.get(key)
    if module is None:
        return None
    try:
        __import__(module)
    except Exception as error:  # ImportError, or a binary that fails to load
        return "%s: %s" % (type(error).__name__, error)
    return None


def make_store(key, root, copy_method):
    cls = {cls.key: cls for cls in STORE_CLASSES}[key]
    if issubclass(cls, PythonStore):
        return cls(root, copy_method)
    return cls(root)


# ---------------------------------------------------------------- timing


def repetitions(warm_seconds, quick):
    """Timed repetitions after the warm-up: fewer when one run is slow."""
    if quick:
        return 3 if warm_seconds < 0.2 else 1
    if warm_seconds < 1.0:
        return 5
    if warm_seconds < 20.0:
        return 3
    return 1


SAMPLE_SECONDS = 0.02  # a repetition of a faster call times that many calls


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
        total = 0.0
        kept = []
        with (StdoutToDevNull() if redirect else contextlib.nullcontext()):
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
                kept.append(result)  # freed after the repetition, as a single call's is
        del kept, result
        calls += number
        elapsed = total / number
        timings.append(elapsed)
        if planned is None:
            planned = repetitions(elapsed, quick)
            # a slow preparation (a fresh copy of the documents) limits the calls too
            number = max(1, min(1000, int(SAMPLE_SECONDS / max(elapsed + preparing, 1e-9))))
    timed = timings[1:]  # the first run is the warm-up
    return {"seconds": statistics.median(timed), "reps": len(timed), "calls_per_rep": number,
            "all": timed, "warmup": timings[0], "calls": calls}


def run_store(store, documents, expected, quick):
    """Every workload on one store; returns {workload: figure} and the notes."""
    figures = {}
    key = store.key
    queries = queries_for(documents)
    count = len(documents)

    def count_check(workload, wanted):
        def check(result):
            if len(result) != wanted:
                raise AssertionError("%s %s returned %d documents, expected %d"
                                     % (key, workload, len(result), wanted))
        return check

    def record(workload, figure):
        figures[workload] = figure
        log("  %-15s %-12s %10.6f s  (median of %d x %d calls; warm-up %.6f s)"
            % (key, workload, figure["seconds"], figure["reps"], figure["calls_per_rep"], figure["warmup"]))

    # insert_many into an empty store; the store of the last repetition is kept.
    counter = [0]

    def prepare_insert():
        counter[0] += 1
        return (store.new_empty(counter[0]), fresh_copy(documents) if store.keeps_input else documents)

    def finish_insert(argument, result):
        store.adopt(argument[0])

    record("insert", measure(lambda argument: store.insert(*argument), prepare_insert,
                             finish_insert, quick=quick))
    if key == "orjson":
        store.documents = documents  # what write serializes
        record("find_all", measure(lambda _: store.find_all(),
                                   check=count_check("find_all", count), quick=quick))
        record("write", measure(lambda _: store.write(), quick=quick))
        record("open", measure(lambda _: store.open(), check=count_check("open", count),
                               quick=quick))
        return figures

    record("find_all", measure(lambda _: store.find_all(), lambda: store.before_find(),
                               check=count_check("find_all", count), quick=quick))
    for workload in ("find_eq", "find_range", "find_nested"):
        query = queries[workload]
        record(workload, measure(lambda _: store.find(query), lambda: store.before_find(),
                                 check=count_check(workload, expected[workload]), quick=quick))
    # The same selective find again: quarn (and TinyDB) answer it from their caches.
    store.before_find()
    query = queries["find_eq"]
    record("cache_hit", measure(lambda _: store.find(query),
                                check=count_check("cache_hit", expected["find_eq"]), quick=quick))
    if store.has_write:
        if hasattr(store, "prepare_write"):
            store.prepare_write()
        record("write", measure(lambda _: store.write(), quick=quick))
    if store.has_open:
        store.before_open()
        record("open", measure(lambda _: store.open(), finish=lambda _, opened: store.after_open(opened),
                               quick=quick))
        store.after_opens()

    before = store.score_of_first()
    figure = measure(lambda _: store.update(), quick=quick, redirect=True)
    after = store.score_of_first()
    runs = figure["calls"]
    if not math.isclose(after, before + runs, rel_tol=1e-9, abs_tol=1e-9):
        raise AssertionError("%s update: score of document 0 went from %r to %r in %d updates"
                             % (key, before, after, runs))
    record("update", figure)
    return figures


# ---------------------------------------------------------------- memory

MEMORY_PROBE = r"""
import gc, os, sys
sys.path.insert(0, sys.argv[1])
import run
key, source, count, copy_method = sys.argv[2], sys.argv[3], int(sys.argv[4]), sys.argv[5]
store = run.make_store(key, os.path.dirname(source), copy_method)
gc.collect()
before = run.rss_bytes()
held = store.load_for_memory(source)
gc.collect()
print(run.rss_bytes() - before)
"""

DICT_PROBE = r"""
import json, sys, tracemalloc
tracemalloc.start()
with open(sys.argv[1]) as handle:
    documents = json.load(handle)
print(tracemalloc.get_traced_memory()[0])
"""


def probe(code, *arguments):
    done = subprocess.run([sys.executable, "-c", code, *map(str, arguments)],
                          capture_output=True, text=True)
    if done.returncode != 0:
        raise RuntimeError(done.stderr.strip().splitlines()[-1] if done.stderr else "failed")
    return int(done.stdout.split()[-1])


# ---------------------------------------------------------------- the run


def machine_description():
    model = "unknown processor"
    try:
        with open("/proc/cpuinfo") as handle:
            for line in handle:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    memory = ""
    try:
        with open("/proc/meminfo") as handle:
            kilobytes = int(handle.readline().split()[1])
            memory = ", %.0f GiB memory" % (kilobytes / 2**20)
    except (OSError, ValueError, IndexError):
        pass
    return "%s, %d cores%s, %s" % (model, os.cpu_count() or 0, memory, platform.platform())


def package_versions():
    from importlib import metadata

    versions = {}
    for name in ["quarn", "tinydb", "mongita", "montydb", "polodb-python", "orjson", "matplotlib"]:
        try:
            versions[name] = metadata.version(name)
        except metadata.PackageNotFoundError:
            versions[name] = None
    if versions["quarn"] is None:
        try:
            import quarn

            versions["quarn"] = "built, from " + os.path.relpath(os.path.dirname(quarn.__file__))
        except ImportError:
            pass
    return versions


def choose_copy_method(documents, selected):
    """The faster way to give the caller independent copies: deepcopy or an orjson round trip."""
    if orjson is None:
        return "copy.deepcopy", {}
    timings = {}
    for name, function in (("copy.deepcopy", copy.deepcopy),
                           ("orjson round trip", lambda found: orjson.loads(orjson.dumps(found)))):
        runs = []
        for _ in range(3):
            start = time.perf_counter()
            function(selected)
            runs.append(time.perf_counter() - start)
        timings[name] = min(runs)
    faster = min(timings, key=timings.get)
    return ("orjson" if faster.startswith("orjson") else "copy.deepcopy"), timings


def benchmark_size(count, stores, quick, data, save):
    log("N = %d: generating documents" % count)
    documents = make_documents(count)
    gc.collect()
    gc.freeze()  # the harness's own documents are not the stores' to collect
    queries = queries_for(documents)
    expected = {
        "find_eq": sum(1 for d in documents if d["group"] == 42),
        "find_range": sum(1 for d in documents if 20.0 <= d["score"] < 30.0),
        "find_nested": sum(1 for d in documents if d["address"]["city"] == queries["find_nested"][2]),
    }
    matches = [d for d in documents if d["group"] == 42]
    copy_method, copy_timings = choose_copy_method(documents, matches)
    entry = {"expected": expected, "copy_method": copy_method, "copy_timings": copy_timings,
             "seconds": {}, "memory": {}, "failures": {}, "notes": {}}
    data["sizes"][str(count)] = entry

    root = tempfile.mkdtemp(prefix="quarn-bench-")
    try:
        files = {}
        for key in stores:
            if count > ALL_STORES_UP_TO and not {c.key: c for c in STORE_CLASSES}[key].big_n:
                continue
            log("N = %d: %s" % (count, key))
            directory = os.path.join(root, key)
            os.mkdir(directory)
            store = make_store(key, directory, copy_method)
            entry["notes"][key] = store.note
            try:
                entry["seconds"][key] = run_store(store, documents, expected, quick)
            except AssertionError:
                raise
            except Exception as error:
                traceback.print_exc()
                entry["failures"][key] = "%s: %s" % (type(error).__name__, error)
            # where the store's data lies on disk, for the memory probe
            location = getattr(store, "directory", None) or getattr(store, "path", None)
            if location:
                files[key] = location
            store.close_main()
            del store
            gc.collect()
            save()

        # memory held per document, each store opened (or filled) in a fresh process
        text_path = os.path.join(root, "documents.json")
        if orjson is not None:
            with open(text_path, "wb") as handle:
                handle.write(orjson.dumps(documents))
        else:
            with open(text_path, "w") as handle:
                json.dump(documents, handle)
        jsonl_path = os.path.join(root, "documents.jsonl")
        if any(key not in files and key != "python-nocopy" for key in entry["seconds"]):
            # a memory-only store ran: it is filled from these lines
            with open(jsonl_path, "w") as handle:
                for document in documents:
                    handle.write(json.dumps(document))
                    handle.write("\n")
        if orjson is not None:
            text_size = len(orjson.dumps(documents))
        else:
            text_size = len(json.dumps(documents, separators=(",", ":")).encode())
        entry["json_bytes_per_doc"] = text_size / count
        if count <= ALL_STORES_UP_TO:  # tracing a million documents takes long
            try:
                entry["dict_bytes_per_doc"] = probe(DICT_PROBE, text_path) / count
            except RuntimeError as error:
                entry["failures"]["dicts"] = str(error)
        for key in stores:
            if key in entry["failures"] or key not in entry["seconds"] or key == "python-nocopy":
                continue
            source = files.get(key, jsonl_path)
            log("N = %d: memory of %s" % (count, key))
            try:
                entry["memory"][key] = probe(MEMORY_PROBE, HERE, key, source, count, copy_method) / count
            except RuntimeError as error:
                entry["failures"]["memory " + key] = str(error)
        save()
    finally:
        shutil.rmtree(root, ignore_errors=True)
        del documents
        gc.unfreeze()
        gc.collect()


# ---------------------------------------------------------------- report


def fmt_seconds(seconds):
    if seconds is None:
        return "n/a"
    if seconds <= 0:
        return "0"
    digits = max(0, 2 - int(math.floor(math.log10(seconds))))
    return "%.*f" % (digits, seconds)


def fmt_ratio(ratio):
    if ratio is None:
        return "n/a"
    if ratio >= 100:
        return "%.0f" % ratio
    if ratio >= 10:
        return "%.1f" % ratio
    if ratio >= 0.1:
        return "%.2f" % ratio
    return "%.2g" % ratio


def seconds_of(entry, key, workload):
    figure = entry["seconds"].get(key, {}).get(workload)
    return figure["seconds"] if figure else None


def ratio_of(entry, key, workload):
    peer = seconds_of(entry, key, workload)
    ours = seconds_of(entry, "quarn", workload)
    if peer is None or not ours:
        return None
    return peer / ours


def sizes_of(data):
    return sorted(int(size) for size in data["sizes"])


def evaluate_targets(data):
    """Each target of the issue: (description, 'met' | 'missed' | 'not measured', detail)."""
    results = []
    sizes = sizes_of(data)
    entries = {size: data["sizes"][str(size)] for size in sizes}
    big = 100_000 if 100_000 in entries else (max(sizes) if sizes else None)

    def judge(description, checks):
        # checks: list of (label, value, passed); value None = not measured
        measured = [c for c in checks if c[1] is not None]
        if not measured:
            results.append((description, "not measured", ""))
            return
        failed = [c for c in measured if not c[2]]
        if failed:
            detail = "; ".join("%s %s" % (label, text) for label, text, _ in failed)
            results.append((description, "missed", detail))
        else:
            results.append((description, "met", "; ".join("%s %s" % (c[0], c[1]) for c in measured[:6])
                            + (" ..." if len(measured) > 6 else "")))

    if big is not None:
        entry = entries[big]
        for peer in ("tinydb-json", "tinydb-memory", "mongita-memory", "montydb-memory"):
            checks = []
            for workload in QUERY_WORKLOADS:
                ratio = ratio_of(entry, peer, workload)
                checks.append(("%s" % workload, None if ratio is None else "%sx" % fmt_ratio(ratio),
                               ratio is not None and ratio >= 20))
            judge("%s at N=%d: quarn at least 20x faster on the three finds and the update"
                  % (LABEL_OF[peer], big), checks)
            checks = []
            for workload in ("insert", "write", "open"):
                ratio = ratio_of(entry, peer, workload)
                checks.append((workload, None if ratio is None else "%sx" % fmt_ratio(ratio),
                               ratio is not None and ratio >= 5))
            judge("%s at N=%d: quarn at least 5x faster on insert_many, write and open"
                  % (LABEL_OF[peer], big), checks)
    checks = []
    for size in sizes:
        for workload, _ in WORKLOADS:
            ratio = ratio_of(entries[size], "polodb", workload)
            checks.append(("%s N=%d" % (workload, size), None if ratio is None else "%sx" % fmt_ratio(ratio),
                           ratio is not None and ratio > 1.0))
    judge("PoloDB: quarn ahead on every workload", checks)

    checks = []
    for size in sizes:
        for workload in FIND_WORKLOADS:
            ratio = ratio_of(entries[size], "python-copy", workload)
            checks.append(("%s N=%d" % (workload, size), None if ratio is None else "%sx" % fmt_ratio(ratio),
                           ratio is not None and ratio >= 5))
    judge("Python list with copies: quarn at least 5x faster on every find", checks)
    checks = []
    for size in sizes:
        for workload in ("find_eq", "cache_hit"):
            ratio = ratio_of(entries[size], "python-nocopy", workload)
            checks.append(("%s N=%d" % (workload, size), None if ratio is None else "%sx" % fmt_ratio(ratio),
                           ratio is not None and ratio > 1.0))
    judge("Python list without copies: quarn ahead on the 1% find and on the cache hit", checks)

    for workload, bound, text in (
            ("find_all", 1.0, "find of all documents no slower than orjson.loads (orjson/quarn >= 1)"),
            ("insert", 1.0, "insert_many no slower than orjson.dumps (orjson/quarn >= 1)"),
            ("open", 2.0, "open at least 2x faster than reading + orjson.loads (orjson/quarn >= 2)"),
            ("write", 1.0, "write no slower than orjson.dumps + writing the bytes (orjson/quarn >= 1)")):
        checks = []
        for size in sizes:
            ratio = ratio_of(entries[size], "orjson", workload)
            checks.append(("N=%d" % size, None if ratio is None else "%sx" % fmt_ratio(ratio),
                           ratio is not None and ratio >= bound))
        judge(text, checks)

    # A cache hit converts its result only: per returned document it costs no more at a
    # larger N than at the smallest (the 1% result itself grows with N).
    checks = []
    if sizes:
        first = entries[sizes[0]]
        base = seconds_of(first, "quarn", "cache_hit")
        for size in sizes[1:]:
            hit = seconds_of(entries[size], "quarn", "cache_hit")
            if base is None or hit is None:
                checks.append(("N=%d" % size, None, False))
                continue
            per_match = (hit / entries[size]["expected"]["find_eq"]) / (base / first["expected"]["find_eq"])
            checks.append(("N=%d vs N=%d per returned document" % (size, sizes[0]), "%.2fx" % per_match,
                           per_match <= 1.5))
    judge("cache hit: time per returned document does not grow with N (at most 1.5x the "
          "smallest N's)", checks)

    checks = []
    if 100_000 in entries and 1_000_000 in entries:
        for workload, _ in WORKLOADS:
            small = seconds_of(entries[100_000], "quarn", workload)
            large = seconds_of(entries[1_000_000], "quarn", workload)
            if small and large:
                growth = large / small
                checks.append((workload, "%.1fx" % growth, growth <= 11))
    judge("quarn grows linearly: time at 1,000,000 at most 11x the time at 100,000", checks)

    checks = []
    for size in sizes:
        entry = entries[size]
        held = entry["memory"].get("quarn")
        text = entry.get("json_bytes_per_doc")
        if held is not None and text:
            checks.append(("N=%d" % size, "%.0f B held / %.0f B JSON = %.2fx" % (held, text, held / text),
                           held <= 1.5 * text))
    judge("memory held per document at most 1.5x its JSON text", checks)
    return results


def render_markdown(data):
    meta = data["meta"]
    lines = ["# quarn benchmarks", ""]
    lines.append("- Command: `%s`" % meta["command"])
    lines.append("- Date: %s" % meta["date"])
    lines.append("- Machine: %s" % meta["machine"])
    lines.append("- Load average at start / end: %s / %s" % (meta["load_start"], meta.get("load_end", "?")))
    lines.append("- Python: %s" % meta["python"])
    if "elapsed_seconds" in meta:
        lines.append("- Run time: %.0f s%s" % (meta["elapsed_seconds"], (
            " (%.0f s of processor time)" % meta["cpu_seconds"]) if "cpu_seconds" in meta else ""))
    versions = ", ".join("%s %s" % (name, version or "not installed")
                         for name, version in meta["versions"].items())
    lines.append("- Packages: %s" % versions)
    if meta.get("draft"):
        lines.append("- **%s**" % meta["draft"])
    lines.append("")
    lines.append("Each figure is the median of timed repetitions after one untimed warm-up: 5 "
                 "repetitions, 3 when the warm-up took 1 s or more, 1 when it took 20 s or more "
                 "(with --quick: 3, or 1 when the warm-up took 0.2 s or more); the counts are in "
                 "the repetitions tables. A repetition of a call faster than 20 ms times several "
                 "calls, each on its own, and takes their mean. Setup between calls (a fresh "
                 "store, emptying a cache, copies of the input where a store could keep or change "
                 "the caller's dicts) and freeing results are not timed. "
                 "Documents are generated with a fixed seed (bench/documents.py): 7 to 15 members "
                 "of strings, integers, floats, booleans and null, an object two levels deep "
                 "(address.geo) and an array of 0 to 4 strings. Queries: equality on `group` "
                 "(1%), `score` >= 20 and < 30 (10%), equality on `address.city` (the nested "
                 "path), the 1% find again (quarn answers it from its cache), and `score` += 1 "
                 "where `group` < 10 (10%). Every store's finds return the number of documents "
                 "a plain scan finds (checked on every run), and every update is checked on a "
                 "document. quarn's update writes two trace lines to standard output: it is sent "
                 "to /dev/null around the timed updates of every store alike. "
                 "Ratios are the store's seconds divided by quarn's: above 1, quarn is faster.")
    lines.append("")
    lines.append("Stores:")
    lines.append("")
    first_notes = {}
    for size in sizes_of(data):
        for key, note in data["sizes"][str(size)]["notes"].items():
            first_notes.setdefault(key, note)
    for key in STORE_KEYS:
        if key in first_notes:
            lines.append("- %s: %s" % (LABEL_OF[key], first_notes[key] or "used as documented."))
        elif key in meta.get("skipped", {}):
            lines.append("- %s: skipped (%s)" % (LABEL_OF[key], meta["skipped"][key]))
    lines.append("")

    header = "| store | " + " | ".join(label for _, label in WORKLOADS) + " |"
    rule = "|---|" + "---:|" * len(WORKLOADS)
    for size in sizes_of(data):
        entry = data["sizes"][str(size)]
        present = [key for key in STORE_KEYS if key in entry["seconds"]]
        lines.append("## N = {:,}".format(size))
        lines.append("")
        lines.append("Matches: %s; copies made with %s."
                     % (", ".join("%s %d" % (workload, number) for workload, number in entry["expected"].items()),
                        entry["copy_method"]))
        lines.append("")
        lines.append("Seconds:")
        lines.append("")
        lines.append(header)
        lines.append(rule)
        for key in present:
            cells = [fmt_seconds(seconds_of(entry, key, workload)) for workload, _ in WORKLOADS]
            lines.append("| %s | %s |" % (LABEL_OF[key], " | ".join(cells)))
        lines.append("")
        if "quarn" in entry["seconds"]:
            lines.append("Store's time divided by quarn's:")
            lines.append("")
            lines.append(header)
            lines.append(rule)
            for key in present:
                if key == "quarn":
                    continue
                cells = [fmt_ratio(ratio_of(entry, key, workload)) for workload, _ in WORKLOADS]
                lines.append("| %s | %s |" % (LABEL_OF[key], " | ".join(cells)))
            lines.append("")
        lines.append("Repetitions timed:")
        lines.append("")
        lines.append(header)
        lines.append(rule)
        for key in present:
            cells = []
            for workload, _ in WORKLOADS:
                figure = entry["seconds"][key].get(workload)
                cells.append(str(figure["reps"]) if figure else "")
            lines.append("| %s | %s |" % (LABEL_OF[key], " | ".join(cells)))
        lines.append("")
        for key, failure in entry["failures"].items():
            lines.append("- %s failed: %s" % (LABEL_OF.get(key, key), failure))
        if entry["failures"]:
            lines.append("")

    lines.append("## Memory held per document")
    lines.append("")
    lines.append("Resident set growth of a fresh process that opens the store from disk (or, for "
                 "a memory-only store, fills it from JSON lines in batches of 1,000), divided by N. "
                 "TinyDB's JSON storage keeps nothing after a read; PoloDB keeps its data in its "
                 "files.")
    lines.append("")
    sizes = sizes_of(data)
    lines.append("| | " + " | ".join("N = {:,}".format(size) for size in sizes) + " |")
    lines.append("|---|" + "---:|" * len(sizes))

    def memory_row(label, values):
        lines.append("| %s | %s |" % (label, " | ".join("%.0f" % v if v is not None else "n/a" for v in values)))

    memory_row("JSON text (compact)", [data["sizes"][str(s)].get("json_bytes_per_doc") for s in sizes])
    memory_row("Python dicts (tracemalloc of json.load)",
               [data["sizes"][str(s)].get("dict_bytes_per_doc") for s in sizes])
    for key in STORE_KEYS:
        values = [data["sizes"][str(s)]["memory"].get(key) for s in sizes]
        if any(v is not None for v in values):
            memory_row(LABEL_OF[key], values)
    lines.append("")

    lines.append("## Targets")
    lines.append("")
    lines.append("Computed from the figures above (`python3 bench/run.py --targets` recomputes "
                 "them from bench/results.json).")
    lines.append("")
    for description, status, detail in evaluate_targets(data):
        lines.append("- **%s**: %s%s" % (status, description, (" (%s)" % detail) if detail else ""))
    lines.append("")
    return "\n".join(lines)


def render_chart(data, path):
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        log("matplotlib is not installed: no chart")
        return False
    sizes = sizes_of(data)
    figure, axes = plt.subplots(len(sizes), 1, figsize=(14, 4.6 * len(sizes)), squeeze=False)
    colors = plt.get_cmap("tab10").colors
    for row, size in enumerate(sizes):
        axis = axes[row][0]
        entry = data["sizes"][str(size)]
        present = [key for key in STORE_KEYS if key in entry["seconds"]]
        width = 0.8 / max(1, len(present))
        for index, key in enumerate(present):
            xs, ys = [], []
            for position, (workload, _) in enumerate(WORKLOADS):
                seconds = seconds_of(entry, key, workload)
                if seconds:
                    xs.append(position - 0.4 + width * (index + 0.5))
                    ys.append(seconds)
            axis.bar(xs, ys, width, label=LABEL_OF[key], color=colors[STORE_KEYS.index(key) % 10])
        axis.set_yscale("log")
        axis.set_xticks(range(len(WORKLOADS)))
        axis.set_xticklabels([label.replace(" (", "\n(") for _, label in WORKLOADS], fontsize=8)
        axis.set_ylabel("seconds (log scale)")
        axis.set_title("N = {:,} documents".format(size))
        axis.grid(axis="y", which="both", alpha=0.3)
        axis.legend(fontsize=8, loc="upper left", bbox_to_anchor=(1.0, 1.0))
    figure.suptitle("quarn and its peers: seconds per workload, lower is better (%s)" % data["meta"]["date"])
    figure.tight_layout()
    figure.savefig(path, dpi=110)
    plt.close(figure)
    return True


def write_report(data, prefix):
    with open(prefix + ".json", "w") as handle:
        json.dump(data, handle, indent=1)
    with open(prefix + ".md", "w") as handle:
        handle.write(render_markdown(data))
    render_chart(data, prefix + ".png")


README_START = "<!-- bench:start -->"
README_END = "<!-- bench:end -->"


def render_readme_summary(data):
    """The README's summary: command, machine, chart, and the ratios at the largest N
    that every store ran."""
    meta = data["meta"]
    sizes = [size for size in sizes_of(data) if size <= ALL_STORES_UP_TO] or sizes_of(data)
    size = max(sizes)
    entry = data["sizes"][str(size)]
    lines = ["", "Figures of `%s`, run %s on %s, %s." % (
        meta["command"], meta["date"], meta["machine"], meta["python"])]
    if meta.get("draft"):
        lines += ["", "**%s**" % meta["draft"]]
    lines += ["",
             "![seconds per workload, log scale](bench/results.png)", "",
             "Each store's time divided by quarn's at N = {:,} (above 1, quarn is faster):".format(size), ""]
    lines.append("| store | " + " | ".join(label for _, label in WORKLOADS) + " |")
    lines.append("|---|" + "---:|" * len(WORKLOADS))
    lines.append("| quarn (seconds) | %s |" % " | ".join(
        fmt_seconds(seconds_of(entry, "quarn", workload)) for workload, _ in WORKLOADS))
    for key in STORE_KEYS:
        if key != "quarn" and key in entry["seconds"]:
            lines.append("| %s | %s |" % (LABEL_OF[key], " | ".join(
                fmt_ratio(ratio_of(entry, key, workload)) for workload, _ in WORKLOADS)))
    missed = [description for description, status, _ in evaluate_targets(data) if status == "missed"]
    lines.append("")
    lines.append("Targets missed in this run: %d of %d (listed in bench/results.md)."
                 % (len(missed), sum(1 for _, status, _ in evaluate_targets(data) if status != "not measured")))
    lines.append("")
    return "\n".join(lines)


def update_readme(data):
    path = os.path.join(os.path.dirname(HERE), "README.md")
    try:
        with open(path) as handle:
            text = handle.read()
    except OSError:
        return
    start, end = text.find(README_START), text.find(README_END)
    if start < 0 or end < start:
        return
    text = text[:start + len(README_START)] + "\n" + render_readme_summary(data) + text[end:]
    with open(path, "w") as handle:
        handle.write(text)


def load_average():
    try:
        return "%.2f %.2f %.2f" % os.getloadavg()
    except OSError:
        return "?"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="N = 10,000 only, 3 repetitions")
    parser.add_argument("--targets", action="store_true",
                        help="re-render the report from its saved figures and print the targets")
    parser.add_argument("--sizes", help="comma-separated N to run instead of the default")
    parser.add_argument("--stores", help="comma-separated stores to run (default all): " + ",".join(STORE_KEYS))
    parser.add_argument("--out", help="path prefix of the .md, .png and .json written "
                        "(default bench/results, bench/results-quick with --quick)")
    parser.add_argument("--draft", help="a line saying why these figures are not final")
    arguments = parser.parse_args()
    prefix = arguments.out or os.path.join(HERE, "results-quick" if arguments.quick else "results")

    if arguments.targets:
        with open(prefix + ".json") as handle:
            data = json.load(handle)
        write_report(data, prefix)
        if prefix == os.path.join(HERE, "results"):
            update_readme(data)
        for description, status, detail in evaluate_targets(data):
            print("%-13s %s%s" % (status, description, (" (%s)" % detail) if detail else ""))
        return

    sizes = ([int(size.replace("_", "")) for size in arguments.sizes.split(",")] if arguments.sizes
             else QUICK_SIZES if arguments.quick else FULL_SIZES)
    wanted = arguments.stores.split(",") if arguments.stores else list(STORE_KEYS)
    for key in wanted:
        if key not in STORE_KEYS:
            parser.error("unknown store %r" % key)
    problem = availability("quarn")
    if problem:
        sys.exit("quarn cannot be imported (%s): install it, or put its build directory on "
                 "PYTHONPATH" % problem)
    skipped = {}
    stores = []
    for key in wanted:
        problem = availability(key)
        if problem:
            skipped[key] = "not installed: %s (pip install %s)" % (problem, PEERS_PYPI.get(key, key))
            log("skipping %s: %s" % (key, skipped[key]))
        else:
            stores.append(key)
    # where the report goes and the draft line do not change a figure: not shown
    shown = [argument for argument in sys.argv[1:]
             if not argument.startswith("--draft") and not argument.startswith("--out")]
    for value in (arguments.draft, arguments.out):
        if value and value in shown:
            shown.remove(value)
    command = "python3 bench/run.py" + "".join(" " + argument for argument in shown)
    data = {
        "meta": {
            "command": command,
            "date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
            "machine": machine_description(),
            "python": "%s %s" % (platform.python_implementation(), platform.python_version()),
            "versions": package_versions(),
            "load_start": load_average(),
            "skipped": skipped,
            "draft": arguments.draft,
        },
        "sizes": {},
    }
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
        update_readme(data)  # only a full run of every store speaks for the README
    log("done in %.0f s: %s.md, %s.png" % (time.perf_counter() - started, prefix, prefix))
    for description, status, detail in evaluate_targets(data):
        print("%-13s %s" % (status, description))


if __name__ == "__main__":
    main()
