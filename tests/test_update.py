"""update: update operators, selection, failures that change nothing, results."""
import pytest

from quarn import Quarn
from conftest import PanicException


@pytest.mark.parametrize(
    "update, document, expected",
    [
        ({}, {"a": 1}, {"a": 1}),
        ({"a": 5}, {"a": 1, "b": 2}, {"a": 5, "b": 2}),
        ({"a": 5}, {"b": 2}, {"b": 2}),  # no operator creates a member
        ({"a": {"$set": None}}, {"a": 1}, {"a": None}),
        ({"a": {"$set": {"x": 1}}}, {"a": {"y": 2}}, {"a": {"x": 1}}),
        ({"a": {"x": 1}}, {"a": {"x": 0, "y": 2}}, {"a": {"x": 1, "y": 2}}),
        ({"a": {"x": 1}}, {"a": {"y": 2}}, {"a": {"y": 2}}),
        ({"n": {"$inc": 10}}, {"n": 1}, {"n": 2.0}),
        ({"n": {"$dec": "any"}}, {"n": -1}, {"n": -2.0}),
        ({"n": {"$inc": 1}}, {"n": "1"}, {"n": "1"}),
        ({"n": {"$add": 2}}, {"n": 1}, {"n": 3.0}),
        ({"n": {"$add": 2}}, {"n": "1"}, {"n": "1"}),
        ({"n": {"$add": "2"}}, {"n": 1}, {"n": 1}),
        ({"n": {"$substract": 0.5}}, {"n": 2}, {"n": 1.5}),
        ({"n": {"$substract": -3}}, {"n": -1}, {"n": 2.0}),
        ({"n": {"$add": 1e308}}, {"n": 1e308}, {"n": None}),
        ({"n": {"$add": 0}}, {"n": 2**64 - 1}, {"n": 1.8446744073709552e19}),
        ({"n": {"$inc": 0}, "n.$dec": 0}, {"n": 7}, {"n": 7.0}),
        ({"a.b": {"$delete": 0}}, {"a": {"b": 1, "c": 2}}, {"a": {"c": 2}}),
        ({"a.b": {"$delete": 0}}, {"a": 5}, {"a": 5}),
        ({"a": {"$delete": 0}}, {"a": [1], "b": 1}, {"b": 1}),
        ({"list.0": 1}, {"list": [5]}, {"list": [5]}),
        ({"a.b.c": {"$inc": 0}}, {"a": {"b": {"c": 1}}}, {"a": {"b": {"c": 2.0}}}),
        ({"k13": {"$inc": 0}}, {"k%d" % i: i for i in range(20)}, dict({"k%d" % i: i for i in range(20)}, k13=14.0)),
    ],
)
def test_update_terms(db_dir, update, document, expected):
    db = Quarn(str(db_dir))
    db.insert_many("c", [document])
    assert db.update("c", update) is None
    assert db.find("c") == [expected]


def test_query_selects_and_result_holds_the_whole_collection(db_dir):
    db = Quarn(str(db_dir))
    db.insert_many("c", [{"kind": "a", "n": 1}, {"kind": "b", "n": 1}, {"kind": "a", "n": 5}])
    assert db.find("c", {"kind": "a"}) == [{"kind": "a", "n": 1}, {"kind": "a", "n": 5}]
    result = db.update("c", {"n": {"$inc": 0}}, {"kind": "a"}, True)
    assert result == [{"kind": "a", "n": 2.0}, {"kind": "b", "n": 1}, {"kind": "a", "n": 6.0}]
    assert db.find("c", {"kind": "a"}) == [result[0], result[2]]  # not the cached list of before
    assert db.update("c", {}, maybe_query=None, return_result=True) == result
    db.create_collection("e")
    assert db.update("e", {"a": 1}, {"b": 2}, True) == []


def test_update_changes_memory_only(db_dir):
    db = Quarn(str(db_dir))
    db.insert("c", {"n": 1})
    db.write("c")
    before = (db_dir / "c.json").read_bytes()
    db.update("c", {"n": 2})
    assert (db_dir / "c.json").read_bytes() == before
    db.write("c")
    assert (db_dir / "c.json").read_bytes() == b'[{"n":2}]'


DOCUMENTS = [{"n": 1, "m": 1}, {"n": 2, "m": 2}, {"n": "x", "m": 3}, {"m": 4}, {"#": 1}]


@pytest.mark.parametrize(
    "update, query, message",
    [
        ({"m": {"$inc": 0}}, {"n": {"$gt": 0}}, "Malformed query, non-numeric value found for operator GreaterThan"),
        ({"m": {"$inc": 0}}, {"$gt": 0}, None),
        ({"#": {"$inc": 0}, "$set": 7}, None, None),
        ({"m": {"$inc": 0}, "x.$bad": 1}, None, "Unknown update query operator found: $bad"),
        ({"m": {"$inc": 0}}, {"n": {"$in": [1]}}, "Unknown query operator found: $in"),
        ({"m": b"unconvertible"}, None, None),
        ({"m": 1}, {"n": {1, object()}}, None),
    ],
)
def test_rejected_update_changes_nothing(db_dir, update, query, message):
    db = Quarn(str(db_dir))
    db.insert_many("c", DOCUMENTS)
    with pytest.raises(PanicException) as caught:
        db.update("c", update, query)
    if message is not None:
        assert str(caught.value) == message
    assert db.find("c") == DOCUMENTS
    # Nothing was poisoned: the collection can still be updated, found and written.
    db.update("c", {"m": {"$inc": 0}}, {"m": {"$gte": 2}})
    assert db.find("c", {"m": 3.0}) == [{"n": 2, "m": 3.0}]
    db.write("c")
    assert b'"m":5.0' in (db_dir / "c.json").read_bytes()


@pytest.mark.parametrize("query", [None, {"m": {"$gt": 0}}, {"zzz": 1}])
def test_non_object_document_rejects_the_update(db_dir, query):
    documents = [{"m": 1}, {"m": 2}, [{"m": 3}], {"m": 4}]
    db = Quarn(str(db_dir))
    db.insert_many("c", documents)
    with pytest.raises(PanicException):
        db.update("c", {"m": {"$inc": 0}}, query)
    assert db.find("c") == documents
    db.write("c")
    assert (db_dir / "c.json").read_bytes() == b'[{"m":1},{"m":2},[{"m":3}],{"m":4}]'


def test_update_failures_differ_from_find(db_dir):
    db = Quarn(str(db_dir))
    db.insert("c", {"#": 1, "n": 1})
    with pytest.raises(ValueError):
        db.find("c", {"n": {"$gt": "x"}})
    with pytest.raises(PanicException) as caught:
        db.update("c", {"n": 2}, {"n": {"$gt": "x"}})
    assert str(caught.value) == "Malformed query, non-numeric value found for operator GreaterThan"
    with pytest.raises(PanicException):
        db.update("nope", {"n": 2})
    with pytest.raises(ValueError, match="^Invalid collection name ''$"):
        db.update("", {"n": 2})
    # An empty update path fails only when some document is selected.
    assert db.update("c", {"#": {"$inc": 0}, "$set": 7}, {"n": 2}, True) == [{"#": 1, "n": 1}]
    with pytest.raises(PanicException):
        db.update("c", {"#": {"$inc": 0}, "$set": 7}, {"n": 1})
    assert db.find("c") == [{"#": 1, "n": 1}]


@pytest.mark.parametrize(
    "arguments, message",
    [
        (("c", []), "argument 'update_query': 'list' object cannot be converted to 'PyDict'"),
        (("c", {}, 5), "argument 'maybe_query': 'int' object cannot be converted to 'PyDict'"),
        (("c", {}, None, 1), "argument 'return_result': 'int' object cannot be converted to 'PyBool'"),
        (("c", {}, None, None), "argument 'return_result': 'NoneType' object cannot be converted to 'PyBool'"),
    ],
)
def test_update_argument_types(db_dir, arguments, message):
    with pytest.raises(TypeError) as caught:
        Quarn(str(db_dir)).update(*arguments)
    assert str(caught.value) == message


def test_update_loads_a_collection_from_disk(db_dir):
    db = Quarn(str(db_dir))
    (db_dir / "later.json").write_text('{"later": [{"n": 1}]}')
    assert db.update("later", {"n": {"$add": 1}}, return_result=True) == [{"n": 2.0}]


def nested(depth):
    value = 0
    for _ in range(depth):
        value = [value]
    return value


# Every document may nest 126 levels, its collection file one more. The second
# nests exactly that deep already.
DEEP_DOCUMENTS = [{"a": {"b": {"c": {"d": {"e": 1}}}}, "n": 1}, {"a": 1, "n": 2, "deep": nested(125)}]
LONG_PATH = ".".join(["a"] * 4000)
TOO_DEEP = {"a.b.c": {"$set": nested(124)}}


@pytest.mark.parametrize(
    "accepted, accepted_query, refused",
    [
        # the deepest accepted, then one level more: path pieces plus operand levels
        ({"a.b.c": {"$set": nested(123)}}, None, TOO_DEEP),
        ({"a.b.c.d.e": {"$set": nested(121)}}, None, {"a.b.c.d.e": {"$set": nested(122)}}),
        ({"a.b.c": {"$set": {"k": nested(122)}}}, None, {"a.b.c": {"$set": {"k": nested(123)}}}),
        # through the member an earlier term of the same update sets
        (
            {"a": {"$set": {"b": {"c": 0}}}, "a.b.c": {"$set": nested(123)}},
            None,
            {"a": {"$set": {"b": {"c": 0}}}, "a.b.c": {"$set": nested(124)}},
        ),
        # a deep member replaced by a shallow value, beside the refused term
        ({"deep": {"$set": 1}, "a.b.c": {"$set": nested(123)}}, None, {"deep": {"$set": 1}, **TOO_DEEP}),
        # too deep only where the member is there at the term's turn
        (TOO_DEEP, {"n": 2}, TOO_DEEP),
        (TOO_DEEP, {"n": 3}, TOO_DEEP),
        ({"a.b.c.d.e.f": {"$set": nested(124)}}, None, TOO_DEEP),
        ({"a": {"$delete": 0}, **TOO_DEEP}, None, TOO_DEEP),
        ({LONG_PATH: {"$set": nested(124)}}, None, TOO_DEEP),
        # the update object nests one level more than the document it makes
        ({"a": {"$set": nested(125)}}, None, {"a.b": {"$set": nested(125)}}),
        # terms apply in key order: a deep $set takes effect only while its member is there
        ({"a": {"$set": 5}, "a.b.c.d": {"$set": nested(124)}}, None, {"a": {"b.c": {"$set": nested(124)}}, "a.b": 5}),
        (
            {"a.b": {"$set": {"c": {"d": 0}}}, "a.b.c": {"$delete": 0}, "a.b.c.d": {"$set": nested(123)}},
            None,
            {"a": {"b.c": {"$delete": 0}}, "a.b": {"$set": {"c": {"d": 0}}}, "a.b.c.d": {"$set": nested(123)}},
        ),
    ],
)
def test_an_update_never_nests_a_document_too_deep_to_write(db_dir, accepted, accepted_query, refused):
    db = Quarn(str(db_dir))
    db.insert_many("c", DEEP_DOCUMENTS)
    db.write("c")
    written = (db_dir / "c.json").read_bytes()
    with pytest.raises(PanicException) as caught:
        db.update("c", refused)
    assert caught.value.args == ("nesting too deep",)
    assert db.find("c") == DEEP_DOCUMENTS
    db.write("c")
    assert (db_dir / "c.json").read_bytes() == written
    result = db.update("c", accepted, accepted_query, True)
    db.write("c")
    assert Quarn(str(db_dir)).find("c") == result
