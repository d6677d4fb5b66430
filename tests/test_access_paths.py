"""Indexes are made without being asked for; whatever they answer must be what a scan
of the collection answers: the same documents in the same order, or the same exception
with the same message."""
import itertools
import tempfile

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from _quarn_testing import index_sizes
from quarn import Quarn
from quarn_test_support import same

# Values chosen to meet where equality and ordering part: number classes, signed zeros,
# integers that share a double, non-numbers at ordering paths.
SCALARS = [0, 1, -1, 0.0, -0.0, 1.0, 2.5, 2**53, 2**53 + 1, 2**64 - 1, 2**64 - 2, None, True, "x"]
PATHS = ["a", "a", "a", "b", "n.a", "a.x", "n"]
OPERATORS = ["", "$eq", "$ne", "$gt", "$gte", "$lt", "$lte"]

scalars = st.sampled_from(SCALARS)
values = st.one_of(scalars, st.lists(scalars, max_size=2), st.dictionaries(st.sampled_from(["a", "x"]), scalars, max_size=2))
documents = st.fixed_dictionaries({"a": values}, optional={"b": values, "n": values})
collections = st.lists(documents, max_size=30)
# Now and then a document that is not an object: finds over it must fail alike.
hostile_collections = st.one_of(collections, st.tuples(collections, st.sampled_from([1, [1], "x"])).map(lambda t: t[0] + [t[1]]))
# Mostly numbers for the ordering operators, so that indexes get their chance.
operands = st.one_of(st.sampled_from([1, 2.5, 0.0, -0.0, 2**64 - 1, "x"]), values)


@st.composite
def queries(draw):
    query = {}
    for _ in range(draw(st.integers(1, 3))):
        path, op = draw(st.sampled_from(PATHS + ["$gt", "$eq"])), draw(st.sampled_from(OPERATORS))
        key = path if op == "" or path.startswith("$") else path + "." + op
        query[key] = draw(operands)
    return query


def index_count(db, name):
    return index_sizes(db, name)[0]


def outcome(action):
    try:
        return ("ok", action())
    except Exception as error:  # noqa: BLE001 - the exception is the outcome
        return (type(error).__name__, str(error))
    except BaseException as error:  # PanicException derives from BaseException
        if type(error).__name__ != "PanicException":
            raise
        return (type(error).__name__, str(error))


def assert_same_outcome(a, b):
    assert a[0] == b[0] and same(a[1], b[1]), (a, b)


def fresh(docs):
    db = Quarn(tempfile.mkdtemp() + "/db")
    if docs:
        db.insert_many("c", docs)
    else:
        db.create_collection("c")
    return db


def find_uncached(db, query):
    db.clear_cache()
    return outcome(lambda: db.find("c", query))


def check_against_scan(docs, query, more=(), update=None, selection=None):
    """Runs query on a collection indexed by earlier uses and on one that only
    scans, through appends and an update, and demands the same outcomes."""
    scanned, indexed = fresh(docs), fresh(docs)
    # The first use of a path scans; the second builds what it can and uses it.
    first = find_uncached(indexed, query)
    for _ in range(2):
        assert_same_outcome(find_uncached(indexed, query), first)
    for db in (scanned, indexed):
        db.insert_many("c", list(more))
    assert_same_outcome(find_uncached(indexed, query), find_uncached(scanned, query))
    if update is not None:
        updates = [outcome(lambda db=db: db.update("c", update, selection)) for db in (scanned, indexed)]
        assert_same_outcome(updates[0], updates[1])
        assert_same_outcome(find_uncached(indexed, query), find_uncached(scanned, query))
        assert_same_outcome(find_uncached(indexed, {}), find_uncached(scanned, {}))


@settings(max_examples=400, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(docs=hostile_collections, query=queries(), more=collections, selection=queries(), update=st.sampled_from([{"a": 1}, {"a": 0.0}, {"n.a": "x"}, {"a.$inc": 1}, {"a.$delete": 0}, {"a": "x"}]))
def test_indexed_answers_are_the_scans(docs, query, more, selection, update):
    check_against_scan(docs, query, more, update, selection)


# Enough other documents that an index is worth using.
FILLER = [{"a": 100 + i, "b": i} for i in range(20)]


@pytest.mark.parametrize(
    "docs, query, update, selection",
    [
        ([{"a": 0.0}, {"a": -0.0}, {"a": 0}], {"a": -0.0}, None, None),  # zeros are equal floats, not the integer
        ([{"a": 0.0}, {"a": -0.0}, {"a": 0}], {"a.$lte": 0}, None, None),
        ([{"a": 1}, {"a": 1.0}, {"a": -1}], {"a": 1.0}, None, None),
        ([{"a": 2**64 - 1}, {"a": 2**64 - 2}], {"a": 2**64 - 2}, None, None),  # one double, two integers
        ([{"a": 2**64 - 1}, {"a": 2**64 - 2}], {"a.$gte": 2**64 - 1}, None, None),
        ([{"a": [1]}, {"a": {"x": 1}}, {"a": 1}], {"a.x": 1}, None, None),  # arrays are never entered
        ([{"a": [1]}, {"a": {"x": 1}}], {"a": {"x": 1}}, None, None),
        ([{"a": 1, "b": 0}, {"a": 2, "b": 0}], {"a": 1}, {"a": 1}, {"b": 0}),  # changed documents come to match
        ([{"a": 1}, {"a": 2}], {"a.$gt": 0}, {"a": "x"}, {"a": 2}),  # then ordering meets a string
        ([{"n": {"a": 1}}], {"n.a.$lt": 5}, {"n": 7}, {"n.a": 1}),  # a change above the indexed path
    ],
)
def test_edges_are_answered_as_by_a_scan(docs, query, update, selection):
    check_against_scan(docs + FILLER, query, [{"a": 1}, {"a": -0.0}], update, selection)


NUMBERED = [{"a": i % 10, "b": float(i), "n": {"a": str(i)}} for i in range(200)]


@pytest.mark.parametrize(
    "docs, query, built",
    [
        (NUMBERED, {"a": 3}, 1),
        (NUMBERED, {"b.$gte": 10, "b.$lt": 12}, 1),
        (NUMBERED, {"n.a": "7", "a": 7}, 2),
        (NUMBERED, {"a.$ne": 3}, 0),  # no index answers "not equal"
        (NUMBERED, {"$eq": 3}, 0),  # an empty path fails when reached
        (NUMBERED + [[1]], {"a": 3}, 0),  # a document that is not an object fails every find
        (NUMBERED + [{"b": "x"}], {"b.$gt": 1}, 1),  # built, but a non-number there keeps it unused
    ],
)
def test_which_queries_build_an_index(docs, query, built):
    db = fresh(docs)
    counts = []
    for _ in range(2):
        find_uncached(db, query)
        counts.append(index_count(db, "c"))
    assert counts == [0, built]


def test_indexes_live_and_die_with_their_collection(tmp_path):
    db = Quarn(str(tmp_path / "db"))
    db.insert_many("c", NUMBERED)
    for _ in range(2):
        find_uncached(db, {"a": 3})
    db.write("c")
    assert index_count(db, "c") == 1
    assert index_count(Quarn(str(tmp_path / "db")), "c") == 0  # a reopened collection starts without
    db.drop_collection("c")
    db.insert_many("c", NUMBERED[:3])
    assert index_count(db, "c") == 0
    assert db.find("c", {"a": 3}) == []


def test_many_paths_stay_within_the_memory_budget():
    docs = [{f"k{j}": i for j in range(3)} for i in range(500)]
    db = fresh(docs)
    for round_, j in itertools.product(range(2), range(3)):
        for op in ("", ".$gt"):
            find_uncached(db, {f"k{j}{op}": 5})
    # Three members a document leave room for a few of the six indexes asked for.
    assert 0 < index_count(db, "c") < 6
    assert db.find("c", {"k1.$gt": 497}) == docs[498:]
