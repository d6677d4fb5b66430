"""Data in and out for the ``quarn`` command: ``import``, ``export`` and ``--version``.

    quarn DIR import COLLECTION FILE|- [--format auto|jsonl|json] [--batch N] [--write]
    quarn DIR export COLLECTION [QUERY_JSON] [--format jsonl|json] [-o FILE]

``import`` streams its input: JSON Lines are read line by line, a JSON array
element by element from a sliding window of text, and the documents go to
``insert_many`` a batch at a time, so memory holds one batch (plus the
collection itself, which quarn keeps in memory anyway). Each batch is parsed
and checked whole before it is inserted, so a bad document leaves nothing of
its batch in the collection. quarn_cli passes itself in (``cli``) rather than
being imported here: run as ``python -m quarn_cli`` it is ``__main__``, and a
second copy would bring a second ``CliError`` that its ``main`` does not catch.
"""

import argparse
import codecs
import json
import os
import re
import stat
import sys
import tempfile
import time

CHUNK = 1 << 20  # bytes read at a time from a JSON array
BATCH = 10_000  # documents per insert_many
_SPACE = re.compile(r"[ \t\n\r]*")
_STRING = re.compile(r'"(?:[^"\\]|\\.)*"', re.DOTALL)


# --version -------------------------------------------------------------------


def version_text(prog):
    """The version of the installed distribution this file belongs to."""
    from importlib import metadata

    try:
        dist = metadata.distribution("quarn")
        here = os.path.realpath(__file__)
        if any(os.path.realpath(str(dist.locate_file(entry))) == here for entry in dist.files or ()):
            return f"{prog} {dist.version}"
    except metadata.PackageNotFoundError:
        pass
    # A build directory on PYTHONPATH has no metadata; another installed copy's
    # version would be a wrong answer.
    return f"{prog} (version unknown: not run from an installed distribution, {os.path.dirname(__file__)})"


class VersionAction(argparse.Action):
    """Like argparse's "version" action, but reads the metadata only when asked."""

    def __init__(self, option_strings, dest=argparse.SUPPRESS, default=argparse.SUPPRESS, help=None):
        super().__init__(option_strings, dest=dest, default=default, nargs=0, help=help)

    def __call__(self, parser, namespace, values, option_string=None):
        print(version_text(parser.prog))  # to standard output, as argparse's own action does
        parser.exit(0)


# Progress ---------------------------------------------------------------------


class Progress:
    """A tqdm bar on standard error when it is a terminal; nothing otherwise."""

    def __init__(self, total_bytes, label):
        self.bar = None
        self.documents = 0
        self.started = time.monotonic()
        if not sys.stderr.isatty():
            return
        try:
            from tqdm import tqdm
        except ImportError:
            print("quarn: (no progress bar: the tqdm package is not installed)", file=sys.stderr)
            return
        try:
            width = os.get_terminal_size(sys.stderr.fileno()).columns
        except OSError:
            width = 0
        self.bar = tqdm(
            total=total_bytes, desc=label, unit="B", unit_scale=True, unit_divisor=1024, file=sys.stderr,
            # tqdm draws nothing on a terminal that reports no size (a bare pty).
            ncols=None if width else 100,
            nrows=None if width else 24,
        )

    def advance(self, bytes_read, documents):
        if self.bar is None:
            return
        self.documents += documents
        rate = self.documents / max(time.monotonic() - self.started, 1e-9)
        self.bar.set_postfix_str(f"{self.documents:,} docs, {rate:,.0f} docs/s", refresh=False)
        self.bar.update(bytes_read)

    def close(self):
        if self.bar is not None:
            self.bar.close()


# Reading ----------------------------------------------------------------------


class BadInput(Exception):
    """A fault in the input at ``line``; ``status`` as the command reports it."""

    def __init__(self, line, message, status):
        super().__init__(message)
        self.line = line
        self.status = status


def _what(value, cli):
    return "not a JSON object but " + cli.json_kind(value)


def jsonl_documents(handle, decoder, cli, progress):
    """Yield (line number, document) of JSON Lines; blank lines are skipped."""
    unreported = 0
    for number, raw in enumerate(handle, 1):
        unreported += len(raw)
        if unreported >= CHUNK:  # the bar is told in chunks: a call per line costs
            progress(unreported)
            unreported = 0
        if number == 1 and raw.startswith(codecs.BOM_UTF8):
            raw = raw[3:]
        try:
            text = raw.decode("utf-8")
        except UnicodeDecodeError as error:
            raise BadInput(number, f"not UTF-8 text: {error.reason} at byte {error.start + 1} of the line", 1)
        if not text.strip():
            continue
        try:
            value = decoder.decode(text)
        except json.JSONDecodeError as error:
            raise BadInput(number, f"not valid JSON: {error.msg} at column {error.colno}", 2)
        except ValueError as error:
            raise BadInput(number, str(error), 2)
        if not isinstance(value, dict):
            raise BadInput(number, _what(value, cli), 1)
        yield number, value
    progress(unreported)


class ArrayReader:
    """The elements of one JSON array, parsed from a window of text that holds
    the element being read and what follows it, never the whole file."""

    def __init__(self, handle, decoder, progress):
        self.handle = handle
        self.decoder = decoder
        self.progress = progress
        self.utf8 = codecs.getincrementaldecoder("utf-8-sig")()
        self.text = ""
        self.pos = 0
        self.eof = False
        self.bytes_read = 0
        self.lines_before = 0  # newlines in the text already dropped from the window
        self.column_before = 0  # characters dropped since the last of them
        self.mark, self.mark_lines = 0, 0  # a position in the window and the newlines before it

    def line(self, pos=None):
        # Counted on from the last position asked for: every element asks.
        pos = self.pos if pos is None else pos
        if pos < self.mark:
            self.mark, self.mark_lines = 0, self.lines_before
        self.mark_lines += self.text.count("\n", self.mark, pos)
        self.mark = pos
        return self.mark_lines + 1

    def column(self, pos):
        newline = self.text.rfind("\n", 0, pos)
        return pos - newline if newline >= 0 else self.column_before + pos + 1

    def fill(self, size=CHUNK):
        """Drop the text already parsed and read at least ``size`` more bytes."""
        dropped = self.text[: self.pos]
        newlines = dropped.count("\n")
        if newlines:
            self.lines_before += newlines
            self.column_before = len(dropped) - dropped.rfind("\n") - 1
        else:
            self.column_before += len(dropped)
        self.text, self.pos = self.text[self.pos :], 0
        self.mark, self.mark_lines = 0, self.lines_before
        data = self.handle.read(size)
        self.progress(len(data))
        pending = len(self.utf8.getstate()[0])
        try:
            self.text += self.utf8.decode(data, final=not data)
        except UnicodeDecodeError as error:
            # error.start counts the bytes the decoder held back from the last chunk.
            line = self.line(len(self.text)) + data[: max(error.start - pending, 0)].count(b"\n")
            raise BadInput(line, f"not UTF-8 text: {error.reason} at byte {self.bytes_read - pending + error.start + 1}", 1)
        self.bytes_read += len(data)
        self.eof = not data

    def next_char(self):
        """The next character that is not white space ('' at the end), not consumed."""
        while True:
            self.pos = _SPACE.match(self.text, self.pos).end()
            if self.pos < len(self.text) or self.eof:
                return self.text[self.pos : self.pos + 1]
            self.fill()

    def fault(self, message, pos=None, status=2):
        pos = self.pos if pos is None else pos
        return BadInput(self.line(pos), f"{message} at column {self.column(pos)}", status)

    def truncated(self, pos):
        """Whether a parse that failed at ``pos`` may just need more text."""
        if len(self.text) - pos <= 8:
            return True
        return self.text[pos : pos + 1] == '"' and not _STRING.match(self.text, pos)

    def value(self):
        size = CHUNK
        self.next_char()
        while True:
            try:
                value, end = self.decoder.raw_decode(self.text, self.pos)
            except json.JSONDecodeError as error:
                if self.eof or not self.truncated(error.pos):
                    raise self.fault(f"not valid JSON: {error.msg}", error.pos)
            except ValueError as error:  # NaN, a number out of range
                raise BadInput(self.line(), str(error), 2)
            else:
                # A number near the end of the window may go on in the next chunk
                # ("1." + "5" read as 1); two characters are the most a number's
                # tail can be ("e+") without parsing.
                if len(self.text) - end > 2 or self.eof:
                    line = self.line()
                    self.pos = end
                    return line, value
            self.fill(size)
            size *= 2  # a long value is re-parsed a logarithmic number of times

    def documents(self, cli):
        first = self.next_char()
        if first != "[":
            raise self.fault(f"not a JSON array: it starts with {first!r}" if first else "no JSON array", status=2)
        self.pos += 1
        if self.next_char() == "]":
            self.pos += 1
        else:
            while True:
                line, value = self.value()
                if not isinstance(value, dict):
                    raise BadInput(line, _what(value, cli), 1)
                yield line, value
                char = self.next_char()
                if char not in (",", "]"):
                    problem = "expected ',' or ']'" if char else "the array is not closed"
                    raise self.fault(f"not valid JSON: {problem}")
                self.pos += 1
                if char == "]":
                    break
        if self.next_char():
            raise self.fault("not valid JSON: extra data after the array")


def sniff(handle):
    """'json' when the first character that is not white space is '[', else 'jsonl'."""
    head = handle.peek(4096).lstrip(codecs.BOM_UTF8).lstrip(b" \t\r\n")
    return "json" if head[:1] == b"[" else "jsonl"


def open_input(path):
    """The binary input and its size (None when it has none: a pipe, a terminal)."""
    if path == "-":
        return sys.stdin.buffer, None
    handle = open(path, "rb")  # a directory raises IsADirectoryError here
    status = os.fstat(handle.fileno())
    return handle, status.st_size if stat.S_ISREG(status.st_mode) else None


def command_import(cli, args):
    name = "standard input" if args.file == "-" else args.file
    try:
        handle, size = open_input(args.file)
    except OSError as error:
        raise cli.CliError(f"cannot read {args.file}: {error.strerror or error}")
    decoder = json.JSONDecoder(
        parse_constant=cli._reject_constant, parse_float=cli._parse_float, parse_int=cli._parse_int
    )
    bar = Progress(size, args.collection)
    state = {"db": None, "created": False, "made_dir": False, "inserted": 0}

    def insert(batch, first_line):
        if state["db"] is None:
            state["made_dir"] = not os.path.isdir(args.directory)
            try:
                state["db"] = cli.open_database(args.directory, create=True)
                state["created"] = args.collection not in state["db"].collections()
            except OSError as error:
                raise cli.CliError(f"cannot open {args.directory}: {error.strerror or error}")
        try:
            state["db"].insert_many(args.collection, batch)
        except (KeyboardInterrupt, SystemExit):
            raise
        except BaseException as error:  # noqa: B036 - quarn's PanicException derives from BaseException
            # insert_many inserts all of a batch or nothing.
            raise BadInput(first_line, f"the batch starting here was refused: {type(error).__name__}: {error}", 1)
        state["inserted"] += len(batch)
        bar.advance(0, len(batch))

    try:
        form = args.format if args.format != "auto" else sniff(handle)
        if form == "json":
            documents = ArrayReader(handle, decoder, lambda n: bar.advance(n, 0)).documents(cli)
        else:
            documents = jsonl_documents(handle, decoder, cli, lambda n: bar.advance(n, 0))
        batch, first_line = [], None
        for line, document in documents:
            if not batch:
                first_line = line
            batch.append(document)
            if len(batch) >= args.batch:
                insert(batch, first_line)
                batch = []
        if batch:
            insert(batch, first_line)
    except BadInput as error:
        undo(state, args)
        raise cli.CliError(f"{name}, line {error.line}: {error} {before(state, args)}", error.status)
    except OSError as error:
        undo(state, args)
        raise cli.CliError(f"cannot read {args.file}: {error.strerror or error} {before(state, args)}")
    except BaseException:
        undo(state, args)
        raise
    finally:
        bar.close()
        if handle is not sys.stdin.buffer:
            handle.close()
    if args.write and state["db"] is not None:
        try:
            state["db"].write(args.collection)
        except (KeyboardInterrupt, SystemExit):
            undo(state, args)
            raise
        except BaseException as error:  # noqa: B036 - PanicException, as above
            undo(state, args)  # quarn's write leaves the old file as it was
            raise cli.CliError(f"cannot write {args.collection}: {type(error).__name__}: {error}")
    elif not args.write:
        undo(state, args)
        print("quarn: checked only, nothing written (add --write to keep the documents)", file=sys.stderr)
    cli.emit(str(state["inserted"]))


def before(state, args):
    kept = "nothing was written" if args.write else "nothing is written without --write"
    return f"({state['inserted']:,} documents went in before it; {kept})"


def undo(state, args):
    """Leave the directory as it was: no empty collection file, no new directory."""
    db = state["db"]
    if db is None or not state["created"]:
        return
    try:
        db.drop_collection(args.collection)
        if state["made_dir"]:
            os.rmdir(args.directory)
    except OSError:
        pass


# Writing ----------------------------------------------------------------------


def encode_all(documents, form):
    dumps = json.JSONEncoder(ensure_ascii=False, separators=(",", ":"), allow_nan=False).encode
    if form == "json":
        yield "["
        for start in range(0, len(documents), 1000):
            yield ("," if start else "") + ",\n".join(map(dumps, documents[start : start + 1000]))
        yield "]\n"
    else:
        for start in range(0, len(documents), 1000):
            yield "".join(dumps(document) + "\n" for document in documents[start : start + 1000])


def write_atomically(path, pieces):
    """Write to a temporary file beside ``path``, sync it, then rename it over."""
    directory = os.path.dirname(os.path.abspath(path))
    fd, temporary = tempfile.mkstemp(dir=directory, prefix="." + os.path.basename(path) + ".", suffix=".tmp")
    try:
        with open(fd, "w", encoding="utf-8", newline="\n") as out:
            umask = os.umask(0)
            os.umask(umask)
            os.fchmod(out.fileno(), 0o666 & ~umask)  # as open() would create it, not mkstemp's 0o600
            for piece in pieces:
                out.write(piece)
            out.flush()
            os.fsync(out.fileno())
        os.replace(temporary, path)
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise


def command_export(cli, args):
    query = cli.parse_object(args.query, "QUERY_JSON") if args.query is not None else None
    db = cli.open_database(args.directory)
    cli.require_collection(db, args.directory, args.collection)
    documents = db.find(args.collection, query)
    pieces = encode_all(documents, args.format)
    if args.output in (None, "-"):
        for piece in pieces:
            sys.stdout.buffer.write(piece.encode("utf-8"))
        return
    try:
        write_atomically(args.output, pieces)
    except OSError as error:
        raise cli.CliError(f"cannot write {args.output}: {error.strerror or error}")
    cli.emit(str(len(documents)))


# The subcommands ------------------------------------------------------------


def register(commands, cli):
    """Add import and export to quarn_cli's subcommands."""
    importing = commands.add_parser(
        "import",
        help="insert the documents of a JSON Lines file or a JSON array, in batches; print the count",
        description="Insert the documents of FILE (JSON Lines, or one JSON array) in batches. Without --write "
        "this only checks the input: nothing is kept.",
    )
    importing.add_argument("collection", metavar="COLLECTION")
    importing.add_argument("file", metavar="FILE", help="a .jsonl or .json file, or - for standard input")
    importing.add_argument(
        "--format", choices=["auto", "jsonl", "json"], default="auto",
        help="jsonl: one document per line; json: one array; auto (default): json if the input starts with '['",
    )
    importing.add_argument("--batch", type=positive(cli), default=BATCH, metavar="N",
                           help=f"documents per insert (default {BATCH:,})")
    importing.add_argument("--write", action="store_true", help="write the collection at the end")
    importing.set_defaults(run=lambda args: command_import(cli, args))

    exporting = commands.add_parser(
        "export", help="write the documents (all, or QUERY_JSON's) as JSON Lines or one JSON array"
    )
    exporting.add_argument("collection", metavar="COLLECTION")
    exporting.add_argument("query", metavar="QUERY_JSON", nargs="?")
    exporting.add_argument("--format", choices=["jsonl", "json"], default="jsonl",
                           help="jsonl (default): one document per line; json: one array")
    exporting.add_argument("-o", "--output", metavar="FILE",
                           help="write FILE atomically (and print the count) instead of standard output")
    exporting.set_defaults(run=lambda args: command_export(cli, args))


def positive(cli):
    def parse(text):
        value = cli.non_negative(text)
        if value == 0:
            raise argparse.ArgumentTypeError("expected a whole number >= 1, got '0'")
        return value

    return parse
