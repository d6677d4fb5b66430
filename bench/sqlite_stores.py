"""sqlite3 from the standard library as a document store: one row per document, its JSON
text in a column, queries through json_extract; without an index and with an expression
index on every queried path."""
import json
import os
import sqlite3

from store_base import Store
from workloads import UPDATE_SELECT, queries_for

try:
    import orjson

    def dumps(document):
        return orjson.dumps(document).decode()  # text: sqlite reads a blob as something else

    loads = orjson.loads
except ImportError:  # the bench extra brings it; json does the same, slower
    def dumps(document):
        return json.dumps(document, separators=(",", ":"))

    loads = json.loads

INSERT = "INSERT INTO docs (doc) VALUES (?)"
# A page cache that holds a million documents and their indexes (sqlite's default is 2 MB):
# the other stores hold theirs in memory, and a transaction that fits in it reaches the
# file at its COMMIT, where the write workload times it, not in the middle of the insert.
CACHE_KIB = 1 << 20
# Paths that get an index: every path a query of the harness selects on.
INDEXED_PATHS = ("group", "score", "address.city", "id")


def extract(path):
    # Written the same way in the indexes and the queries: sqlite matches them as expressions.
    return f"json_extract(doc, '$.{path}')"


def where(shape):
    kind, path, operand = shape
    if kind == "eq":
        return f"{extract(path)} = ?", (operand,)
    if kind == "lt":
        return f"{extract(path)} < ?", (operand,)
    low, high = operand
    return f"{extract(path)} >= ? AND {extract(path)} < ?", (low, high)


def connect(path):
    # Autocommit mode: every transaction is opened and committed by the adapter itself.
    # sqlite's defaults stay but for the page cache: rollback journal, synchronous=FULL.
    connection = sqlite3.connect(path, isolation_level=None)
    connection.execute(f"PRAGMA cache_size = -{CACHE_KIB}")
    return connection


def new_database(path):
    connection = connect(path)
    # rowid keeps insertion order; ORDER BY rowid returns the documents in it.
    connection.execute("CREATE TABLE docs (doc TEXT NOT NULL)")
    return connection


def remove_database(path):
    for suffix in ("", "-journal"):
        try:
            os.remove(path + suffix)
        except FileNotFoundError:
            pass


class SqliteStore(Store):
    key = "sqlite3"
    label = "sqlite3"
    keeps_input = False  # serializes them
    big_n = True
    has_write = True
    has_open = True
    indexed = False

    def __init__(self, root):
        super().__init__(root)
        self.path = None
        self.writes = 0

    @property
    def note(self):
        return (f"sqlite3 (SQLite {sqlite3.sqlite_version}) with its defaults (rollback journal, "
                f"synchronous=FULL) but a page cache of {CACHE_KIB >> 10} MiB, which holds every "
                "document: a table of JSON text, one row per document; finds are "
                "json_extract(doc, '$.path') conditions, ORDER BY rowid (insertion order), every row "
                "decoded with orjson. insert_many = BEGIN and executemany (text from orjson.dumps); "
                "write = the COMMIT of that transaction, into a fresh file each time; "
                "open = connect and count(*), which reads the table (or its smallest index) into the "
                "page cache: sqlite queries its file, so, like PoloDB's, its open decodes no "
                "document (reading every document is the find all); the updates run in "
                "one transaction, committed after them, as quarn's update does not write either.")

    # setup: each insert repetition fills a new file; the one adopted last stays
    def new_empty(self, index):
        path = os.path.join(self.root, f"sqlite-{index}.db")
        return (path, new_database(path))

    def insert(self, store, documents):
        connection = store[1]
        connection.execute("BEGIN")
        connection.executemany(INSERT, [(dumps(document),) for document in documents])

    def adopt(self, store):
        replaced = self.path
        self.close_main()
        if replaced:
            remove_database(replaced)  # the memory probe opens the last one only
        self.path, self.main = store
        self.main.execute("COMMIT")  # durably stored: the write workload times this commit

    def close_main(self):
        if self.main is not None:
            self.main.close()
        self.main = None

    # queries
    def select(self, shape):
        condition, parameters = where(shape)
        return f"SELECT doc FROM docs WHERE {condition} ORDER BY rowid", parameters

    def find(self, query):
        return [loads(text) for (text,) in self.main.execute(*self.select(query))]

    def find_all(self):
        return [loads(text) for (text,) in self.main.execute("SELECT doc FROM docs ORDER BY rowid")]

    def begin_updates(self):
        self.main.execute("BEGIN")

    def end_updates(self):
        self.main.execute("COMMIT")

    def update(self):
        condition, parameters = where(UPDATE_SELECT)
        self.main.execute("UPDATE docs SET doc = json_set(doc, '$.score', "
                          f"{extract('score')} + 1) WHERE {condition}", parameters)

    # write: the commit of every document into a fresh file; filling it is not timed
    def prepare_write(self):
        self.texts = [(text,) for (text,) in self.main.execute("SELECT doc FROM docs ORDER BY rowid")]

    def before_write(self):
        self.writes += 1
        path = os.path.join(self.root, f"sqlite-write-{self.writes}.db")
        connection = new_database(path)
        connection.execute("BEGIN")
        connection.executemany(INSERT, self.texts)
        if self.indexed:
            create_indexes(connection)
        self.pending = (path, connection)

    def write(self):
        self.pending[1].execute("COMMIT")

    def after_write(self):
        path, connection = self.pending
        connection.close()
        remove_database(path)

    def after_writes(self):
        del self.texts, self.pending

    def open(self):
        return self.load_for_memory(self.path)

    def after_open(self, opened):
        opened.close()

    def load_for_memory(self, path):
        connection = connect(path)
        connection.execute("SELECT count(*) FROM docs").fetchone()
        return connection


def create_indexes(connection):
    for number, path in enumerate(INDEXED_PATHS):
        connection.execute(f"CREATE INDEX path{number} ON docs ({extract(path)})")


class SqliteIndexedStore(SqliteStore):
    key = "sqlite3-indexed"
    label = "sqlite3 (indexed)"
    indexed = True

    @property
    def note(self):
        paths = ", ".join(INDEXED_PATHS)
        return ("sqlite3 as in the sqlite3 store, with an expression index on each queried path "
                f"(CREATE INDEX ... ON docs (json_extract(doc, '$.path')) for {paths}), made after "
                "insert_many and timed apart (Index creation below, not in any column); every "
                "find's query plan is checked to use its index.")

    def create_indexes(self):
        self.main.execute("BEGIN")
        create_indexes(self.main)
        self.main.execute("COMMIT")

    def drop_indexes(self):
        for number in range(len(INDEXED_PATHS)):
            self.main.execute(f"DROP INDEX IF EXISTS path{number}")

    def check_plans(self, documents):
        """Every selective find must search its index, or this store measures a scan."""
        for workload, shape in queries_for(documents).items():
            sql, parameters = self.select(shape)
            plan = " ".join(row[-1] for row in self.main.execute("EXPLAIN QUERY PLAN " + sql, parameters))
            if "USING INDEX" not in plan:
                raise AssertionError(f"{self.key} {workload} does not use its index: {plan}")
