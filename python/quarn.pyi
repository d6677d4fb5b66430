"""quarn: an embedded JSON document database, implemented natively.

A database is a directory; each collection in it is one JSON file. Everything
lives in memory between calls, and nothing is written implicitly: documents
reach their files only through ``write`` and ``write_all``.

Internal failures raise ``quarn.PanicException``, which derives from
``BaseException`` (not ``Exception``) and is not an attribute of this module;
catch it with ``except BaseException``.
"""

from typing import Any, Literal, final, overload

__all__ = ["Quarn"]

@final
class Quarn:
    """A database: a directory of JSON collection files, held in memory.

    ``Quarn(name)`` opens the directory ``name``, creating it when it is missing
    and its parent exists, and loads every ``*.json`` file in it as the
    collection named after the file without its final ``.json``.

    Raises:
        TypeError: ``name`` is not a str.
        OSError: ``name`` is not a directory or cannot be listed (an OSError
            subclass such as PermissionError, chosen by the system error), or a
            collection file cannot be opened.
        ValueError: a collection file is not valid JSON.
        PanicException: a collection file holds neither an array nor an object
            keyed by the collection name, or its name is not UTF-8.

    Example: ``db = Quarn("data/shop")``
    """

    def __new__(cls, name: str) -> "Quarn": ...
    def load_from_document(self, document_path: str) -> None:
        """Insert documents from a JSON file holding an object of collections.

        Each member name is a collection; an array value adds each element as a
        document, any other value adds itself. Collections are created (with
        their file) when missing. Nothing is written: call ``write_all``.

        Raises:
            OSError: the file cannot be opened.
            ValueError: the file is not valid JSON, or a member name is not a
                valid collection name (nothing is inserted then).
            PanicException: the file's top level is not an object.

        Example: ``db.load_from_document("seed.json")``
        """

    def create_collection(self, collection_name: str) -> None:
        """Create an empty collection and its file, unless the file exists.

        When a file of that name exists nothing happens (nothing is loaded
        either).

        Raises:
            ValueError: the name is empty, ``.`` or ``..``, or holds ``/`` or NUL.
            OSError: the file cannot be created (FileNotFoundError when the
                database directory is gone).

        Example: ``db.create_collection("users")``
        """

    def insert(self, collection_name: str, document: dict[str, Any]) -> None:
        """Append one document (a dict) to a collection, in memory.

        A collection that is not in memory is loaded from its file first, or
        created (with an empty file) when there is none.

        Raises:
            TypeError: ``document`` is not a dict.
            ValueError: invalid collection name, or its file is not valid JSON.
            PanicException: the document has no JSON form (bytes, a non-str
                key, an int beyond 64 bits, nesting deeper than 126 levels, a
                container holding itself); nothing is inserted.

        Example: ``db.insert("users", {"name": "Ada", "age": 36})``
        """

    def insert_many(self, collection_name: str, documents: list[Any]) -> None:
        """Append each element of a list (any JSON value) to a collection.

        Loads or creates the collection as ``insert`` does.

        Raises:
            TypeError: ``documents`` is not a list.
            ValueError: invalid collection name, or its file is not valid JSON.
            PanicException: an element has no JSON form; nothing is inserted.

        Example: ``db.insert_many("users", [{"name": "Lin"}, {"name": "Bo"}])``
        """

    def insert_many_from_document(self, collection_name: str, document_name: str) -> None:
        """Append each element of the JSON array in the file ``document_name``.

        Loads or creates the collection as ``insert`` does.

        Raises:
            OSError: the file cannot be opened.
            ValueError: the file is not valid JSON ("Error deserializing
                JSON"), its top level is not an array ("Document is not an
                array"), or the collection name is invalid.

        Example: ``db.insert_many_from_document("users", "users-export.json")``
        """

    def find(self, collection_name: str, maybe_query: dict[str, Any] | None = None) -> list[Any]:
        """Return a new list of copies of the documents that match the query.

        Without a query every document is returned. A collection that is not
        in memory is loaded from its file first. Results of queries are cached
        until the next change to any collection.

        Raises:
            TypeError: ``maybe_query`` is neither a dict nor None.
            ValueError: no such collection on disk ("Collection with name 'x'
                not found on disk"), an invalid collection name, or an
                ordering operator meeting a non-number ("Malformed query,
                non-numeric value found for operator GreaterThan").
            PanicException: a malformed query ("Not Valid query", "Unknown
                query operator found: $in", ...).

        Example: ``adults = db.find("users", {"age": {"$gte": 18}})``
        """

    @overload
    def update(
        self,
        collection_name: str,
        update_query: dict[str, Any],
        maybe_query: dict[str, Any] | None = None,
        return_result: Literal[False] = False,
    ) -> None:
        """Apply an update to the documents the query selects (all without one).

        Changes memory only; ``write`` saves them. Returns every document of
        the collection (a new list) when ``return_result`` is true, else None.
        Prints two trace lines per update term on standard output. A rejected
        update raises before any document changes.

        Raises:
            TypeError: wrong argument types (``return_result`` must be a bool).
            ValueError: invalid collection name.
            PanicException: no such collection, a malformed update or query,
                a stored document that is not an object, or an ordering
                operator meeting a non-number.

        Example: ``db.update("users", {"age": {"$inc": 1}}, {"name": "Ada"})``
        """

    @overload
    def update(
        self,
        collection_name: str,
        update_query: dict[str, Any],
        maybe_query: dict[str, Any] | None,
        return_result: Literal[True],
    ) -> list[Any]: ...
    @overload
    def update(
        self,
        collection_name: str,
        update_query: dict[str, Any],
        maybe_query: dict[str, Any] | None = None,
        *,
        return_result: Literal[True],
    ) -> list[Any]: ...
    @overload
    def update(
        self,
        collection_name: str,
        update_query: dict[str, Any],
        maybe_query: dict[str, Any] | None = None,
        return_result: bool = False,
    ) -> list[Any] | None: ...
    def collections(self) -> list[str]:
        """Return the names of the collection files in the directory.

        Lists ``*.json`` files in directory order; collections that exist only
        in memory are not listed.

        Raises:
            OSError: the directory cannot be listed (FileNotFoundError when it
                is gone).
            PanicException: a file name is not UTF-8.

        Example: ``names = db.collections()``
        """

    def drop_collection(self, collection_name: str) -> None:
        """Delete a collection's file (if any) and forget it in memory.

        Succeeds also when the collection exists nowhere.

        Raises:
            ValueError: invalid collection name.

        Example: ``db.drop_collection("users")``
        """

    def drop_all(self) -> None:
        """Drop every collection file, then remove the directory if empty.

        Other files in the directory are kept (and so is the directory).

        Raises:
            PanicException: the directory cannot be listed, or a file name is
                not UTF-8; nothing is deleted then.

        Example: ``db.drop_all()``
        """

    def write(self, collection_name: str) -> None:
        """Write one collection from memory to its file, atomically and durably.

        The documents go to a temporary file beside the collection file, which
        is synced and renamed over it: a crash leaves the old or the new file.

        Raises:
            ValueError: the collection is not in memory ("Collection 'x' not
                found in stored collections"), a document is nested too deeply
                to write ("Error serializing JSON"), or the name is invalid.
            OSError: the temporary file cannot be created or renamed; the old
                file is untouched.

        Example: ``db.write("users")``
        """

    def write_all(self) -> None:
        """Write every collection in memory to its file, as ``write`` does.

        Tries every collection, then raises the first failure.

        Raises:
            ValueError, OSError: as ``write``.

        Example: ``db.write_all()``
        """

    def clear_cache(self) -> None:
        """Empty the cache of query results kept by ``find``.

        Never needed for correctness: every change empties it already.

        Example: ``db.clear_cache()``
        """
