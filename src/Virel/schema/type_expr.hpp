// schema/type_expr.hpp: type-expression analysis.
#pragma once

#include "tl.hpp"

#include <string_view>

namespace virel {

// The TLTypeKind of a type expression; a condition prefix in front of it is skipped.
int32_t kind_of(std::string_view text) noexcept;

// The default _parse_type: the kind of a str expression; None raises TypeError.
int32_t TLSchemaCompiler_parse_type(TLSchemaCompiler* self, PyObject* type_expr);

// Reads the condition prefix of `text` ("flags.3?", "flags2.0?", "?") into the parameter's
// is_conditional, flag_bit and flag_field and the record's has_flags or has_flags2. False with a
// Python exception pending when the prefix is malformed.
bool parse_condition(std::string_view text, TLParam* param, TLConstructor* record);

}  // namespace virel
