// schema/strict_schema.hpp: the checks of compile(..., strict=True).
#pragma once

#include "py_helpers.hpp"
#include "module_state.hpp"

namespace virel {

// The schema that a strict compile hands on to the compiler: `json_data` parsed (JSON text) and
// its entries checked. Null with ValueError pending when an entry is refused (other errors, such
// as a top level that is no dict, are left to the compiler, which meets the same object).
// `state` is the module's, whose `json` parses a text and whose keys read the entries.
Ref strict_schema(const ModuleState& state, PyObject* json_data);

}  // namespace virel
