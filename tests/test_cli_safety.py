"""What quarn import, export and delete do to files that are not theirs, and to a
database when they are killed, interrupted or raced by another writer."""
import fcntl
import json
import os
import stat
import subprocess
import sys
import textwrap
import time

import pytest

from quarn import Quarn
from conftest import child_env
from test_cli import DOCS, command, db_path, ok, quarn  # noqa: F401 - fixtures
from test_cli_io import NEW, as_jsonl

# Runs the command with the NTH call of CALL (a method of the quarn module, or
# fsync of a directory) taken over; its arguments are CALL, NTH, ACTIONS and the
# command's own. Actions: kill (SIGKILL before the call), other (another writer
# adds {"other": 1} to the collection before it), fail (an I/O error instead of
# it), interrupt (SIGINT as it returns, where a signal during a call of the
# module takes effect).
HOOK = textwrap.dedent(
    """
    import errno, os, signal, stat, sys
    import quarn, quarn_cli
    call, nth, actions, args = sys.argv[1], int(sys.argv[2]), sys.argv[3].split(","), sys.argv[4:]
    Real, calls = quarn.Quarn, []

    def hooked(function):
        def run(*arguments):
            calls.append(call)
            if len(calls) != nth:
                return function(*arguments)
            if "kill" in actions:
                os.kill(os.getpid(), signal.SIGKILL)
            if "other" in actions:
                other = Real(args[0])
                other.insert_many(args[2], [{"other": 1}])
                other.write(args[2])
            if "fail" in actions:
                raise OSError(errno.EIO, os.strerror(errno.EIO))
            result = function(*arguments)
            if "interrupt" in actions:
                os.kill(os.getpid(), signal.SIGINT)
            return result
        return run

    class Hooked:
        def __init__(self, directory):
            self.real = Real(directory)
        def __getattr__(self, name):
            value = getattr(self.real, name)
            return hooked(value) if name == call else value

    quarn.Quarn = Hooked
    fsync = os.fsync
    if call == "fsync":
        hooked_fsync = hooked(fsync)
        os.fsync = lambda fd: hooked_fsync(fd) if stat.S_ISDIR(os.fstat(fd).st_mode) else fsync(fd)
    sys.exit(quarn_cli.main(args))
    """
)


def hooked(tmp_path, call, nth, actions, *args):
    return subprocess.run([sys.executable, "-c", HOOK, call, str(nth), actions, *args],
                          capture_output=True, cwd=str(tmp_path), env=child_env(), timeout=120)


def age(directory):
    old = time.time() - 120
    for name in os.listdir(directory):
        os.utime(directory / name, (old, old), follow_symlinks=False)


# Export ---------------------------------------------------------------------


@pytest.mark.parametrize("kind", ["fifo", "device"])
def test_export_writes_a_fifo_or_a_device_in_place(quarn, db_path, tmp_path, kind):
    target = tmp_path / "target"
    if kind == "fifo":
        os.mkfifo(target)
        reader = os.open(target, os.O_RDONLY | os.O_NONBLOCK)  # so that the export's open finds a reader
    else:
        try:
            os.mknod(target, stat.S_IFCHR | 0o666, os.makedev(1, 3))  # a second /dev/null
        except PermissionError:
            pytest.skip("device nodes cannot be made here")
    assert ok(quarn(str(db_path), "export", "users", "-o", "target")) == "4\n"
    mode = os.lstat(target).st_mode
    assert stat.S_ISFIFO(mode) if kind == "fifo" else stat.S_ISCHR(mode)
    if kind == "fifo":
        data = os.read(reader, 1 << 16)
        os.close(reader)
        assert [json.loads(line) for line in data.splitlines()] == DOCS


@pytest.mark.parametrize(
    "target, form, message",
    [
        ("db/users.json", "jsonl", "it is the file of collection 'users' in "),
        ("alias", "json", "it is the file of collection 'users' in "),  # a hard link to it
        ("db/new.json", "jsonl", "it would be the file of collection 'new' in "),
        ("link/new.json", "json", "it would be the file of collection 'new' in "),  # a link to the directory
    ],
)
def test_export_refuses_a_file_of_the_database(quarn, db_path, tmp_path, target, form, message):
    os.link(db_path / "users.json", tmp_path / "alias")
    os.symlink("db", tmp_path / "link")
    before = {name: (db_path / name).read_bytes() for name in os.listdir(db_path)}
    result = quarn(str(db_path), "export", "users", "--format", form, "-o", target)
    assert result.returncode == 2 and result.stdout == b""
    assert result.stderr.decode() == f"quarn: error: cannot write {target}: {message}{db_path}\n"
    assert {name: (db_path / name).read_bytes() for name in os.listdir(db_path)} == before
    assert os.path.samefile(tmp_path / "alias", db_path / "users.json")


@pytest.mark.parametrize("mode, owner", [(0o600, None), (0o751, None), (0o640, (12345, 23456))])
def test_export_keeps_the_permissions_and_owner_of_the_file_it_replaces(quarn, db_path, tmp_path, mode, owner):
    out = tmp_path / "out"
    out.write_text("old")
    os.chmod(out, mode)
    if owner is not None:
        if os.geteuid() != 0:
            pytest.skip("only root gives a file to another owner")
        os.chown(out, *owner)
    mask = os.umask(0o022)
    try:
        assert ok(quarn(str(db_path), "export", "users", "-o", "out")) == "4\n"
    finally:
        os.umask(mask)
    status = out.stat()
    assert stat.S_IMODE(status.st_mode) == mode and out.read_text() != "old"
    assert (status.st_uid, status.st_gid) == (owner or (os.geteuid(), os.getegid()))


def test_export_removes_only_its_own_abandoned_temporary_files(quarn, db_path, tmp_path):
    kept = [".out.young123.tmp", ".out.locked12.tmp", ".out.abcdefgh.tmp.x", ".out.abcdefg.tmp",
            ".other.abcdefgh.tmp", "out.abcdefgh.tmp", ".out.dir12345.tmp", ".out.link1234.tmp"]
    for name in [".out.abcdefgh.tmp"] + kept[1:6]:
        (tmp_path / name).write_text("left")
    (tmp_path / ".out.dir12345.tmp").mkdir()
    os.symlink("out.abcdefgh.tmp", tmp_path / ".out.link1234.tmp")
    age(tmp_path)
    (tmp_path / ".out.young123.tmp").write_text("left")
    with open(tmp_path / ".out.locked12.tmp") as held:
        fcntl.flock(held, fcntl.LOCK_EX)
        assert ok(quarn(str(db_path), "export", "users", "-o", "out")) == "4\n"
    assert sorted(os.listdir(tmp_path)) == sorted(kept + ["db", "out"])


def test_export_holds_an_flock_on_its_temporary_file(db_path, tmp_path, monkeypatch):
    import quarn_cli
    import quarn_io

    encode, seen = quarn_io.encode_all, []

    def encode_and_look(documents, form):
        for piece in encode(documents, form):
            for name in os.listdir(tmp_path):
                if name.startswith(".out."):
                    with open(tmp_path / name) as other:
                        try:
                            fcntl.flock(other, fcntl.LOCK_EX | fcntl.LOCK_NB)
                            seen.append("free")
                        except BlockingIOError:
                            seen.append("held")
            yield piece

    monkeypatch.setattr(quarn_io, "encode_all", encode_and_look)
    assert quarn_cli.main([str(db_path), "export", "users", "-o", str(tmp_path / "out")]) == 0
    assert seen and set(seen) == {"held"}


# Import ---------------------------------------------------------------------


WRITTEN_ANYWAY = "interrupted, but only after the documents were written"


@pytest.mark.parametrize(
    "collection, call, nth, actions, status, said, kept",
    [
        # killed before the new collection's file was complete: no file at all
        ("fresh", "insert_many", 2, "kill", -9, "", None),
        ("fresh", "write", 1, "kill", -9, "", None),
        # the directory cannot be synced once the file is in place: it is taken away again
        ("fresh", "fsync", 1, "fail", 1, "cannot write fresh: OSError", None),
        # another process creates the collection while the input is read, then a batch is refused
        ("fresh", "insert_many", 2, "other", 1, "line 2: the batch starting here was refused", [{"other": 1}]),
        # ... or just before the import's own file would appear
        ("fresh", "write", 1, "other", 1, "appeared during the import", [{"other": 1}]),
        # ... or writes into the file the import put in place, whose directory then cannot be synced
        ("fresh", "fsync", 1, "other,fail", 1, "changed after this import put it there", NEW + [{"other": 1}]),
        # an interrupt while the documents are written: they are, and the command says so
        ("users", "write", 1, "interrupt", 0, WRITTEN_ANYWAY, DOCS + NEW),
        ("fresh", "write", 1, "interrupt", 0, WRITTEN_ANYWAY, NEW),
    ],
)
def test_an_import_leaves_whole_files_and_says_what_it_did(
    quarn, db_path, tmp_path, collection, call, nth, actions, status, said, kept
):
    lines = [json.dumps(document) for document in NEW]
    if actions == "other" and call == "insert_many":
        lines[1] = '{"a": ' + "[" * 200 + "]" * 200 + "}"  # too deep for quarn
    (tmp_path / "new.jsonl").write_text("\n".join(lines) + "\n")
    (tmp_path / "later.jsonl").write_bytes(as_jsonl(NEW))
    before = set(os.listdir(db_path))
    args = [str(db_path), "import", collection, "new.jsonl", "--batch", "1", "--write"]
    result = hooked(tmp_path, call, nth, actions, *args)
    assert result.returncode == status and said in result.stderr.decode(), result.stderr
    assert result.stdout == (b"3\n" if status == 0 else b"")
    if kept is None:
        assert collection not in Quarn(str(db_path)).collections()
    else:
        assert Quarn(str(db_path)).find(collection) == kept
    age(db_path)  # what a killed import left is old now: the next import of a new collection removes it
    assert ok(quarn(str(db_path), "import", "later", "later.jsonl", "--write")) == "3\n"
    assert set(os.listdir(db_path)) == before | {"later.json"} | ({f"{collection}.json"} if kept else set())


# Delete and import --replace: another writer's change is never lost -----------


DELETE, CHANGED = ["delete", '{"age": {"$lt": 40}}'], "Collection 'users' changed on disk since "
REFUSED, OTHERS = CHANGED + "it was read; nothing was deleted", DOCS + [{"other": 1}]


@pytest.mark.parametrize(
    "command_args, call, nth, actions, status, said, kept",
    [
        # another writer changes the file before the database reads it, or after
        (DELETE, "find", 1, "other", 1, REFUSED, OTHERS),
        (DELETE, "find", 2, "other", 1, REFUSED, OTHERS),
        (["import", "new.jsonl", "--write", "--replace"], "insert_many", 1, "other", 1,
         CHANGED + "the import began; it is left as it is and nothing was written", OTHERS),
        # killed while the new file is written: the old one stays whole
        (DELETE, "write", 1, "kill", -9, "", DOCS),
        # interrupted while it is put in place: it is, and the command says so
        (DELETE, "write", 1, "interrupt", 0, "only after the documents were deleted", [DOCS[2], DOCS[3]]),
    ],
)
def test_delete_and_replace_never_lose_another_writers_change(
    quarn, db_path, tmp_path, command_args, call, nth, actions, status, said, kept
):
    (tmp_path / "new.jsonl").write_bytes(as_jsonl(NEW))
    before = set(os.listdir(db_path))
    args = [str(db_path), command_args[0], "users", *command_args[1:]]
    result = hooked(tmp_path, call, nth, actions, *args)
    assert result.returncode == status and said in result.stderr.decode(), result.stderr
    assert Quarn(str(db_path)).find("users") == kept
    age(db_path)  # what a killed delete left is old now: the next one removes it
    assert ok(quarn(str(db_path), "delete", "users", '{"name": "Kim"}')) == "1\n"
    assert set(os.listdir(db_path)) == before
