"""What is measured: the sizes, the workloads (the report's columns), the queries, and
running every workload on one store with its results checked."""
import copy
import math

from timing import first_call, log, measure

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
    ("find_point", "find 1 of N (point)"),
    ("cache_hit", "same find again (cache hit)"),
    ("update", "update 10% ($inc)"),
    ("write", "write to disk"),
    ("open", "open from disk"),
]
LABELS = dict(WORKLOADS)
FIND_WORKLOADS = ["find_all", "find_eq", "find_range", "find_nested", "find_point", "cache_hit"]
# The finds run with every result cache emptied first: quarn's first one (a scan) is kept too.
UNCACHED_FINDS = ["find_eq", "find_range", "find_nested", "find_point"]
QUERY_WORKLOADS = UNCACHED_FINDS + ["update"]

# The queries, independent of any store: (kind, dotted path, operands).
# group is id % 100 (1% match 42); score is uniform in [0, 100) (10% in [20, 30));
# address.city is one of 500 words (the city of document 0 is chosen); id is unique (the
# one in the middle is looked up).
UPDATE_SELECT = ("lt", "group", 10)  # 10% of the documents get score += 1
CHECK_QUERY = ("eq", "id", 0)


def queries_for(documents):
    return {
        "find_eq": ("eq", "group", 42),
        "find_range": ("range", "score", (20.0, 30.0)),
        "find_nested": ("eq", "address.city", documents[0]["address"]["city"]),
        "find_point": ("eq", "id", documents[len(documents) // 2]["id"]),
    }


def expected_matches(documents):
    """How many documents each selective find must return, counted by a plain scan."""
    queries = queries_for(documents)
    city = queries["find_nested"][2]
    return {
        "find_eq": sum(1 for d in documents if d["group"] == 42),
        "find_range": sum(1 for d in documents if 20.0 <= d["score"] < 30.0),
        "find_nested": sum(1 for d in documents if d["address"]["city"] == city),
        "find_point": sum(1 for d in documents if d["id"] == queries["find_point"][2]),
    }


def fresh_copy(documents):
    """Independent copies of the documents, made outside any timing."""
    if orjson is not None:
        return orjson.loads(orjson.dumps(documents))
    return copy.deepcopy(documents)


class StoreRun:
    """Times the workloads of one store and records their figures, checking each result."""

    def __init__(self, store, quick):
        self.store = store
        self.quick = quick
        self.figures = {}
        self.inserts = 0

    def measure(self, run, prepare=None, finish=None, check=None, redirect=False):
        return measure(run, prepare, finish, check, quick=self.quick, redirect=redirect)

    def record(self, workload, figure):
        self.figures[workload] = figure
        log(f"  {self.store.key:<15} {workload:<12} {figure['seconds']:10.6f} s  (median of "
            f"{figure['reps']} x {figure['calls_per_rep']} calls; warm-up {figure['warmup']:.6f} s"
            + (f"; first run {figure['first']:.6f} s" if "first" in figure else "") + ")")

    def count_check(self, workload, wanted):
        def check(result):
            if len(result) != wanted:
                raise AssertionError(f"{self.store.key} {workload} returned {len(result)} "
                                     f"documents, expected {wanted}")
        return check

    def time_insert(self, documents):
        """insert_many into an empty store; the store of the last repetition is kept."""
        store = self.store

        def prepare():
            self.inserts += 1
            empty = store.new_empty(self.inserts)
            return (empty, fresh_copy(documents) if store.keeps_input else documents)

        def finish(argument, result):
            store.adopt(argument[0])

        self.record("insert", self.measure(lambda argument: store.insert(*argument), prepare, finish))

    def time_find_all(self, count, before=None):
        self.record("find_all", self.measure(lambda _: self.store.find_all(), before,
                                             check=self.count_check("find_all", count)))

    def time_find(self, workload, query, wanted, before=None, first=False):
        """first: the query's first run is timed on its own, then measure()'s warm-up is a
        second untimed run, so a plan or index a store makes on the second run of a query
        stays out of the repetitions."""
        def run(_):
            return self.store.find(query)

        check = self.count_check(workload, wanted)
        first_seconds = first_call(run, before, check) if first else None
        figure = self.measure(run, before, check=check)
        if first:
            figure["first"] = first_seconds
        self.record(workload, figure)

    def time_indexes(self, documents):
        """Index creation, timed apart from every workload; the indexes stay."""
        store = self.store
        self.record("create_index", self.measure(lambda _: store.create_indexes(), store.drop_indexes))
        store.check_plans(documents)

    def time_finds(self, documents, expected):
        """Every find with the caches emptied before each call, then the 1% find cached."""
        before = self.store.before_find
        self.time_find_all(len(documents), before)
        queries = queries_for(documents)
        for workload in UNCACHED_FINDS:
            self.time_find(workload, queries[workload], expected[workload], before, first=True)
        # The same selective find again: quarn (and TinyDB) answer it from their caches.
        self.store.before_find()
        self.time_find("cache_hit", queries["find_eq"], expected["find_eq"])

    def time_write_and_open(self):
        store = self.store
        if store.has_write:
            store.prepare_write()
            self.record("write", self.measure(lambda _: store.write(), store.before_write,
                                              lambda *_: store.after_write()))
            store.after_writes()
        if store.has_open:
            store.before_open()
            self.record("open", self.measure(lambda _: store.open(),
                                             finish=lambda _, opened: store.after_open(opened)))
            store.after_opens()

    def time_update(self):
        """The update, checked on document 0: its score went up by one per call."""
        store = self.store
        store.begin_updates()
        before = store.score_of_first()
        figure = self.measure(lambda _: store.update(), redirect=True)
        after = store.score_of_first()
        store.end_updates()
        runs = figure["calls"]
        if not math.isclose(after, before + runs, rel_tol=1e-9, abs_tol=1e-9):
            raise AssertionError(f"{store.key} update: score of document 0 went from {before!r} "
                                 f"to {after!r} in {runs} updates")
        self.record("update", figure)

    def time_orjson(self, documents):
        """orjson has no query: its find all, write and open stand for moving the text."""
        store = self.store
        store.documents = documents  # what write serializes
        self.time_find_all(len(documents))
        self.record("write", self.measure(lambda _: store.write()))
        self.record("open", self.measure(lambda _: store.open(),
                                         check=self.count_check("open", len(documents))))


def run_store(store, documents, expected, quick):
    """Every workload on one store; returns {workload: figure}."""
    run = StoreRun(store, quick)
    run.time_insert(documents)
    if store.indexed:
        run.time_indexes(documents)
    if store.key == "orjson":
        run.time_orjson(documents)
    else:
        run.time_finds(documents, expected)
        run.time_write_and_open()
        run.time_update()
    return run.figures
