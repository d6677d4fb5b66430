"""Hostile Python objects through Quarn's public methods, driven by atheris.

The fuzz bytes pick a value tree: plain JSON-like values, values with no JSON
form, and hostile ones (containers holding themselves, dict and list
subclasses whose keys/values/items/__len__/__iter__/__getitem__ raise, lie
or mutate, abc Mappings and Sequences doing the same, ints, floats and strs
with odd overrides, methods calling back into the database). Each input then
goes through insert, insert_many, find or update.

Invariants:
- no crash and no sanitizer report (run against the sanitizer build);
- only the documented exceptions leave a call (TypeError for a wrong argument
  type, PanicException for a value without a JSON form, ValueError from find's
  ordering operators), never the hostile code's own exception;
- a failed insert or update changes nothing stored;
- a plain value (one whose JSON form is known) inserts exactly when it has a
  JSON form and reads back as its json round trip, with quarn's rules for what
  json leaves undefined: NaN and the infinities read back as None, sets as
  lists, object keys in byte order.

Usage: python fuzz/convert.py [libFuzzer flags] [corpus dirs]
"""
import collections.abc
import inspect
import math
import re
import os
import sys
import tempfile

import atheris

with atheris.instrument_imports():
    import quarn

Quarn = quarn.Quarn

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "tests"))
from quarn_test_support import panic_exception_type, same  # noqa: E402

U64_MAX = 2**64 - 1
I64_MIN = -(2**63)

def document_nesting_limit():
    """The deepest document a database accepts, as the build defines it."""
    header = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "src", "lib", "core", "limits.h")
    with open(header, encoding="utf-8") as handle:
        return int(re.search(r"max_document_nesting = (\d+);", handle.read()).group(1))


MAX_DEPTH = document_nesting_limit()

PanicException = panic_exception_type()


class Hostile(Exception):
    """Raised by the hostile objects' methods; must never leave a quarn call."""


class Stop(Exception):
    """Out of fuzz bytes for a value that must still be finished."""


class Context:
    """What hostile methods may call back into."""

    db = None
    other = None


class Behaviour:
    """One misbehaviour, picked by the fuzz bytes, for a hostile method."""

    NORMAL, RAISE, SHRINK, GROW, MUTATE, REENTER, OTHER_DB, WRONG_TYPE = range(8)

    def __init__(self, kind, target=None):
        self.kind = kind
        self.target = target  # the object to mutate
        self.calls = 0

    def apply(self, result):
        """Returns what the method returns: result, or a wrong version of it."""
        self.calls += 1
        kind = self.kind
        if kind == self.RAISE:
            raise Hostile("hostile method")
        if kind == self.SHRINK and isinstance(result, list):
            return result[:-1]
        if kind == self.GROW and isinstance(result, list):
            return result + result[:1] + ["extra"]
        if kind == self.MUTATE and self.target is not None:
            mutate(self.target, self.calls)
        if kind == self.REENTER and Context.db is not None:
            try:
                Context.db.find("c")
            except RuntimeError:
                pass  # the documented nested-call error
            else:
                raise AssertionError("a nested call on a borrowed object succeeded")
        if kind == self.OTHER_DB and Context.other is not None:
            Context.other.insert("n", {"k": [1, "two", {"three": 3.0}]})
            Context.other.find("n", {"k": {"$ne": None}})
        if kind == self.WRONG_TYPE:
            if isinstance(result, int):
                return -1 if self.calls % 2 else 2**70
            return iter(result) if isinstance(result, list) else 7
        return result


def mutate(target, calls):
    """Changes a container while it is being converted."""
    if isinstance(target, list):
        if calls % 2:
            del target[:]
        else:
            target.extend([1, target])
    elif isinstance(target, dict):
        if calls % 2:
            target.clear()
        else:
            target["added %d" % calls] = target


class HostileDict(dict):
    def keys(self):
        return self.behaviour.apply(list(dict.keys(self)))

    def values(self):
        return self.behaviour.apply(list(dict.values(self)))

    def items(self):
        return self.behaviour.apply(list(dict.items(self)))

    def __len__(self):
        return self.behaviour.apply(dict.__len__(self))

    def __iter__(self):
        return iter(self.behaviour.apply(list(dict.__iter__(self))))


class HostileMapping(collections.abc.Mapping):
    def __init__(self, data, behaviour):
        self.data = data
        self.behaviour = behaviour

    def __getitem__(self, key):
        return self.behaviour.apply([self.data[key]])[0]

    def __len__(self):
        return self.behaviour.apply(len(self.data))

    def __iter__(self):
        return iter(self.behaviour.apply(list(self.data)))


class HostileList(list):
    def __len__(self):
        return self.behaviour.apply(list.__len__(self))

    def __getitem__(self, index):
        return self.behaviour.apply([list.__getitem__(self, index)])[0]


class HostileTuple(tuple):
    def __len__(self):
        return self.behaviour.apply(tuple.__len__(self))

    def __getitem__(self, index):
        return self.behaviour.apply([tuple.__getitem__(self, index)])[0]


class HostileSequence(collections.abc.Sequence):
    def __init__(self, items, behaviour):
        self.items = items
        self.behaviour = behaviour

    def __len__(self):
        return self.behaviour.apply(len(self.items))

    def __getitem__(self, index):
        return self.behaviour.apply([self.items[index]])[0]


class HostileSet(set):
    def __iter__(self):
        return iter(self.behaviour.apply(list(set.__iter__(self))))


class IndexRaises(int):
    def __index__(self):
        raise Hostile("__index__")

    def __int__(self):
        raise Hostile("__int__")


class FloatRaises(float):
    def __float__(self):
        raise Hostile("__float__")


class StrSub(str):
    def encode(self, *args, **kwargs):
        raise Hostile("encode")

    def __hash__(self):
        return 0


class IndexOnly:
    """Has __index__ and __float__ but is no int: no JSON form."""

    def __index__(self):
        return 1

    def __float__(self):
        return 1.0


class LyingClass:
    """Claims another class; the abc checks then read a failing attribute."""

    @property
    def __class__(self):
        raise Hostile("__class__")


class BytesSub(bytes):
    pass


class Unknown:
    pass


def is_a(obj, cls):
    """isinstance without consulting __class__, which hostile objects fake."""
    return issubclass(type(obj), cls)


def utf8_sorted(mapping):
    return {key: mapping[key] for key in sorted(mapping, key=lambda key: key.encode("utf-8"))}


INTS = [0, 1, -1, 2**63 - 1, 2**63, I64_MIN, I64_MIN - 1, U64_MAX, U64_MAX + 1,
        2**127, -(2**127), -(2**127) - 1, 2**128 - 1, 2**128, 10**40, -(10**40)]
FLOATS = [0.0, -0.0, 0.1, 1e16, 5e-324, 1.7976931348623157e308, -2.5, math.nan, math.inf, -math.inf]


def int_has_json_form(number):
    return I64_MIN <= number <= U64_MAX


class Builder:
    """Builds one value tree from the fuzz bytes.

    value() returns (object, expected): expected is what a successful insert
    reads back, or NO_FORM when the object must be refused, or UNKNOWN when
    hostile code makes the outcome open."""

    NO_FORM = object()
    UNKNOWN = object()

    def __init__(self, data):
        self.fdp = atheris.FuzzedDataProvider(data)
        self.budget = 200  # containers and scalars in one tree

    def pick(self, count):
        return self.fdp.ConsumeIntInRange(0, count - 1)

    def text(self):
        kind = self.pick(4)
        if kind == 0:
            return self.fdp.ConsumeUnicodeNoSurrogates(self.pick(12))
        if kind == 1:
            return self.fdp.ConsumeUnicode(self.pick(6))  # may hold lone surrogates
        return ["a", "b", "c", "", "$gt", "a.b", "$inc", "\u00e9", "\U0001f600"][self.pick(9)]

    def text_expected(self, text):
        try:
            text.encode("utf-8")
        except UnicodeEncodeError:
            return self.NO_FORM
        return text

    def value(self, depth=0):
        self.budget -= 1
        if self.budget <= 0 or self.fdp.remaining_bytes() == 0:
            return None, None
        kind = self.pick(28)
        if kind == 0:
            return None, None
        if kind == 1:
            flag = self.fdp.ConsumeBool()
            return flag, flag
        if kind == 2:
            number = INTS[self.pick(len(INTS))]
            return number, number if int_has_json_form(number) else self.NO_FORM
        if kind == 3:
            number = self.fdp.ConsumeInt(self.pick(20))
            return number, number if int_has_json_form(number) else self.NO_FORM
        if kind == 4:
            number = FLOATS[self.pick(len(FLOATS))] if self.fdp.ConsumeBool() else self.fdp.ConsumeRegularFloat()
            return number, number if math.isfinite(number) else None
        if kind == 5:
            text = self.text()
            return text, self.text_expected(text)
        if kind in (6, 7, 8):
            items = [self.value(depth + 1) for _ in range(self.pick(5))]
            objects = [item[0] for item in items]
            expected = self.combine([item[1] for item in items], depth + 1)
            return (tuple(objects) if kind == 8 else objects), expected
        if kind in (9, 10, 11):
            return self.plain_dict(depth)
        if kind == 12:
            # Sets hold scalars only; NaN is left out, as it never equals itself.
            items = {self.scalar() for _ in range(self.pick(5))}
            items = {item for item in items if not (is_a(item, float) and math.isnan(item))}
            objects = frozenset(items) if self.fdp.ConsumeBool() else set(items)
            expected = self.combine([self.scalar_expected(item) for item in objects], depth + 1)
            return objects, expected
        if kind == 13:
            return self.nested(depth)
        if kind == 14:
            return self.self_containing()
        if kind == 15:
            return [BytesSub(b"x"), b"x", bytearray(b"x"), Unknown(), IndexOnly(), 1j][self.pick(6)], self.NO_FORM
        if kind == 16:
            key = [1, 1.5, None, True, b"k", (1, 2)][self.pick(6)]
            inner, _ = self.value(depth + 1)
            return {"ok": 1, key: inner}, self.NO_FORM
        if kind == 17:
            number = [0, 1, -5, 2**64, 2**200][self.pick(5)]
            return IndexRaises(number), self.UNKNOWN
        if kind == 18:
            return FloatRaises([0.5, math.nan, -0.0][self.pick(3)]), self.UNKNOWN
        if kind == 19:
            text = self.text()
            return StrSub(text), self.UNKNOWN
        if kind == 20:
            return {StrSub(self.text()): 1, "plain": 2}, self.UNKNOWN
        if kind == 21:
            return LyingClass(), self.UNKNOWN
        return self.hostile_container(kind, depth)

    def scalar(self):
        kind = self.pick(5)
        if kind == 0:
            return None
        if kind == 1:
            return self.fdp.ConsumeBool()
        if kind == 2:
            return INTS[self.pick(len(INTS))]
        if kind == 3:
            return FLOATS[self.pick(len(FLOATS))]
        return self.text()

    def scalar_expected(self, item):
        if is_a(item, float) and not math.isfinite(item):
            return None
        if is_a(item, str):
            return self.text_expected(item)
        if is_a(item, int) and not is_a(item, bool) and not int_has_json_form(item):
            return self.NO_FORM
        return item

    def combine(self, expected_items, depth):
        if depth > MAX_DEPTH:
            return self.NO_FORM
        if any(item is self.UNKNOWN for item in expected_items):
            return self.UNKNOWN
        if any(item is self.NO_FORM for item in expected_items):
            return self.NO_FORM
        return list(expected_items)

    def plain_dict(self, depth):
        objects, expected, unknown, refused = {}, {}, False, False
        for _ in range(self.pick(5)):
            key = self.text()
            item, item_expected = self.value(depth + 1)
            objects[key] = item
            expected[key] = item_expected
            if self.text_expected(key) is self.NO_FORM:
                refused = True
        values = list(expected.values())
        if any(item is self.UNKNOWN for item in values):
            return objects, self.UNKNOWN
        if refused or depth + 1 > MAX_DEPTH or any(item is self.NO_FORM for item in values):
            return objects, self.NO_FORM
        return objects, utf8_sorted(expected)

    def nested(self, depth):
        """A chain of containers around the boundary of the nesting limit."""
        levels = 118 + self.pick(12)
        inner, inner_expected = 1, 1
        for level in range(levels):
            if self.fdp.ConsumeBool():
                inner, inner_expected = [inner], [inner_expected]
            else:
                inner, inner_expected = {"k": inner}, {"k": inner_expected}
        return inner, inner_expected if depth + levels <= MAX_DEPTH else self.NO_FORM

    def self_containing(self):
        kind = self.pick(3)
        if kind == 0:
            loop = [1]
            loop.append(loop)
        elif kind == 1:
            loop = {"a": 1}
            loop["self"] = loop
        else:
            outer = {"list": []}
            outer["list"].append({"back": outer})
            loop = outer
        return loop, self.NO_FORM

    def behaviour(self, target=None):
        return Behaviour(self.pick(8), target)

    def hostile_container(self, kind, depth):
        items = [self.value(depth + 1)[0] for _ in range(self.pick(4))]
        choice = kind % 6
        if choice == 0:
            made = HostileDict({self.text(): item for item in items})
            made.behaviour = self.behaviour(made if self.fdp.ConsumeBool() else None)
        elif choice == 1:
            made = HostileMapping({self.text(): item for item in items}, self.behaviour())
            if made.behaviour.kind == Behaviour.MUTATE:
                made.behaviour.target = made.data
        elif choice == 2:
            made = HostileList(items)
            made.behaviour = self.behaviour(made)
        elif choice == 3:
            made = HostileTuple(items)
            made.behaviour = self.behaviour(items)
        elif choice == 4:
            made = HostileSequence(items, self.behaviour())
            if made.behaviour.kind == Behaviour.MUTATE:
                made.behaviour.target = made.items
        else:
            made = HostileSet(item for item in items if is_a(item, (int, str, type(None))))
            made.behaviour = self.behaviour()
        if self.fdp.ConsumeBool() and choice != 5:
            # A parent exact list that one of its own items empties while converted.
            parent = [1, made, "after"]
            made.behaviour.target = parent
            made.behaviour.kind = Behaviour.MUTATE
            return parent, self.UNKNOWN
        return made, self.UNKNOWN


def check(condition, message, *details):
    if not condition:
        raise AssertionError(message + ": " + " | ".join(repr(detail)[:2000] for detail in details))


ALLOWED = {
    "insert": (TypeError, PanicException),
    "insert_many": (TypeError, PanicException),
    "find": (TypeError, ValueError, PanicException),
    "update": (TypeError, PanicException),
}

STATE = {}


def database():
    """One database per process in a private directory, its collection kept small."""
    if "db" not in STATE:
        base = tempfile.mkdtemp(prefix="quarn-convert-")  # under $TMPDIR: fuzz/run.sh gives a tmpfs
        STATE["dir"] = base
        STATE["db"] = Quarn(os.path.join(base, "db"))
        Context.other = Quarn(os.path.join(base, "other"))
    db = STATE["db"]
    Context.db = db
    if "n" in Context.other.collections():
        Context.other.drop_collection("n")
    if len(db.find("c") if "c" in db.collections() else []) > 50:
        db.drop_collection("c")
    return db


class quiet_stdout:
    """Update terms print trace lines on file descriptor 1; they are not wanted here."""

    null = None

    def __enter__(self):
        if quiet_stdout.null is None:
            quiet_stdout.null = os.open(os.devnull, os.O_WRONLY)
        self.saved = os.dup(1)
        os.dup2(quiet_stdout.null, 1)

    def __exit__(self, *exc_info):
        os.dup2(self.saved, 1)
        os.close(self.saved)


def call(db, method, *args):
    try:
        return True, getattr(db, method)(*args)
    except ALLOWED[method] as error:
        # Python errors met while converting are internal failures: only
        # argument extraction raises TypeError, only find's ordering operators ValueError.
        if type(error) is TypeError:
            check(str(error).startswith("argument '"), "a TypeError that is not an argument error", error)
        if type(error) is ValueError:
            check(str(error).startswith("Malformed query"), "an unexpected ValueError", error)
        check(type(error) in ALLOWED[method], "a subclass of a documented exception leaked", error)
        return False, error


def TestOneInput(data):
    builder = Builder(data)
    db = database()
    operation = builder.pick(4)
    value, expected = builder.value()
    db.insert("c", {"seed": 1, "a": 2})
    before = db.find("c")

    if operation == 0:
        ok, result = call(db, "insert", "c", value)
        after = db.find("c")
        if not ok:
            check(same(after, before, key_order=True), "a failed insert changed the collection", value, result)
        else:
            check(is_a(value, dict), "insert accepted a non-dict", value)
            check(len(after) == len(before) + 1, "insert did not add one document")
            check(expected is not Builder.NO_FORM, "a value without JSON form was inserted", value, after[-1])
            if expected is not Builder.UNKNOWN:
                check(same(after[-1], expected, key_order=True), "inserted document reads back differently", expected, after[-1])
        if expected is not Builder.UNKNOWN and expected is not Builder.NO_FORM and is_a(value, dict):
            check(ok, "a plain dict was refused", value, result)
        if expected is Builder.NO_FORM:
            check(not ok and is_a(result, (PanicException, TypeError)), "no-form value not refused", value)
    elif operation == 1:
        if is_a(value, list) and type(value) is not list:
            documents, expected = value, Builder.UNKNOWN  # a hostile list subclass as the argument
        else:
            # Each element is a document of its own: the list adds no level.
            items = [(value, expected)] + [builder.value() for _ in range(builder.pick(3))]
            documents = [item for item, _ in items]
            expected = builder.combine([item_expected for _, item_expected in items], 0)
        ok, result = call(db, "insert_many", "c", documents)
        after = db.find("c")
        if not ok:
            check(same(after, before, key_order=True), "a failed insert_many changed the collection", documents, result)
        if expected is not Builder.UNKNOWN:
            check(ok == (expected is not Builder.NO_FORM), "insert_many outcome differs from the values' form",
                  documents, result)
            if ok:
                check(same(after[len(before):], expected, key_order=True), "insert_many reads back differently", expected, after)
    elif operation == 2:
        query = value if builder.fdp.ConsumeBool() or not is_a(value, list) else {"a": value}
        ok, result = call(db, "find", "c", query)
        if ok:
            check(is_a(result, list), "find returned a non-list", result)
        check(same(db.find("c"), before, key_order=True), "find changed the collection")
    else:
        update_query = value if is_a(value, dict) else {"a": value}
        maybe_query = builder.value()[0] if builder.fdp.ConsumeBool() else None
        with quiet_stdout():
            ok, result = call(db, "update", "c", update_query, maybe_query, builder.fdp.ConsumeBool())
        if not ok:
            check(same(db.find("c"), before, key_order=True), "a rejected update changed the collection", update_query, result)

    if builder.fdp.ConsumeIntInRange(0, 15) == 0:
        # Whatever is in memory writes and reads back the same: neither insert
        # nor update lets a document nest too deep to be read back.
        try:
            db.write("c")
        except ValueError as error:
            check(False, "write failed", error)
        check(same(Quarn(STATE["dir"] + "/db").find("c"), db.find("c"), key_order=True), "written collection reads back differently")


def quiet_unraisable(report):
    """A failing abc check is reported as unraisable by design; only the hostile ones are expected."""
    if not is_a(report.exc_value, Hostile):
        sys.__unraisablehook__(report)


def instrument_harness():
    """Python coverage of the hostile objects and the builder only: which
    hostile methods ran, and how the value was built. The checks compare whole
    collections on every input; instrumented, they would slow it down several times."""
    for item in list(globals().values()):
        if getattr(item, "__module__", None) == __name__ and isinstance(item, type):
            for member in vars(item).values():
                if inspect.isfunction(member):
                    atheris.instrument_func(member)
    atheris.instrument_func(mutate)


def main():
    sys.setrecursionlimit(10000)
    sys.unraisablehook = quiet_unraisable
    instrument_harness()
    atheris.Setup(sys.argv, TestOneInput)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
