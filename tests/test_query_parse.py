"""Query and update objects: dotted paths, first-entry nesting, "$" operators.

Update terms report what was parsed in their trace lines, so update objects
are checked there; query objects through the documents they select.
"""
import io
import sys

import pytest

from quarn import Quarn
from conftest import PanicException


@pytest.fixture
def db(db_dir):
    database = Quarn(str(db_dir))
    database.create_collection("empty")
    return database


def trace(*terms):
    return [line for op, fields in terms for line in ("Update operator found " + op, "Fields: " + fields)]


@pytest.mark.parametrize(
    "update, expected",
    [
        ({}, []),
        ({"$set": 7}, trace(("Set", "[]"))),
        ({"b": 2, "a": {"$inc": 1}}, trace(("Increment", '["a"]'), ("Set", '["b"]'))),
        ({"a": {"$set": None}, "t": {"$set": ["x"]}, "u": {"$set": {}}}, trace(*[("Set", f'["{k}"]') for k in "atu"])),
        ({"$set": {"a": 1}, "a.$add.b": 1}, trace(("Set", '["$set", "a"]'), ("Set", '["a", "$add", "b"]'))),
        ({"a..b": 1, "a.": 1, ".": 1, "": 1}, trace(("Set", '[""]'), ("Set", '["", ""]'), ("Set", '["a", ""]'), ("Set", '["a", "", "b"]'))),
        ({"a": {"b.c": {"$dec": 1}}, "d.$delete": 0}, trace(("Decrement", '["a", "b", "c"]'), ("Delete", '["d"]'))),
        ({"x": {"$add": 1, "$substract": 2}, "y": {"$substract": 2}}, trace(("Add", '["x"]'), ("Substract", '["y"]'))),
        ({"a": {"": 0, "$set": 1}}, trace(("Set", '["a", ""]'))),
        ({"n": {"$inc": 0}, "n.$dec": 0}, trace(("Increment", '["n"]'), ("Decrement", '["n"]'))),
        # Escapes in the debug list form.
        ({'q"b\\.x': 1}, trace(("Set", '["q\\"b\\\\", "x"]'))),
        ({"t\tn\nr\r0\x00": 1}, trace(("Set", '["t\\tn\\nr\\r0\\0"]'))),
        ({"bell\x07del\x7f.e\u0301.z\u200bw": 1}, trace(("Set", '["bell\\u{7}del\\u{7f}", "e\\u{301}", "z\\u{200b}w"]'))),
        ({"é😀 ß'": 1}, trace(("Set", "[\"é😀 ß'\"]"))),
    ],
)
def test_update_terms_and_trace_lines(db, capfd, update, expected):
    capfd.readouterr()
    saved, sys.stdout = sys.stdout, io.StringIO()
    try:
        db.update("empty", update)
        assert sys.stdout.getvalue() == ""  # written to descriptor 1, not through sys.stdout
    finally:
        sys.stdout = saved
    assert capfd.readouterr().out.splitlines() == expected


@pytest.mark.parametrize(
    "update, message, lines_before",
    [
        ({"tags": ["x"]}, "Not Valid query", []),
        ({"a": {"b": None}}, "Not Valid query", []),
        ({"a": {"b": {}}}, "Error while parsing query", []),
        ({"a": {"$gt": 1}}, "Unknown update query operator found: $gt", []),
        ({"a": 1, "b": {"$x.y": 1}, "c": None}, "Unknown update query operator found: $x.y", trace(("Set", '["a"]'))),
    ],
)
def test_update_parse_failures(db, capfd, update, message, lines_before):
    capfd.readouterr()
    with pytest.raises(PanicException) as caught:
        db.update("empty", update)
    assert str(caught.value) == message
    assert capfd.readouterr().out.splitlines() == lines_before


@pytest.mark.parametrize(
    "query, message",
    [
        ({"a": None}, "Not Valid query"),
        ({"a": [1, 2]}, "Not Valid query"),
        ({"a": {}}, "Error while parsing query"),
        ({"a": {"$in": [1]}}, "Unknown query operator found: $in"),
        ({"a": {"$GT": 1}}, "Unknown query operator found: $GT"),
        ({"a.$": 1}, "Unknown query operator found: $"),
        ({"a": {"$x.y": 1}}, "Unknown query operator found: $x.y"),
        ({"a": {"$set": 1}}, "Unknown query operator found: $set"),
        ({"b": [1], "a": {"$bad": 1}}, "Unknown query operator found: $bad"),  # key order decides
    ],
)
def test_query_parse_failures(db, capfd, query, message):
    with pytest.raises(PanicException) as caught:
        db.find("empty", query)
    assert str(caught.value) == message
    # As an update's query it is parsed after the update object, and fails the same way.
    with pytest.raises(PanicException) as caught:
        db.update("empty", {"a": 1}, query)
    assert str(caught.value) == message
    assert capfd.readouterr().out.endswith('Update operator found Set\nFields: ["a"]\n')
    with pytest.raises(PanicException) as caught:
        db.update("empty", {"a": {"$gt": 1}}, query)
    assert str(caught.value) == "Unknown update query operator found: $gt"


@pytest.mark.parametrize(
    "query, expected",
    [
        ({"n": {"$gt": 1, "$lt": 5}}, [2, 3]),  # only the first nested entry counts
        ({"n": {"$gt": 1}, "n.$lt": 5}, [2]),
        ({"n.$gte": 5}, [3]),
        ({"n": {"$eq": 1, "b": 2}}, [0]),
        ({"addr": {"city": "Paris", "zip": "nowhere"}}, [4]),
        ({"addr": {"geo.$lt": 5}}, [4]),
        ({"addr": {"": 0, "$eq": 1}}, [5]),
        ({"$gt.a": 5}, [6]),
        ({"addr": {"$eq": {}}}, [7]),
        ({"addr": {"$eq": None}}, [8]),
        ({"addr": {"$eq": [1, 2]}}, [9]),
    ],
)
def test_query_terms_select(db, query, expected):
    documents = [{"n": 1}, {"n": 0}, {"n": 3}, {"n": 7}, {"addr": {"city": "Paris", "zip": "P1", "geo": 2}},
                 {"addr": {"": 0}}, {"$gt": {"a": 5}}, {"addr": {}}, {"addr": None}, {"addr": [1, 2]}]
    db.insert_many("docs", documents)
    assert db.find("docs", query) == [documents[index] for index in expected]

