"""Helpers shared by the test suite and the fuzz harnesses (which put this folder on sys.path).

A schema's kinds, conditions and vector levels are read from the records the compiler made of it
(TLSchemaCompiler.entries()), never from its type texts.
"""

__all__ = [
    "DOCUMENTED",
    "builtin_class",
    "decode_is_sound",
    "framed_body",
    "norm",
    "same",
]

# What unpack may raise on bytes it cannot read.
DOCUMENTED = (RuntimeError, ValueError, UnicodeDecodeError, RecursionError)


def builtin_class(exc):
    """The built-in class a failure is raised with: its own class, or for a failure given its kind
    (Virel.tl.EncodeValueError and the like, departure D34) the built-in class it derives from."""
    return next(c for c in type(exc).__mro__ if c.__module__ == "builtins")


def norm(v):
    """A decoded value as a comparable form in which NaN equals NaN, 1 and True differ, and
    -0.0 and 0.0 differ."""
    if isinstance(v, dict):
        return sorted((k, norm(x)) for k, x in v.items())
    if isinstance(v, list):
        return [norm(x) for x in v]
    return (type(v).__name__, repr(v))


def framed_body(e):
    """(length, body): the names of a record's framed body (an `Object` right after `bytes:int`, in
    a record without optional fields), whose length pack checks against the body; or None."""
    params = e.params
    if any(p.is_conditional or p.flags_word for p in params):
        return None
    for length, body in zip(params, params[1:]):
        if length.name == "bytes" and length.type_name == "int" and body.type_name == "Object":
            return length.name, body.name
    return None


def same(a, b):
    return norm(a) == norm(b)


def decode_is_sound(parser, blob):
    """unpack of `blob` either raises a documented error (False), or gives an object that packs
    into bytes that unpack to the same object again (True)."""
    try:
        d = parser.unpack(blob)
    except DOCUMENTED:
        return False
    assert isinstance(d, dict) and "_" in d
    assert same(parser.unpack(parser.pack(d)), d)
    return True
