"""Many threads calling one Quarn object, or one object each.

The binding never releases the interpreter lock, so with plain arguments the
calls take turns whole and no call sees another's borrow. Python code that a
conversion runs (methods of a dict subclass) can let another thread in while
the borrow is held: that thread's call on the same object then fails with the
borrow error, as a nested call does, instead of waiting (waiting would need
the interpreter lock released, and could deadlock on code that waits for that
thread)."""

import os
import shutil
import sys
import tempfile
import threading

import pytest

from quarn import Quarn

STRESS = 10 if os.environ.get("QUARN_STRESS") else 1
THREADS = 8
OPERATIONS = 600 * STRESS  # per thread
JOIN_TIMEOUT = 120


@pytest.fixture
def db_dir():
    """On tmpfs where there is one: the threads write and sync often."""
    base = "/dev/shm" if os.access("/dev/shm", os.W_OK) else None
    directory = tempfile.mkdtemp(prefix="quarn-threads-", dir=base)
    try:
        yield directory
    finally:
        shutil.rmtree(directory, ignore_errors=True)


@pytest.fixture(autouse=True)
def frequent_switches():
    """Threads switch as often as the interpreter allows."""
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        yield
    finally:
        sys.setswitchinterval(interval)


@pytest.fixture(autouse=True)
def quiet_stdout(capfd):
    """update writes trace lines to the process's standard output."""
    yield
    capfd.readouterr()


def run_threads(target, count=THREADS):
    errors = []

    def guarded(number):
        try:
            target(number)
        except BaseException as error:  # noqa: B036 - PanicException included
            errors.append((number, repr(error)))

    threads = [threading.Thread(target=guarded, args=(number,)) for number in range(count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(JOIN_TIMEOUT)
    assert not any(thread.is_alive() for thread in threads), "a thread is stuck"
    return errors


def mixed_operations(db, number, shared="shared"):
    """Inserts, finds, updates and writes; returns how many documents it inserted into shared."""
    own = "t%d" % number
    inserted = 0
    for step in range(OPERATIONS):
        choice = step % 10
        if choice in (0, 1, 2):
            db.insert(shared, {"thread": number, "step": step, "n": 0})
            inserted += 1
        elif choice == 3:
            db.insert_many(own, [{"step": step, "n": 0}, {"step": step, "n": 1}])
        elif choice == 4:
            db.find(shared, {"thread": number})
        elif choice == 5:
            db.find(own, {"n": {"$gte": 1}})
        elif choice == 6:
            db.update(own, {"n": {"$inc": 1}}, {"step": step - 3})
        elif choice == 7:
            db.write(own)
        elif choice == 8:
            db.collections()
            db.clear_cache()
        else:
            db.write_all()
    return inserted


def check_own(db, number):
    # Inserted with n 0 and 1 at step; the update at step + 3 incremented both (to floats).
    documents = db.find("t%d" % number)
    assert sorted((document["step"], document["n"]) for document in documents) == sorted(
        (step, float(n + 1)) for step in range(OPERATIONS) if step % 10 == 3 for n in (0, 1)
    )


def test_threads_sharing_one_object_lose_nothing(db_dir):
    db = Quarn(db_dir)
    inserted = [0] * THREADS

    def work(number):
        inserted[number] = mixed_operations(db, number)

    assert run_threads(work) == []
    documents = db.find("shared")
    assert len(documents) == sum(inserted) == THREADS * len([s for s in range(OPERATIONS) if s % 10 < 3])
    for number in range(THREADS):
        steps = [document["step"] for document in documents if document["thread"] == number]
        assert steps == [step for step in range(OPERATIONS) if step % 10 < 3]  # in each thread's order
        check_own(db, number)
    db.write_all()
    reopened = Quarn(db_dir)
    assert len(reopened.find("shared")) == sum(inserted)


class Nested(dict):
    """A document whose keys() calls the database again: a genuinely nested call."""

    def __init__(self, db, method, seen):
        super().__init__(nested=True)
        self.db, self.method, self.seen = db, method, seen

    def keys(self):
        try:
            getattr(self.db, self.method)()
        except RuntimeError as error:
            self.seen.append((self.method, str(error)))
        return super().keys()


NESTED_MESSAGES = {"collections": "Already mutably borrowed", "clear_cache": "Already borrowed",
                   "write_all": "Already mutably borrowed", "drop_all": "Already borrowed"}


def test_threads_with_own_objects_see_only_their_nested_calls_refused(db_dir):
    """Every thread has its own object on the one directory, and nests calls in its own
    conversions; the nested calls, and only they, are refused."""
    seen = [[] for _ in range(THREADS)]
    inserted = [0] * THREADS
    objects = [Quarn(db_dir) for _ in range(THREADS)]

    def work(number):
        db = objects[number]
        shared = "s%d" % number
        methods = sorted(NESTED_MESSAGES)
        for round in range(OPERATIONS // 10):
            db.insert(shared, Nested(db, methods[round % len(methods)], seen[number]))
            inserted[number] += 1
        inserted[number] += mixed_operations(db, number, shared)

    assert run_threads(work) == []
    for number, db in enumerate(objects):
        assert len(seen[number]) == OPERATIONS // 10
        assert all(message == NESTED_MESSAGES[method] for method, message in seen[number])
        assert len(db.find("s%d" % number)) == inserted[number]
        check_own(db, number)


def test_call_from_another_thread_while_a_conversion_runs_python_code(db_dir):
    """The other thread's call is refused at once rather than waiting; other objects
    are not affected."""
    db, other = Quarn(db_dir), Quarn(db_dir)
    entered, release = threading.Event(), threading.Event()

    class Pausing(dict):
        def keys(self):
            entered.set()
            release.wait(JOIN_TIMEOUT)  # lets other threads run while insert holds the object
            return super().keys()

    inserter = threading.Thread(target=db.insert, args=("c", Pausing(a=1)))
    inserter.start()
    try:
        assert entered.wait(JOIN_TIMEOUT)
        with pytest.raises(RuntimeError, match="^Already borrowed$"):
            db.find("c")
        with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
            db.collections()
        other.insert("c", {"b": 2})
        assert other.find("c") == [{"b": 2}]
    finally:
        release.set()
        inserter.join(JOIN_TIMEOUT)
    assert not inserter.is_alive()
    assert db.find("c") == [{"a": 1}]
