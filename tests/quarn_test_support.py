"""Helpers shared by the tests and the fuzz harnesses (no pytest needed)."""
import os
import struct
import tempfile

from quarn import Quarn


def panic_exception_type():
    """The module does not export PanicException; catch one to learn its class."""
    with tempfile.TemporaryDirectory() as directory:
        with open(os.path.join(directory, "x.json"), "w") as handle:
            handle.write("1")
        try:
            Quarn(directory)
        except BaseException as error:  # noqa: B036 - deliberately broad
            return type(error)
    raise AssertionError("a scalar collection file must fail to open")


def same(a, b, key_order=False):
    """Equal with the same types throughout (and the same key order, if asked);
    floats compared bit for bit."""
    if type(a) is not type(b):
        return False
    if isinstance(a, float):
        return struct.pack("<d", a) == struct.pack("<d", b)
    if isinstance(a, list):
        return len(a) == len(b) and all(same(x, y, key_order) for x, y in zip(a, b))
    if isinstance(a, dict):
        keys_match = list(a) == list(b) if key_order else a.keys() == b.keys()
        return keys_match and all(same(a[key], b[key], key_order) for key in a)
    return a == b
