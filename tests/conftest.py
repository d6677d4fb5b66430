import atexit
import contextlib
import importlib.util
import os
import shutil
import sys
import tempfile

import pytest

from quarn_test_support import panic_exception_type

PanicException = panic_exception_type()
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


class HooksFinder:
    """Finds _quarn_testing, the tests' hooks into the engine: a second init function in
    quarn's own shared object, loaded from quarn's file under that name, so that the
    hooks act on the very engine (interned keys, block pool, Quarn type) the module runs."""

    @staticmethod
    def find_spec(name, path=None, target=None):
        if name != "_quarn_testing":
            return None
        import quarn

        # Through a link of its own name: PyPy keeps one module per file path, while
        # the dynamic loader, which knows a file by its inode, hands back quarn's
        # own loaded object, the very engine.
        directory = tempfile.mkdtemp(prefix="quarn-hooks-")
        atexit.register(shutil.rmtree, directory, True)
        link = os.path.join(directory, "_quarn_testing" + os.path.basename(quarn.__file__)[len("quarn") :])
        os.symlink(os.path.realpath(quarn.__file__), link)
        return importlib.util.spec_from_file_location(name, link)


sys.meta_path.insert(0, HooksFinder)


@pytest.fixture
def db_dir(tmp_path):
    """An existing, empty database directory."""
    directory = tmp_path / "db"
    directory.mkdir()
    return directory


@contextlib.contextmanager
def raises_message(exception, message):
    """pytest.raises for exactly this message, the exception's one argument
    (match= would also read the notes that name a file)."""
    with pytest.raises(exception) as caught:
        yield caught
    assert caught.value.args == (message,)


def write_file(directory, name, text):
    data = text.encode("utf-8") if isinstance(text, str) else text
    (directory / name).write_bytes(data)


def child_env(**extra):
    """The environment for a child process that may run in another directory:
    PYTHONPATH entries (such as a relative build directory) made absolute."""
    env = dict(os.environ, **extra)
    if env.get("PYTHONPATH"):
        env["PYTHONPATH"] = os.pathsep.join(os.path.abspath(entry) for entry in env["PYTHONPATH"].split(os.pathsep))
    return env


def installed_files():
    """The files of the installed quarn distribution when the imported module is
    one of them (relative to site-packages); None when it comes from elsewhere,
    such as a build directory on PYTHONPATH."""
    import quarn

    try:
        from importlib.metadata import PackageNotFoundError, distribution

        dist = distribution("quarn")
    except PackageNotFoundError:
        return None
    files = {str(entry): os.path.realpath(str(entry.locate())) for entry in dist.files or ()}
    if os.path.realpath(quarn.__file__) not in files.values():
        return None
    return set(files)
