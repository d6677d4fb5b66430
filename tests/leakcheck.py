"""Reference and memory leak check for every Quarn method.

Runs the constructor and all 13 methods on their success paths and on the
failure paths the tests know, round after round. After a warm-up it measures
the live objects (gc.get_objects), the interpreter's allocated blocks, the C
heap in use (mallinfo2, where glibc has it), the resident set and the
reference counts of the argument objects, runs the rounds again and fails
when any of them grew beyond its bound.

    python tests/leakcheck.py [--rounds N] [--warmup N]

Prints one line per measure and exits with status 1 when a bound is exceeded.
QUARN_STRESS=1 multiplies the default rounds by 20.
"""

import argparse
import ctypes
import ctypes.util
import gc
import json
import os
import platform
import shutil
import sys
import tempfile
from collections.abc import Mapping

from quarn import Quarn

PYPY = platform.python_implementation() == "PyPy"

# Largest growth accepted between the two measures. On CPython a leak of one
# object, block or reference per round of any one scenario exceeds these after
# the default rounds, and the C heap bound is below what one leaked document
# per round holds (every inserted document carries a 2 KiB string). PyPy's C
# heap and resident set hold its own garbage-collected heap, which keeps
# growing for tens of thousands of calls before it levels off, so there only
# the resident set is checked, against a looser bound.
BOUNDS = {
    "objects": 200,
    "blocks": 1000,
    "references": 0,
    "c_heap": 256 * 1024,
    "rss": (32 if PYPY else 4) * 1024 * 1024,
}


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


class _Mallinfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
                 "keepcost")]


def _c_heap_reader():
    """Bytes in use on the C heap, or None where mallinfo2 is missing or
    replaced (a sanitizer's allocator reports nothing)."""
    try:
        libc = ctypes.CDLL(ctypes.util.find_library("c"))
        mallinfo2 = libc.mallinfo2
    except (OSError, AttributeError, TypeError):
        return None
    mallinfo2.restype = _Mallinfo2
    mallinfo2.argtypes = []

    def read():
        info = mallinfo2()
        return info.uordblks + info.hblkhd

    return read if read() > 0 else None


class Nested(dict):
    """A document whose keys() calls a method of the database during the conversion."""

    def __init__(self, db, method, *args):
        super().__init__(a=1)
        self.db, self.method, self.args = db, method, args

    def keys(self):
        try:
            getattr(self.db, self.method)(*self.args)
        except RuntimeError:
            pass
        return super().keys()


class RaisingKeys(dict):
    def keys(self):
        raise KeyError("keys")


class Interrupting(dict):
    def keys(self):
        raise KeyboardInterrupt


class RaisingMapping(Mapping):
    """A mapping that is not a dict: converted through the mapping protocol, which raises."""

    def __getitem__(self, key):
        raise LookupError(key)

    def __iter__(self):
        return iter(("a",))

    def __len__(self):
        return 1


def expect(exception, call, *args, **kwargs):
    try:
        call(*args, **kwargs)
    except exception:
        return
    except BaseException as error:  # noqa: B036 - PanicException derives from BaseException
        if type(error).__name__ != exception.__name__:
            raise
        return
    raise AssertionError("%r did not raise %s" % (call, exception.__name__))


class Panic(BaseException):
    """Stands for PanicException, which the module does not export (matched by name)."""


Panic.__name__ = "PanicException"


class Scenarios:
    """Every call the check repeats; the arguments are built once, so their
    reference counts show any reference a call keeps."""

    def __init__(self, root):
        self.root = root
        self.db_dir = os.path.join(root, "db")
        self.missing_parent = os.path.join(root, "no", "such", "db")
        self.regular_file = os.path.join(root, "regular")
        self.bad_json_dir = os.path.join(root, "bad_json")
        self.scalar_dir = os.path.join(root, "scalar")
        self.array_doc = os.path.join(root, "array.json")
        self.object_doc = os.path.join(root, "object.json")
        self.bad_doc = os.path.join(root, "bad.json")
        self.load_doc = os.path.join(root, "load.json")
        self.bad_key_doc = os.path.join(root, "bad_key.json")
        self.missing_doc = os.path.join(root, "missing.json")
        for directory in (self.bad_json_dir, self.scalar_dir):
            os.makedirs(directory)
        files = {
            self.regular_file: "x",
            os.path.join(self.bad_json_dir, "c.json"): "[1,",
            os.path.join(self.scalar_dir, "c.json"): "1",
            self.array_doc: json.dumps([{"k": i, "pad": "p" * 2048} for i in range(4)]),
            self.object_doc: '{"a": 1}',
            self.bad_doc: "{nope",
            self.load_doc: json.dumps({"one": [{"k": 1}, {"k": 2}], "two": {"k": 3}}),
            self.bad_key_doc: json.dumps({"../out": [1]}),
        }
        for path, text in files.items():
            with open(path, "w") as handle:
                handle.write(text)
        self.name = "".join(("leak", "_c"))  # built at run time: not interned, so its count is meaningful
        self.document = {"k": 1, "nested": {"list": [1, 2.5, None, True, "s"]}, "pad": "d" * 2048}
        self.documents = [{"k": i, "pad": "m" * 2048} for i in range(3)]
        self.mixed = [1, "two", [3], None, {"k": 0.5}]
        self.query = {"k": {"$gte": 1}}
        self.queries = [{"k": i} for i in range(120)]  # more than the cache holds
        self.update_query = {"k": {"$inc": 1}}
        self.self_containing = [1]
        self.self_containing.append(self.self_containing)
        self.too_deep = [0]
        for _ in range(130):
            self.too_deep = [self.too_deep]
        self.too_deep_set = {"x.y.z": {"$set": self.too_deep[0][0][0][0][0][0][0]}}  # 3 pieces + 124 levels
        self.arguments = [self.name, self.document, self.documents, self.mixed, self.query, self.update_query,
                          self.self_containing, self.too_deep, self.too_deep_set] + self.queries[:3]
        self.round = 0

    def fresh(self):
        shutil.rmtree(self.db_dir, ignore_errors=True)
        return Quarn(self.db_dir)

    # --- success paths -------------------------------------------------
    def successes(self):
        db = self.fresh()
        db.create_collection(self.name)
        db.create_collection(self.name)  # exists already
        db.insert(self.name, self.document)
        db.insert_many(self.name, self.documents)
        db.insert_many_from_document("from_doc", self.array_doc)
        db.load_from_document(self.load_doc)
        db.insert_many("mixed", self.mixed)
        assert len(db.find(self.name)) == 4 and len(db.find("mixed")) == 5
        db.find(self.name, self.query)
        db.find(self.name, self.query)  # cache hit
        db.find(self.name, self.queries[self.round % len(self.queries)])
        db.update(self.name, self.update_query, {"k": 2})
        db.update(self.name, {"pad": {"$delete": 0}}, self.query, return_result=True)
        db.write(self.name)
        db.write_all()
        db.collections()
        db.clear_cache()
        db.drop_collection("two")
        db.drop_collection("never")
        Quarn(self.db_dir).find(self.name)  # reopened from its files
        Quarn(self.missing_parent)
        db.drop_all()
        self.round += 1

    # --- failure paths -------------------------------------------------
    def failures(self):
        db = self.fresh()
        db.insert(self.name, {"k": 1})
        # binding, receiver and argument conversion
        expect(TypeError, Quarn)
        expect(TypeError, Quarn, 5)
        expect(TypeError, Quarn, self.db_dir, extra=1)
        expect(TypeError, db.find)
        expect(TypeError, db.find, self.name, None, 3)
        expect(TypeError, db.find, self.name, collection_name=self.name)
        expect(TypeError, db.insert, collection_name=self.name, doc=1)
        expect(TypeError, db.insert, 5, self.document)
        expect(TypeError, db.insert, self.name, [1])
        expect(TypeError, db.insert_many, self.name, {"a": 1})
        expect(TypeError, db.update, self.name, self.update_query, return_result=1)
        expect(TypeError, db.update, self.name, self.update_query, None, None)
        expect(TypeError, db.update, self.name, [1])
        expect(TypeError, Quarn.find, object(), self.name)
        expect(TypeError, Quarn.collections, object())
        expect(TypeError, db.write_all, 1)
        expect(UnicodeEncodeError, db.find, "\ud800")
        # the constructor's file errors
        expect(OSError, Quarn, self.regular_file)
        expect(ValueError, Quarn, self.bad_json_dir)
        expect(Panic, Quarn, self.scalar_dir)
        # names
        for bad_name in ("", ".", "..", "a/b", "a\0b"):
            expect(ValueError, db.insert, bad_name, self.document)
            expect(ValueError, db.find, bad_name)
            expect(ValueError, db.drop_collection, bad_name)
        # values without a JSON form
        expect(Panic, db.insert, self.name, {"b": b"bytes"})
        expect(Panic, db.insert, self.name, {1: 2})
        expect(Panic, db.insert, self.name, {"n": 2 ** 70})
        expect(Panic, db.insert_many, self.name, self.self_containing)
        expect(Panic, db.insert_many, self.name, self.too_deep)
        expect(Panic, db.insert, self.name, RaisingKeys(a=1))
        expect(Panic, db.insert_many, self.name, [RaisingMapping()])
        expect(KeyboardInterrupt, db.insert, self.name, Interrupting(a=1))
        # nested calls on the same object
        db.insert(self.name, Nested(db, "find", self.name))
        db.insert(self.name, Nested(db, "collections"))
        db.insert(self.name, Nested(db, "write", self.name))
        db.update(self.name, Nested(db, "write_all"))
        # documents and collections that are not there
        expect(ValueError, db.find, "absent")
        expect(ValueError, db.find, "absent", {"$bad": 1})
        expect(Panic, db.update, "absent", self.update_query)
        expect(ValueError, db.write, "absent")
        expect(OSError, db.insert_many_from_document, self.name, self.missing_doc)
        expect(ValueError, db.insert_many_from_document, self.name, self.bad_doc)
        expect(ValueError, db.insert_many_from_document, self.name, self.object_doc)
        expect(OSError, db.load_from_document, self.missing_doc)
        expect(Panic, db.load_from_document, self.array_doc)
        expect(ValueError, db.load_from_document, self.bad_key_doc)
        # queries and updates
        expect(Panic, db.find, self.name, {"k": {"$in": [1]}})
        expect(Panic, db.find, self.name, {"k": []})
        expect(ValueError, db.find, self.name, {"k": {"$gt": "x"}})
        expect(Panic, db.update, self.name, {"k": {"$push": 1}})
        expect(Panic, db.update, self.name, self.update_query, {"k": {"$gt": "x"}})
        expect(Panic, db.update, self.name, {"b": b"x"})
        db.insert(self.name, {"x": {"y": {"z": 0}}})
        expect(Panic, db.update, self.name, self.too_deep_set)
        # file errors: a directory where the file goes, then no database directory
        db.insert("blocked", {"k": 1})
        os.unlink(os.path.join(self.db_dir, "blocked.json"))
        os.mkdir(os.path.join(self.db_dir, "blocked.json"))
        expect(OSError, db.write, "blocked")
        expect(OSError, db.write_all)
        shutil.rmtree(self.db_dir)
        expect(OSError, db.write, self.name)
        expect(OSError, db.collections)
        expect(Panic, db.drop_all)
        expect(FileNotFoundError, db.create_collection, "new")


def under_sanitizer():
    """AddressSanitizer keeps freed memory in quarantine, so the resident set
    grows with every allocation there; its own checks replace this one."""
    with open("/proc/self/maps") as maps:
        return "libasan" in maps.read()


def measure(scenarios, c_heap):
    for _ in range(3 if PYPY else 1):
        gc.collect()
    figures = {} if under_sanitizer() else {"rss": resident_bytes()}
    if not PYPY:
        figures["objects"] = len(gc.get_objects())
        figures["blocks"] = sys.getallocatedblocks()
        figures["references"] = sum(sys.getrefcount(argument) for argument in scenarios.arguments)
    if c_heap is not None and not PYPY:
        figures["c_heap"] = c_heap()
    return figures


def run(rounds, warmup, scenarios):
    for _ in range(warmup):
        scenarios.successes()
        scenarios.failures()
    c_heap = _c_heap_reader()
    before = measure(scenarios, c_heap)
    for _ in range(rounds):
        scenarios.successes()
        scenarios.failures()
    after = measure(scenarios, c_heap)
    return {name: after[name] - before[name] for name in before}


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    scale = 20 if os.environ.get("QUARN_STRESS") else 1
    parser.add_argument("--rounds", type=int, default=(300 if PYPY else 400) * scale)
    parser.add_argument("--warmup", type=int, default=300 if PYPY else 100)
    options = parser.parse_args(argv)
    # tmpfs where there is one: the rounds write and sync many files.
    base = "/dev/shm" if os.access("/dev/shm", os.W_OK) else None
    root = tempfile.mkdtemp(prefix="quarn-leak-", dir=base)
    saved_stdout = os.dup(1)
    try:
        # Update trace lines go to the process's standard output; silence them.
        with open(os.devnull, "w") as null:
            os.dup2(null.fileno(), 1)
        growth = run(options.rounds, options.warmup, Scenarios(root))
    finally:
        os.dup2(saved_stdout, 1)
        os.close(saved_stdout)
        shutil.rmtree(root, ignore_errors=True)
    print("%s %s, %d rounds after %d warm-up rounds" % (
        platform.python_implementation(), platform.python_version(), options.rounds, options.warmup))
    exceeded = []
    for name, grown in sorted(growth.items()):
        print("  %-10s grew by %10d (bound %d)" % (name, grown, BOUNDS[name]))
        if grown > BOUNDS[name]:
            exceeded.append(name)
    if exceeded:
        print("LEAK: " + ", ".join(exceeded) + " grew beyond the bound")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
