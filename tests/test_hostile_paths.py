"""Collection names and database paths that try to reach outside the database
directory, special files in it, a database directory behind a symbolic link,
and the permissions of the files written."""

import errno
import json
import os
import stat
import subprocess
import sys
import textwrap

import pytest

from conftest import PanicException, raises_message
from quarn import Quarn

# Names that would leave the directory, or name it or its parent: refused.
REFUSED = [
    "", ".", "..", "/", "//", "/etc/passwd", "/tmp/quarn-escape", "../sentinel", "../escape", "a/../../escape",
    "./x", "x/", "x/..", "sub/x", "../../../../../../../../tmp/quarn-escape", "a\0b", "\0", "..\0",
]

# Odd but harmless names: each is one file inside the directory and round-trips.
ACCEPTED = [
    "con", "nul", "aux", "prn", "com1", "lpt1", "CON.json", "null", "zero", "stdin", "...", ".hidden",
    " ", "\t", "a\nb", "\r\n", "x.json", "-rf", "~", "~root", "$HOME", "*", "?", "\\", "..\\..\\escape",
    '"', "'", "ü", "\u202e", "a" * 250, "%s%n", "x.json.tmp.1.1",
]

# Longer than a file name may be: refused by the system, nothing created.
TOO_LONG = ["a" * 251, "a" * 5000]


def tree(root, skip):
    """Everything below root except skip: path, kind, mode and contents."""
    found = {}
    for directory, subdirectories, files in os.walk(root, followlinks=False):
        if os.path.abspath(directory) == os.path.abspath(skip):
            subdirectories[:] = []
            continue
        for name in subdirectories + files:
            path = os.path.join(directory, name)
            if os.path.abspath(path) == os.path.abspath(skip):
                continue
            status = os.lstat(path)
            contents = None
            if stat.S_ISREG(status.st_mode):
                with open(path, "rb") as handle:
                    contents = handle.read()
            found[os.path.relpath(path, root)] = (stat.S_IFMT(status.st_mode), status.st_mode, contents)
    return found


@pytest.fixture
def fenced(tmp_path):
    """A database directory inside a parent holding a sentinel file and a sibling
    directory; yields the database directory and a check that nothing outside it
    changed."""
    parent = tmp_path / "parent"
    db_dir = parent / "db"
    db_dir.mkdir(parents=True)
    (parent / "sentinel").write_text("[1]")
    (parent / "sentinel.json").write_text("[2]")
    (parent / "sibling").mkdir()
    (parent / "sibling" / "x.json").write_text("[3]")
    before = tree(str(parent), str(db_dir))

    def unchanged_outside():
        assert tree(str(parent), str(db_dir)) == before
        assert not os.path.exists("/tmp/quarn-escape.json") and not os.path.exists("/etc/passwd.json")

    yield db_dir, unchanged_outside
    unchanged_outside()


def every_named_call(db, name, document_path, load_path):
    """Each method that takes a collection name, with name; the outcomes in order."""
    calls = [
        lambda: db.create_collection(name),
        lambda: db.insert(name, {"a": 1}),
        lambda: db.insert_many(name, [{"b": 2}]),
        lambda: db.insert_many_from_document(name, document_path),
        lambda: db.find(name),
        lambda: db.find(name, {"a": 1}),
        lambda: db.update(name, {"a": 5}),
        lambda: db.write(name),
        lambda: db.load_from_document(load_path),
        lambda: db.write_all(),
        lambda: db.drop_collection(name),
    ]
    outcomes = []
    for call in calls:
        try:
            call()
            outcomes.append(None)
        except BaseException as error:  # noqa: B036 - PanicException included
            outcomes.append(error)
    return outcomes


def documents_file(tmp_path, name):
    document_path = tmp_path / "documents.json"
    document_path.write_text('[{"c": 3}]')
    load_path = tmp_path / "load.json"
    load_path.write_text(json.dumps({name: [{"d": 4}]}))
    return str(document_path), str(load_path)


@pytest.mark.parametrize("name", REFUSED, ids=repr)
def test_names_that_leave_the_directory_are_refused(fenced, tmp_path, name):
    db_dir, unchanged_outside = fenced
    db = Quarn(str(db_dir))
    outcomes = every_named_call(db, name, *documents_file(tmp_path, name))
    for outcome in outcomes[:-2] + outcomes[-1:]:  # write_all has no name to refuse
        assert isinstance(outcome, ValueError) and str(outcome) == "Invalid collection name '%s'" % name
    assert outcomes[-2] is None
    assert os.listdir(db_dir) == []
    unchanged_outside()


@pytest.mark.parametrize("name", ACCEPTED, ids=repr)
def test_odd_names_stay_one_file_inside_the_directory(fenced, tmp_path, name, capfd):
    db_dir, unchanged_outside = fenced
    db = Quarn(str(db_dir))
    document_path, load_path = documents_file(tmp_path, name)
    db.create_collection(name)
    assert os.listdir(db_dir) == [name + ".json"]
    db.insert(name, {"a": 1})
    db.insert_many_from_document(name, document_path)
    db.load_from_document(load_path)
    db.update(name, {"a": 5})
    db.write(name)
    db.write_all()
    assert os.listdir(db_dir) == [name + ".json"]
    reopened = Quarn(str(db_dir))
    assert reopened.collections() == [name]
    assert reopened.find(name) == [{"a": 5}, {"c": 3}, {"d": 4}]
    reopened.drop_collection(name)
    assert os.listdir(db_dir) == []
    unchanged_outside()
    capfd.readouterr()


@pytest.mark.parametrize("name", TOO_LONG, ids=len)
def test_names_too_long_for_a_file_create_nothing(fenced, tmp_path, name):
    db_dir, unchanged_outside = fenced
    db = Quarn(str(db_dir))
    with raises_message(OSError, "File name too long (os error %d)" % errno.ENAMETOOLONG):
        db.create_collection(name)
    with pytest.raises(PanicException):
        db.insert(name, {"a": 1})  # the collection cannot be created
    with pytest.raises(ValueError, match="not found on disk"):
        db.find(name)
    with pytest.raises(ValueError, match="not found in stored collections"):
        db.write(name)
    db.drop_collection(name)
    assert os.listdir(db_dir) == []
    unchanged_outside()


def test_a_name_that_is_not_utf8_is_refused_by_the_encoding(fenced):
    db_dir, unchanged_outside = fenced
    db = Quarn(str(db_dir))
    for call in (lambda: db.create_collection("\ud800"), lambda: db.insert("\udcff", {})):
        with pytest.raises(UnicodeEncodeError):
            call()
    assert os.listdir(db_dir) == []


def test_a_dangling_link_in_the_directory_does_not_create_its_target(fenced):
    db_dir, unchanged_outside = fenced
    target = db_dir.parent / "created-through-link.json"
    db = Quarn(str(db_dir))
    os.symlink(str(target), str(db_dir / "c.json"))
    with raises_message(OSError, "%s (os error %d)" % (os.strerror(errno.ELOOP), errno.ELOOP)):
        db.create_collection("c")
    with pytest.raises(PanicException):
        db.insert("c", {"a": 1})
    assert not os.path.lexists(str(target))
    db.drop_collection("c")  # removes the link, not what it names
    assert os.listdir(db_dir) == []


def test_a_link_to_a_file_outside_is_replaced_not_written_through(fenced):
    db_dir, unchanged_outside = fenced
    outside = db_dir.parent / "sentinel.json"
    os.symlink(str(outside), str(db_dir / "c.json"))
    db = Quarn(str(db_dir))  # reads the file the link names
    assert db.find("c") == [2]
    db.insert_many("c", [5])
    db.write("c")  # the link is replaced by the collection's own file
    assert not os.path.islink(str(db_dir / "c.json"))
    assert json.loads((db_dir / "c.json").read_text()) == [2, 5]
    db.drop_collection("c")
    assert os.listdir(db_dir) == []


FIFO_CHILD = textwrap.dedent(
    """
    import sys
    from quarn import Quarn
    try:
        Quarn(sys.argv[1])
        print("opened")
    except ValueError as error:
        print(error)
    """
)


def test_a_fifo_in_the_directory_does_not_hang_opening(fenced):
    """Opening blocks with the interpreter lock held, so it is tried in a child."""
    db_dir, unchanged_outside = fenced
    os.mkfifo(str(db_dir / "pipe.json"))
    try:
        child = subprocess.run([sys.executable, "-c", FIFO_CHILD, str(db_dir)], stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, text=True, timeout=30)
    except subprocess.TimeoutExpired:
        pytest.fail("opening a database holding a FIFO blocked")
    assert child.stdout == "Error deserializing JSON\n", child.stderr
    os.unlink(str(db_dir / "pipe.json"))


def test_a_database_directory_behind_a_symbolic_link_works(tmp_path):
    real = tmp_path / "real"
    real.mkdir()
    link = tmp_path / "link"
    os.symlink(str(real), str(link))
    db = Quarn(str(link))
    db.insert("c", {"a": 1})
    db.write("c")
    db.create_collection("d")
    assert sorted(os.listdir(real)) == ["c.json", "d.json"]
    reopened = Quarn(str(link) + "/")
    assert sorted(reopened.collections()) == ["c", "d"]
    assert reopened.find("c") == [{"a": 1}]
    reopened.drop_all()
    assert os.path.islink(str(link)) and os.listdir(real) == []


UMASK_CHILD = textwrap.dedent(
    """
    import os, stat, sys
    from quarn import Quarn
    os.umask(int(sys.argv[2], 8))
    directory = os.path.join(sys.argv[1], "db")
    db = Quarn(directory)  # created here, under the mask
    db.create_collection("created")
    db.insert("written", {"a": 1})
    db.write("written")
    modes = [stat.S_IMODE(os.stat(path).st_mode) for path in
             (directory, os.path.join(directory, "created.json"), os.path.join(directory, "written.json"))]
    print(" ".join(oct(mode) for mode in modes))
    """
)


@pytest.mark.parametrize("umask, expected", [("022", "0o755 0o644 0o644"), ("077", "0o700 0o600 0o600"),
                                             ("002", "0o775 0o664 0o664")])
def test_files_written_follow_the_process_umask(tmp_path, umask, expected):
    child = subprocess.run([sys.executable, "-c", UMASK_CHILD, str(tmp_path), umask],
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, timeout=60)
    assert child.returncode == 0, child.stderr
    assert child.stdout.split() == expected.split()


@pytest.mark.parametrize("kind", ["nul", "too long", "device", "fifo", "regular file"])
def test_hostile_database_paths_create_nothing(fenced, monkeypatch, kind):
    db_dir, unchanged_outside = fenced
    monkeypatch.chdir(db_dir)  # where a relative path would land
    if kind == "fifo":
        os.mkfifo("pipe")
    if kind == "regular file":
        with open("plain", "w") as handle:
            handle.write("[]")
    path = {"nul": "a\0b", "too long": "x" * 5000, "device": "/dev/null", "fifo": "pipe",
            "regular file": "plain"}[kind]
    before = sorted(os.listdir("."))
    try:
        db = Quarn(path)
    except OSError as error:
        assert kind in ("device", "fifo", "regular file")
        assert str(error) == "Not a directory (os error %d)" % errno.ENOTDIR
    else:
        assert kind in ("nul", "too long")  # no directory there, so an empty database
        with pytest.raises(PanicException):
            db.insert("c", {"a": 1})  # the collection file cannot be created
        with pytest.raises(ValueError, match="not found on disk"):
            db.find("c")
        with pytest.raises(OSError):
            db.collections()
        with pytest.raises(PanicException):
            db.drop_all()
    assert sorted(os.listdir(".")) == before
    assert os.path.exists("/dev/null") and not os.path.isfile("/dev/null")
