"""Failures of the command-line tool and the two ways it talks to the user."""

from __future__ import annotations

import sys


class Failure(Exception):
    """A runtime failure: bad data, bad schema, unreadable file (exit 1)."""


class UsageError(Exception):
    """A command line that cannot be carried out as given (exit 2)."""


def describe(exc: BaseException) -> str:
    """An exception's message on one line (a KeyError says which key is missing), followed by its
    notes in parentheses (the codec's says where the data broke)."""
    if isinstance(exc, KeyError) and exc.args:
        text = f"missing key {exc.args[0]!r}"
    else:
        text = str(exc) or type(exc).__name__
    notes = getattr(exc, "__notes__", None)
    if notes:
        text += f" ({'; '.join(map(str, notes))})"
    return " ".join(text.split())


def kind_name(exc: BaseException) -> str:
    """The class name an error line shows: for the codec's error kinds (Virel.tl.TruncatedRuntimeError
    and the like), the built-in class each derives from, as the line showed before they existed."""
    cls = type(exc)
    if cls.__module__ == "Virel.tl":
        cls = next((c for c in cls.__mro__ if c.__module__ == "builtins"), cls)
    return cls.__name__


def shown(text: str) -> str:
    """text with every character a terminal would act on or hide escaped as repr escapes it
    (ESC as \\x1b, a newline as \\n, a right-to-left override as \\u202e); the rest as it is."""
    if text.isprintable():
        return text
    return "".join(c if c.isprintable() else repr(c)[1:-1] for c in text)


def out(text: str) -> None:
    sys.stdout.write(text + "\n")


def note(text: str) -> None:
    """A message on stderr, on one line and with what came from the input or a schema escaped
    (see shown); every message of the tool begins with "virel:"."""
    sys.stderr.write(f"virel: {shown(text)}\n")
