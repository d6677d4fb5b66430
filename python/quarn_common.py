"""What the ``quarn`` command's modules share: the failure a command reports, JSON read
strictly as quarn reads it, the database a command opens and the lines it prints.

quarn_cli and quarn_io both import this module and it imports neither: the imports go
one way, quarn_cli to quarn_io, both to here. Nothing imports quarn_cli, so even run as
``python -m quarn_cli`` (as ``__main__``) there is one ``CliError``, the one main catches.
"""

import argparse
import json
import math
import os
import sys


class CliError(Exception):
    """A failure reported as one line; ``status`` is the exit status."""

    def __init__(self, message, status=1):
        super().__init__(message)
        self.status = status


def reject_constant(name):
    # Python's json accepts NaN and Infinity; JSON (and quarn) does not.
    raise ValueError(f"{name} is not valid JSON")


def parse_float(text):
    value = float(text)
    if math.isinf(value):
        raise ValueError(f"the number {text} is out of range")
    return value


def parse_int(text):
    # As quarn reads its own files: integers beyond 64 bits become floats.
    value = int(text)
    return value if -(2**63) <= value < 2**64 else parse_float(text)


def json_decoder():
    """A decoder that reads JSON as parse_json does, for text read piece by piece."""
    return json.JSONDecoder(parse_constant=reject_constant, parse_float=parse_float, parse_int=parse_int)


def parse_json(text, what):
    """Parse ``text`` as strict JSON, reporting the line and column of a fault."""
    try:
        return json.loads(text, parse_constant=reject_constant, parse_float=parse_float, parse_int=parse_int)
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


def emit(text):
    sys.stdout.buffer.write(text.encode("utf-8") + b"\n")


def open_database(directory, create=False):
    from quarn import Quarn

    if not create and not os.path.isdir(directory):
        raise CliError(f"{directory} is not a database directory")
    return Quarn(directory)


def require_collection(db, directory, name):
    """find and count load a collection from disk; say plainly when it is absent."""
    if name not in db.collections():
        raise CliError(f"no collection '{name}' in {directory}")


def non_negative(text):
    try:
        value = int(text)
    except ValueError:
        value = -1
    if value < 0:
        raise argparse.ArgumentTypeError(f"expected a whole number >= 0, got {text!r}")
    return value
