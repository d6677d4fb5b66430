"""The ``quarn`` command: look into a quarn database directory from the shell.

    quarn DIR collections
    quarn DIR find COLLECTION [QUERY_JSON] [--pretty] [--limit N]
    quarn DIR count COLLECTION [QUERY_JSON]
    quarn DIR insert COLLECTION FILE.json        (then writes the collection)
    quarn DIR update COLLECTION UPDATE_JSON [QUERY_JSON]   (then writes it)
    quarn DIR import COLLECTION FILE|- [--write]  (JSON Lines or an array; see quarn_io)
    quarn DIR export COLLECTION [QUERY_JSON] [--format jsonl|json] [-o FILE]
    quarn --version

Documents go to standard output as JSON Lines (one compact document per line),
so the output can be piped into other tools. ``update`` prints the number of
documents it selected; the two trace lines per update term that quarn prints
are sent to standard error instead, keeping standard output parseable.
Failures print one line to standard error and exit with status 1 (2 for
usage errors and JSON, in arguments or files, that does not parse).
"""

import argparse
import contextlib
import json
import math
import os
import sys

import quarn_io

PROG = "quarn"


class UsageParser(argparse.ArgumentParser):
    """Usage errors as one line, like every other failure of the tool."""

    def error(self, message):
        self.exit(2, f"{self.prog}: error: {message} (see {PROG} --help)\n")


class CliError(Exception):
    """A failure reported as one line; ``status`` is the exit status."""

    def __init__(self, message, status=1):
        super().__init__(message)
        self.status = status


def _reject_constant(name):
    # Python's json accepts NaN and Infinity; JSON (and quarn) does not.
    raise ValueError(f"{name} is not valid JSON")


def _parse_float(text):
    value = float(text)
    if math.isinf(value):
        raise ValueError(f"the number {text} is out of range")
    return value


def _parse_int(text):
    # As quarn reads its own files: integers beyond 64 bits become floats.
    value = int(text)
    return value if -(2**63) <= value < 2**64 else _parse_float(text)


def parse_json(text, what):
    """Parse ``text`` as strict JSON, reporting the line and column of a fault."""
    try:
        return json.loads(text, parse_constant=_reject_constant, parse_float=_parse_float, parse_int=_parse_int)
    except json.JSONDecodeError as error:
        raise CliError(f"{what} is not valid JSON: {error.msg} at line {error.lineno}, column {error.colno}", 2)
    except ValueError as error:
        raise CliError(f"{what}: {error}", 2)


def parse_object(text, what):
    value = parse_json(text, what)
    if not isinstance(value, dict):
        raise CliError(f"{what} must be a JSON object, not {json_kind(value)}", 2)
    return value


def json_kind(value):
    kinds = {bool: "a boolean", int: "a number", float: "a number", str: "a string", list: "an array"}
    return "null" if value is None else kinds.get(type(value), "an object")


def read_json_file(path):
    """The documents of FILE.json: an object is one document, an array many."""
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
    return parse_json(text, path)


@contextlib.contextmanager
def stdout_to_stderr():
    """Send what is written to file descriptor 1 to descriptor 2 meanwhile.

    quarn writes its update trace lines straight to descriptor 1, below
    Python's sys.stdout; redirecting the descriptor is the only way to keep
    them out of this tool's output.
    """
    sys.stdout.flush()
    saved = os.dup(1)
    try:
        os.dup2(2, 1)
        yield
    finally:
        os.dup2(saved, 1)
        os.close(saved)


def emit(text):
    sys.stdout.buffer.write(text.encode("utf-8") + b"\n")


def dump(document, pretty):
    if pretty:
        return json.dumps(document, ensure_ascii=False, indent=2)
    return json.dumps(document, ensure_ascii=False, separators=(",", ":"))


def open_database(directory, create=False):
    from quarn import Quarn

    if not create and not os.path.isdir(directory):
        raise CliError(f"{directory} is not a database directory")
    return Quarn(directory)


def require_collection(db, directory, name):
    """find and count load a collection from disk; say plainly when it is absent."""
    if name not in db.collections():
        raise CliError(f"no collection '{name}' in {directory}")


def command_collections(args):
    db = open_database(args.directory)
    for name in db.collections():
        emit(name)


def command_find(args):
    query = parse_object(args.query, "QUERY_JSON") if args.query is not None else None
    db = open_database(args.directory)
    require_collection(db, args.directory, args.collection)
    documents = db.find(args.collection, query)
    if args.limit is not None:
        documents = documents[: args.limit]
    for document in documents:
        emit(dump(document, args.pretty))


def command_count(args):
    query = parse_object(args.query, "QUERY_JSON") if args.query is not None else None
    db = open_database(args.directory)
    require_collection(db, args.directory, args.collection)
    emit(str(len(db.find(args.collection, query))))


def command_insert(args):
    value = read_json_file(args.file)
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


def command_update(args):
    update = parse_object(args.update, "UPDATE_JSON")
    query = parse_object(args.query, "QUERY_JSON") if args.query is not None else None
    db = open_database(args.directory)
    require_collection(db, args.directory, args.collection)
    # update raises before it changes anything, so this count is the number it changes.
    selected = len(db.find(args.collection, query))
    with stdout_to_stderr():
        db.update(args.collection, update, query)
    db.write(args.collection)
    emit(str(selected))


def non_negative(text):
    try:
        value = int(text)
    except ValueError:
        value = -1
    if value < 0:
        raise argparse.ArgumentTypeError(f"expected a whole number >= 0, got {text!r}")
    return value


EXAMPLES = """examples:
  quarn data/shop collections
  quarn data/shop find users '{"age": {"$gte": 18}}' --limit 10
  quarn data/shop count users '{"address.city": "Paris"}'
  quarn data/shop insert users new-users.json
  quarn data/shop update users '{"age": {"$inc": 1}}' '{"name": "Ada"}'
  quarn data/shop import users users.jsonl --write
  quarn data/shop export users '{"age": {"$gte": 18}}' -o adults.jsonl

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
        "update", help="apply UPDATE_JSON to the documents QUERY_JSON selects, write, print their count"
    )
    update.add_argument("collection", metavar="COLLECTION")
    update.add_argument("update", metavar="UPDATE_JSON", help='an update object, e.g. \'{"age": {"$inc": 1}}\'')
    update.add_argument("query", metavar="QUERY_JSON", nargs="?")
    update.set_defaults(run=command_update)

    quarn_io.register(commands, sys.modules[__name__])
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
