"""Virel: a native codec for the TL (Type Language) binary serialization.

The codec lives in ``Virel.tl``::

    from Virel.tl import TLParser
    parser = TLParser(schema_json)
    data = parser.pack({"_": "user", "id": 7, "name": "Ada"})
    parser.unpack(data)
"""

__version__ = "0.1.0"
