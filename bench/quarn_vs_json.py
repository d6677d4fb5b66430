"""Measures quarn's reading, inserting, writing and reopening against Python's own tools.

    python3 bench/quarn_vs_json.py [N]

Prints one line per figure (the best of three runs): a quick readout of quarn alone beside
json and orjson, where run.py compares every store.
Not a test: timings depend on the machine.
"""
import json
import os
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from documents import make_documents
from quarn import Quarn
from timing import best_of, memory_held

try:
    import orjson
except ImportError:  # optional
    orjson = None


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


if __name__ == "__main__":
    main()
