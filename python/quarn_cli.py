"""The ``quarn`` command: look into a quarn database directory from the shell.

    quarn DIR collections
    quarn DIR find COLLECTION [QUERY_JSON] [--pretty] [--limit N]
    quarn DIR count COLLECTION [QUERY_JSON]
    quarn DIR insert COLLECTION FILE.json        (then writes the collection)
    quarn DIR update COLLECTION UPDATE_JSON [QUERY_JSON]   (then writes it)
    quarn DIR delete COLLECTION QUERY_JSON       (then writes it; {} matches every document)
    quarn DIR import COLLECTION FILE|- [--write [--replace]] [--header]  (JSON Lines or an array; see quarn_io)
    quarn DIR export COLLECTION [QUERY_JSON] [--format jsonl|json] [-o FILE]
    quarn --version

Documents go to standard output as JSON Lines (one compact document per line),
so the output can be piped into other tools. ``update`` prints how many
documents it selected and how many of them it changed; the two trace lines per
update term that quarn prints are sent to standard error instead, keeping
standard output parseable. ``delete`` prints how many documents it removed.
Warnings about the two ways quarn silently does less than an object seems to
ask (an update of a member that no selected document has; a nested object with
more than one operator) go to standard error too.
Failures print one line to standard error and exit with status 1 (2 for
usage errors and JSON, in arguments or files, that does not parse).
"""

import argparse
import contextlib
import json
import os
import shlex
import sys
import tempfile

import quarn_io
from quarn_common import (
    CliError, emit, json_kind, non_negative, open_database, parse_json, parse_object, require_collection,
)

PROG = "quarn"


class UsageParser(argparse.ArgumentParser):
    """Usage errors as one line, like every other failure of the tool."""

    def error(self, message):
        self.exit(2, f"{self.prog}: error: {message} (see {PROG} --help)\n")


def _byte_order(key):
    # quarn keeps object keys sorted by their UTF-8 bytes; "first" means first in that order.
    return key.encode("utf-8", "surrogatepass")


def _is_operator(key):
    return key.rsplit(".", 1)[-1].startswith("$")


def read_term(key, value, ignored, prefix=""):
    """One top-level entry of a query or update object, read as quarn reads it
    (src/query/parse.cpp: keep the two in step).

    A nested object continues through its first entry only, so of several
    operators in one nested object all but the first are ignored; they are
    appended to ``ignored`` as (dotted key that would use them, value).
    Returns the entry's field path (a tuple of pieces), its operator (None for
    the default) and the value as written without the ignored operators.
    """
    pieces = key.split(".")
    if not isinstance(value, dict) or not value:
        operator = pieces.pop() if pieces[-1].startswith("$") else None
        return tuple(pieces), operator, value
    first = min(value, key=_byte_order)
    kept = dict(value)
    operators = [name for name in value if _is_operator(name)]
    if len(operators) > 1:
        ignored.extend((f"{prefix}{key}.{name}", kept.pop(name)) for name in operators if name != first)
    if first.startswith("$"):
        return tuple(pieces), first, kept
    path, operator, kept[first] = read_term(first, value[first], ignored, f"{prefix}{key}.")
    return tuple(pieces) + path, operator, kept


def read_terms(obj, what):
    """The (path, operator) of each term of ``obj``; warns, as one line on
    standard error, about operators quarn will ignore, with the form that works."""
    terms, ignored, rewritten = [], [], {}
    for key, value in (obj or {}).items():
        before = len(ignored)
        path, operator, rewritten[key] = read_term(key, value, ignored)
        rewritten.update(ignored[before:])
        terms.append((path, operator))
    if ignored:
        names = [dotted.rsplit(".", 1) for dotted, _ in ignored]
        listed = ", ".join(f'{name} in "{path}"' for path, name in names)
        print(
            f"{PROG}: warning: {what}: a nested object uses only its first operator in key order, so "
            f"{listed} {'is' if len(ignored) == 1 else 'are'} ignored; "
            f"to use {'it' if len(ignored) == 1 else 'them'}, write {json.dumps(rewritten, ensure_ascii=False)}",
            file=sys.stderr,
        )
    return terms


def read_json_file(path, importing=None):
    """The documents of FILE.json: an object is one document, an array many.
    ``importing``: the import command that would read the file if it holds JSON Lines."""
    try:
        if path == "-":
            text = sys.stdin.buffer.read().decode("utf-8")
        else:
            with open(path, "rb") as handle:
                text = handle.read().decode("utf-8")
    except OSError as error:
        raise CliError(f"cannot read {path}: {error.strerror or error}")
    except UnicodeDecodeError as error:
        raise CliError(f"{path} is not UTF-8 text: {error.reason} at byte {error.start}")
    try:
        return parse_json(text, path)
    except CliError as error:
        if importing is None or not json_lines(text):
            raise
        raise CliError(f"{error}; for JSON Lines (one document per line), use: {importing}", error.status)


def json_lines(text):
    """Whether text starts with a whole JSON value on its first line and goes on below it."""
    decoder = json.JSONDecoder(parse_constant=str)
    try:
        _, end = decoder.raw_decode(text, len(text) - len(text.lstrip()))
    except ValueError:
        return False
    rest = text[end:]
    return bool(rest.strip()) and "\n" in rest[: len(rest) - len(rest.lstrip())]


@contextlib.contextmanager
def stdout_to(fd):
    """Send what is written to file descriptor 1 to ``fd`` meanwhile.

    quarn writes its update trace lines straight to descriptor 1, below
    Python's sys.stdout; redirecting the descriptor is the only way to keep
    them out of this tool's output.
    """
    sys.stdout.flush()
    saved = os.dup(1)
    try:
        os.dup2(fd, 1)
        yield
    finally:
        os.dup2(saved, 1)
        os.close(saved)


def dump(document, pretty):
    if pretty:
        return json.dumps(document, ensure_ascii=False, indent=2)
    return json.dumps(document, ensure_ascii=False, separators=(",", ":"))


def command_collections(args):
    db = open_database(args.directory)
    for name in db.collections():
        emit(name)


def query_argument(args):
    """QUERY_JSON, or None without it, and the (path, operator) of its terms."""
    if args.query is None:
        return None, []
    query = parse_object(args.query, "QUERY_JSON")
    return query, read_terms(query, "QUERY_JSON")


def command_find(args):
    query, _ = query_argument(args)
    db = open_database(args.directory)
    require_collection(db, args.directory, args.collection)
    documents = db.find(args.collection, query)
    if args.limit is not None:
        documents = documents[: args.limit]
    for document in documents:
        emit(dump(document, args.pretty))


def command_count(args):
    query, _ = query_argument(args)
    db = open_database(args.directory)
    require_collection(db, args.directory, args.collection)
    emit(str(len(db.find(args.collection, query))))


def command_insert(args):
    words = [PROG, args.directory, "import", args.collection, args.file, "--write"]
    value = read_json_file(args.file, " ".join(map(shlex.quote, words)))
    db = open_database(args.directory, create=True)
    if isinstance(value, list):
        db.insert_many(args.collection, value)
        count = len(value)
    elif isinstance(value, dict):
        db.insert(args.collection, value)
        count = 1
    else:
        raise CliError(f"{args.file} must hold a JSON object or an array of documents, not {json_kind(value)}")
    db.write(args.collection)
    emit(str(count))


# A document's text, keys sorted: what quarn tells apart (1, 1.0 and true) it tells apart
# too, and a little more (0.0 and -0.0, which quarn writes apart but compares alike).
canonical = json.JSONEncoder(sort_keys=True, separators=(",", ":")).encode


def command_update(args):
    update = parse_object(args.update, "UPDATE_JSON")
    query = parse_object(args.query, "QUERY_JSON") if args.query is not None else None
    changes = read_terms(update, "UPDATE_JSON")  # warnings only once both objects parse
    read_terms(query, "QUERY_JSON")
    db = open_database(args.directory)
    require_collection(db, args.directory, args.collection)
    selected = db.find(args.collection, query)
    with stdout_to(2):
        db.update(args.collection, update, query)
    changed, missing = update_copies(selected, update, changes) if selected else (0, [])
    db.write(args.collection)
    if missing:
        members = " or ".join([", ".join(missing[:-1]), missing[-1]] if len(missing) > 1 else missing)
        it = "it" if len(missing) == 1 else "them"
        print(
            f"{PROG}: warning: no selected document has a member {members}, so nothing was done there: "
            f"update only changes members that exist; insert documents that have {it}, or select documents that do",
            file=sys.stderr,
        )
    emit(f"{len(selected)} selected, {changed} changed")


def update_copies(documents, update, changes):
    """What update does to documents, as quarn answers it on copies of them in a scratch
    database: how many it changes, and the members (dotted, as JSON strings) of its terms
    that none of them has. The copies stay in their order whichever documents the query
    would select afterwards, so each is compared with itself."""
    with tempfile.TemporaryDirectory(prefix="quarn-update-") as directory:
        scratch = open_database(directory)
        scratch.insert_many("copies", documents)
        # A $delete of a member nobody has already has its effect; anything else did nothing.
        missing = [
            json.dumps(".".join(path), ensure_ascii=False)
            for path, operator in changes
            if operator != "$delete" and not anyone_has(scratch, "copies", ".".join(path))
        ]
        with open(os.devnull, "wb") as sink, stdout_to(sink.fileno()):  # the trace lines are printed once
            after = scratch.update("copies", update, None, return_result=True)
    # Unequal to Python is unequal in text too, and quicker to tell; Python's equal may still
    # differ in text (1, 1.0 and true).
    changed = sum(old != new or canonical(old) != canonical(new) for old, new in zip(documents, after))
    return changed, missing


def anyone_has(db, collection, key):
    # A document with the member at key matches a term on it with $eq or with $ne; one without matches neither.
    return bool(db.find(collection, {key: {"$ne": 0}}) or db.find(collection, {key: {"$eq": 0}}))


def command_delete(args):
    query = parse_object(args.query, "QUERY_JSON")
    read_terms(query, "QUERY_JSON")
    db = open_database(args.directory)
    require_collection(db, args.directory, args.collection)
    path = os.path.join(args.directory, args.collection + ".json")
    # Taken before the database reads the file: the file replaced must be the one read.
    seen = quarn_io.file_identity(path, args.collection)
    if seen is None:
        raise CliError(f"no collection '{args.collection}' in {args.directory}")
    matched = db.find(args.collection, query)
    if matched:
        kept = survivors(db.find(args.collection), matched)
        try:
            placed, interrupted = quarn_io.replace_documents(args.directory, args.collection, kept, seen)
        except (KeyboardInterrupt, SystemExit):
            raise
        except BaseException as error:  # noqa: B036 - quarn's PanicException derives from BaseException
            detail = f"{type(error).__name__}: {error}"
            if isinstance(error, OSError) and error.strerror:
                detail = error.strerror
            raise CliError(f"cannot write {args.collection}: {detail}; nothing was deleted")
        if not placed:
            raise CliError(
                f"Collection '{args.collection}' changed on disk since it was read; nothing was deleted: "
                "run the delete again to delete from the file as it is now"
            )
        if interrupted:
            print(f"{PROG}: interrupted, but only after the documents were deleted: the delete is complete",
                  file=sys.stderr)
    emit(str(len(matched)))


def survivors(documents, matched):
    """The documents that are not among matched, in their order. A document goes when
    its canonical text is a matched one's: documents with the same text are equal to
    quarn, and equal documents match a query alike. The text tells apart what quarn
    does (1, 1.0 and true) and a little more (0.0 and -0.0), never less."""
    if len(matched) == len(documents):
        return []
    gone = set(map(canonical, matched))
    kept = [document for document in documents if canonical(document) not in gone]
    if len(documents) - len(kept) != len(matched):
        raise CliError("the documents to delete cannot be told apart from the others; nothing was deleted")
    return kept


EXAMPLES = """examples (as docs/cli.md runs them, after README's quick tour):
  quarn shop collections
  quarn shop find users '{"age": {"$gte": 18}}' --limit 1
  quarn shop count users '{"address.city": "Paris"}'
  quarn shop update users '{"age": {"$inc": 1}}' '{"name": "Ada"}'
  quarn shop count users '{"age": {"$gte": 18}, "age.$lt": 30}'
  echo '{"name": "Eve", "age": 52}' | quarn shop insert users -
  quarn people import users users.jsonl --write
  quarn people export users '{"age": {"$gte": 18}}'
  quarn people delete users '{"age": {"$lt": 18}}'

update changes only members that exist, and a nested object uses only its
first operator (a range needs two keys, as above); the tool warns about both.
update's trace lines (two per update term) go to standard error."""


def build_parser():
    parser = UsageParser(
        prog=PROG,
        description="Look into a quarn database directory. Documents are printed as JSON Lines.",
        epilog=EXAMPLES,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("--version", action=quarn_io.VersionAction, help="print the version of quarn and exit")
    parser.add_argument("directory", metavar="DIR", help="the database directory")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    listing = commands.add_parser("collections", help="list the collections, one name per line")
    listing.set_defaults(run=command_collections)

    find = commands.add_parser("find", help="print the documents that match QUERY_JSON (all without it)")
    find.add_argument("collection", metavar="COLLECTION")
    find.add_argument("query", metavar="QUERY_JSON", nargs="?", help='a query object, e.g. \'{"age": {"$gte": 18}}\'')
    find.add_argument("--pretty", action="store_true", help="indented output instead of one line per document")
    find.add_argument("--limit", type=non_negative, metavar="N", help="print at most N documents")
    find.set_defaults(run=command_find)

    count = commands.add_parser("count", help="print how many documents match QUERY_JSON (all without it)")
    count.add_argument("collection", metavar="COLLECTION")
    count.add_argument("query", metavar="QUERY_JSON", nargs="?")
    count.set_defaults(run=command_count)

    insert = commands.add_parser(
        "insert", help="insert the document (object) or documents (array) of FILE.json, write, print the count"
    )
    insert.add_argument("collection", metavar="COLLECTION")
    insert.add_argument("file", metavar="FILE.json", help="a JSON file, or - for standard input")
    insert.set_defaults(run=command_insert)

    update = commands.add_parser(
        "update", help="apply UPDATE_JSON to the documents QUERY_JSON selects, write, print how many were selected and changed"
    )
    update.add_argument("collection", metavar="COLLECTION")
    update.add_argument("update", metavar="UPDATE_JSON", help='an update object, e.g. \'{"age": {"$inc": 1}}\'')
    update.add_argument("query", metavar="QUERY_JSON", nargs="?")
    update.set_defaults(run=command_update)

    delete = commands.add_parser(
        "delete", help="remove the documents that match QUERY_JSON ({} for all), write, print how many were removed"
    )
    delete.add_argument("collection", metavar="COLLECTION")
    delete.add_argument("query", metavar="QUERY_JSON", help='a query object, as find takes, e.g. \'{"age": {"$lt": 18}}\'')
    delete.set_defaults(run=command_delete)

    quarn_io.register(commands)
    return parser


def fail(message, status):
    one_line = message.replace("\r\n", " ").replace("\n", " ").replace("\r", " ")
    print(f"{PROG}: error: {one_line}", file=sys.stderr)
    return status


def main(argv=None):
    args = build_parser().parse_args(argv)
    try:
        args.run(args)
    except CliError as error:
        return fail(str(error), error.status)
    except KeyboardInterrupt:
        return fail("interrupted", 130)
    except BrokenPipeError:
        # A reader that stopped early (head, less) is not an error of ours.
        os.dup2(os.open(os.devnull, os.O_WRONLY), 1)
        return 0
    except (SystemExit, GeneratorExit):
        raise
    except BaseException as error:  # noqa: B036 - quarn's PanicException derives from BaseException
        return fail(f"{type(error).__name__}: {error}", 1)
    try:
        sys.stdout.flush()
    except BrokenPipeError:
        os.dup2(os.open(os.devnull, os.O_WRONLY), 1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
