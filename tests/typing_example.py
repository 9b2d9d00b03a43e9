"""A program that uses the stubs; mypy --strict must accept it."""

from Virel.tl import TLParser, TLSchemaCompiler

SCHEMA = '{"constructors": [{"id": 1, "predicate": "point", "params": [{"name": "x", "type": "int"}]}]}'


def round_trip(x: int) -> int:
    compiler = TLSchemaCompiler()
    compiler.compile(json_data=SCHEMA)
    parser = TLParser(schema_json=SCHEMA)
    data: bytes = parser.pack(value={"_": "point", "x": x})
    decoded = parser.unpack(data=data)
    value = decoded["x"]
    assert isinstance(value, int)
    return value


if __name__ == "__main__":
    print(round_trip(5))
