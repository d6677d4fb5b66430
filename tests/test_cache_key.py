"""The result cache's key, checked against an independent SipHash-1-3: from 3.11,
CPython's own bytes hash under PYTHONHASHSEED=0 uses the same algorithm and all-zero key."""
import struct
import subprocess
import sys

import pytest

from _quarn_testing import cache_key


def encode(value):
    if value is None:
        return struct.pack("<I", 0)
    if value is True or value is False:
        return struct.pack("<IB", 1, value)
    if isinstance(value, int):
        if value >= 0:
            return struct.pack("<IBQ", 2, 0, value)
        return struct.pack("<IBq", 2, 1, value)
    if isinstance(value, float):
        bits = 0 if value == 0.0 else struct.unpack("<Q", struct.pack("<d", value))[0]
        return struct.pack("<IBQ", 2, 2, bits)
    if isinstance(value, str):
        return struct.pack("<I", 3) + value.encode() + b"\xff"
    if isinstance(value, list):
        return struct.pack("<II", 4, len(value)) + b"".join(encode(item) for item in value)
    return struct.pack("<I", 5) + object_body(value)


def object_body(mapping):
    items = sorted((key.encode(), value) for key, value in mapping.items())
    return struct.pack("<I", len(items)) + b"".join(key + b"\xff" + encode(value) for key, value in items)


QUERIES = [
    ("users", {}),
    ("users", {"age": {"$gte": 18}}),
    ("a.b", {"n": -5, "f": 1.5, "z": 0.0, "t": True, "x": None, "s": "é\x00", "l": [1, [2.0], {"k": "v"}]}),
    ("", {"big": 2**64 - 1, "low": -(2**63)}),
]


@pytest.mark.skipif(
    sys.implementation.name != "cpython" or sys.version_info < (3, 11), reason="needs CPython's SipHash-1-3 bytes hash"
)
def test_cache_key_is_siphash13_of_the_encoding():
    streams = [name.encode() + b"\xff" + object_body(query) for name, query in QUERIES]
    script = "import sys; [print(hash(bytes.fromhex(line)) % 2**64) for line in sys.stdin.read().split()]"
    result = subprocess.run(
        [sys.executable, "-c", script], input=" ".join(s.hex() for s in streams), capture_output=True, text=True,
        env={"PYTHONHASHSEED": "0"}, check=True,
    )
    expected = [int(line) for line in result.stdout.split()]
    for (name, query), want in zip(QUERIES, expected):
        got = cache_key(name, query)
        # CPython maps a hash of -1 to -2; no query here hashes to it.
        assert got == want, (name, query)


@pytest.mark.parametrize(
    "first, second, same",
    [
        ({"a": 1, "b": 2}, {"b": 2, "a": 1}, True),
        ({"a": 0.0}, {"a": -0.0}, True),
        ({"a": 0}, {"a": 0.0}, False),
        ({"a": 1}, {"a": 1.0}, False),
        ({"a": -1}, {"a": 2**64 - 1}, False),
        ({"a": "x"}, {"a": ["x"]}, False),
    ],
)
def test_cache_key_equalities(first, second, same):
    assert (cache_key("c", first) == cache_key("c", second)) == same
    assert cache_key("c", first) != cache_key("d", first)


def test_least_recently_used_key_is_evicted():
    from _quarn_testing import lru

    keys = list(range(100)) + list(range(100)) + [0, 100, 1, 0, 2, 99, 100, 3]
    hits = lru(100, keys)
    assert hits[:100] == [False] * 100 and hits[100:200] == [True] * 100
    # 0 was refreshed, so 100 evicts 1; 1 coming back evicts 2; 99 and 100 stay; 3 went with 2's return.
    assert hits[200:] == [True, False, False, True, False, True, True, False]
