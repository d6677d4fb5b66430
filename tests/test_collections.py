import os

import pytest

from quarn import Quarn
from conftest import PanicException, raises_message, write_file


def test_create_collection_writes_keyed_form_once(db_dir):
    db = Quarn(str(db_dir))
    assert db.create_collection("users") is None
    assert (db_dir / "users.json").read_bytes() == b'{ "users":[] }'
    db.insert("users", {"a": 1})
    db.create_collection("users")  # exists: nothing happens, memory kept
    db.write("users")
    assert (db_dir / "users.json").read_bytes() == b'[{"a":1}]'


@pytest.mark.parametrize(
    "name, text",
    [
        ('say "hi"', b'{ "say \\"hi\\"":[] }'),
        ("back\\slash", b'{ "back\\\\slash":[] }'),
        ("tab\there", b'{ "tab\\there":[] }'),
        ("a.b", b'{ "a.b":[] }'),
        ("x.json", b'{ "x.json":[] }'),
    ],
)
def test_created_files_stay_valid_json_and_reopen(db_dir, name, text):
    Quarn(str(db_dir)).create_collection(name)
    assert (db_dir / (name + ".json")).read_bytes() == text
    assert name in Quarn(str(db_dir)).collections()


def test_create_collection_of_file_not_in_memory_does_not_load(db_dir):
    db = Quarn(str(db_dir))
    write_file(db_dir, "late.json", "[1]")
    db.create_collection("late")
    with pytest.raises(ValueError, match="^Collection 'late' not found in stored collections$"):
        db.write("late")
    assert (db_dir / "late.json").read_bytes() == b"[1]"


@pytest.mark.parametrize("method", ["create_collection", "drop_collection", "write", "insert", "insert_many"])
@pytest.mark.parametrize("name", ["", ".", "..", "../x", "a/b", "/etc/passwd", "nul\0byte"])
def test_names_that_leave_the_directory_are_refused(tmp_path, db_dir, method, name):
    (tmp_path / "x.json").write_bytes(b"[]")
    db = Quarn(str(db_dir))
    extra = {"insert": ({},), "insert_many": ([],)}.get(method, ())
    with pytest.raises(ValueError) as caught:
        getattr(db, method)(name, *extra)
    assert str(caught.value) == "Invalid collection name '" + name + "'"
    assert (tmp_path / "x.json").exists()
    assert sorted(os.listdir(db_dir)) == []


def test_drop_collection_forgets_memory_and_file(db_dir):
    db = Quarn(str(db_dir))
    db.insert("a", {"n": 1})
    assert db.drop_collection("a") is None
    assert not (db_dir / "a.json").exists()
    with pytest.raises(ValueError, match="not found in stored collections"):
        db.write("a")
    db.drop_collection("never-existed")


def test_collections_lists_json_entries_in_directory_order(db_dir):
    for name in ["a.json", "b.json", "notes.txt", "a.b.json"]:
        write_file(db_dir, name, "[]")
    (db_dir / "sub").mkdir()
    db = Quarn(str(db_dir))
    expected = [name[: -len(".json")] for name in os.listdir(db_dir) if name.endswith(".json")]
    assert db.collections() == expected


def test_collections_and_drop_all_without_directory(tmp_path):
    path = tmp_path / "db"
    db = Quarn(str(path))
    path.rmdir()
    with pytest.raises(FileNotFoundError):
        db.collections()
    with pytest.raises(PanicException):
        db.drop_all()


def test_drop_all_removes_collections_and_empty_directory(db_dir):
    db = Quarn(str(db_dir))
    db.insert_many("a", [1])
    db.create_collection("b")
    assert db.drop_all() is None
    assert not db_dir.exists()
    with pytest.raises(PanicException):
        db.drop_all()
    with pytest.raises(FileNotFoundError):
        db.create_collection("c")


def test_drop_all_keeps_foreign_files(db_dir):
    write_file(db_dir, "notes.txt", "keep")
    write_file(db_dir, "a.json", "[]")
    db = Quarn(str(db_dir))
    db.drop_all()
    assert sorted(os.listdir(db_dir)) == ["notes.txt"]


def test_write_all_writes_every_collection_and_reports_first_failure(db_dir):
    db = Quarn(str(db_dir))
    db.insert("good", {"a": 1})
    db.insert("bad", {"b": 2})
    os.unlink(db_dir / "bad.json")
    (db_dir / "bad.json").mkdir()
    with pytest.raises(OSError, match="^Error renaming file: Os { code: 21, kind: IsADirectory"):
        db.write_all()
    assert (db_dir / "good.json").read_bytes() == b'[{"a":1}]'
    (db_dir / "bad.json").rmdir()
    assert db.write_all() is None
    assert (db_dir / "bad.json").read_bytes() == b'[{"b":2}]'


def test_load_from_document_inserts_by_key_in_order(db_dir, tmp_path):
    source = tmp_path / "seed.json"
    source.write_text('{"b": [{"x": 1}, {"x": 2}], "a": {"y": 3}}')
    db = Quarn(str(db_dir))
    assert db.load_from_document(str(source)) is None
    db.write_all()
    assert (db_dir / "b.json").read_bytes() == b'[{"x":1},{"x":2}]'
    assert (db_dir / "a.json").read_bytes() == b'[{"y":3}]'


@pytest.mark.parametrize(
    "text, error",
    [
        ("[1, 2]", PanicException),
        ('{"ok": [], "../escape": []}', ValueError),
        ("{", ValueError),
    ],
)
def test_load_from_document_failures_change_nothing(db_dir, tmp_path, text, error):
    source = tmp_path / "seed.json"
    source.write_text(text)
    db = Quarn(str(db_dir))
    with pytest.raises(error):
        db.load_from_document(str(source))
    assert os.listdir(db_dir) == []
    assert not (tmp_path / "escape.json").exists()


def test_load_from_missing_document(db_dir):
    with raises_message(OSError, "Error opening document No such file or directory (os error 2)"):
        Quarn(str(db_dir)).load_from_document(str(db_dir / "missing.json"))


def test_non_utf8_collection_name_in_listing_panics(db_dir):
    db = Quarn(str(db_dir))
    with open(os.path.join(os.fsencode(str(db_dir)), b"\xff.json"), "wb") as handle:
        handle.write(b"[]")
    with pytest.raises(PanicException):
        db.collections()
    with pytest.raises(PanicException):
        db.drop_all()
    assert os.listdir(os.fsencode(str(db_dir))) == [b"\xff.json"]
