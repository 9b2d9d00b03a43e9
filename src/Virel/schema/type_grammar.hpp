// schema/type_grammar.hpp: the one grammar of type texts. Every reader of a type text goes through
// it: the compiler (the kind of a parameter, its condition prefix, its vector's element levels),
// the codec (the element of a vector met without its levels, a type given at a call, the record
// of a bare type), the strict schema check and TLSchemaCompiler.entries().
//
// The places a text stands differ in what they accept (TypeMode), never in what an accepted text
// denotes:
//  - schema: anything. A text is never refused here; what it denotes is kind_of's answer (a text
//    that is no type of the grammar is a boxed object named by the text, found when data meets it).
//  - argument: a type given to unpack_from, pack_as or pack_into: a name, '#', a bare name (`%T`,
//    `future_salt`), or `Vector<...>`, `vector<...>` or `%Vector<...>` around such a type. No
//    condition, blank or other generic.
//  - parameter and result: compile(strict=True): the schema's own types, generics included
//    (`Map<K,V>`, `Vector t`); a parameter may carry a condition `word.N?` with N from 0 to 31.
// One reader of a type's form serves the last three (type_fault); what a text denotes is kind_of,
// element_text and element_levels (its vector levels), bare_target (what a bare type names) and
// parse_condition (the condition prefix as the lenient compiler reads it: any bit the
// interpreter's int() takes).
#pragma once

#include "tl.hpp"

#include <string>
#include <string_view>
#include <vector>

namespace virel {

enum class TypeMode { schema, argument, parameter, result };

// The text without its condition prefix: what follows the first '?' up to the second, or the whole
// text when it holds none.
std::string_view proper_type_text(std::string_view text) noexcept;

// The TLTypeKind of a type text; a condition prefix in front of it is skipped.
int32_t kind_of(std::string_view text) noexcept;

// The text of the elements of a vector type text (kind TL_VECTOR or TL_BARE_VECTOR), condition
// prefix kept in front. For a boxed vector written only with `Vector<`, every "Vector<" and then
// every ">" is removed (so the elements of Vector<Vector<int>> are ints, and "Vector t" strips to
// itself: its elements are of its own type). A bare vector's elements are the type between its
// angle brackets, and a boxed vector around a bare one loses its own brackets only.
std::string element_text(std::string_view text);

// Every level of the elements of a vector type text, as element_text taken again and again gives
// them (outermost first, down to the first level that is no vector, or to one that strips to
// itself), in one pass over the text: however deep it nests, the work and the memory grow with
// its length only. The kinds are kind_of's; only the last level's text is kept.
struct ElementLevels {
    std::vector<int32_t> kinds;  // the kind of every level
    std::string last_text;       // the last level's text, condition prefix kept in front
    bool endless = false;        // the last level is a vector whose elements are of its own type
};
ElementLevels element_levels(std::string_view text);

// What is wrong with `text` where `mode` places it, or null when nothing is. *word receives the
// flags word of a condition (parameter mode), else empty.
const char* type_fault(std::string_view text, TypeMode mode, std::string_view* word) noexcept;

// What a type text of kind TL_BARE_OBJECT names: the constructor's name (`future_salt`,
// `%future_salt`), or with *by_type set, the type whose one constructor it is (`%Message`).
std::string_view bare_target(std::string_view text, bool* by_type) noexcept;

// The default _parse_type: the kind of a str expression; None raises TypeError.
int32_t TLSchemaCompiler_parse_type(TLSchemaCompiler* self, PyObject* type_expr);

// Reads the condition prefix of `text` ("flags.3?", "flags2.0?", "?") into the parameter's
// is_conditional, flag_bit and flag_field and the record's has_flags or has_flags2. False with a
// Python exception pending when the prefix is malformed.
bool parse_condition(std::string_view text, TLParam* param, TLConstructor* record);

}  // namespace virel
