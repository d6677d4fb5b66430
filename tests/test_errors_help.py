"""Errors that help: a note naming the file (and where JSON text went wrong),
errno on OS errors, the Python exception behind a failed conversion as the
cause, and interrupts that pass through as themselves."""
import collections.abc
import errno
import os
import shutil

import pytest

from quarn import Quarn
from _quarn_testing import index_sizes
from conftest import PanicException, write_file


def notes(error):
    return list(getattr(error, "__notes__", []))


@pytest.mark.parametrize(
    "text, line, column",
    [
        (b"", 1, 1),
        (b"[1, 2,\n  tru]", 2, 3),
        (b'[{"a": 1}]\n x', 2, 2),
        (b'["\xc3\xa9\xe2\x82\xac", 1e999]', 1, 8),  # columns count characters, not bytes
        (b'[\r\n"abc', 2, 5),  # the text ends inside a string
        (b'["a\\x"]', 1, 4),
        (b'[\n\n"\xff"]', 3, 2),
        (b"[" * 128 + b"]" * 128, 1, 128),
        (b'{"a" 1}', 1, 6),
        (b"[01]", 1, 3),
    ],
)
def test_a_json_fault_is_named_by_file_line_and_column(db_dir, text, line, column):
    write_file(db_dir, "c.json", text)
    with pytest.raises(ValueError) as caught:
        Quarn(str(db_dir))
    assert caught.value.args == ("Error deserializing JSON",)
    assert notes(caught.value) == ["while reading %s: line %d, column %d" % (db_dir / "c.json", line, column)]


# Each scenario prepares the database directory db (and the directory tmp
# around it) and returns the call that fails.
def fifo_collection(db, tmp):
    os.mkfifo(str(db / "c.json"))
    return lambda: Quarn(str(db))


def scalar_collection(db, tmp):
    write_file(db, "c.json", "1")
    return lambda: Quarn(str(db))


def file_as_database(db, tmp):
    db.rmdir()
    write_file(tmp, "db", "")
    return lambda: Quarn(str(db))


def placed_after_opening(text, call):
    def scenario(db, tmp):
        database = Quarn(str(db))
        write_file(db, "later.json", text)
        return lambda: call(database)
    return scenario


def document_file(text, call):
    def scenario(db, tmp):
        if text is not None:
            write_file(tmp, "doc.json", text)
        database = Quarn(str(db))
        return lambda: call(database, str(tmp / "doc.json"))
    return scenario


def without_directory(call):
    def scenario(db, tmp):
        database = Quarn(str(db))
        database.insert("c", {"a": 1})
        shutil.rmtree(str(db))
        return lambda: call(database)
    return scenario


def directory_at_collection_path(call):
    def scenario(db, tmp):
        database = Quarn(str(db))
        database.insert("c", {"a": 1})
        os.unlink(str(db / "c.json"))
        (db / "c.json").mkdir()
        return lambda: call(database)
    return scenario


NOT_FOUND = "No such file or directory (os error 2)"


@pytest.mark.parametrize(
    "scenario, exception, message, note, code",
    [
        (fifo_collection, ValueError, "Error deserializing JSON", "reading {db}/c.json", None),
        (scalar_collection, PanicException, None, "reading {db}/c.json", None),
        (file_as_database, OSError, "Not a directory (os error 20)", "listing {db}", errno.ENOTDIR),
        (
            placed_after_opening('{"later": [1,]}', lambda db: db.find("later")),
            ValueError, "Error deserializing JSON", "reading {db}/later.json: line 1, column 14", None,
        ),
        (
            placed_after_opening('{"later": [', lambda db: db.insert("later", {})),
            ValueError, "Error deserializing JSON", "reading {db}/later.json: line 1, column 12", None,
        ),
        (placed_after_opening("1", lambda db: db.update("later", {})), PanicException, None,
         "reading {db}/later.json", None),
        (
            document_file(None, lambda db, path: db.insert_many_from_document("c", path)),
            OSError, "Error opening document " + NOT_FOUND, "reading {tmp}/doc.json", errno.ENOENT,
        ),
        (document_file("{}", lambda db, path: db.insert_many_from_document("c", path)), ValueError,
         "Document is not an array", "reading {tmp}/doc.json", None),
        (document_file('{"c": [1]\n', lambda db, path: db.load_from_document(path)), ValueError,
         "Error deserializing JSON", "reading {tmp}/doc.json: line 2, column 1", None),
        (document_file("[]", lambda db, path: db.load_from_document(path)), PanicException, None,
         "reading {tmp}/doc.json", None),
        (
            without_directory(lambda db: db.write("c")),
            OSError, 'Problem creating temporary file: Os { code: 2, kind: NotFound, message: '
            '"No such file or directory" }', "writing {db}/c.json", errno.ENOENT,
        ),
        (
            directory_at_collection_path(lambda db: db.write_all()),
            OSError, 'Error renaming file: Os { code: 21, kind: IsADirectory, message: "Is a directory" }',
            "writing {db}/c.json", errno.EISDIR,
        ),
        (without_directory(lambda db: db.create_collection("new")), FileNotFoundError, NOT_FOUND,
         "creating {db}/new.json", errno.ENOENT),
        (without_directory(lambda db: db.collections()), FileNotFoundError, NOT_FOUND, "listing {db}",
         errno.ENOENT),
        (without_directory(lambda db: db.insert("new", {})), PanicException,
         "collection 'new' could not be created: " + NOT_FOUND, "creating {db}/new.json", None),
    ],
)
def test_errors_about_files_name_them(tmp_path, db_dir, scenario, exception, message, note, code):
    call = scenario(db_dir, tmp_path)
    with pytest.raises(exception) as caught:
        call()
    error = caught.value
    assert type(error) is exception
    if message is not None:
        assert error.args == (message,) and str(error) == message
    assert notes(error) == ["while " + note.format(db=db_dir, tmp=tmp_path)]
    if isinstance(error, OSError):
        assert error.errno == code


class HookError(Exception):
    pass


def raising(hook, exception):
    """A value whose conversion runs Python code that raises exception."""
    def fail(*args):
        raise exception

    if hook == "dict keys":
        return type("D", (dict,), {"keys": fail})(a=1)
    if hook == "list length":
        return type("L", (list,), {"__len__": fail})([1])
    if hook == "sequence item":
        return type("S", (collections.abc.Sequence,), {"__len__": lambda self: 1, "__getitem__": fail})()
    if hook == "set iteration":
        return type("T", (set,), {"__iter__": fail})({1})
    return type("C", (), {"__class__": property(fail)})()  # the abstract base class checks


CALLS = [
    (lambda db, value: db.insert("c", {"x": value}), "the document"),
    (lambda db, value: db.insert_many("c", [{"x": value}]), "the document"),
    (lambda db, value: db.find("c", {"x": value}), "the query"),
    (lambda db, value: db.update("c", {"x": value}), "the update object"),
    (lambda db, value: db.update("c", {"n": 1}, {"x": value}), "the query"),
]
HOOKS = ["dict keys", "list length", "sequence item", "set iteration"]


@pytest.mark.parametrize("call, what", CALLS)
@pytest.mark.parametrize("hook", HOOKS)
def test_a_failed_conversion_has_the_python_exception_as_cause(db_dir, call, what, hook):
    db = Quarn(str(db_dir))
    db.insert("c", {"n": 0})
    original = HookError("boom")
    with pytest.raises(PanicException) as caught:
        call(db, raising(hook, original))
    assert caught.value.args == (what + " cannot be converted: boom",)
    assert caught.value.__cause__ is original
    assert db.find("c") == [{"n": 0}]


@pytest.mark.parametrize("call, what", CALLS)
@pytest.mark.parametrize("hook", HOOKS + ["instance check"])
@pytest.mark.parametrize("interrupt", [KeyboardInterrupt, SystemExit])
def test_interrupts_during_a_conversion_propagate_as_themselves(db_dir, call, what, hook, interrupt):
    db = Quarn(str(db_dir))
    db.insert("c", {"n": 0})
    original = interrupt()
    with pytest.raises(interrupt) as caught:
        call(db, raising(hook, original))
    assert caught.value is original
    assert db.find("c") == [{"n": 0}]



def in_query(db, terms):
    db.find("people", terms)


def in_update_query(db, terms):
    db.update("people", {"seen": True}, terms)


def in_update(db, terms):
    db.update("people", terms)


RANGE_NOTE = ("range queries on {path} need a number there in every document that has it: one null or string at "
              "{path} makes every $gt, $gte, $lt and $lte on it raise; set that value to a number, or remove it "
              "(update with $set or $delete)")
OPERAND_NOTE = "range operators ($gt, $gte, $lt, $lte) compare numbers: give {op} an int or a float"
RANGE_CALLS = [(in_query, ValueError), (in_update_query, PanicException)]


@pytest.mark.parametrize("call, exception", RANGE_CALLS)
@pytest.mark.parametrize(
    "documents, query, operator, first, second",
    [
        ([{"age": 3}, {"name": "Bo"}, {"age": None}], {"age": {"$gte": 1}}, "GreaterThanEqual",
         "people[2].age is null", RANGE_NOTE.format(path="age")),
        ([{"age": "18"}], {"age": {"$lt": 1}}, "LessThan", 'people[0].age is "18", a string',
         RANGE_NOTE.format(path="age")),
        ([{"a": {"b": [1] * 30}}], {"a.b": {"$gt": 1}}, "GreaterThan",
         "people[0].a.b is [1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,..., an array",
         RANGE_NOTE.format(path="a.b")),
        ([{"first name": {"x": "\u00e9" * 30}}], {"first name": {"$lte": 1}}, "LessThanEqual",
         'people[0]["first name"] is {"x":"' + "\u00e9" * 19 + "..., an object",
         RANGE_NOTE.format(path='"first name"')),
        ([{"age": 3}], {"age": {"$gte": "18"}}, "GreaterThanEqual", 'the operand of $gte on age is "18", a string',
         OPERAND_NOTE.format(op="$gte")),
    ],
)
def test_a_range_failure_names_the_value_behind_it(db_dir, call, exception, documents, query, operator, first,
                                                   second):
    db = Quarn(str(db_dir))
    db.insert_many("people", documents)
    with pytest.raises(exception) as caught:
        call(db, query)
    assert type(caught.value) is exception
    assert caught.value.args == ("Malformed query, non-numeric value found for operator " + operator,)
    assert notes(caught.value) == [first, second]


@pytest.mark.parametrize("call, exception", RANGE_CALLS)
def test_a_range_failure_is_explained_once_an_index_exists(db_dir, call, exception):
    db = Quarn(str(db_dir))
    db.insert_many("people", [{"age": n} for n in range(200)])
    for _ in range(2):
        db.clear_cache()
        assert len(db.find("people", {"age": {"$lt": 5}})) == 5
    assert index_sizes(db, "people")[0] == 1
    db.insert("people", {"age": "old"})
    with pytest.raises(exception) as caught:
        call(db, {"age": {"$lt": 5}})
    assert notes(caught.value)[0] == 'people[200].age is "old", a string'


QUERY_OPERATORS = "the query operators are $eq, $ne, $gt, $gte, $lt and $lte"
UPDATE_OPERATORS = "the update operators are $set, $add, $substract, $inc, $dec and $delete"


@pytest.mark.parametrize(
    "call, operator, first, listing",
    [
        (in_query, "$gtee", "did you mean $gte?", QUERY_OPERATORS),
        (in_query, "$GT", "did you mean $gt?", QUERY_OPERATORS),
        (in_update_query, "$lte ", "did you mean $lte?", QUERY_OPERATORS),
        (in_query, "$in", "quarn has no $in:", QUERY_OPERATORS),
        (in_query, "$and", "quarn has no $and:", QUERY_OPERATORS),
        (in_query, "$set", "$set is an update operator:", QUERY_OPERATORS),
        (in_query, "$zz", None, QUERY_OPERATORS),
        (in_update, "$subtract", "did you mean $substract?", UPDATE_OPERATORS),
        (in_update, "$del", "did you mean $delete?", UPDATE_OPERATORS),
        (in_update, "$increment", "did you mean $inc?", UPDATE_OPERATORS),
        (in_update, "$push", "quarn has no $push:", UPDATE_OPERATORS),
        (in_update, "$unset", "quarn has no $unset: $delete removes a member", UPDATE_OPERATORS),
        (in_update, "$gte", "$gte is a query operator:", UPDATE_OPERATORS),
    ],
)
def test_an_unknown_operator_is_met_with_the_ones_there_are(db_dir, call, operator, first, listing):
    db = Quarn(str(db_dir))
    db.insert("people", {"age": 1})
    with pytest.raises(PanicException) as caught:
        call(db, {"age": {operator: 1}})
    kind = "update query" if call is in_update else "query"
    assert caught.value.args == ("Unknown %s operator found: %s" % (kind, operator),)
    found = notes(caught.value)
    assert found[-1] == listing
    assert [note[: len(first)] for note in found[:-1]] == ([] if first is None else [first])


class Place(os.PathLike):
    def __fspath__(self):
        return "db"


PATH_NOTE = "names and file paths are taken as str: pass str(path)"
BYTES_NOTE = "names are taken as str: decode the bytes first, e.g. os.fsdecode(name)"


@pytest.mark.parametrize(
    "call, parameter, type_name, note",
    [
        (lambda db, tmp: Quarn(tmp / "db"), "name", "PosixPath", PATH_NOTE),
        (lambda db, tmp: Quarn(Place()), "name", "Place", PATH_NOTE),
        (lambda db, tmp: Quarn(bytes(tmp / "db")), "name", "bytes", BYTES_NOTE),
        (lambda db, tmp: db.find(bytearray(b"c")), "collection_name", "bytearray", BYTES_NOTE),
        (lambda db, tmp: db.write(Place()), "collection_name", "Place", PATH_NOTE),
        (lambda db, tmp: db.insert_many_from_document("c", tmp / "doc.json"), "document_name", "PosixPath",
         PATH_NOTE),
    ],
)
def test_a_path_or_bytes_given_for_a_name_says_how_to_pass_it(tmp_path, db_dir, call, parameter, type_name, note):
    db = Quarn(str(db_dir))
    with pytest.raises(TypeError) as caught:
        call(db, tmp_path)
    message = "argument '%s': '%s' object cannot be converted to 'PyString'" % (parameter, type_name)
    assert caught.value.args == (message,)
    assert notes(caught.value) == [note]
