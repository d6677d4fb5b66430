"""What the store does when the files under it misbehave: special files among
the collection files, creation racing another writer or a full disk, drops
that cannot remove the file, and temporary files left by killed writers."""

import os
import subprocess
import sys
import textwrap

import pytest

from conftest import child_env

# Opens the database in argv[1] (or finds collection argv[2] in it when given)
# and prints what happened; run in a child, since a regression would block.
OPEN_CHILD = textwrap.dedent(
    """
    import sys
    from quarn import Quarn
    try:
        db = Quarn(sys.argv[1])
        if len(sys.argv) > 2:
            db.find(sys.argv[2])
        print("opened")
    except ValueError as error:
        print(error)
    """
)


def run_child(code, *args, timeout=30):
    try:
        return subprocess.run([sys.executable, "-c", code, *map(str, args)], stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, text=True, timeout=timeout, env=child_env())
    except subprocess.TimeoutExpired:
        pytest.fail("the child blocked")


@pytest.mark.parametrize("load", ["on opening", "on demand"])
@pytest.mark.parametrize("special", ["fifo with a writer", "link to /dev/zero", "link to a directory"])
def test_only_regular_files_are_read_as_collections(tmp_path, special, load):
    db_dir = tmp_path / "db"
    db_dir.mkdir()
    path = db_dir / "c.json"
    writer = None
    if special == "fifo with a writer":
        os.mkfifo(str(path))
        writer = os.open(str(path), os.O_RDWR | os.O_NONBLOCK)  # holds it open, never writes
    elif special == "link to /dev/zero":
        os.symlink("/dev/zero", str(path))
    else:
        (tmp_path / "elsewhere").mkdir()
        os.symlink(str(tmp_path / "elsewhere"), str(path))
    try:
        if load == "on opening":
            child = run_child(OPEN_CHILD, db_dir)
        else:
            os.rename(str(path), str(tmp_path / "aside"))
            child = run_child(OPEN_CHILD.replace("db = Quarn(sys.argv[1])",
                                                 "db = Quarn(sys.argv[1]); import os; "
                                                 "os.rename(sys.argv[3], sys.argv[4])"),
                              db_dir, "c", tmp_path / "aside", path)
    finally:
        if writer is not None:
            os.close(writer)
    assert child.stdout == "Error deserializing JSON\n", child.stderr


# ---- Creation leaves a whole file or none ----

# Runs in a child: with a file size limit below the initial text, creation fails
# part-way (EFBIG; SIGXFSZ ignored so the process is not killed).
CREATE_UNDER_LIMIT = textwrap.dedent(
    """
    import json, os, resource, signal, sys
    from quarn import Quarn
    directory = sys.argv[1]
    db = Quarn(directory)
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (4, resource.RLIM_INFINITY))
    outcome = []
    for create in (lambda: db.create_collection("c"), lambda: db.insert("c", {"a": 1})):
        try:
            create()
            outcome.append("created")
        except BaseException as error:
            outcome.append([type(error).__name__, str(error)])
    outcome.append(sorted(os.listdir(directory)))
    resource.setrlimit(resource.RLIMIT_FSIZE, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
    print(json.dumps(outcome))
    """
)


def test_a_failed_creation_leaves_no_file_and_the_database_opens(db_dir):
    import errno
    import json

    from quarn import Quarn

    child = run_child(CREATE_UNDER_LIMIT, db_dir)
    assert child.returncode == 0, child.stderr
    created, inserted, entries = json.loads(child.stdout)
    reason = "File too large (os error %d)" % errno.EFBIG
    assert created == ["OSError", reason]
    assert inserted == ["PanicException", "collection 'c' could not be created: " + reason]
    assert entries == []
    db = Quarn(str(db_dir))
    assert db.collections() == []
    db.insert("c", {"a": 1})  # and works once there is room
    assert db.find("c") == [{"a": 1}]


# ---- Drops that cannot remove the file say so ----

# Runs in a child in a private mount namespace, in a tmpfs mounted at argv[1]
# that it turns read-only once the collections are written.
DROP_ON_READ_ONLY = textwrap.dedent(
    """
    import json, os, subprocess, sys
    from quarn import Quarn
    directory = os.path.join(sys.argv[1], "db")
    db = Quarn(directory)
    for name in ("a", "b"):
        db.insert(name, {"name": name})
        db.write(name)
    subprocess.run(["mount", "-o", "remount,ro", sys.argv[1]], check=True)
    outcome = []
    for drop in (lambda: db.drop_collection("a"), db.drop_all):
        try:
            drop()
            outcome.append("dropped")
        except OSError as error:
            outcome.append([type(error).__name__, str(error)])
    outcome.append([db.find("a"), db.find("b"), sorted(os.listdir(directory))])
    outcome.append(sorted(Quarn(directory).collections()))
    print(json.dumps(outcome))
    """
)


def test_a_drop_that_cannot_remove_the_file_raises_and_keeps_the_collection():
    import errno
    import json
    import shutil
    import tempfile

    if shutil.which("unshare") is None:
        pytest.skip("needs unshare for a private read-only mount")
    mount_point = tempfile.mkdtemp()
    try:
        script = 'mount -t tmpfs -o size=1m quarn "$1" && exec "$2" -c "$3" "$1"'
        child = subprocess.run(["unshare", "-Urm", "sh", "-c", script, "sh", mount_point, sys.executable,
                                DROP_ON_READ_ONLY], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                               timeout=60, env=child_env())
    finally:
        os.rmdir(mount_point)
    if child.returncode != 0 and "quarn" not in child.stderr and "Traceback" not in child.stderr:
        pytest.skip("no private mounts here: " + child.stderr.strip())
    assert child.returncode == 0, child.stderr
    read_only = ["OSError", "Read-only file system (os error %d)" % errno.EROFS]
    dropped_one, dropped_all, (found_a, found_b, entries), reopened = json.loads(child.stdout)
    assert dropped_one == read_only and dropped_all == read_only
    assert found_a == [{"name": "a"}] and found_b == [{"name": "b"}]
    assert entries == ["a.json", "b.json"] and reopened == ["a", "b"]


# ---- Temporary files of killed writers are cleared, live ones never ----

# Holds an exclusive lock on argv[1] until killed, as a live writer does.
HOLD_LOCK = "import fcntl, sys, time\nf = open(sys.argv[1], 'a')\nfcntl.flock(f, fcntl.LOCK_EX)\nprint('locked', flush=True)\ntime.sleep(600)"


def test_abandoned_temporary_files_are_removed_and_live_ones_kept(db_dir):
    import fcntl

    from quarn import Quarn

    db = Quarn(str(db_dir))
    db.insert("c", {"a": 1})
    old = 1_000_000_000  # 2001: long abandoned, unless someone holds the lock

    def put(name, age=old):
        path = db_dir / name
        path.write_text("[]")
        if age is not None:
            os.utime(str(path), (age, age))
        return path

    abandoned = put("c.json.tmp.4242.7")
    fresh = put("c.json.tmp.4242.8", age=None)  # a writer may not hold its lock yet
    # Not this collection's temporary files: never touched, however old.
    others = [put(name) for name in ("d.json.tmp.1.1", "c.json.tmp.1.x", "c.json.tmp.1.1.json", "c.json.tmp.1",
                                      "xc.json.tmp.1.1", "c.json.tmp.")]
    held_here = put("c.json.tmp.4242.9")
    held_elsewhere = put("c.json.tmp.4242.10")
    here = open(str(held_here), "a")
    fcntl.flock(here, fcntl.LOCK_EX)
    holder = subprocess.Popen([sys.executable, "-c", HOLD_LOCK, str(held_elsewhere)], stdout=subprocess.PIPE,
                              text=True)
    try:
        assert holder.stdout.readline() == "locked\n"
        db.write("c")
        remaining = set(os.listdir(db_dir))
        assert abandoned.name not in remaining
        assert {fresh.name, held_here.name, held_elsewhere.name} | {p.name for p in others} <= remaining
        holder.kill()  # its lock goes with it
        holder.wait()
        here.close()
        db.create_collection("other")  # creating cleans only its own collection's files
        assert held_elsewhere.exists() and held_here.exists()
        db.write("c")
        assert not held_elsewhere.exists() and not held_here.exists()
    finally:
        holder.kill()
        here.close()
    assert Quarn(str(db_dir)).find("c") == [{"a": 1}]
