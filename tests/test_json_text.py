"""The engine's JSON text: the strict reader and the compact writer, reached
through the test hooks parse(bytes) -> object and dump(object) -> bytes."""
import decimal
import json
import math
import re

import pytest
from hypothesis import given, settings, strategies as st

from _quarn_testing import dump, live_keys, parse
from quarn_test_support import same

U64_MAX = 2**64 - 1
I64_MIN = -(2**63)


def rejected(text):
    with pytest.raises(ValueError, match="Error deserializing JSON"):
        parse(text)
    return True


def nested(levels, innermost=b"1", kinds="["):
    """levels nested containers, cycling through kinds ("[" and/or "{")."""
    opens, closes = [], []
    for level in range(levels):
        kind = kinds[level % len(kinds)]
        opens.append(b"[" if kind == "[" else b'{"k":')
        closes.append(b"]" if kind == "[" else b"}")
    return b"".join(opens) + innermost + b"".join(reversed(closes))


@pytest.mark.parametrize(
    "value, text",
    [
        ([{"b": 1, "a": [True, None]}, {"s": 'x"y'}], b'[{"a":[true,null],"b":1},{"s":"x\\"y"}]'),
        ([], b"[]"),
        ({}, b"{}"),
        ([[], {}, [[]]], b"[[],{},[[]]]"),
        ({"b": 0, "a": 0, "B": 0}, b'{"B":0,"a":0,"b":0}'),
        # Byte order of UTF-8, not UTF-16 order: U+E000 sorts before U+10000.
        ({"\U00010000": 1, "\ue000": 2, "z": 3}, '{"z":3,"\ue000":2,"\U00010000":1}'.encode()),
        (False, b"false"),
        (10, b"10"),
        (0, b"0"),
        (U64_MAX, b"18446744073709551615"),
        (I64_MIN, b"-9223372036854775808"),
        (1.0, b"1.0"),
        (0.0, b"0.0"),
        (-0.0, b"-0.0"),
        (0.1, b"0.1"),
        (-1.5, b"-1.5"),
        (12.34, b"12.34"),
        (1e15, b"1000000000000000.0"),
        (1234567890123456.8, b"1234567890123456.8"),
        (1e16, b"1e16"),
        (1.5e16, b"1.5e16"),
        (1.2345678901234568e17, b"1.2345678901234568e17"),
        (1.7976931348623157e308, b"1.7976931348623157e308"),
        (0.001, b"0.001"),
        (1e-5, b"0.00001"),
        (1.2345e-5, b"0.000012345"),
        (1e-6, b"1e-6"),
        (1e-7, b"1e-7"),
        (1.5e-7, b"1.5e-7"),
        (5e-324, b"5e-324"),
        (float("nan"), b"null"),
        (float("-inf"), b"null"),
        ("\x1f\t\u00e9", b'"\\u001f\\t\xc3\xa9"'),
        ("/\x7f", b'"/\x7f"'),
        ("\x00\x01\b\f\n\r\\", b'"\\u0000\\u0001\\b\\f\\n\\r\\\\"'),
        ("a" * 20 + '"' + "b" * 9 + "\n", b'"' + b"a" * 20 + b'\\"' + b"b" * 9 + b'\\n"'),
        ({'k"\n': "v"}, b'{"k\\"\\n":"v"}'),
    ],
)
def test_writer_text(value, text):
    assert dump(value) == text


@pytest.mark.parametrize(
    "text, value",
    [
        (b" \t\r\n[1]\n", [1]),
        (b'{ "a" : [ 1 , 2 ] , "b" : { } }', {"a": [1, 2], "b": {}}),
        (b"true", True),
        (b"null", None),
        (b'"\\"\\\\\\/\\b\\f\\n\\r\\t"', '"\\/\b\f\n\r\t'),
        (b'"\\u00e9\\u20AC\\u0041"', "\u00e9\u20acA"),
        (b'"a\\u0000b"', "a\x00b"),
        (b'"\\ud83d\\ude00"', "\U0001f600"),
        (b'"\\uD83D\\uDE00x"', "\U0001f600x"),
        ('"é€\U0001f600\ud7ff\ue000\U0010ffff\x7f"'.encode(), "é€\U0001f600\ud7ff\ue000\U0010ffff\x7f"),
        (b'"' + b"x" * 40 + b'\\n' + "é".encode() * 10 + b'"', "x" * 40 + "\n" + "é" * 10),
        (b'{"a":1,"b":2,"a":3}', {"a": 3, "b": 2}),
        (b'{"a":1,"\\u0061":2}', {"a": 2}),
        (b"1e-400", 0.0),
        (b"-1e-400", -0.0),
        (b"2.4e-324", 0.0),
        (b"2.5e-324", 5e-324),
        (b"0.0000001e-320", 0.0),
        (b"1000000000000000000000e-330", 1e-309),
        (b"0." + b"0" * 400 + b"1e20", 0.0),
        (b"1E2", 100.0),
        (b"-1.5e+3", -1500.0),
        (nested(127), json.loads(nested(127))),
        (nested(127, kinds="{["), json.loads(nested(127, kinds="{["))),
    ],
)
def test_reader_accepts(text, value):
    assert same(parse(text), value)


@pytest.mark.parametrize(
    "text",
    [
        b"", b"  ", b"\x0c1", b"\xc2\xa01", b"1\x0c", b"[1] x", b"[1]]", b"1 2",
        b"01", b"-01", b"+1", b".5", b"5.", b"1.e5", b"1e", b"1e+", b"-", b"--1", b"0x1", b"1.5.3",
        b"1e400", b"-1e400", b"1.7976931348623159e308", b"1" + b"0" * 400 + b"e-80", b"NaN", b"Infinity",
        b"tru", b"nul", b"True", b"nulls", b"[true false]",
        b"[1,]", b"[,]", b"[", b"]", b'{"a":1,}', b'{"a"}', b"{a:1}", b"{1:1}", b'{"a" 1}', b'["a" "b"]',
        b'"abc', b'"\\"', b'"\\x"', b'"\\U0041"', b'"\\u00g1"', b'"\\u00"', b'"\\', b'"\\v"', b'"\\a"', b'"\\0"', b'"\\\'"',
        b'"\xc0\xaf"', b'"\xe0\x80\xaf"', b'"\xf0\x80\x80\xaf"', b'"\xed\xa0\x80"', b'"\xf4\x90\x80\x80"',
        b'"\xff"', b'"\x80"', b'"\xc3"', b'"\xe2\x82"', b'"\xf0\x9f\x98"', b'"\\n\xc3"', b"[\xc3\xa9]",
        b'"\xe2\x82x"', b'"\xf0\x9f\x98x"', b'"\xc3x"', b'"\xf5\x80\x80\x80"', b'"\xf8\x88\x80\x80\x80"',
        b'"a\tb"', b'"a\nb"', b'"\x00"', b'"\x1f"', b'{"\x01":1}', b'"abcdefghij\tklmnopqrstu"',
        b'"\\ud83d"', b'"\\ude00"', b'"\\ud83dx"', b'"\\ud83d\\u0041"', b'"\\ud83d\\n"', b'"\\ud83d\\ud83d"', b'"\\ud83dxude00"',
        nested(128), nested(128, kinds="{["), nested(128, kinds="[{"), b"[" + nested(127, kinds="{") + b"]",
    ],
)
def test_reader_rejects(text):
    assert rejected(text)


@pytest.mark.parametrize(
    "text, value",
    [
        (b"0", 0),
        (b"1", 1),
        (b"1.0", 1.0),
        (b"-0", -0.0),
        (b"-0.0", -0.0),
        (b"0e0", 0.0),
        (b"-1", -1),
        (b"18446744073709551615", U64_MAX),
        (b"18446744073709551616", 18446744073709551616.0),
        (b"-9223372036854775808", I64_MIN),
        (b"-9223372036854775809", float("-9223372036854775809")),  # a float literal here is an int on PyPy
        (b"123456789012345678901234567890", 1.2345678901234568e29),
    ],
)
def test_number_classes(text, value):
    assert same(parse(text), value)


def test_failed_parse_releases_keys():
    before = live_keys()
    for text in [b'{"unseen_key_1":[1,', b'[{"unseen_key_2":1},{"unseen_key_3":x}]', nested(128, kinds="{")]:
        rejected(text)
    assert live_keys() == before


def test_many_keys_sharing_a_long_prefix_stay_distinct():
    document = {f"shared_prefix_{i:05d}": i for i in range(2000)}
    assert same(parse(json.dumps([document, document]).encode()), [document, document])


def test_duplicate_keys_keep_the_last_and_write_sorted():
    assert dump(parse(b'{"b":1,"a":{"y":1,"x":2},"b":[3]}')) == b'{"a":{"x":2,"y":1},"b":[3]}'


json_values = st.recursive(
    st.none()
    | st.booleans()
    | st.integers(I64_MIN, U64_MAX)
    | st.floats(allow_nan=False, allow_infinity=False)
    | st.text(),
    lambda children: st.lists(children, max_size=5) | st.dictionaries(st.text(max_size=8), children, max_size=5),
    max_leaves=25,
)


@settings(max_examples=300)
@given(json_values)
def test_round_trip(value):
    text = dump(value)
    assert same(parse(text), value)
    assert dump(parse(text)) == text


@settings(max_examples=300)
@given(json_values, st.sampled_from([None, 0, 2]))
def test_reads_text_from_the_standard_library(value, indent):
    # ensure_ascii writes non-ASCII as \u escapes, astral characters as surrogate pairs.
    text = json.dumps(value, indent=indent, ensure_ascii=True).encode()
    assert same(parse(text), value)
    assert same(json.loads(dump(value)), value)


@given(json_values.filter(lambda v: isinstance(v, (list, dict))), st.data())
def test_truncated_containers_are_rejected(value, data):
    text = dump(value)
    cut = data.draw(st.integers(0, len(text) - 1))
    assert rejected(text[:cut])


@settings(max_examples=500)
@given(st.binary(max_size=24) | st.text(max_size=12).map(str.encode))
def test_string_bytes_accepted_exactly_when_valid_utf8_without_controls(body):
    body = bytes(b for b in body if b not in b'"\\')
    try:
        expected = body.decode("utf-8")
    except UnicodeDecodeError:
        expected = None
    if expected is None or min(body, default=0x20) < 0x20:
        assert rejected(b'"' + body + b'"')
    else:
        assert parse(b'"' + body + b'"') == expected


NUMBER = r"-?(0|[1-9][0-9]{0,24})(\.[0-9]{1,20})?([eE][+-]?[0-9]{1,3})?"


def expected_number(text):
    """The reader's value for a JSON number, or None when it is out of range."""
    if re.fullmatch(r"-?[0-9]+", text):
        if text == "-0":
            return -0.0
        if I64_MIN <= int(text) <= U64_MAX:
            return int(text)
    number = float(text)
    return None if math.isinf(number) else number


@settings(max_examples=500)
@given(st.from_regex(NUMBER, fullmatch=True))
def test_numbers_match_correct_rounding(text):
    expected = expected_number(text)
    if expected is None:
        assert rejected(text.encode())
    else:
        assert same(parse(text.encode()), expected)


def float_layout(number):
    """The writer's text of a finite float, laid out from Python's shortest round-trip digits."""
    sign = "-" if math.copysign(1.0, number) < 0 else ""
    if number == 0:
        return sign + "0.0"
    _, digit_tuple, exponent = decimal.Decimal(repr(abs(number))).as_tuple()
    digits = "".join(map(str, digit_tuple))
    before_point = len(digits) + exponent  # the value is 0.<digits> x 10^before_point
    digits = digits.rstrip("0")
    if 0 < before_point <= 16:
        if len(digits) <= before_point:
            return sign + digits + "0" * (before_point - len(digits)) + ".0"
        return sign + digits[:before_point] + "." + digits[before_point:]
    if -5 < before_point <= 0:
        return sign + "0." + "0" * -before_point + digits
    return sign + digits[0] + ("." + digits[1:] if len(digits) > 1 else "") + "e" + str(before_point - 1)


@settings(max_examples=2000)
@given(st.floats(allow_nan=False, allow_infinity=False) | st.integers(-(10**17), 10**17).map(lambda n: n / 10 ** (n % 23)))
def test_floats_are_written_in_the_shortest_digits_by_the_layout_rules(number):
    assert dump(number) == float_layout(number).encode()
