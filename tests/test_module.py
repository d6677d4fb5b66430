import importlib
import inspect
import sys

import pytest

import _quarn_testing as hooks
import quarn
from quarn import Quarn
from conftest import PanicException

PYPY = sys.implementation.name == "pypy"


def test_module_surface_and_reimport():
    assert quarn.__all__ == ["Quarn"]
    assert sorted(name for name in vars(quarn) if not name.startswith("__")) == ["Quarn"]
    del sys.modules["quarn"]
    again = importlib.import_module("quarn")
    assert again.Quarn is Quarn and again.__all__ == ["Quarn"]
    if not PYPY:  # PyPy wraps the same module state in a new module object
        assert again is quarn


def test_class_shape():
    assert Quarn.__name__ == "Quarn"
    if PYPY or sys.version_info >= (3, 10):  # CPython 3.9 drops a heap type's text signature
        assert str(inspect.signature(Quarn)) == "(name)"
    with pytest.raises(TypeError):

        class Sub(Quarn):
            pass


def test_instances_have_no_dict_or_weakrefs(tmp_path):
    db = Quarn(str(tmp_path))
    with pytest.raises(AttributeError):
        db.anything = 1
    import weakref

    if not PYPY:  # every PyPy object can be weakly referenced
        with pytest.raises(TypeError):
            weakref.ref(db)


def test_panic_exception_is_base_exception_only():
    assert issubclass(PanicException, BaseException)
    assert not issubclass(PanicException, Exception)
    assert not hasattr(quarn, "PanicException")


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, "Quarn.__new__() missing 1 required positional argument: 'name'"),
        ((5,), {}, "argument 'name': 'int' object cannot be converted to 'PyString'"),
        (("a", "b"), {}, "Quarn.__new__() takes 1 positional arguments but 2 were given"),
        (("a",), {"name": "b"}, "Quarn.__new__() got multiple values for argument 'name'"),
        ((), {"nme": "b"}, "Quarn.__new__() got an unexpected keyword argument 'nme'"),
        ((b"dir",), {}, "argument 'name': 'bytes' object cannot be converted to 'PyString'"),
    ],
)
def test_constructor_binding_errors(args, kwargs, message):
    with pytest.raises(TypeError) as caught:
        Quarn(*args, **kwargs)
    assert str(caught.value) == message
    assert caught.value.args == (message,)


def test_constructor_name_by_keyword_and_str_subclass(tmp_path):
    class Path(str):
        pass

    Quarn(name=str(tmp_path / "a"))
    Quarn(Path(str(tmp_path / "b")))
    assert (tmp_path / "a").is_dir() and (tmp_path / "b").is_dir()


def test_constructor_unencodable_name_passes_encoding_error():
    with pytest.raises(UnicodeEncodeError):
        Quarn("\udc80")


FIND = ("find", ("collection_name", "maybe_query"), 1)
INSERT = ("insert", ("collection_name", "document"), 2)
UPDATE = ("update", ("collection_name", "update_query", "maybe_query", "return_result"), 2)
THREE = ("three", ("a", "b", "c"), 3)


@pytest.mark.parametrize(
    "method, args, kwargs, message",
    [
        (FIND, ("c", {}, 1), {}, "Quarn.find() takes from 1 to 2 positional arguments but 3 were given"),
        (INSERT, ("c", {}, 1), {}, "Quarn.insert() takes 2 positional arguments but 3 were given"),
        (FIND, (), {}, "Quarn.find() missing 1 required positional argument: 'collection_name'"),
        (INSERT, (), {"collection_name": "c"}, "Quarn.insert() missing 1 required positional argument: 'document'"),
        (INSERT, (), {}, "Quarn.insert() missing 2 required positional arguments: 'collection_name' and 'document'"),
        (THREE, (), {}, "Quarn.three() missing 3 required positional arguments: 'a', 'b', and 'c'"),
        (UPDATE, ("c",), {"collection_name": "d"}, "Quarn.update() got multiple values for argument 'collection_name'"),
        (UPDATE, ("c", {}), {"query": {}}, "Quarn.update() got an unexpected keyword argument 'query'"),
    ],
)
def test_binding_messages(method, args, kwargs, message):
    with pytest.raises(TypeError) as caught:
        hooks.bind(*method, args, kwargs)
    assert str(caught.value) == message


def test_binding_places_positional_and_keyword_arguments():
    bound = hooks.bind(*UPDATE, ("c",), {"return_result": True, "update_query": {"a": 1}})
    assert bound == ["c", {"a": 1}, None, True]


def test_import_is_warning_free():
    import subprocess

    result = subprocess.run(
        [sys.executable, "-W", "error", "-c", "import quarn; print(quarn.Quarn.__module__)"],
        capture_output=True,
        text=True,
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "quarn"


SIGNATURES = {
    "load_from_document": "(document_path)",
    "create_collection": "(collection_name)",
    "insert": "(collection_name, document)",
    "insert_many": "(collection_name, documents)",
    "insert_many_from_document": "(collection_name, document_name)",
    "find": "(collection_name, maybe_query=None)",
    "update": "(collection_name, update_query, maybe_query=None, return_result=False)",
    "collections": "()",
    "drop_collection": "(collection_name)",
    "drop_all": "()",
    "write": "(collection_name)",
    "write_all": "()",
    "clear_cache": "()",
}


def test_method_table_and_signatures(tmp_path):
    db = Quarn(str(tmp_path))
    public = sorted(name for name in dir(Quarn) if not name.startswith("_"))
    assert public == sorted(SIGNATURES)
    for name, text in SIGNATURES.items():
        assert str(inspect.signature(getattr(db, name))) == text, name


def test_receiver_check_and_no_argument_methods(tmp_path):
    with pytest.raises(TypeError) as caught:
        Quarn.find(object(), "c")
    assert str(caught.value) == "'object' object cannot be converted to 'Quarn'"
    db = Quarn(str(tmp_path))
    for name in ["collections", "drop_all", "write_all", "clear_cache"]:
        with pytest.raises(TypeError):
            getattr(db, name)(1)


def test_numpy_bools_are_accepted_for_bool_arguments(tmp_path):
    numpy = pytest.importorskip("numpy")
    db = Quarn(str(tmp_path))
    db.insert("c", {"n": 1})
    assert db.update("c", {"n": 2}, None, numpy.bool_(True)) == [{"n": 2}]
    assert db.update("c", {"n": 3}, return_result=numpy.bool_(False)) is None
    with pytest.raises(TypeError, match="^argument 'return_result': 'int' object cannot be converted to 'PyBool'$"):
        db.update("c", {"n": 3}, return_result=1)
