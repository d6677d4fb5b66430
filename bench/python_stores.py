"""The floors made of Python's own tools: a list of dicts (returning copies, or the very
dicts it holds) and orjson's round trip between objects and JSON text."""
import copy
import json
import os

from store_base import Store

try:
    import orjson
except ImportError:  # the bench extra brings it; the harness still runs without it
    orjson = None


def durable_write(path, data):
    """data to a temporary file beside path, synced and renamed over it, so that a crash
    leaves the old contents or the new ones. quarn's write does the same and then syncs the
    directory too (making the rename itself durable), which costs one more fsync."""
    temporary = path + ".tmp"
    with open(temporary, "wb") as handle:
        handle.write(data)
        handle.flush()
        os.fsync(handle.fileno())
    os.replace(temporary, path)


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

    def new_empty(self, index):
        return []

    def insert(self, store, documents):
        store.extend(self.copy(documents) if self.copies else documents)

    def find(self, query):
        _kind, path, operand = query
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
        return (f"finds return independent copies of the matches ({self.copy_method}, the faster of "
                "copy.deepcopy and an orjson round trip here); insert_many stores copies; "
                "write = json.dump to a file (which encodes in pieces, slower than writing json.dumps' "
                "text), open = json.load.")

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
            "collection's text; write = orjson.dumps, writing the bytes to a temporary file, "
            "fsync and renaming it over the file (quarn's write syncs the directory after its "
            "rename as well); open = reading the file and orjson.loads.")

    def new_empty(self, index):
        return {}

    def insert(self, store, documents):
        store["text"] = orjson.dumps(documents)

    def find_all(self):
        return orjson.loads(self.main["text"])

    def write(self):
        self.path = os.path.join(self.root, "orjson.json")
        durable_write(self.path, orjson.dumps(self.documents))

    def open(self):
        with open(self.path, "rb") as handle:
            return orjson.loads(handle.read())

    def load_for_memory(self, path):
        with open(path, "rb") as handle:
            return orjson.loads(handle.read())
