import errno
import json
import os

import pytest

from quarn import Quarn
from conftest import PanicException, raises_message, write_file


def test_missing_directory_is_created_and_empty(tmp_path):
    path = tmp_path / "new"
    Quarn(str(path))
    assert path.is_dir() and list(path.iterdir()) == []
    Quarn(str(path))


@pytest.mark.parametrize("relative", ["missing-parent/db", ""])
def test_uncreatable_directory_gives_empty_database(tmp_path, relative):
    path = str(tmp_path / relative) if relative else ""
    Quarn(path)
    if relative:
        assert not (tmp_path / "missing-parent").exists()


def test_regular_file_as_directory_fails_with_enotdir(tmp_path):
    path = tmp_path / "plain"
    path.write_bytes(b"keep me")
    with pytest.raises(OSError) as caught:
        Quarn(str(path))
    assert type(caught.value) is OSError
    assert str(caught.value) == os.strerror(errno.ENOTDIR) + " (os error 20)"
    assert caught.value.args == (str(caught.value),)
    assert path.read_bytes() == b"keep me"


@pytest.mark.skipif(os.geteuid() == 0, reason="root reads any directory")
def test_unlistable_directory_raises_permission_error(db_dir):
    db_dir.chmod(0)
    try:
        with pytest.raises(PermissionError):
            Quarn(str(db_dir))
    finally:
        db_dir.chmod(0o755)


def loaded(db, directory):
    """The collections db lists, with their documents found after the collection files
    are gone: what opening it loaded, not what a later find would read."""
    names = db.collections()
    for entry in directory.glob("*.json"):
        entry.unlink()
    return {name: db.find(name) for name in names}


@pytest.mark.parametrize(
    "files, collections",
    [
        ({"users.json": '[{"a": 1}]', "notes.txt": "not json at all"}, {"users": [{"a": 1}]}),
        ({"a.b.json": "[]", ".json": "garbage", "x.JSON": "garbage", "y.json.bak": "garbage"}, {"a.b": []}),
        ({"empty.json": "[]"}, {"empty": []}),
        ({"users.json": '{ "users":[] }'}, {"users": []}),
        ({"users.json": '{"other": 1, "users": [1, 2]}'}, {"users": [1, 2]}),
        ({"odd \"name\\.json": '{"odd \\"name\\\\": [3]}'}, {'odd "name\\': [3]}),
    ],
)
def test_opens_array_and_keyed_forms_and_skips_other_files(db_dir, files, collections):
    for name, text in files.items():
        write_file(db_dir, name, text)
    with_slash = Quarn(str(db_dir) + "/")
    assert loaded(Quarn(str(db_dir)), db_dir) == collections
    assert {name: with_slash.find(name) for name in collections} == collections


@pytest.mark.parametrize(
    "text",
    ["1", '"users"', "null", '{"other": []}', '{"users": {}}', '{"users": 1}', '{"Users": []}'],
)
def test_other_top_level_shapes_panic(db_dir, text):
    write_file(db_dir, "users.json", text)
    with pytest.raises(PanicException):
        Quarn(str(db_dir))


def test_unreadable_collection_fails_whatever_the_others_hold(db_dir):
    write_file(db_dir, "good.json", "[1, 2, 3]")
    write_file(db_dir, "bad.json", "[1, 2")
    with pytest.raises(ValueError) as caught:
        Quarn(str(db_dir))
    assert str(caught.value) == "Error deserializing JSON"


def test_directory_named_like_a_collection_fails_to_read(db_dir):
    (db_dir / "sub.json").mkdir()
    with raises_message(ValueError, "Error deserializing JSON"):
        Quarn(str(db_dir))


def test_non_utf8_collection_file_name_panics(db_dir):
    with open(os.path.join(os.fsencode(str(db_dir)), b"\xff.json"), "wb") as handle:
        handle.write(b"[]")
    with pytest.raises(PanicException):
        Quarn(str(db_dir))


def test_symlinked_database_directory(tmp_path, db_dir):
    write_file(db_dir, "users.json", "[1]")
    link = tmp_path / "link"
    link.symlink_to(db_dir)
    assert loaded(Quarn(str(link)), db_dir) == {"users": [1]}


ACCEPTED = [
    "[]",
    " \t\r\n[1]\n",
    '[{"a": [true, false, null], "b": -1.5e3, "c": "\\u00e9\\ud83d\\ude00"}]',
    "[" * 127 + "]" * 127,
    '[{"k": 1, "k": 2}]',
    '["\\u0000"]',
    "[1e-400]",
]
REJECTED = [
    "",
    "[1] x",
    "[1,]",
    "[01]",
    "[+1]",
    "[1e400]",
    '["\\ud800"]',
    '["a\tb"]',
    "[" * 128 + "]" * 128,
    b"[\"\xc3\x28\"]",
    b"[\"\xed\xa0\x80\"]",
    "\u00a0[]",
]


@pytest.mark.parametrize("text", ACCEPTED)
def test_reading_accepts(db_dir, text):
    write_file(db_dir, "c.json", text)
    # Python's own reader as the reference: it too keeps the last of repeated keys.
    assert loaded(Quarn(str(db_dir)), db_dir) == {"c": json.loads(text)}


@pytest.mark.parametrize("text", REJECTED)
def test_reading_rejects(db_dir, text):
    write_file(db_dir, "c.json", text)
    with raises_message(ValueError, "Error deserializing JSON"):
        Quarn(str(db_dir))
