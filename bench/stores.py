"""The stores quarn is measured against, each behind the same Store interface: quarn,
TinyDB (JSON file and memory), mongita, montydb, PoloDB, sqlite3 (sqlite_stores) and the
Python floors of python_stores; and the list of them that the harness and the report go by."""
import os

from python_stores import OrjsonStore, PythonCopyStore, PythonNoCopyStore, PythonStore
from sqlite_stores import SqliteIndexedStore, SqliteStore
from store_base import Store, json_lines_batches
from workloads import UPDATE_SELECT


class QuarnStore(Store):
    key = "quarn"
    label = "quarn"
    keeps_input = False  # converts them
    note = ("Quarn(directory); its result cache is emptied (clear_cache) before each uncached "
            "find, and its first uncached find of each query is reported apart.")
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
        if kind != "range":
            return MongoLikeStore.query(shape)
        low, high = operand  # quarn reads one operator per key: a range is two top-level keys
        return {path: {"$gte": low}, path + ".$lt": high}

    def new_empty(self, index):
        directory = os.path.join(self.root, f"quarn-{index}")
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
        path = os.path.join(self.root, f"tinydb-{index}.json")
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
        return self.database()[f"docs{index}"]

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
        path = os.path.join(self.root, f"polodb-{index}.db")
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


STORE_CLASSES = [QuarnStore, TinyDBJSONStore, TinyDBMemoryStore, MongitaStore, MontyStore,
                 PoloStore, SqliteStore, SqliteIndexedStore, PythonCopyStore, PythonNoCopyStore,
                 OrjsonStore]
STORE_KEYS = [cls.key for cls in STORE_CLASSES]
LABEL_OF = {cls.key: cls.label for cls in STORE_CLASSES}
CLASS_OF = {cls.key: cls for cls in STORE_CLASSES}
PEERS_PYPI = {"tinydb-json": "tinydb", "tinydb-memory": "tinydb", "mongita-memory": "mongita",
              "montydb-memory": "montydb", "polodb": "polodb-python", "orjson": "orjson"}
MODULE_OF = {"quarn": "quarn", "tinydb-json": "tinydb", "tinydb-memory": "tinydb",
             "mongita-memory": "mongita", "montydb-memory": "montydb", "polodb": "polodb",
             "sqlite3": "sqlite3", "sqlite3-indexed": "sqlite3", "orjson": "orjson"}


def availability(key):
    """None when the store can run here, otherwise why not."""
    module = MODULE_OF.get(key)
    if module is None:
        return None
    try:
        __import__(module)
    except Exception as error:  # noqa: BLE001 - an ImportError, or a binary that fails to load
        return f"{type(error).__name__}: {error}"
    return None


def make_store(key, root, copy_method):
    cls = CLASS_OF[key]
    if issubclass(cls, PythonStore):
        return cls(root, copy_method)
    return cls(root)
