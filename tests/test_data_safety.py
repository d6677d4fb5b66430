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
