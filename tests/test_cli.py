"""The quarn command, driven as a user would: through a subprocess."""
import importlib.util
import json
import os
import shlex
import subprocess
import sys

import pytest

from quarn import Quarn
from conftest import child_env, installed_files


def quarn_command():
    files = installed_files()
    if files is not None:  # installed: the console script must be there
        assert "quarn_cli.py" in files
        script = os.path.join(os.path.dirname(sys.executable), "quarn")
        assert os.path.isfile(script), "the quarn console script is not installed"
        return [script]
    if importlib.util.find_spec("quarn_cli") is None:
        pytest.skip("quarn_cli is neither installed nor in the build directory")
    return [sys.executable, "-m", "quarn_cli"]


@pytest.fixture(scope="module")
def command():
    return quarn_command()


@pytest.fixture
def quarn(command, tmp_path):
    def run(*args, stdin=None):
        return subprocess.run(
            [*command, *args], input=stdin, capture_output=True, cwd=str(tmp_path), env=child_env(), timeout=120
        )

    return run


DOCS = [
    {"name": "Ada", "age": 36, "address": {"city": "Paris"}},
    {"name": "Lin", "age": 29, "tags": ["a", "b"]},
    {"name": "Bo", "age": 41.5, "note": "é ü 😀 \"quoted\"\nnext"},
    {"name": "Kim"},
]


@pytest.fixture
def db_path(tmp_path):
    path = tmp_path / "db"
    db = Quarn(str(path))
    db.insert_many("users", DOCS)
    db.insert_many("other", [1, "two", None])
    db.write_all()
    return path


def ok(result):
    assert result.returncode == 0, result.stderr
    assert result.stderr == b""
    return result.stdout.decode("utf-8")


def ok_stdout(result):
    assert result.returncode == 0, result.stderr
    return result.stdout.decode()


def test_collections(quarn, db_path):
    (db_path / "notes.txt").write_text("not a collection")
    assert sorted(ok(quarn(str(db_path), "collections")).splitlines()) == ["other", "users"]


@pytest.mark.parametrize(
    "query, extra",
    [
        (None, []),
        ({"age": {"$gte": 30}}, []),
        ({"address.city": "Paris"}, []),
        (None, ["--limit", "2"]),
        (None, ["--limit", "0"]),
        ({"age.$lt": 40}, ["--limit", "1"]),
    ],
)
def test_find_prints_json_lines(quarn, db_path, query, extra):
    args = [str(db_path), "find", "users"] + ([json.dumps(query)] if query is not None else []) + extra
    lines = ok(quarn(*args)).splitlines()
    expected = Quarn(str(db_path)).find("users", query)
    if extra:
        expected = expected[: int(extra[1])]
    assert [json.loads(line) for line in lines] == expected


def test_find_pretty_and_unicode(quarn, db_path):
    text = ok(quarn(str(db_path), "find", "users", "--pretty"))
    decoder, documents, at = json.JSONDecoder(), [], 0
    while at < len(text):
        document, at = decoder.raw_decode(text, at)
        documents.append(document)
        at += 1  # the newline after each document
    assert documents == Quarn(str(db_path)).find("users")
    assert '\n  "name": "Ada"' in text and "😀" in text


def test_find_of_non_object_documents(quarn, db_path):
    assert [json.loads(line) for line in ok(quarn(str(db_path), "find", "other")).splitlines()] == [1, "two", None]


@pytest.mark.parametrize("query", [None, {"age": {"$gt": 30}}, {"name": "nobody"}])
def test_count(quarn, db_path, query):
    args = [str(db_path), "count", "users"] + ([json.dumps(query)] if query else [])
    assert ok(quarn(*args)) == f"{len(Quarn(str(db_path)).find('users', query))}\n"


@pytest.mark.parametrize(
    "content, added",
    [
        ([{"name": "Zed", "age": 1}, {"name": "Yu"}], [{"name": "Zed", "age": 1}, {"name": "Yu"}]),
        ({"name": "Zed", "nested": {"deep": [1, 2.5]}}, [{"name": "Zed", "nested": {"deep": [1, 2.5]}}]),
        ([], []),
    ],
)
@pytest.mark.parametrize("from_stdin", [False, True])
def test_insert_writes_the_collection(quarn, db_path, tmp_path, content, added, from_stdin):
    if from_stdin:
        result = quarn(str(db_path), "insert", "users", "-", stdin=json.dumps(content).encode())
    else:
        (tmp_path / "new.json").write_text(json.dumps(content))
        result = quarn(str(db_path), "insert", "users", "new.json")
    assert ok(result) == f"{len(added)}\n"
    assert Quarn(str(db_path)).find("users") == DOCS + added


def test_insert_creates_a_database_and_reads_numbers_as_quarn_does(quarn, tmp_path):
    (tmp_path / "new.json").write_text('[{"big": 100000000000000000000, "max": 18446744073709551615, "f": 1.0}]')
    assert ok(quarn(str(tmp_path / "fresh"), "insert", "c", "new.json")) == "1\n"
    assert (tmp_path / "fresh" / "c.json").read_bytes() == b'[{"big":1e20,"f":1.0,"max":18446744073709551615}]'


def test_update_keeps_stdout_clean_and_writes(quarn, db_path):
    result = quarn(str(db_path), "update", "users", '{"age": {"$inc": 1}, "name": "X"}', '{"age": {"$lt": 40}}')
    assert result.returncode == 0
    assert result.stdout == b"2 selected, 2 changed\n"
    assert result.stderr.decode().splitlines() == [
        "Update operator found Increment",
        'Fields: ["age"]',
        "Update operator found Set",
        'Fields: ["name"]',
    ]
    stored = Quarn(str(db_path)).find("users")
    assert [doc.get("age") for doc in stored] == [37.0, 30.0, 41.5, None]
    assert [doc["name"] for doc in stored] == ["X", "X", "Bo", "Kim"]


def test_update_without_query_changes_every_document(quarn, db_path):
    assert ok_stdout(quarn(str(db_path), "update", "users", '{"note": {"$delete": 0}}')) == "4 selected, 1 changed\n"
    assert all("note" not in doc for doc in Quarn(str(db_path)).find("users"))


def without_trace(lines):
    """update's trace lines, which the tool sends to stderr, are not part of an error."""
    trace = [i for i, line in enumerate(lines) if line.startswith("Update operator found ")]
    assert all(lines[i + 1].startswith("Fields: [") for i in trace)
    return [line for i, line in enumerate(lines) if i not in trace and i - 1 not in trace]


@pytest.mark.parametrize(
    "update, query, selected, changed, missing",
    [
        ({"age": {"$inc": 1}}, {"name": "Ada"}, 1, 1, None),
        ({"name": "Ada"}, {"name": "Ada"}, 1, 0, None),  # set to what it was
        ({"age": {"$add": 0}}, None, 4, 2, None),  # 36 and 29 become floats; 41.5 stays; Kim has no age
        ({"age": {"$add": 10}}, {"age": {"$lt": 40}}, 2, 2, None),  # Ada leaves the selection
        ({"address.city": "Rome"}, {"address": {"city": "Paris"}}, 1, 1, None),
        ({"address": {"$set": {"city": "Rome"}}}, {"address.city": "Paris"}, 1, 1, None),
        ({"status": "x"}, None, 4, 0, '"status", so nothing was done there: update only changes members that exist; insert documents that have it'),
        ({"address.zip": {"$inc": 1}, "age": {"$inc": 1}}, None, 4, 3, '"address.zip", so'),
        ({"note": "y", "status": "x", "age": 1}, {"name": "Ada"}, 1, 1, '"note" or "status", so nothing was done there: update only changes members that exist; insert documents that have them'),
        ({"note": "y"}, None, 4, 1, None),  # Bo has one
        ({"gone": {"$delete": 0}}, None, 4, 0, None),  # already gone
        ({"status": "x"}, {"name": "nobody"}, 0, 0, None),  # nothing selected
    ],
)
def test_update_reports_selected_changed_and_members_nobody_has(quarn, db_path, tmp_path, update, query, selected, changed, missing):
    result = quarn(str(db_path), "update", "users", json.dumps(update), *([json.dumps(query)] if query else []))
    assert ok_stdout(result) == f"{selected} selected, {changed} changed\n"
    warnings = without_trace(result.stderr.decode().splitlines())
    assert len(warnings) == (missing is not None)
    assert all(line.startswith(f"quarn: warning: no selected document has a member {missing}") for line in warnings)
    expected = Quarn(str(tmp_path / "expected"))
    expected.insert_many("users", DOCS)
    expected.update("users", update, query)
    assert Quarn(str(db_path)).find("users") == expected.find("users")


RANGE_FORM = '{"age": {"$gte": 18}, "age.$lt": 30}'
QUERIES = [
    ({"age": {"$gte": 18, "$lt": 30}}, '$lt in "age" is', RANGE_FORM),
    ({"age": {"$lt": 30, "$gte": 18}}, '$lt in "age" is', RANGE_FORM),  # key order, not written order
    (
        {"address": {"city": {"$ne": "Rome", "$eq": "Paris", "$gt": 1}}},
        '$ne in "address.city", $gt in "address.city" are',
        '{"address": {"city": {"$eq": "Paris"}}, "address.city.$ne": "Rome", "address.city.$gt": 1}',
    ),
    ({"age": {"$gte": 18}, "age.$lt": 30}, None, None),
    ({"age.$gte": 18, "name": {"$ne": "Bo"}}, None, None),
    ({"tags": {"$eq": {"$gt": 1, "$lt": 2}}}, None, None),  # an operand, not read as a query
    ({"address": {"city": "Paris", "zip": "1"}}, None, None),
]
UPDATES = [
    ({"age": {"$inc": 1, "$dec": 1}}, '$inc in "age" is', '{"age": {"$dec": 1}, "age.$inc": 1}'),
    ({"age": {"$dec": 1}, "age.$inc": 1}, None, None),
    ({"address": {"$set": {"a": {"$inc": 1, "$dec": 1}}}}, None, None),  # an operand
]


@pytest.mark.parametrize(
    "command_name, what, value, ignored, form",
    [(name, "QUERY_JSON", *case) for name in ("find", "count", "update") for case in QUERIES]
    + [("update", "UPDATE_JSON", *case) for case in UPDATES],
)
def test_nested_operators_beyond_the_first_are_named_once(quarn, db_path, command_name, what, value, ignored, form):
    objects = [json.dumps(value), '{"name": "Ada"}'] if what == "UPDATE_JSON" else [json.dumps(value)]
    if command_name == "update" and what == "QUERY_JSON":
        objects.insert(0, '{"name": "X"}')
    result = quarn(str(db_path), command_name, "users", *objects)
    assert result.returncode == 0
    warning = f"quarn: warning: {what}: a nested object uses only its first operator in key order, so {ignored} ignored; "
    warning += f"to use {'them' if str(ignored).endswith('are') else 'it'}, write {form}"
    assert without_trace(result.stderr.decode().splitlines()) == [warning][: ignored is not None]
    expected = Quarn(str(db_path)).find("users", value) if what == "QUERY_JSON" else None  # as the module reads it
    if command_name == "find":
        assert [json.loads(line) for line in result.stdout.decode().splitlines()] == expected
    elif command_name == "count":
        assert result.stdout.decode() == f"{len(expected)}\n"


@pytest.mark.parametrize(
    "args, status, message",
    [
        (["update", "users", "{}", "[]"], 2, "QUERY_JSON must be a JSON object, not an array"),
        (["find", "users", '"x"'], 2, "QUERY_JSON must be a JSON object, not a string"),
        (["find", "users", '{"a": NaN}'], 2, "QUERY_JSON: NaN is not valid JSON"),
        (["find", "users", '{"a": 1e999}'], 2, "QUERY_JSON: the number 1e999 is out of range"),
        (["find", "users", "--limit", "-1"], 2, "argument --limit: expected a whole number >= 0, got '-1'"),
        (["find"], 2, "the following arguments are required: COLLECTION"),
        (["remove", "users"], 2, "argument COMMAND: invalid choice: 'remove'"),
        (["find", "missing"], 1, "no collection 'missing' in "),
        (["update", "missing", "{}"], 1, "no collection 'missing' in "),
        (["find", "users", '{"age": {"$in": [1]}}'], 1, "PanicException: Unknown query operator found: $in"),
        (["find", "users", '{"name": {"$gt": 1}}'], 1, "ValueError: Malformed query, non-numeric value found for operator GreaterThan"),
        (["update", "users", '{"a": {"$gt": 1}}'], 1, "PanicException: "),
        (["update", "other", '{"a": 1}'], 1, "PanicException: "),
        (["insert", "users", "absent.json"], 1, "cannot read absent.json: No such file or directory"),
        (["insert", "users", "scalar.json"], 1, "scalar.json must hold a JSON object or an array of documents, not a number"),
        (["insert", "users", "bytes.json"], 1, "bytes.json is not UTF-8 text: invalid start byte at byte 2"),
        (["insert", "../escape", "one.json"], 1, "ValueError: Invalid collection name '../escape'"),
        (["insert", "users", "huge.json"], 1, "PanicException: "),
        (["delete", "missing", "{}"], 1, "no collection 'missing' in "),
        (["delete", "users"], 2, "the following arguments are required: QUERY_JSON"),
        (["delete", "other", "{}"], 1, "PanicException: "),
    ],
)
def test_errors_are_one_line_on_stderr(quarn, db_path, tmp_path, args, status, message):
    (tmp_path / "scalar.json").write_text("3")
    (tmp_path / "one.json").write_text('{"a": 1}')
    (tmp_path / "bytes.json").write_bytes(b'["\xff"]')
    (tmp_path / "huge.json").write_text('{"a": ' + "[" * 200 + "]" * 200 + "}")
    before = {path.name: path.read_bytes() for path in db_path.iterdir()}
    result = quarn(str(db_path), *args)
    assert result.returncode == status
    assert result.stdout == b""
    lines = without_trace(result.stderr.decode().splitlines())
    assert len(lines) == 1 and lines[0].startswith("quarn"), lines
    assert message in lines[0]
    assert {path.name: path.read_bytes() for path in db_path.iterdir()} == before


def where_json_fails(text):
    """Python's own words for the fault (they vary between versions) and its place."""
    # With the hooks the command passes, as PyPy's decoder words faults
    # differently when no hook is given.
    with pytest.raises(json.JSONDecodeError) as caught:
        json.loads(text, parse_constant=str, parse_float=float, parse_int=int)
    return f"is not valid JSON: {caught.value.msg} at line {caught.value.lineno}, column {caught.value.colno}"


@pytest.mark.parametrize(
    "args, text, what",
    [
        (["find", "users"], '{\n  "age": {"$gt": 1},\n}', "QUERY_JSON"),
        (["count", "users"], "{'a': 1}", "QUERY_JSON"),
        (["update", "users", "{}"], '{"a": 1', "QUERY_JSON"),
        (["update", "users"], '{"a":\n\n 1 2}', "UPDATE_JSON"),
        (["delete", "users"], '{"a": 1,}', "QUERY_JSON"),
        (["insert", "users", "bad.json"], "[\n    oops]", "bad.json"),
        (["insert", "users", "lines.json"], '{"a": 1}\n[{"a": 2}]\n', "lines.json"),  # JSON Lines: import reads them
    ],
)
def test_bad_json_says_where_it_fails(quarn, db_path, tmp_path, args, text, what):
    if what.endswith(".json"):
        (tmp_path / what).write_text(text)
    else:
        args = args + [text]
    result = quarn(str(db_path), *args)
    assert result.returncode == 2
    assert result.stdout == b""
    advice = f"; for JSON Lines (one document per line), use: quarn {shlex.quote(str(db_path))} import users lines.json --write"
    assert result.stderr.decode() == f"quarn: error: {what} {where_json_fails(text)}{advice * (what == 'lines.json')}\n"


@pytest.mark.parametrize("command_name", ["collections", "find"])
def test_a_missing_directory_is_not_created(quarn, tmp_path, command_name):
    args = [command_name] + (["users"] if command_name == "find" else [])
    result = quarn(str(tmp_path / "nowhere"), *args)
    assert result.returncode == 1
    assert result.stderr.decode().endswith("nowhere is not a database directory\n")
    assert not (tmp_path / "nowhere").exists()


def test_a_reader_that_stops_early_is_no_error(command, db_path):
    db = Quarn(str(db_path))
    db.insert_many("many", [{"n": n, "pad": "x" * 100} for n in range(5000)])
    db.write("many")
    process = subprocess.Popen(
        [*command, str(db_path), "find", "many"], stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=child_env()
    )
    assert json.loads(process.stdout.readline()) == {"n": 0, "pad": "x" * 100}
    process.stdout.close()
    assert process.wait(timeout=120) == 0
    assert process.stderr.read() == b""
    process.stderr.close()


def document_texts(path):
    """Each document's text in a collection file as quarn writes it: one compact array."""
    text, decoder, texts, at = path.read_text("utf-8"), json.JSONDecoder(), [], 1
    while text[at] != "]":
        _, end = decoder.raw_decode(text, at)
        texts.append(text[at:end])
        at = end + (text[end] == ",")
    return texts


@pytest.mark.parametrize("query", [{"age": {"$lt": 40}}, {"v": 1}, {"name": "Kim"}, {}, {"name": "nobody"}])
def test_delete_removes_what_find_matches_and_leaves_the_rest_as_it_was(quarn, db_path, tmp_path, query):
    db = Quarn(str(db_path))
    db.insert_many("users", [{"v": 1}, {"v": 1.0}, {"v": True}, {"v": 1}, {"name": "Kim"}])  # 1, 1.0 and true differ
    db.write("users")
    path = db_path / "users.json"
    os.chmod(path, 0o640)
    if os.geteuid() == 0:  # only root gives a file to another owner
        os.chown(path, 12345, 23456)
    before, texts = os.stat(path), document_texts(path)
    scratch, kept = Quarn(str(tmp_path / "scratch")), []
    for number, (document, text) in enumerate(zip(Quarn(str(db_path)).find("users"), texts)):
        scratch.insert_many(f"d{number}", [document])  # matched on its own, as the command must tell
        kept += [] if scratch.find(f"d{number}", query) else [text]
    assert ok(quarn(str(db_path), "delete", "users", json.dumps(query))) == f"{len(texts) - len(kept)}\n"
    assert path.read_text("utf-8") == "[" + ",".join(kept) + "]"  # byte for byte what was there
    after = os.stat(path)
    assert (after.st_mode & 0o777, after.st_uid, after.st_gid) == (0o640, before.st_uid, before.st_gid)
    assert sorted(os.listdir(db_path)) == ["other.json", "users.json"]
    assert (after.st_ino, after.st_mtime_ns) == (before.st_ino, before.st_mtime_ns) or len(kept) < len(texts)
