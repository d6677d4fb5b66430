"""Conversion between Python objects and JSON values, through the test hooks:
dump(obj) converts and writes compact text, parse(text) reads and converts back."""
import collections
import collections.abc
import datetime
import gc
import math
import platform
import sys

import pytest

from quarn import Quarn

from _quarn_testing import dump, live_keys, parse


class IntSub(int):
    pass


class FloatSub(float):
    pass


class StrSub(str):
    pass


class DistinctStr(str):
    """Equal only to itself, so that a dict can hold two keys of the same text."""

    __hash__ = object.__hash__
    __eq__ = object.__eq__


class MyBytearray(bytearray):
    pass


class Outer:
    class Inner:
        pass


class RegisteredSequence:
    def __len__(self):
        return 3

    def __getitem__(self, index):
        if index >= 3:
            raise IndexError(index)
        return index * 10


collections.abc.Sequence.register(RegisteredSequence)


class RenamingDict(dict):
    def keys(self):
        return ["x" + key for key in super().keys()]


class DoublingList(list):
    def __getitem__(self, index):
        return 2 * super().__getitem__(index)


class GrowingSequence(collections.UserList):
    """Its length grows by one at every reading."""
    readings = 0

    def __len__(self):
        self.readings += 1
        return 1 + self.readings


def nested_lists(levels, innermost=1):
    for _ in range(levels):
        innermost = [innermost]
    return innermost


def nested_dicts(levels):
    value = 0
    for _ in range(levels):
        value = {"k": value}
    return value


def raises_exactly(exc_type, message, obj):
    with pytest.raises(exc_type) as info:
        dump(obj)
    assert type(info.value) is exc_type
    assert str(info.value) == message


@pytest.mark.parametrize("obj, text", [
    (None, b"null"), (True, b"true"), (False, b"false"), ([True, 1], b"[true,1]"),
    (0, b"0"), (1, b"1"), (-1, b"-1"), (1.0, b"1.0"), (-0.0, b"-0.0"), (1.5, b"1.5"),
    (IntSub(7), b"7"), (FloatSub(2.0), b"2.0"), (StrSub("s"), b'"s"'), ("h\u00e9\U0001f600", '"h\u00e9\U0001f600"'.encode()),
    (2**64 - 1, b"18446744073709551615"), (2**63, b"9223372036854775808"), (-2**63, b"-9223372036854775808"),
    ([math.nan, math.inf, -math.inf], b"[null,null,null]"), ({"a": math.nan, "b": FloatSub("inf")}, b'{"a":null,"b":null}'),
    ((1, "a"), b'[1,"a"]'), ({3}, b"[3]"), (frozenset([3]), b"[3]"), ([], b"[]"), ({}, b"{}"), ((), b"[]"),
    ({"b": 1, "a": 2, "B": 3}, b'{"B":3,"a":2,"b":1}'), ({StrSub("k"): [None]}, b'{"k":[null]}'),
    ({DistinctStr("k"): [1], "a": 0, DistinctStr("k"): 2}, b'{"a":0,"k":2}'),  # of equal keys the last stays
    (collections.UserList([1, "a", None]), b'[1,"a",null]'), (RegisteredSequence(), b"[0,10,20]"),
    (collections.UserDict(b=collections.UserList(), a=1), b'{"a":1,"b":[]}'), (RenamingDict(a=1, b=2), b'{"xa":1,"xb":2}'),
    # PyPy's C API reads list subclasses directly, past an overridden __getitem__.
    pytest.param(DoublingList([1, 2]), b"[2,4]", marks=pytest.mark.skipif(
        platform.python_implementation() == "PyPy", reason="PyPy's PySequence_GetItem skips the override")),
    ({"s": collections.UserList([collections.UserDict(k=(1,))])}, b'{"s":[{"k":[1]}]}'),
])
def test_dump(obj, text):
    assert dump(obj) == text


@pytest.mark.parametrize("text, expected", [
    (b"[0,1,-1,1.0,-0.0]", [(int, "0"), (int, "1"), (int, "-1"), (float, "1.0"), (float, "-0.0")]),
    (b"[18446744073709551615,-9223372036854775808]", [(int, str(2**64 - 1)), (int, str(-2**63))]),
    (b'[true,false,null,"x"]', [(bool, "True"), (bool, "False"), (type(None), "None"), (str, "'x'")]),
])
def test_parse_builds_exact_types(text, expected):
    assert [(type(item), repr(item)) for item in parse(text)] == expected


def test_round_trip_keeps_key_order_and_shapes():
    result = parse(dump({"b": 1, "a": (2, {"y": 1, "x": 2}), "B": {5}}))
    assert list(result) == ["B", "a", "b"] and list(result["a"][1]) == ["x", "y"]
    assert result == {"B": [5], "a": [2, {"x": 2, "y": 1}], "b": 1}
    assert parse(dump([])) == [] and parse(dump({})) == {}


OUT_OF_RANGE = "JSON number out of range"
BYTES = "invalid type: byte array, expected any valid JSON value"


@pytest.mark.parametrize("obj, exc_type, message", [
    (2**64, Exception, OUT_OF_RANGE), (-2**63 - 1, Exception, OUT_OF_RANGE), (2**128 - 1, Exception, OUT_OF_RANGE),
    (-2**127, Exception, OUT_OF_RANGE), ([1, 2**100], Exception, OUT_OF_RANGE), ({"a": IntSub(2**64)}, Exception, OUT_OF_RANGE),
    ({1: 2}, TypeError, "unexpected type: 'int' object cannot be converted to 'PyString'"),
    ({"a": {None: 2}}, TypeError, "unexpected type: 'NoneType' object cannot be converted to 'PyString'"),
    (b"x", Exception, BYTES), ([1, b""], Exception, BYTES),
    (bytearray(b"x"), TypeError, "unexpected type: 'bytearray' object cannot be converted to 'PyBytes'"),
    ([MyBytearray()], TypeError, "unexpected type: 'MyBytearray' object cannot be converted to 'PyBytes'"),
    (datetime.datetime(2020, 1, 2), TypeError, "unsupported type datetime"),
    ({"a": [object()]}, TypeError, "unsupported type object"),
    (Outer.Inner(), TypeError, "unsupported type Outer.Inner"), (1j, TypeError, "unsupported type complex"),
    ([GrowingSequence()], ValueError, "expected sequence of length 2, got 3"),
])
def test_conversion_failures(obj, exc_type, message):
    raises_exactly(exc_type, message, obj)


@pytest.mark.parametrize("obj", [2**128, -2**127 - 1, 2**1000, [IntSub(-2**200)]])
def test_int_beyond_128_bits_raises_overflow(obj):
    with pytest.raises(OverflowError):
        dump(obj)


def test_interpreter_errors_pass_unchanged():
    error = LookupError("from getitem")

    class Failing(collections.UserList):
        def __getitem__(self, index):
            raise error

    with pytest.raises(LookupError) as info:
        dump({"a": Failing([1])})
    assert info.value is error
    for obj in ["\ud800", {"\udfff": 1}, [1, {"k": "a\ud800"}]]:
        with pytest.raises(UnicodeEncodeError):
            dump(obj)


def test_failing_abc_check_is_unraisable_and_not_an_instance(monkeypatch):
    class Evasive:
        @property
        def __class__(self):
            raise RuntimeError("no class")

    reported = []
    monkeypatch.setattr(sys, "unraisablehook", lambda report: reported.append(report.exc_value))
    with pytest.raises(TypeError, match="^unsupported type .*Evasive$"):
        dump(Evasive())
    assert [str(exc) for exc in reported] == ["no class", "no class"]  # Sequence, then Mapping


class ClearsOnKeys(dict):
    """Empties `target` when its keys are read."""

    def keys(self):
        self.target.clear()
        return super().keys()


def test_code_run_by_an_item_may_mutate_the_container():
    item = ClearsOnKeys(a=1)
    item.target = outer = [item, 2, 3]
    with pytest.raises(IndexError):
        dump(outer)
    # A dict is read as of the start: entries deleted meanwhile still count.
    item = ClearsOnKeys(x=1)
    item.target = doc = {"a": item, "b": [2] * 3}
    del item
    assert dump(doc) == b'{"a":{"x":1},"b":[2,2,2]}' and doc == {}


class ClearsAllOnKeys(dict):
    """Empties every dict in `targets` when its keys are read."""

    def keys(self):
        for target in self.targets:
            target.clear()
        return super().keys()


def test_dicts_read_as_of_the_start_at_every_level():
    # Items before, at and after the one whose conversion runs Python code,
    # at three levels of exact dicts and lists around it.
    item = ClearsAllOnKeys(x=1)
    inner = {"a0": 0, "b": [item, {"c": 2}], "z9": "late"}
    middle = {"m": inner, "n": [3, {"d": 4}]}
    outer = {"first": True, "mid": middle, "last": [5]}
    item.targets = [outer, middle, inner]
    del item
    expected = (b'{"first":true,"last":[5],"mid":{"m":{"a0":0,"b":[{"x":1},{"c":2}],"z9":"late"},'
                b'"n":[3,{"d":4}]}}')
    assert dump(outer) == expected
    assert outer == middle == inner == {}


def test_reentrant_conversion():
    class Dumping(collections.UserList):
        def __getitem__(self, index):
            return dump(self.data[index]).decode()

    assert dump({"a": [Dumping([{"k": [1]}, [2.0]])]}) == b'{"a":[["{\\"k\\":[1]}","[2.0]"]]}'


@pytest.mark.parametrize("make, plain", [
    (nested_lists, nested_lists),
    (nested_dicts, nested_dicts),
    (lambda n: nested_lists(n - 1, collections.UserList()), lambda n: nested_lists(n - 1, [])),
])
def test_nesting_limit(make, plain):
    assert parse(dump(make(126))) == plain(126)
    raises_exactly(Exception, "nesting too deep", make(127))
    raises_exactly(Exception, "nesting too deep", {"a": make(126)})


def test_self_containing_containers_are_refused():
    looping_list = [1]
    looping_list.append(looping_list)
    looping_dict = {"a": 1}
    looping_dict["self"] = looping_dict
    looping_sequence = collections.UserList()
    looping_sequence.append(looping_sequence)
    for obj in [looping_list, looping_dict, looping_sequence, {"x": [looping_dict]}]:
        raises_exactly(Exception, "nesting too deep", obj)


def test_failures_and_results_leave_no_interned_keys():
    failing = [
        {"leak_a": 1, "leak_b": {"leak_c": bytearray()}}, {"leak_d": 1, 5: 2}, {"leak_e": [GrowingSequence()]},
        nested_dicts(127), collections.UserDict(leak_f=1, leak_g=datetime.date.today()),
    ]

    def convert_all():
        for obj in failing:
            with pytest.raises(Exception):
                dump(obj)

    # The conversion remembers the keys of a bounded number of strs it has met
    # (by address and by text); a leak grows without bound.
    convert_all()
    before = live_keys()
    for _ in range(300):
        convert_all()
    assert live_keys() - before < 256
    before = live_keys()
    result = parse(b'{"leak_h":{"leak_i":[{"leak_h":1}]}}')
    assert live_keys() <= before
    assert result == {"leak_h": {"leak_i": [{"leak_h": 1}]}}


def test_the_hooks_see_the_keys_quarn_interns(tmp_path):
    # The hooks run on quarn's own engine: the keys a database interns are counted
    # (less the few remembered ones that new strs may push out).
    db = Quarn(str(tmp_path / "db"))
    document = {"hooks_see_%d" % i: i for i in range(1000)}
    gc.collect()  # earlier tests' garbage, whose keys would go meanwhile
    before = live_keys()
    db.insert("c", document)
    assert live_keys() - before >= 1000 - before


def test_key_strings_are_shared_and_survive_their_keys():
    shared = parse(b'[{"cached_key":1},{"cached_key":2}]')
    assert list(shared[0])[0] is list(shared[1])[0]
    first = parse(b'{"cached_key":1}')
    second = parse(b'{"cached_key":2,"other":[{"cached_key":3}]}')
    del first, shared
    gc.collect()
    assert second == {"cached_key": 2, "other": [{"cached_key": 3}]}
    assert list(second) == ["cached_key", "other"]


@pytest.mark.parametrize("enabled", [True, False])
def test_collector_state_is_restored(enabled):
    big = b"[" + b",".join([b'{"a":[1]}'] * 500) + b"]"
    try:
        gc.enable() if enabled else gc.disable()
        assert len(parse(big)) == 500 and len(parse(b'{"a":1}')) == 1
        assert gc.isenabled() == enabled
    finally:
        gc.enable()
