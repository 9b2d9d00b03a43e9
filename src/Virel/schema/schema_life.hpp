// schema/schema_life.hpp: who holds each schema of a compiler, and the registration of its records
// in the compiler's maps (schema_life.cpp). The rule itself is at SchemaLife (arena.hpp).
#pragma once

#include "schema/arena.hpp"

struct TLSchemaCompilerMaps;

namespace virel {

// Registers a complete record of the schema being compiled under its identifier and its name, over
// whatever record held them: each entry holds a reference to the record's schema, and the entry it
// replaces gives its own back. The name cache is emptied when an entry is replaced. May throw
// std::bad_alloc (the name's node), leaving every count true.
void enter_record(TLSchemaCompilerMaps* maps, TLConstructor* record);

// Empties both maps, each entry giving back its reference.
void clear_maps(TLSchemaCompilerMaps* maps) noexcept;

// Gives `parser` the hold that _get_schema took on `schema` for it (TLParser::held).
void adopt_schema(TLSchemaCompiler* compiler, TLParser* parser, TLSchema* schema) noexcept;

// Moves a parser's `schema`, and its hold, to the compiler's current schema: at the start of a
// call, when the compiler has compiled since. Without a current schema (a compile ran out of
// memory before it had one) the parser keeps the one it has.
[[gnu::cold]] void follow_current_schema(TLSchemaCompiler* compiler, TLParser* parser) noexcept;

// Gives back a parser's hold (its dealloc, or the collector clearing it).
void release_parser(TLParser* parser) noexcept;

// After a compile: the records of earlier schemas that only the maps still reach (a name or an id
// that no later compile redefined) move into one small schema of their own, so that an earlier
// schema nothing else holds goes whole instead of being kept for a few of its records. Nothing is
// moved while a call is in flight. Never fails (without memory, everything stays as it is).
void compact_earlier(TLSchemaCompiler* compiler) noexcept;

// Debug builds: recounts the map entries into each schema and checks them against `keys`.
void check_counts(TLSchemaCompilerMaps* maps) noexcept;

}  // namespace virel
