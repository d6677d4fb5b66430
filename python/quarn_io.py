"""Data in and out for the ``quarn`` command: ``import``, ``export`` and ``--version``.

    quarn DIR import COLLECTION FILE|- [--format auto|jsonl|json] [--header] [--batch N] [--write [--replace]]
    quarn DIR export COLLECTION [QUERY_JSON] [--format jsonl|json] [-o FILE]

``import`` streams its input: JSON Lines are read line by line, a JSON array
element by element from a sliding window of text, and the documents go to
``insert_many`` a batch at a time, so memory holds one batch (plus the
collection itself, which quarn keeps in memory anyway). Each batch is parsed
and checked whole before it is inserted, so a bad document leaves nothing of
its batch in the collection. A collection that does not exist yet, or whose
documents the input replaces (--replace), is built in a private directory
inside the database's and put in place whole at the end, so that it never
appears part-way; ``delete`` puts what it keeps in place the same way.
quarn_cli imports this module, never the reverse; what both need is in quarn_common.
"""

import argparse
import codecs
import contextlib
import errno
import fcntl
import itertools
import json
import os
import random
import re
import signal
import stat
import sys
import time

from quarn_common import (
    CliError, emit, json_decoder, json_kind, non_negative, open_database, parse_object, require_collection,
)

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
    """A tqdm bar on standard error when it is a terminal; nothing otherwise. It counts in
    one unit: bytes when the input's size is known (a file), documents when it is not (a
    pipe). The readers tell it at most every INTERVAL seconds, and it redraws each time."""

    INTERVAL = 0.1

    def __init__(self, total_bytes, label):
        self.bar = None
        self.in_bytes = total_bytes is not None
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
            total=total_bytes, desc=label, unit="B" if self.in_bytes else " docs", unit_scale=self.in_bytes,
            unit_divisor=1024, file=sys.stderr,
            # Told seldom enough already: every call redraws.
            mininterval=0, miniters=1,
            # tqdm draws nothing on a terminal that reports no size (a bare pty).
            ncols=None if width else 100,
            nrows=None if width else 24,
        )

    def advance(self, bytes_read, documents):
        if self.bar is not None:
            self.bar.update(bytes_read if self.in_bytes else documents)

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


def _what(value):
    return "not a JSON object but " + json_kind(value)


# Rows of values under a header row are common JSON Lines that are not documents.
AN_ARRAY_LINE = (
    "an array, but each line must hold one object; "
    "add --header if this line names the fields of the arrays on the lines after it"
)


def field_names(value):
    """The field names of a --header line, or why it is not one."""
    if not isinstance(value, list):
        return None, f"not a header: --header needs an array of field names here, not {json_kind(value)}"
    for place, name in enumerate(value, 1):
        if not isinstance(name, str):
            return None, f"not a header: field {place} is {json_kind(name)}, not a name (a string)"
    if len(set(value)) < len(value):
        twice = next(name for place, name in enumerate(value) if name in value[:place])
        return None, f"not a header: the field name {json.dumps(twice, ensure_ascii=False)} appears twice"
    return value, None


def jsonl_documents(handle, decoder, progress, header=False):
    """Yield (line number, document) of JSON Lines; blank lines are skipped. With header,
    the first line names the fields and each later one is an array of their values."""
    unreported, counted, due = 0, 0, 0.0
    names, header_line, first = None, None, True
    for number, raw in enumerate(handle, 1):
        unreported += len(raw)
        now = time.monotonic()
        if now >= due:
            progress(unreported, counted)
            unreported, counted, due = 0, 0, now + Progress.INTERVAL
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
        if header and names is None:
            names, fault = field_names(value)
            if fault:
                raise BadInput(number, fault, 1)
            header_line = number
            continue
        if header:
            if not isinstance(value, list):
                raise BadInput(number, f"not an array of values but {json_kind(value)}", 1)
            if len(value) != len(names):
                raise BadInput(number, f"{len(value)} value{'s' * (len(value) != 1)}, but line {header_line} "
                                       f"names {len(names)} field{'s' * (len(names) != 1)}", 1)
            value = dict(zip(names, value))
        elif not isinstance(value, dict):
            raise BadInput(number, AN_ARRAY_LINE if first and isinstance(value, list) else _what(value), 1)
        first = False
        counted += 1
        yield number, value
    progress(unreported, counted)


class ArrayReader:
    """The elements of one JSON array, parsed from a window of text that holds
    the element being read and what follows it, never the whole file."""

    def __init__(self, handle, decoder, progress, sniffed=False):
        self.handle = handle
        self.read = getattr(handle, "read1", handle.read)  # what a pipe has, without waiting for more
        self.decoder = decoder
        self.progress = progress
        self.sniffed = sniffed  # taken for an array by its first character: it may be JSON Lines
        self.unreported, self.counted, self.due = 0, 0, 0.0
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
        data = self.read(size)
        self.unreported += len(data)
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

    def tell(self):
        now = time.monotonic()
        if now >= self.due:
            self.progress(self.unreported, self.counted)
            self.unreported, self.counted, self.due = 0, 0, now + Progress.INTERVAL

    def one_line_then_more(self, line):
        """After the first element of an array that opened on line: whether the array
        closes on that line and more follows on later ones, as in JSON Lines."""
        try:
            while self.next_char() == "," and self.line() == line:
                self.pos += 1
                if self.value()[0] != line:
                    return False
            if self.next_char() != "]" or self.line() != line:
                return False
            self.pos += 1
            return bool(self.next_char()) and self.line() > line
        except BadInput:
            return False

    def documents(self):
        first = self.next_char()
        if first != "[":
            raise self.fault(f"not a JSON array: it starts with {first!r}" if first else "no JSON array", status=2)
        opened = self.line()
        self.pos += 1
        if self.next_char() == "]":
            self.pos += 1
        else:
            for element in itertools.count():
                line, value = self.value()
                if not isinstance(value, dict):
                    if element == 0 and self.sniffed and self.one_line_then_more(opened):
                        raise BadInput(opened, AN_ARRAY_LINE, 1)
                    raise BadInput(line, _what(value), 1)
                self.counted += 1
                self.tell()
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
        self.progress(self.unreported, self.counted)


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


def command_import(args):
    name = "standard input" if args.file == "-" else args.file
    if args.header and args.format == "json":
        raise CliError("--header reads JSON Lines, so it cannot go with --format json", 2)
    try:
        handle, size = open_input(args.file)
    except OSError as error:
        raise CliError(f"cannot read {args.file}: {error.strerror or error}")
    decoder = json_decoder()
    bar = Progress(size, args.collection)
    state = {"target": None, "made_dir": False, "inserted": 0}

    def start():
        state["made_dir"] = not os.path.isdir(args.directory)
        try:
            db = open_database(args.directory, create=True)
        except OSError as error:
            raise CliError(f"cannot open {args.directory}: {error.strerror or error}")
        state["target"] = import_target(db, args.directory, args.collection, args.replace)

    def insert(batch, first_line):
        if state["target"] is None:
            start()
        try:
            state["target"].insert(batch)
        except (KeyboardInterrupt, SystemExit):
            raise
        except BaseException as error:  # noqa: B036 - quarn's PanicException derives from BaseException
            # insert_many inserts all of a batch or nothing.
            raise BadInput(first_line, f"the batch starting here was refused: {type(error).__name__}: {error}", 1)
        state["inserted"] += len(batch)

    try:
        if args.replace:
            start()  # the file to replace is the one there before the input is read
        form = "jsonl" if args.header else args.format if args.format != "auto" else sniff(handle)
        if form == "json":
            documents = ArrayReader(handle, decoder, bar.advance, sniffed=args.format == "auto").documents()
        else:
            documents = jsonl_documents(handle, decoder, bar.advance, args.header)
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
        raise CliError(f"{name}, line {error.line}: {error} {before(state, args)}", error.status)
    except OSError as error:
        undo(state, args)
        raise CliError(f"cannot read {args.file}: {error.strerror or error} {before(state, args)}")
    except BaseException:
        undo(state, args)
        raise
    finally:
        bar.close()
        if handle is not sys.stdin.buffer:
            handle.close()
    if args.write and state["target"] is not None:
        write_import(state, args)
        return
    if not args.write:
        undo(state, args)
        print("quarn: checked only, nothing written (add --write to keep the documents)", file=sys.stderr)
    emit(str(state["inserted"]))


def write_import(state, args):
    """Put the documents on disk, then say so. An interrupt meanwhile waits for the
    write to end either way, so that what is reported is what the disk holds."""
    with DeferredInterrupts() as interrupts:
        try:
            state["target"].write()
        except (KeyboardInterrupt, SystemExit):
            undo(state, args)
            raise
        except CliError:
            undo(state, args)
            raise
        except BaseException as error:  # noqa: B036 - PanicException, as above
            undo(state, args)  # quarn's write leaves the old file as it was
            raise CliError(f"cannot write {args.collection}: {type(error).__name__}: {error}")
        state["target"].finish()
        if interrupts.seen:
            print("quarn: interrupted, but only after the documents were written: the import is complete",
                  file=sys.stderr)
        emit(str(state["inserted"]))


def before(state, args):
    kept = "nothing was written" if args.write else "nothing is written without --write"
    return f"({state['inserted']:,} documents went in before it; {kept})"


def undo(state, args):
    """Leave the directory as it was: nothing of this import's, no new directory."""
    if state["target"] is None:
        return
    state["target"].discard()
    if state["made_dir"]:
        try:
            os.rmdir(args.directory)
        except OSError:
            pass


class DeferredInterrupts:
    """SIGINT noted rather than raised meanwhile (where a handler can be set: the main thread)."""

    def __enter__(self):
        self.seen, self.installed = False, True
        try:
            self.previous = signal.signal(signal.SIGINT, self.note)
        except ValueError:
            self.installed = False
        return self

    def note(self, number, frame):
        self.seen = True

    def __exit__(self, *exception):
        if self.installed:
            # None: a handler set outside Python, which cannot be set back; the default instead.
            signal.signal(signal.SIGINT, signal.SIG_DFL if self.previous is None else self.previous)


def import_target(db, directory, collection, replace=False):
    path = os.path.join(directory, collection + ".json")
    if replace:
        seen = file_identity(path, collection)
        return Replacing(directory, collection, seen) if seen else Creating(directory, collection)
    return Appending(db, collection) if os.path.lexists(path) else Creating(directory, collection)


def file_identity(path, collection):
    """The identity of a collection's file (through links, as quarn reads it); None when there is none."""
    try:
        status = os.stat(path)
    except FileNotFoundError:
        return None
    except OSError as error:
        raise CliError(f"cannot read {path}: {error.strerror or error}")
    if not stat.S_ISREG(status.st_mode):
        raise CliError(f"cannot write {collection}: {path} is not a regular file")
    return identity(status)


class Appending:
    """A collection that exists: the batches go into it, and it is written over at the end."""

    def __init__(self, db, collection):
        self.db, self.collection = db, collection

    def insert(self, batch):
        self.db.insert_many(self.collection, batch)

    def write(self):
        self.db.write(self.collection)

    def finish(self):
        pass

    def discard(self):
        pass  # only memory held the documents


class PrivateCopy:
    """A collection that quarn builds in a private directory inside the database's, so
    that its file is whole before it takes the collection's name, as quarn writes it."""

    def __init__(self, directory, collection):
        self.directory, self.collection = directory, collection
        self.target = os.path.join(directory, collection + ".json")
        self.private = self.lock = self.db = None

    def insert(self, batch):
        if self.db is None:
            remove_abandoned(self.directory, temporary_names(IMPORT_PREFIX, IMPORT_SUFFIX), remove_abandoned_directory)
            self.private, _ = create_exclusively(
                self.directory, IMPORT_PREFIX, IMPORT_SUFFIX, lambda path: os.mkdir(path, 0o700)
            )
            flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC
            self.lock = os.open(os.path.join(self.private, IMPORT_LOCK), flags, 0o600)
            fcntl.flock(self.lock, fcntl.LOCK_EX)  # alive: no other import's sweep removes it
            self.db = open_database(self.private)
        self.db.insert_many(self.collection, batch)

    def build(self):
        """Write the collection's file in the private directory; its path."""
        if self.db is None:
            self.insert([])  # no documents: an empty collection
        self.db.write(self.collection)
        return os.path.join(self.private, self.collection + ".json")

    def finish(self):
        if self.private is not None:
            remove_private_directory(self.private, self.lock)
            self.private = self.lock = None


class Creating(PrivateCopy):
    """A collection that does not exist yet, linked into place whole: it appears with
    every document in it or not at all, and never over a file that appeared meanwhile."""

    placed = None  # the identity of the file this import put at target

    def write(self):
        self.placed = put_in_place(self.build(), self.target, None)
        if self.placed is None:
            raise CliError(
                f"cannot write {self.collection}: {self.target} appeared during the import; "
                "it is left as it is and nothing was written"
            )
        sync_directory(self.directory)  # a failure here is undone: the collection did not exist

    def discard(self):
        if self.placed is not None:
            try:
                with directory_turn(self.directory):
                    if identity(os.lstat(self.target)) == self.placed:
                        os.unlink(self.target)
                    else:
                        print(f"quarn: {self.target} changed after this import put it there; it is left as it is",
                              file=sys.stderr)
            except OSError:
                pass
        self.finish()


class Replacing(PrivateCopy):
    """A collection whose documents become the input's: its file is replaced whole, and only
    if it is still the one there when the import began, so that no other writer's change is
    lost unseen."""

    def __init__(self, directory, collection, seen):
        super().__init__(directory, collection)
        self.seen = seen

    def write(self):
        if put_in_place(self.build(), self.target, self.seen) is None:
            raise CliError(
                f"cannot write {self.collection}: Collection '{self.collection}' changed on disk since the import "
                "began; it is left as it is and nothing was written: run the import again to replace it as it is now"
            )
        sync_after_replacing(self.target)

    def discard(self):
        self.finish()


def replace_documents(directory, collection, documents, seen):
    """Make the file of collection hold exactly documents, as quarn writes them, if it is
    still the file seen; False, with nothing changed, when another writer changed it. The
    second value: whether an interrupt came meanwhile (it waits for the end)."""
    copy = PrivateCopy(directory, collection)
    try:
        copy.insert(documents)
        with DeferredInterrupts() as interrupts:
            placed = put_in_place(copy.build(), copy.target, seen) is not None
            if placed:
                sync_after_replacing(copy.target)
    finally:
        copy.finish()
    return placed, interrupts.seen


def put_in_place(made, target, seen):
    """Give the file made the name target, holding the directory's turn as quarn's own
    writes do: over the file there only if it is still the file seen (None: never over
    one), or linked in where nothing is (also where the file seen was removed meanwhile,
    as quarn's write puts it back). The identity of the file put in place, or None when
    another writer's file is there."""
    with directory_turn(os.path.dirname(target)):
        try:
            present = os.stat(target)
        except FileNotFoundError:
            present = None
        if present is None:
            try:
                place_without_replacing(made, target)
            except FileExistsError:
                return None
            with contextlib.suppress(OSError):  # FileNotFoundError: renamed rather than linked
                os.unlink(made)  # before the identity: removing a link changes the file's change time
        elif seen is None or identity(present) != seen:
            return None
        else:
            fd = os.open(made, os.O_RDONLY | os.O_CLOEXEC)
            try:
                take_permissions(fd, present)
            finally:
                os.close(fd)
            os.rename(made, target)
        return identity(os.lstat(target))


def sync_after_replacing(target):
    """Sync the directory of a file just replaced; a failure is told, not raised: the old
    file is gone, so there is nothing left to take back."""
    directory = os.path.dirname(target)
    try:
        sync_directory(directory)
    except OSError as error:
        print(f"quarn: warning: {target} is in place, but {directory} could not be synced "
              f"({error.strerror or error}): a crash may yet undo the change", file=sys.stderr)


def sync_directory(directory):
    fd = os.open(directory, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    try:
        os.fsync(fd)
    except OSError as error:
        if error.errno not in (errno.EINVAL, errno.ENOTSUP):  # directories that cannot be synced
            raise
    finally:
        os.close(fd)


def identity(status):
    return status.st_dev, status.st_ino, status.st_size, status.st_mtime_ns, status.st_ctime_ns


class directory_turn:
    """The database directory, open and flock'ed: the turn quarn's writers take to put files in place."""

    def __init__(self, directory):
        self.fd = os.open(directory, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)

    def __enter__(self):
        try:
            fcntl.flock(self.fd, fcntl.LOCK_EX)
        except BaseException:
            os.close(self.fd)
            raise
        return self.fd

    def __exit__(self, *exception):
        os.close(self.fd)


def place_without_replacing(source, target):
    """Give the file at source the name target too, unless something has that name."""
    try:
        os.link(source, target)
        return
    except OSError as error:
        if error.errno not in (errno.EPERM, errno.ENOTSUP, errno.ENOSYS):  # file systems without links
            raise
        linking = error
    import ctypes

    libc = ctypes.CDLL(None, use_errno=True)
    renameat2 = getattr(libc, "renameat2", None)
    if renameat2 is None:
        raise linking
    renameat2.argtypes = [ctypes.c_int, ctypes.c_char_p, ctypes.c_int, ctypes.c_char_p, ctypes.c_uint]
    at_cwd, no_replace = -100, 1
    if renameat2(at_cwd, os.fsencode(source), at_cwd, os.fsencode(target), no_replace) != 0:
        number = ctypes.get_errno()
        raise OSError(number, os.strerror(number), target)


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


def write_atomically(path, pieces, replaced):
    """Write to a temporary file beside ``path``, sync it, then rename it over.
    It takes the permissions and owner of ``replaced``, the file there now, if any."""
    directory = os.path.dirname(os.path.abspath(path))
    prefix = "." + os.path.basename(path) + "."
    remove_abandoned(directory, temporary_names(prefix, EXPORT_SUFFIX), remove_abandoned_file)
    flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC
    temporary, fd = create_exclusively(directory, prefix, EXPORT_SUFFIX, lambda name: os.open(name, flags, 0o600))
    try:
        fcntl.flock(fd, fcntl.LOCK_EX)  # alive: another export's sweep leaves it
        take_permissions(fd, replaced)
        with open(fd, "w", encoding="utf-8", newline="\n", closefd=False) as out:
            for piece in pieces:
                out.write(piece)
            out.flush()
            os.fsync(fd)
        os.replace(temporary, path)
    except BaseException:
        try:
            os.unlink(temporary)  # while still locked, so that no sweep takes it for abandoned
        except OSError:
            pass
        raise
    finally:
        os.close(fd)


def take_permissions(fd, replaced):
    if replaced is None:
        umask = os.umask(0)
        os.umask(umask)
        os.fchmod(fd, 0o666 & ~umask)  # as open() would create it
        return
    try:  # the owner first: changing it may clear the set-id bits
        os.fchown(fd, replaced.st_uid, replaced.st_gid)
    except PermissionError:
        try:
            os.fchown(fd, -1, replaced.st_gid)
        except PermissionError:
            pass
    os.fchmod(fd, stat.S_IMODE(replaced.st_mode))


def write_in_place(path, pieces):
    # A device or a FIFO is opened as it is: a file renamed over it would take it away
    # from its readers.
    with open(os.open(path, os.O_WRONLY | os.O_CLOEXEC), "w", encoding="utf-8", newline="\n") as out:
        for piece in pieces:
            out.write(piece)


def database_file(path, directory):
    """Which collection of ``directory`` has path as its file (compared by device and
    inode), or would have once it is written (its resolved place); None for neither."""
    try:
        target = os.stat(path)
    except OSError:
        parent, entry = os.path.split(os.path.realpath(path))
        try:
            inside = os.path.samefile(parent, directory)
        except OSError:
            return None
        return collection_of(entry) if inside else None
    try:
        entries = os.listdir(directory)
    except OSError:
        return None
    for entry in entries:
        if collection_of(entry) is None:
            continue
        try:
            status = os.stat(os.path.join(directory, entry))
        except OSError:
            continue
        if (status.st_dev, status.st_ino) == (target.st_dev, target.st_ino):
            return collection_of(entry)
    return None


def collection_of(entry):
    # As quarn names a directory entry: without its final ".json" (".json" itself names none).
    return entry[: -len(".json")] if entry.endswith(".json") and entry != ".json" else None


def command_export(args):
    query = parse_object(args.query, "QUERY_JSON") if args.query is not None else None
    db = open_database(args.directory)
    require_collection(db, args.directory, args.collection)
    to_file = args.output not in (None, "-")
    collection = database_file(args.output, args.directory) if to_file else None
    if collection is not None:  # written over, it would no longer be a collection
        verb = "is" if os.path.exists(args.output) else "would be"
        raise CliError(
            f"cannot write {args.output}: it {verb} the file of collection '{collection}' in {args.directory}", 2
        )
    documents = db.find(args.collection, query)
    pieces = encode_all(documents, args.format)
    if not to_file:
        for piece in pieces:
            sys.stdout.buffer.write(piece.encode("utf-8"))
        return
    try:
        try:
            present = os.stat(args.output)
        except FileNotFoundError:
            present = None
        if present is None or stat.S_ISREG(present.st_mode):
            write_atomically(args.output, pieces, present)
        else:
            write_in_place(args.output, pieces)
    except OSError as error:
        raise CliError(f"cannot write {args.output}: {error.strerror or error}")
    emit(str(len(documents)))


# Temporary files and directories ----------------------------------------------
#
# Named "." + the target's name + "." + eight characters + ".tmp" (an export's) or
# ".quarn-import." + eight characters + ".tmp" (an import's private directory, with
# its lock file inside). Whoever makes one holds an flock on it while it lives; one
# that nobody holds and nobody changed for a minute was left by a killed process.

EXPORT_SUFFIX = ".tmp"
IMPORT_PREFIX, IMPORT_SUFFIX, IMPORT_LOCK = ".quarn-import.", ".tmp", "lock"
ABANDONED_AFTER = 60  # seconds: a new file's maker may not hold its lock yet
_CHARACTERS = "abcdefghijklmnopqrstuvwxyz0123456789_"


def temporary_names(prefix, suffix):
    return re.compile(re.escape(prefix) + "[a-z0-9_]{8}" + re.escape(suffix))


def create_exclusively(directory, prefix, suffix, make):
    """A new file or directory under a free temporary name: its path and what ``make``
    (which fails if the name exists) returned."""
    choose = random.SystemRandom().choice
    for _ in range(100):
        path = os.path.join(directory, prefix + "".join(choose(_CHARACTERS) for _ in range(8)) + suffix)
        try:
            return path, make(path)
        except FileExistsError:
            continue
    raise FileExistsError(errno.EEXIST, "no temporary name is free", directory)


def remove_abandoned(directory, names, remove):
    """Hand each entry of directory that ``names`` matches whole to ``remove``; failures are ignored."""
    try:
        entries = os.listdir(directory)
    except OSError:
        return
    for entry in entries:
        if names.fullmatch(entry):
            try:
                remove(os.path.join(directory, entry))
            except OSError:
                pass


def _held(fd):
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        return True
    return False


def _abandoned(path, status):
    """Old and still the entry at path: what was examined is what would be removed."""
    if time.time() - status.st_mtime < ABANDONED_AFTER:
        return False
    named = os.lstat(path)
    return (named.st_dev, named.st_ino) == (status.st_dev, status.st_ino)


def remove_abandoned_file(path):
    fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC)
    try:
        status = os.fstat(fd)
        if stat.S_ISREG(status.st_mode) and not _held(fd) and _abandoned(path, status):
            os.unlink(path)  # under this lock
    finally:
        os.close(fd)


def remove_abandoned_directory(path):
    fd = os.open(path, os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW | os.O_CLOEXEC)
    lock = None
    try:
        try:
            lock = os.open(IMPORT_LOCK, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC, dir_fd=fd)
        except FileNotFoundError:
            pass  # killed before it was made
        if (lock is None or not _held(lock)) and _abandoned(path, os.fstat(fd)):
            remove_private_directory(path, lock)
            lock = None
    finally:
        os.close(fd)
        if lock is not None:
            os.close(lock)


def remove_private_directory(path, lock):
    """Remove an import's private directory: the files quarn made in it, then its lock file
    (still held, so that no sweep takes it for abandoned meanwhile) and itself."""
    try:
        for entry in os.listdir(path):
            if entry != IMPORT_LOCK:
                os.unlink(os.path.join(path, entry))
        with contextlib.suppress(FileNotFoundError):
            os.unlink(os.path.join(path, IMPORT_LOCK))
        os.rmdir(path)
    except OSError:
        pass
    finally:
        if lock is not None:
            os.close(lock)


# The subcommands ------------------------------------------------------------


def register(commands):
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
    importing.add_argument("--batch", type=positive, default=BATCH, metavar="N",
                           help=f"documents per insert (default {BATCH:,})")
    importing.add_argument("--write", action="store_true", help="write the collection at the end")
    importing.add_argument(
        "--replace", action="store_true",
        help="with --write: the collection's documents become exactly the input's (its file is replaced "
        "whole; on any fault it stays as it was)",
    )
    importing.add_argument(
        "--header", action="store_true",
        help="JSON Lines whose first line is an array of field names and every later line an array of "
        "their values, one document per line",
    )
    importing.set_defaults(run=command_import)

    exporting = commands.add_parser(
        "export", help="write the documents (all, or QUERY_JSON's) as JSON Lines or one JSON array"
    )
    exporting.add_argument("collection", metavar="COLLECTION")
    exporting.add_argument("query", metavar="QUERY_JSON", nargs="?")
    exporting.add_argument("--format", choices=["jsonl", "json"], default="jsonl",
                           help="jsonl (default): one document per line; json: one array")
    exporting.add_argument("-o", "--output", metavar="FILE",
                           help="write FILE atomically (and print the count) instead of standard output")
    exporting.set_defaults(run=command_export)


def positive(text):
    value = non_negative(text)
    if value == 0:
        raise argparse.ArgumentTypeError("expected a whole number >= 1, got '0'")
    return value
