import json
import os
import signal
import subprocess
import sys
import tempfile
import textwrap
import time

import pytest
from hypothesis import given, settings, strategies as st

from quarn import Quarn
from conftest import PanicException, raises_message, write_file


def written(db, db_dir, name):
    db.write(name)
    return (db_dir / (name + ".json")).read_bytes()


def test_insert_many_appends_any_value_one_level_deep(db_dir):
    db = Quarn(str(db_dir))
    assert db.insert_many("c", [1, "s", None, [2, 3]]) is None
    assert db.insert("c", {"b": 1, "a": 2}) is None
    assert db.insert("c", {}) is None
    assert written(db, db_dir, "c") == b'[1,"s",null,[2,3],{"a":2,"b":1},{}]'


def test_insert_many_empty_creates_the_collection(db_dir):
    db = Quarn(str(db_dir))
    db.insert_many("c", [])
    assert (db_dir / "c.json").read_bytes() == b'{ "c":[] }'


@pytest.mark.parametrize(
    "method, value, message",
    [
        ("insert_many", ({"a": 1},), "argument 'documents': 'tuple' object cannot be converted to 'PyList'"),
        ("insert_many", {"a": 1}, "argument 'documents': 'dict' object cannot be converted to 'PyList'"),
        ("insert", [{"a": 1}], "argument 'document': 'list' object cannot be converted to 'PyDict'"),
    ],
)
def test_insert_argument_types(db_dir, method, value, message):
    with pytest.raises(TypeError) as caught:
        getattr(Quarn(str(db_dir)), method)("c", value)
    assert str(caught.value) == message


@pytest.mark.parametrize("bad", [{"k": b"bytes"}, {1: "int key"}, {"d": object()}, {"n": 2**64}])
def test_unconvertible_document_panics_and_creates_nothing(db_dir, bad):
    db = Quarn(str(db_dir))
    with pytest.raises(PanicException):
        db.insert("c", bad)
    with pytest.raises(PanicException):
        db.insert_many("c", [{"ok": 1}, bad])
    assert os.listdir(db_dir) == []


def test_insert_many_from_document(db_dir, tmp_path):
    source = tmp_path / "docs.json"
    source.write_text('[[1], {"z": true}]')
    db = Quarn(str(db_dir))
    db.insert_many_from_document("c", str(source))
    assert written(db, db_dir, "c") == b'[[1],{"z":true}]'
    source.write_text('{"c": []}')
    with raises_message(ValueError, "Document is not an array"):
        db.insert_many_from_document("d", str(source))
    assert not (db_dir / "d.json").exists()


def test_insert_loads_a_collection_that_is_only_on_disk(db_dir):
    db = Quarn(str(db_dir))
    write_file(db_dir, "late.json", '[{"old": 1}]')
    db.insert("late", {"new": 2})
    assert written(db, db_dir, "late") == b'[{"old":1},{"new":2}]'
    write_file(db_dir, "broken.json", "[")
    with raises_message(ValueError, "Error deserializing JSON"):
        db.insert("broken", {"x": 1})
    assert (db_dir / "broken.json").read_bytes() == b"["


DOCUMENTS = [
    {"b": 1, "a": [True, None], "n": -5, "big": 2**64 - 1, "f": 1.0, "tiny": 5e-324},
    {"s": 'x"y\\z\n\t\x01\x1f/é😀', "pi": 3.141592653589793, "neg0": -0.0, "e": 1e300},
    {"nested": {"deep": {"deeper": [1, 2.5, {"k": "v"}]}}, "empty": {}, "list": []},
]


def test_write_and_reopen_round_trip(db_dir):
    db = Quarn(str(db_dir))
    db.insert_many("docs", DOCUMENTS)
    text = written(db, db_dir, "docs")
    assert json.loads(text) == DOCUMENTS
    assert text.startswith(b'[{"a":[true,null],"b":1,"big":18446744073709551615,"f":1.0,"n":-5,"tiny":5e-324}')
    del db
    reopened = Quarn(str(db_dir))
    assert written(reopened, db_dir, "docs") == text


def test_deallocation_writes_nothing(db_dir):
    db = Quarn(str(db_dir))
    db.create_collection("c")
    db.insert("c", {"a": 1})
    del db
    assert (db_dir / "c.json").read_bytes() == b'{ "c":[] }'


def test_failed_write_keeps_old_file_and_leaves_no_temporary(db_dir):
    db = Quarn(str(db_dir))
    db.insert("c", {"v": 1})
    db.write("c")
    db.insert("c", {"v": 2})
    if os.geteuid() != 0:
        db_dir.chmod(0o555)
        try:
            with pytest.raises(OSError, match="^Problem creating temporary file: Os { code: 13, kind: PermissionDenied"):
                db.write("c")
        finally:
            db_dir.chmod(0o755)
    os.rename(db_dir / "c.json", db_dir / "saved")
    (db_dir / "c.json").mkdir()
    with pytest.raises(OSError, match="^Error renaming file: "):
        db.write("c")
    assert sorted(os.listdir(db_dir)) == ["c.json", "saved"]
    assert (db_dir / "saved").read_bytes() == b'[{"v":1}]'


def test_writes_never_touch_the_working_directory(db_dir, tmp_path, monkeypatch):
    work = tmp_path / "cwd"
    work.mkdir()
    monkeypatch.chdir(work)
    db = Quarn(str(db_dir))
    db.insert("c", {"a": 1})
    db.write("c")
    assert os.listdir(work) == []


class CallsBack(dict):
    """A dict whose keys() calls a method of the database while it converts."""

    def __init__(self, db, method):
        super().__init__(a=1)
        self.db, self.method, self.seen = db, method, None

    def keys(self):
        try:
            getattr(self.db, self.method)()
        except RuntimeError as error:
            self.seen = str(error)
        return super().keys()


@pytest.mark.parametrize(
    "method, message", [("collections", "Already mutably borrowed"), ("drop_all", "Already borrowed")]
)
def test_reentrant_call_during_insert_is_refused(db_dir, method, message):
    db = Quarn(str(db_dir))
    document = CallsBack(db, method)
    db.insert("c", document)
    assert document.seen == message
    assert written(db, db_dir, "c") == b'[{"a":1}]'


KILL_WRITER = textwrap.dedent(
    """
    import sys
    from quarn import Quarn
    db = Quarn(sys.argv[1])
    round = 0
    while True:
        round += 1
        db.insert_many("big", [{"round": round, "i": i, "pad": "x" * 40} for i in range(2000)])
        db.write("big")
        print(round, flush=True)
    """
)


def test_sigkill_while_writing_leaves_a_whole_file(db_dir):
    for attempt in range(8):
        child = subprocess.Popen(
            [sys.executable, "-c", KILL_WRITER, str(db_dir)], stdout=subprocess.PIPE, text=True
        )
        child.stdout.readline()
        time.sleep(0.02 + 0.013 * attempt)
        child.send_signal(signal.SIGKILL)
        child.wait()
        documents = json.loads((db_dir / "big.json").read_bytes())
        assert len(documents) % 2000 == 0 and documents
        rounds = {document["round"] for document in documents}
        assert rounds == set(range(1, max(rounds) + 1))
        temporaries = [name for name in os.listdir(db_dir) if ".tmp." in name]
        for name in temporaries:
            os.unlink(db_dir / name)


def nested_document(levels):
    """A document of levels nested containers, itself included."""
    value = 1
    for _ in range(levels - 1):
        value = [value]
    return {"k": value}


@pytest.mark.parametrize(
    "insert",
    [lambda db, document: db.insert("c", document), lambda db, document: db.insert_many("c", [document])],
    ids=["insert", "insert_many"],
)
def test_the_deepest_readable_document_inserts_by_either_method(db_dir, insert):
    # The list given to insert_many is not stored, so it adds no level.
    db = Quarn(str(db_dir))
    insert(db, nested_document(126))
    with pytest.raises(PanicException, match="nesting too deep"):
        insert(db, nested_document(127))
    db.write("c")
    assert Quarn(str(db_dir)).find("c") == [nested_document(126)]


@pytest.mark.parametrize("length", [200, 240, 250])
def test_a_collection_with_a_long_name_writes_and_reopens(db_dir, length):
    # 250 bytes and ".json" make the longest file name the system allows;
    # the temporary file beside it must fit too.
    name = "n" * length
    db = Quarn(str(db_dir))
    db.insert(name, {"a": 1})
    db.write(name)
    assert os.listdir(db_dir) == [name + ".json"]
    assert Quarn(str(db_dir)).find(name) == [{"a": 1}]


# Characters at the edges of str's storage widths (1, 2 and 4 bytes) and of
# UTF-8's sequence lengths; strings of up to 14 bytes are stored inline.
EDGE_CHARACTERS = "\x00\x1f\x7f\x80\xff\u0100\u07ff\u0800\ud7ff\ue000\uffff\U00010000\U0010ffff"
any_width_text = st.text(st.sampled_from(EDGE_CHARACTERS) | st.characters(blacklist_categories=("Cs",)), max_size=24)


@settings(max_examples=150, deadline=None)
@given(st.lists(any_width_text, max_size=6), any_width_text)
def test_strings_of_every_width_survive_find_write_and_reopen(texts, key):
    # Equality also checks that each str came back in its narrowest form.
    document = {key: texts, "nested": {text: text for text in texts}}
    with tempfile.TemporaryDirectory() as directory:
        db = Quarn(directory)
        db.insert_many("c", [document, *texts])
        assert db.find("c") == [document, *texts]
        db.write("c")
        assert Quarn(directory).find("c") == [document, *texts]
