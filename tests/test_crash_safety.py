"""Writes that race with another process, and writes onto a full disk."""

import json
import os
import subprocess
import sys
import textwrap

import pytest

from conftest import PanicException
from quarn import Quarn

STRESS = 10 if os.environ.get("QUARN_STRESS") else 1


def temporaries(directory):
    return sorted(name for name in os.listdir(directory) if ".tmp" in name)


# Opens the database, reports that it is ready, waits for "go", then rewrites
# the collection round after round, every round with different contents. A
# write refused because the other writer replaced the file opens the database
# again (taking that writer's documents) and tries once more.
RACING_WRITER = textwrap.dedent(
    """
    import os, sys
    from quarn import Quarn
    directory, writer, count, rounds = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
    db = Quarn(directory)
    db.insert_many("c", [{"writer": writer, "round": 0, "i": i, "pad": writer * 30} for i in range(count)])
    print("ready", flush=True)
    os.dup2(os.open(os.devnull, os.O_WRONLY), 1)  # the update trace lines; nobody reads the pipe now
    sys.stdin.readline()
    for round in range(1, rounds + 1):
        while True:
            db.update("c", {"round": round})
            try:
                db.write("c")
                break
            except ValueError as error:
                if "changed on disk" not in str(error):
                    raise
                db = Quarn(directory)
    """
)


def check_whole(text, sizes):
    """The file holds exactly one writer's collection of one round (or the
    empty array that was there before)."""
    documents = json.loads(text)
    if documents == []:
        return None, 0
    writers = {document["writer"] for document in documents}
    rounds = {document["round"] for document in documents}
    assert len(writers) == 1 and len(rounds) == 1
    (writer,) = writers
    assert [document["i"] for document in documents] == list(range(sizes[writer]))
    assert all(document["pad"] == writer * 30 for document in documents)
    return writer, rounds.pop()


def test_two_processes_writing_one_collection_never_mix(db_dir):
    (db_dir / "c.json").write_text("[]")
    rounds = 150 * STRESS
    # Different sizes, so that a file mixing the two could not pass as either.
    sizes = {"a": 40, "b": 700}
    writers = [
        subprocess.Popen([sys.executable, "-c", RACING_WRITER, str(db_dir), name, str(size), str(rounds)],
                         stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        for name, size in sizes.items()
    ]
    try:
        for writer in writers:
            assert writer.stdout.readline() == "ready\n"
        for writer in writers:
            writer.stdin.write("go\n")
            writer.stdin.flush()
        while any(writer.poll() is None for writer in writers):
            # Read while they write: every state of the file is whole.
            check_whole((db_dir / "c.json").read_bytes(), sizes)
        for writer in writers:
            assert writer.wait(timeout=120) == 0
    finally:
        for writer in writers:
            if writer.poll() is None:
                writer.kill()
                writer.wait()
    _, last_round = check_whole((db_dir / "c.json").read_bytes(), sizes)
    assert last_round == rounds
    assert sorted(os.listdir(db_dir)) == ["c.json"]


# Runs in a child: a file size limit makes write() fail with EFBIG once the
# limit is reached (SIGXFSZ ignored, so the process is not killed).
FILE_SIZE_LIMIT = textwrap.dedent(
    """
    import json, os, resource, signal, sys
    from quarn import Quarn
    directory, limit, count = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    db = Quarn(directory)
    db.insert_many("c", [{"i": i, "pad": "x" * 100} for i in range(count)])
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (limit, resource.RLIM_INFINITY))
    try:
        db.write("c")
        outcome = ["written", ""]
    except BaseException as error:
        outcome = [type(error).__name__, str(error)]
    with open(os.path.join(directory, "c.json"), "rb") as old:
        outcome.append(old.read().decode())
    outcome.append(sorted(os.listdir(directory)))
    resource.setrlimit(resource.RLIMIT_FSIZE, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
    db.write("c")  # writable again once there is room
    print(json.dumps(outcome))
    """
)

OLD_TEXT = b'[{"old":true}]'
BUFFER = 8192


def documents(count):
    return [{"i": i, "pad": "x" * 100} for i in range(count)]


def text_size(count):
    return len(json.dumps([json.loads(OLD_TEXT)[0]] + documents(count), separators=(",", ":")))


def inside_last_buffer(count):
    """A limit a few bytes short of the whole text: inside the last, partly filled buffer."""
    size = text_size(count)
    assert (size % BUFFER or BUFFER) > 10
    return size - 5


def before_last_buffer(count):
    """A limit just before the last, partly filled buffer: inside the last whole one."""
    size = text_size(count)
    return size - (size % BUFFER or BUFFER) - 100


@pytest.mark.parametrize(
    "count, limit, expected",
    [
        # The limit is reached while whole buffers are written.
        (2000, 5 * BUFFER + 100, ("ValueError", "Error serializing JSON")),
        (2000, before_last_buffer(2000), ("ValueError", "Error serializing JSON")),
        # The limit is reached inside the last, partly filled buffer: the final flush fails.
        (2000, inside_last_buffer(2000), ("PanicException", None)),
        # A collection smaller than one buffer is written by the final flush alone.
        (3, 100, ("PanicException", None)),
    ],
)
def test_file_size_limit_fails_the_write_and_keeps_the_old_file(db_dir, count, limit, expected):
    (db_dir / "c.json").write_bytes(OLD_TEXT)
    child = subprocess.run(
        [sys.executable, "-c", FILE_SIZE_LIMIT, str(db_dir), str(limit), str(count)],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, timeout=120,
    )
    assert child.returncode == 0, child.stderr
    kind, message, old_text, listing = json.loads(child.stdout.splitlines()[-1])
    assert kind == expected[0]
    if expected[1] is not None:
        assert message == expected[1]
    assert old_text.encode() == OLD_TEXT
    assert listing == ["c.json"]
    # Written in full once the limit was lifted.
    assert len(json.loads((db_dir / "c.json").read_bytes())) == count + 1
    assert temporaries(db_dir) == []


@pytest.fixture
def full_disk(tmp_path):
    """A 256 KiB tmpfs; skipped where mounting is not allowed."""
    mount_point = tmp_path / "small"
    mount_point.mkdir()
    mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=256k", "tmpfs", str(mount_point)],
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode == 0
    if not mounted:
        pytest.skip("cannot mount a tmpfs here")
    try:
        yield mount_point
    finally:
        subprocess.run(["umount", str(mount_point)], check=True)


def fill(directory):
    """Takes every free block of the file system."""
    descriptor = os.open(directory / "filler", os.O_WRONLY | os.O_CREAT, 0o600)
    try:
        while os.write(descriptor, b"\0" * 4096) > 0:
            pass
    except OSError:
        pass
    finally:
        os.close(descriptor)


@pytest.mark.parametrize(
    "count, expected, message",
    [(2000, ValueError, "Error serializing JSON"), (3, PanicException, None)],
)
def test_full_disk_fails_the_write_and_keeps_the_old_file(full_disk, count, expected, message):
    db_dir = full_disk / "db"
    db_dir.mkdir()
    (db_dir / "c.json").write_bytes(OLD_TEXT)
    db = Quarn(str(db_dir))
    db.insert_many("c", documents(count))
    fill(full_disk)
    with pytest.raises(expected) as raised:
        db.write("c")
    if message is not None:
        assert str(raised.value) == message
    assert (db_dir / "c.json").read_bytes() == OLD_TEXT
    assert temporaries(db_dir) == []
    with pytest.raises(expected):
        db.write_all()
    assert (db_dir / "c.json").read_bytes() == OLD_TEXT
    os.unlink(full_disk / "filler")
    db.write("c")
    assert len(json.loads((db_dir / "c.json").read_bytes())) == count + 1
    assert temporaries(db_dir) == []
