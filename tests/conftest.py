import pytest

from quarn import Quarn


def panic_exception_type():
    """The module does not export PanicException; catch one to learn its class."""
    import tempfile, os

    with tempfile.TemporaryDirectory() as directory:
        with open(os.path.join(directory, "x.json"), "w") as handle:
            handle.write("1")
        try:
            Quarn(directory)
        except BaseException as error:  # noqa: B036 - deliberately broad
            return type(error)
    raise AssertionError("a scalar collection file must fail to open")


PanicException = panic_exception_type()


@pytest.fixture
def db_dir(tmp_path):
    """An existing, empty database directory."""
    directory = tmp_path / "db"
    directory.mkdir()
    return directory


def write_file(directory, name, text):
    data = text.encode("utf-8") if isinstance(text, str) else text
    (directory / name).write_bytes(data)
