// schema/strict_schema.hpp: the checks of compile(..., strict=True).
#pragma once

#include "py_helpers.hpp"
#include "schema/json_fields.hpp"

namespace virel {

// The schema that a strict compile hands on to the compiler: `json_data` parsed (JSON text) and
// its entries checked. Null with ValueError pending when an entry is refused (other errors, such
// as a top level that is no dict, are left to the compiler, which meets the same object).
// `keys` are the module's (ModuleState::json_keys).
Ref strict_schema(const JsonKeys& keys, PyObject* json_data);

}  // namespace virel
