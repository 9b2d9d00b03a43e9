// codec/type_argument.hpp: the type argument of a call: the type texts that unpack_from and the
// typed packers take ("long", "Vector<User>", ...), read by the grammar (schema/type_grammar.hpp)
// once per parser and kept.
#pragma once

#include "codec/parser.hpp"

#include <string_view>

namespace virel {

// The analysed form of a type text, from the parser's cache or made now with the compiler's own
// analysis. Null with an exception pending (TypeError for a non-str, ValueError for a malformed
// text); may throw std::bad_alloc.
const ParsedType* parsed_type(TLParser* self, TLSchemaCompiler* compiler, PyObject* type);

// The type argument of a method into *out: null for an argument not given or None (a boxed
// object, as pack and unpack read and write). False with an exception pending.
inline bool type_argument(TLParser* self, TLSchemaCompiler* compiler, PyObject* arg,
                          const ParsedType** out) noexcept {
    *out = nullptr;
    if (!arg || arg == Py_None) return true;
    *out = guarded<const ParsedType*>([&] { return parsed_type(self, compiler, arg); });
    return *out != nullptr;
}

// Adds a note "did you mean 'NAME'?" to the pending exception of a bare type `text` that names no
// constructor, when a constructor's name (for `future_salt`, `%future_salt`) or a type of the
// schema (for `%Message`) is near its target: the bounded comparison of near_names.hpp, its answer
// kept with the parser's suggestions for pack's unknown record names. Never raises; the exception
// stays as it was.
[[gnu::cold]] void suggest_bare_target(TLParser* self, TLSchemaCompiler* compiler,
                                       std::string_view text) noexcept;

}  // namespace virel
