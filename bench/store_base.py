"""What every store adapter answers: the Store base class, and the reader of the JSON
lines that memory-only stores are filled from.

Each store holds one "main" instance (the one the last insert repetition built) and
answers the workloads on it. A store without a file to write or open says so with
has_write / has_open False. The hooks around the timed calls (before_*, after_*,
prepare_write, begin_updates, end_updates) are not timed.
"""
import json

from workloads import CHECK_QUERY


class Store:
    key = ""
    label = ""
    big_n = False  # runs at N above ALL_STORES_UP_TO
    indexed = False  # has create_indexes / drop_indexes / check_plans, timed apart
    keeps_input = True  # holds (or changes) the dicts it is given: it gets fresh copies
    note = ""

    def __init__(self, root):
        self.root = root
        self.main = None

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

    def begin_updates(self):
        pass

    def end_updates(self):
        pass

    has_write = False
    has_open = False

    def prepare_write(self):
        pass

    def before_write(self):
        pass

    def write(self):
        raise NotImplementedError

    def after_write(self):
        pass

    def after_writes(self):
        pass

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
