"""Beside other writers: a stale copy never replaces another writer's file, a file's
permissions survive a write, leftovers of a dead writer never block one, and a
cached answer is only ever for the query asked."""
import json
import os
import subprocess
import sys
import textwrap

import pytest

from conftest import child_env
from quarn import Quarn
from test_cli import quarn_command

CHANGED = "Collection 's' changed on disk since it was read"


def other_quarn(db_dir):
    other = Quarn(str(db_dir))
    other.insert("s", {"by": "other"})
    other.write("s")


def other_process(db_dir):
    code = "from quarn import Quarn; d = Quarn(%r); d.insert('s', {'by': 'other'}); d.write('s')" % str(db_dir)
    subprocess.run([sys.executable, "-c", code], check=True, env=child_env(), timeout=60)


def command_line(db_dir):
    subprocess.run([*quarn_command(), str(db_dir), "insert", "s", "-"], input=b'{"by": "other"}', check=True,
                   env=child_env(), timeout=60, capture_output=True)


def editor_in_place(db_dir):
    with open(db_dir / "s.json", "r+") as handle:
        handle.truncate(0)
        handle.write('[{"by":"other"}]')


def editor_replacing(db_dir):
    (db_dir / "s.new").write_text('[{"by":"other"}]')
    os.replace(db_dir / "s.new", db_dir / "s.json")


OTHER_WRITERS = [other_quarn, other_process, command_line, editor_in_place, editor_replacing]


def starts(db_dir, how):
    """A's database, with s as A last saw it: loaded at open, or created by A."""
    if how == "created":
        db = Quarn(str(db_dir))
        db.insert("s", {"by": "a"})
        return db
    seed = Quarn(str(db_dir))
    seed.insert("s", {"by": "seed"})
    seed.write("s")
    db = Quarn(str(db_dir))
    if how == "changed":
        db.insert("s", {"by": "a"})
    return db


@pytest.mark.parametrize("other", OTHER_WRITERS)
@pytest.mark.parametrize("how, write", [("loaded", "write_all"), ("changed", "write"), ("changed", "write_all"),
                                        ("created", "write")])
def test_a_stale_copy_never_replaces_another_writers_file(db_dir, other, how, write):
    db = starts(db_dir, how)
    before = db.find("s")
    other(db_dir)
    on_disk = (db_dir / "s.json").read_bytes()
    with pytest.raises(ValueError) as caught:
        getattr(db, write)(*(["s"] if write == "write" else []))
    assert caught.value.args == (CHANGED,)
    notes = caught.value.__notes__
    assert notes[0] == "while writing %s" % (db_dir / "s.json") and "open the database again" in notes[1]
    assert (db_dir / "s.json").read_bytes() == on_disk and {"by": "other"} in json.loads(on_disk)
    assert sorted(os.listdir(db_dir)) == ["s.json"]
    assert db.find("s") == before
    # Opening again shows the other writer's documents, and writing goes on.
    again = Quarn(str(db_dir))
    assert {"by": "other"} in again.find("s")
    again.write("s")


def drop_other_file(db_dir):
    os.remove(db_dir / "s.json")


def write_other_collection(db_dir):
    other = Quarn(str(db_dir))
    other.insert("t", {"by": "other"})
    other.write("t")


@pytest.mark.parametrize("between", [None, drop_other_file, write_other_collection])
def test_one_writer_and_unrelated_changes_write_freely(db_dir, between):
    db = starts(db_dir, "changed")
    db.write("s")
    db.insert("s", {"n": 1})
    db.write_all()
    if between:
        between(db_dir)
    db.insert("s", {"n": 2})
    db.write("s")
    db.write_all()
    assert Quarn(str(db_dir)).find("s") == db.find("s")
    db.drop_collection("s")
    db.insert("s", {"n": 3})
    db.write("s")
    assert json.loads((db_dir / "s.json").read_text()) == [{"n": 3}]


@pytest.mark.parametrize("mode", [0o600, 0o640, 0o604])
def test_a_write_keeps_the_files_permissions(db_dir, mode):
    db = starts(db_dir, "changed")
    os.chmod(db_dir / "s.json", mode)
    owner = None
    if os.geteuid() == 0:
        owner = (4321, 4322)
        os.chown(db_dir / "s.json", *owner)
    db = Quarn(str(db_dir))
    db.insert("s", {"n": 1})
    db.write("s")
    status = os.stat(db_dir / "s.json")
    assert status.st_mode & 0o7777 == mode
    if owner:
        assert (status.st_uid, status.st_gid) == owner


def test_new_files_take_the_umask(db_dir):
    previous = os.umask(0o027)
    try:
        db = Quarn(str(db_dir))
        db.insert("s", {"n": 1})
        assert os.stat(db_dir / "s.json").st_mode & 0o777 == 0o640
        os.remove(db_dir / "s.json")
        db.write("s")
        assert os.stat(db_dir / "s.json").st_mode & 0o777 == 0o640
    finally:
        os.umask(previous)


# A process restarted with the id of one that was killed while writing finds
# the dead one's temporary files under the names it would pick first.
SAME_PROCESS_ID = textwrap.dedent(
    """
    import os, sys
    from quarn import Quarn
    directory = sys.argv[1]
    for name in ("s.json", "t.json"):
        for counter in range(8):
            open(os.path.join(directory, "%s.tmp.%d.%d" % (name, os.getpid(), counter)), "w").close()
    db = Quarn(directory)
    db.insert("s", {"n": 1})
    db.write("s")
    db.insert("t", {"n": 2})
    """
)


def test_a_dead_writers_leftovers_never_block_a_write(db_dir):
    subprocess.run([sys.executable, "-c", SAME_PROCESS_ID, str(db_dir)], check=True, env=child_env(), timeout=60)
    db = Quarn(str(db_dir))
    assert db.find("s") == [{"n": 1}] and db.find("t") == []


# Memory is bounded, so that reading a device without end fails the test
# quickly rather than filling the machine (but for AddressSanitizer, whose
# shadow memory alone is larger than any such bound).
READS_DEVICE = textwrap.dedent(
    """
    import os, resource, sys
    from quarn import Quarn
    if "asan" not in os.environ.get("LD_PRELOAD", ""):
        resource.setrlimit(resource.RLIMIT_AS, (2 << 30, 2 << 30))
    db = Quarn(sys.argv[1])
    method, path = sys.argv[2], sys.argv[3]
    try:
        db.insert_many_from_document("c", path) if method == "insert" else db.load_from_document(path)
    except ValueError as error:
        print(error.args[0], error.__notes__[0])
    """
)


@pytest.mark.parametrize("method", ["insert", "load"])
@pytest.mark.parametrize("device", ["/dev/zero", "/dev/urandom"])
def test_a_device_is_never_read_as_a_document(db_dir, method, device):
    result = subprocess.run([sys.executable, "-c", READS_DEVICE, str(db_dir), method, device], capture_output=True,
                            text=True, env=child_env(), timeout=60)
    assert result.stdout == "Error deserializing JSON while reading %s\n" % device, result.stderr


# 64-bit cache keys of these two queries on collection c collide (found by a
# collision search over the key's hashed bytes).
COLLIDING = (10964973437660667936, 8371550260820663967)


def test_colliding_queries_get_their_own_answers(db_dir):
    import _quarn_testing

    first, second = ({"a": number} for number in COLLIDING)
    assert _quarn_testing.cache_key("c", first) == _quarn_testing.cache_key("c", second)
    db = Quarn(str(db_dir))
    db.insert_many("c", [{"a": COLLIDING[0], "n": 0}, {"a": COLLIDING[1], "n": 1}])
    for _ in range(2):
        assert db.find("c", first) == [{"a": COLLIDING[0], "n": 0}]
        assert db.find("c", second) == [{"a": COLLIDING[1], "n": 1}]
