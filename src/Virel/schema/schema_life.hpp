// schema/schema_life.hpp: how long each schema of a compiler lives, and who holds it
// (schema_life.cpp).
#pragma once

#include "schema/arena.hpp"

#include <cstddef>
#include <utility>
#include <vector>

struct TLSchemaCompilerMaps;

namespace virel {

// One schema that a compiler made and has not released yet, and who still needs it. A compile
// inserts its entries over the earlier ones, so the keys that only an earlier schema defined still
// lead into that schema's records; a pack or unpack may be walking its records; and a parser
// publishes the schema it took (TLParser::schema). Any of the three keeps it.
struct SchemaLife {
    SchemaOwner tables;  // the schema itself: freed when this entry goes
    size_t keys = 0;     // entries of id_map and name_map that lead into its records
    size_t holders = 0;  // parsers (and other takers of _get_schema) that hold it
    // Each record's parameter array by its address, sorted: for a failure's note to find the
    // record that holds a parameter. Made on the first failure that needs it.
    std::vector<std::pair<const TLParam*, const TLConstructor*>> owners;
};

// The entry of `schema` among the compiler's live schemas, or null.
SchemaLife* life_of(TLSchemaCompilerMaps* maps, const TLSchema* schema) noexcept;

// Releases every schema that nothing keeps any longer, or, while a call is in flight, marks them
// waiting for its end.
[[gnu::cold]] void release_unused(TLSchemaCompiler* compiler) noexcept;

// Makes `parser` the holder of the hold that _get_schema took on `schema` for it; given back by
// release_parser. (Should the note of it fail for want of memory, the hold stays the compiler's
// for good.)
void adopt_schema(TLSchemaCompiler* compiler, const TLParser* parser, TLSchema* schema) noexcept;

// Moves a parser's hold (and its `schema` field) to the compiler's current schema: at the start of
// a call, when the compiler has compiled since. The parser's earlier schema is no longer touched.
[[gnu::cold]] void follow_current_schema(TLSchemaCompiler* compiler, TLParser* parser) noexcept;

// Gives back the hold of a parser that lets go of its compiler (`held`: what it held; anything
// but a compiler with its tables is ignored).
void release_parser(PyObject* held, const TLParser* parser) noexcept;

// The record that holds `param`, among the schemas the compiler still keeps; null when none does.
const TLConstructor* owner_of(TLSchemaCompiler* compiler, const TLParam* param) noexcept;

// Registers a complete record of the schema being compiled (`life`) under its identifier and its
// name, over whatever record held them. May throw std::bad_alloc, leaving every count true (or too
// high, which only keeps a schema longer).
void enter_record(TLSchemaCompilerMaps* maps, SchemaLife& life, TLConstructor* record);

}  // namespace virel
