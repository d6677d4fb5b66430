"""find: query evaluation, errors and their order, and the result cache."""
import gc
import time

import pytest

from quarn import Quarn
from conftest import PanicException, raises_message, write_file

TOP = 2**64 - 1
WIDE = {"k%d" % i: i for i in range(20)}  # more members than a short scan covers
ZEROS = [{"a": 0}, {"a": 0.0}, {"a": -0.0}]
NULLS = [{"a": None}, {"a": 0}, {}]


@pytest.mark.parametrize(
    "query, documents, expected",
    [
        ({}, [{"a": 1}, {}], [0, 1]),
        ({"a": {"$ne": 1}}, [{"b": 1}, {"a": 2}, {"a": 1}], [1]),
        ({"a": 1}, [{"a": 1.0}, {"a": 1}, {"a": True}, {"a": "1"}], [1]),
        ({"a": {"$gte": 1}}, [{"a": 1.0}, {"a": 0.5}, {"a": 2}], [0, 2]),
        ({"a": {"$lte": 1}}, [{"a": 1.0}, {"a": 0.5}, {"a": 2}], [0, 1]),
        ({"a": {"$gt": 1.5}}, [{"a": 2}, {"a": -3}, {"a": 1.5}], [0]),
        ({"a": {"$lt": -2}}, [{"a": -3}, {"a": -2.0}, {"a": 0}], [0]),
        ({"a.b": 1}, [{"a": {"b": 1}}, {"a": [{"b": 1}]}, {"a": 5}, {"a": {"b": 1.0}}, {"b": 1}], [0]),
        ({"list.0": 1}, [{"list": [1]}, {"list": {"0": 1}}], [1]),
        ({"a": {"$eq": None}}, NULLS, [0]),
        ({"a": {"$ne": None}}, NULLS, [1]),
        ({"a": {"$eq": {"x": 1, "y": 2}}}, [{"a": {"y": 2, "x": 1}}, {"a": {"x": 1}}, {"a": {"x": 1, "y": 2, "z": 3}}], [0]),
        ({"a": {"$eq": [1, 2]}}, [{"a": [1, 2]}, {"a": [2, 1]}, {"a": [1, 2.0]}, {"a": [1]}], [0]),
        ({"a": {"$eq": True}}, [{"a": True}, {"a": 1}, {"a": False}], [0]),
        ({"a": 0}, ZEROS, [0]),
        ({"a": 0.0}, ZEROS, [1, 2]),
        ({"a": -0.0}, ZEROS, [1, 2]),
        ({"a": -1}, [{"a": -1}, {"a": -1.0}, {"a": TOP}], [0]),
        ({"a": TOP - 1}, [{"a": TOP}, {"a": TOP - 1}], [1]),
        ({"a": {"$gt": TOP - 1}}, [{"a": TOP}], []),  # both are the same double
        ({"a": {"$lt": TOP}}, [{"a": TOP - 1}], []),
        ({"s": "longer than fourteen bytes"}, [{"s": "longer than fourteen bytes"}, {"s": "longer"}], [0]),
        ({"é.ü": "ß"}, [{"é": {"ü": "ß"}}, {"é.ü": "ß"}], [0]),
        ({"k13": 13, "n.k17": 17}, [dict(WIDE, n=WIDE), dict(WIDE, n={"k17": 0})], [0]),
        ({"a": "x", "b": {"$gt": 1}}, [{"a": "x", "b": 2}, {"a": "y", "b": 2}, {"a": "x"}, {"b": 2}], [0]),
        ({"a": 1, "b": {"$gt": "x"}}, [{"a": 2, "b": 1}], []),  # the later term is never reached
    ],
)
def test_find_selects(db_dir, query, documents, expected):
    db = Quarn(str(db_dir))
    db.insert_many("c", documents)
    assert db.find("c", query) == [documents[index] for index in expected]


@pytest.mark.parametrize(
    "query, documents, failing",
    [
        ({"a": {"$gt": "x"}}, [{"b": 1}, {"a": 1}], "GreaterThan"),
        ({"a": {"$lt": 5}}, [{"a": "3"}], "LessThan"),
        ({"a": {"$gte": True}}, [{"a": True}], "GreaterThanEqual"),
        ({"a": {"$lte": 1}}, [{"a": None}], "LessThanEqual"),
        ({"a": {"$gt": [1]}}, [{"a": 1}], "GreaterThan"),
        ({"a": {"$lt": 1}}, [{"a": {"b": 1}}], "LessThan"),
        ({"a": 1, "b": {"$gt": "x"}}, [{"a": 2, "b": 1}, {"a": 1, "b": 1}], "GreaterThan"),
    ],
)
def test_ordering_operators_reject_non_numbers(db_dir, query, documents, failing):
    db = Quarn(str(db_dir))
    db.insert_many("c", documents)
    for _ in range(2):  # nothing was cached
        with pytest.raises(ValueError) as caught:
            db.find("c", query)
        assert str(caught.value) == "Malformed query, non-numeric value found for operator " + failing


def test_non_object_documents_and_empty_paths(db_dir):
    db = Quarn(str(db_dir))
    db.insert_many("c", [{"a": 1}, 1, "s", None, [2, 3]])
    assert db.find("c") == [{"a": 1}, 1, "s", None, [2, 3]]
    for query in ({}, {"a": 1}):
        with pytest.raises(PanicException):
            db.find("c", query)
    db.insert_many("d", [{"a": 1}])
    db.create_collection("e")
    with pytest.raises(PanicException):  # an empty path fails once a document is evaluated
        db.find("d", {"$gt": 5})
    assert db.find("e", {"$gt": 5}) == []


def test_argument_and_collection_errors_come_before_the_query(db_dir):
    db = Quarn(str(db_dir))
    for query in (None, {}, {"a": None}, {"a": {"$in": 1}}, {"a": b"unconvertible"}):
        with raises_message(ValueError, "Collection with name 'nope' not found on disk"):
            db.find("nope", query)
    with pytest.raises(ValueError, match="^Invalid collection name '../x'$"):
        db.find("../x", {"a": None})
    with pytest.raises(TypeError, match="^argument 'maybe_query': 'list' object cannot be converted to 'PyDict'$"):
        db.find("nope", [])
    db.create_collection("c")
    with pytest.raises(PanicException):
        db.find("c", {"a": b"unconvertible"})


def test_find_loads_collections_placed_after_opening(db_dir):
    db = Quarn(str(db_dir))
    write_file(db_dir, "arr.json", '[{"a": 1}, {"a": 2}]')
    write_file(db_dir, "keyed.json", '{"keyed": [{"a": 3}]}')
    write_file(db_dir, "broken.json", "[{")
    assert db.find("arr", {"a": 2}) == [{"a": 2}]
    assert db.find("keyed") == [{"a": 3}]
    with raises_message(ValueError, "Error deserializing JSON"):
        db.find("broken", {})


def test_results_are_copies_and_per_collection(db_dir):
    db = Quarn(str(db_dir))
    db.insert_many("c", [{"a": 1, "n": {"x": [1]}}, {"a": 2}])
    db.insert_many("d", [{"a": 1, "from": "d"}])
    for query in (None, {"a": 1}, {"a": 1}):
        first = db.find("c", query)
        first[0]["n"]["x"].append(2)
        first[0]["a"] = 99
        assert db.find("c", query)[0] == {"a": 1, "n": {"x": [1]}}
        assert db.find("d", {"a": 1}) == [{"a": 1, "from": "d"}]


def _from_file(db, tmp_path, method, text, *names):
    (tmp_path / "source.json").write_text(text)
    getattr(db, method)(*names, str(tmp_path / "source.json"))


@pytest.mark.parametrize(
    "change, expected",
    [
        (lambda db, _: db.insert("c", {"k": 1, "v": "new"}), ["old", "new"]),
        (lambda db, _: db.insert_many("c", [{"k": 1, "v": "new"}]), ["old", "new"]),
        (lambda db, tmp: _from_file(db, tmp, "insert_many_from_document", '[{"k": 1, "v": "new"}]', "c"), ["old", "new"]),
        (lambda db, tmp: _from_file(db, tmp, "load_from_document", '{"c": [{"k": 1, "v": "new"}]}'), ["old", "new"]),
        (lambda db, _: db.update("c", {"v": "new"}), ["new"]),
        (lambda db, _: (db.drop_collection("c"), db.create_collection("c")), []),
    ],
)
def test_changes_are_never_hidden_by_the_cache(db_dir, tmp_path, change, expected):
    db = Quarn(str(db_dir))
    db.insert("c", {"k": 1, "v": "old"})
    assert db.find("c", {"k": 1}) == [{"k": 1, "v": "old"}]
    change(db, tmp_path)
    assert [document["v"] for document in db.find("c", {"k": 1})] == expected


# ---- Cache hits and misses, told apart by time ----
# A miss evaluates every document of a large collection; a hit only hashes
# the query, so a fast answer is always a hit. A hit may look slow when the
# process is descheduled, so a scenario is retried before it counts as failed.
# Every probe also orders by "zz", which one document holds as a string that
# no probe reaches: no index may answer such a query, so a miss is a scan.


class CacheProbe:
    def __init__(self, db):
        self.db = db
        db.clear_cache()
        misses = [self.elapsed({"i": -1_000_000 - k}) for k in range(3)]
        self.threshold = min(misses) / 5
        assert min(self.elapsed({"i": -1_000_000}) for _ in range(5)) < self.threshold

    def elapsed(self, query):
        start = time.perf_counter_ns()
        self.db.find("big", {**query, "zz.$gt": 0})
        return time.perf_counter_ns() - start

    def cached(self, query):
        return self.elapsed(query) < self.threshold

    def check(self, scenario, attempts=3):
        for attempt in range(attempts):
            self.db.clear_cache()
            try:
                return scenario()
            except AssertionError:
                if attempt == attempts - 1:
                    raise


@pytest.fixture(scope="module")
def big_db(tmp_path_factory):
    db = Quarn(str(tmp_path_factory.mktemp("cache") / "db"))
    db.insert_many("big", [{"i": i} for i in range(200_000)] + [{"i": "never", "zz": "x"}])
    db.create_collection("other")
    return db


@pytest.fixture
def probe(big_db):
    was_enabled = gc.isenabled()
    gc.disable()
    try:
        yield CacheProbe(big_db)
    finally:
        if was_enabled:
            gc.enable()


def q(n):
    return {"i": -1 - n}


def test_equal_queries_share_an_entry(probe):
    def scenario():
        assert not probe.cached({"i": -1, "j": 0})
        assert probe.cached({"j": 0, "i": -1})  # the dict's key order does not matter
        assert not probe.cached({"i": 0})
        assert not probe.cached({"i": 0.0})  # another number class, another entry
        assert probe.cached({"i": -0.0})  # the same documents as 0.0
        assert not probe.cached({"i": 1.0})
        assert not probe.cached({"i": 1})

    probe.check(scenario)


def test_least_recently_used_entry_is_evicted(probe):
    def scenario():
        for n in range(100):
            assert not probe.cached(q(n))
        for n in range(100):  # all fit; hitting them in order keeps their order
            assert probe.cached(q(n)), n
        assert probe.cached(q(0))  # q(1) is now the least recent
        assert not probe.cached(q(100))
        for n in [0, 2, 99, 100]:
            assert probe.cached(q(n)), n
        assert not probe.cached(q(1))
        assert not probe.cached(q(3))  # evicted by q(1) coming back

    probe.check(scenario)


@pytest.mark.parametrize(
    "operation, error, empties",
    [
        (lambda db: db.clear_cache(), None, True),
        (lambda db: db.update("other", {}), None, True),
        (lambda db: db.insert("other", {"x": 1}), None, True),
        (lambda db: db.create_collection("fresh"), None, True),
        (lambda db: db.drop_collection("fresh"), None, True),
        (lambda db: db.create_collection("other"), None, False),  # exists already: nothing happens
        (lambda db: (db.write("other"), db.write_all(), db.collections(), db.find("big")), None, False),
        (lambda db: db.find("big", {"i": "other query"}), None, False),
        (lambda db: db.update("big", {}, None, 1), TypeError, False),
        (lambda db: db.update("missing", {}), PanicException, True),
        (lambda db: db.update("big", {"a": None}), PanicException, True),
        (lambda db: db.update("other", {"a": 1}, {"a": {"$in": 1}}), PanicException, True),
    ],
)
def test_which_operations_empty_the_cache(probe, operation, error, empties):
    def scenario():
        assert not probe.cached(q(7))
        if error is None:
            operation(probe.db)
        else:
            with pytest.raises(error):
                operation(probe.db)
        assert probe.cached(q(7)) != empties

    probe.check(scenario)


def test_clear_cache_returns_none(db_dir):
    assert Quarn(str(db_dir)).clear_cache() is None
