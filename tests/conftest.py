import contextlib
import importlib.machinery
import importlib.util
import os
import struct
import sys

import pytest

from quarn_test_support import panic_exception_type

PanicException = panic_exception_type()
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def gnu_build_id(path):
    """The GNU build ID note of an ELF file (a hash of what the linker linked, which
    strip keeps), or None when it has none."""
    with open(path, "rb") as handle:
        data = handle.read()
    if data[:6] != b"\x7fELF\x02\x01":  # 64-bit little-endian, the only kind built here
        return None
    (program_headers,) = struct.unpack_from("<Q", data, 0x20)
    entry_size, count = struct.unpack_from("<HH", data, 0x36)
    for index in range(count):
        kind, _, offset, _, _, size, _, align = struct.unpack_from("<IIQQQQQQ", data, program_headers + index * entry_size)
        if kind != 4:  # PT_NOTE
            continue
        align = 8 if align == 8 else 4

        def padded(length):
            return (length + align - 1) // align * align

        position, end = offset, offset + size
        while position + 12 <= end:
            name_size, desc_size, note_type = struct.unpack_from("<III", data, position)
            name = position + 12
            desc = name + padded(name_size)
            if note_type == 3 and data[name : name + name_size] == b"GNU\0":  # NT_GNU_BUILD_ID
                return data[desc : desc + desc_size]
            position = desc + padded(desc_size)
    return None


def extension_in(directory, name):
    for suffix in importlib.machinery.EXTENSION_SUFFIXES:
        path = os.path.join(directory, name + suffix)
        if os.path.isfile(path):
            return path
    return None


def testing_module_path():
    """Where _quarn_testing, the tests' hooks into the engine, comes from. It is built
    with quarn but never installed. With quarn from a build directory (PYTHONPATH=
    build-dev) it lies beside it; with quarn installed by pip from this checkout, it
    lies in the build directory pip used for this interpreter (pyproject.toml's
    build-dir), which must be the build the installed module came from (same GNU build
    ID; a toolchain that writes none on either side is not checked): hooks from
    another build would test other code."""
    import quarn

    beside = extension_in(os.path.dirname(os.path.realpath(quarn.__file__)), "_quarn_testing")
    if beside:
        return beside
    build = os.path.join(ROOT, "build", sys.implementation.cache_tag)
    hooks = extension_in(build, "_quarn_testing")
    built = extension_in(build, "quarn")
    reinstall = "install quarn from this checkout (python3 -m pip install '.[test]'), or put a CMake build directory on PYTHONPATH"
    if not hooks or not built:
        raise ImportError(f"_quarn_testing is neither beside {quarn.__file__} nor in {build}: {reinstall}")
    if gnu_build_id(built) != gnu_build_id(quarn.__file__):
        raise ImportError(f"{build} holds a different build from the imported {quarn.__file__}: {reinstall}")
    return hooks


class HooksFinder:
    """Finds _quarn_testing (see testing_module_path); when it cannot, the import fails
    with the reason, so the tests that need it fail rather than skip."""

    @staticmethod
    def find_spec(name, path=None, target=None):
        if name != "_quarn_testing":
            return None
        return importlib.util.spec_from_file_location(name, testing_module_path())


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
