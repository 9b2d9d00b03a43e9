// module_state.hpp: what the module keeps for itself, in its module object (PEP 489 and 573):
// created when the module is executed, given back when the module is freed (its Python objects
// that may form cycles when the collector clears it).
#pragma once

#include "py_helpers.hpp"
#include "error_kinds.hpp"
#include "schema/arena.hpp"
#include "schema/json_fields.hpp"

#include <unordered_map>

namespace virel {

// The shapes TLSchemaCompiler.entries() returns: struct sequences named TLConstructor, TLParam and
// TLElementType, made at execution (schema/view.cpp); owned, visited, given back with the module.
struct ViewShapes {
    PyTypeObject* constructor;
    PyTypeObject* param;
    PyTypeObject* element;
};

// The names the module looks up that are not among CPython's own constant strs (those are in
// `interned`, py_helpers.hpp): interned when the module is executed, owned.
struct StateStrings {
    PyObject* compile;  // "compile": the parser's first compile
    PyObject* loads;    // "loads": json.loads of a schema given as text
    PyObject* json;     // "json": the module's own `json`, looked up at each compile
};

// What is left process-wide, and why, is listed in ARCHITECTURE.md ("Module state, interpreters
// and threads"), with the plan for moving it.
struct ModuleState {
    PyObject* dict;  // the module's namespace (borrowed from the module, which owns the state)
    // add_traceback's frames, one per operation, made on its first failure and kept (each owned)
    std::unordered_map<const char*, PyObject*>* frames;
    ErrorKinds errors;  // the exception classes by kind (error_kinds.cpp)
    TLCapi capi;        // what the capsule _C_API points to
    // collections.abc.Mapping, found by strict encoding's first test of a value that is not a
    // dict (codec/strict.cpp); owned, or null
    PyObject* mapping;
    JsonKeys json_keys;  // the keys of schema JSON, made at execution (schema/json_fields.cpp)
    ViewShapes view;     // what entries() returns (schema/view.cpp)
    StateStrings strings;
    // The calls in flight and the schemas waiting for them (schema/arena.hpp); every schema of the
    // module points here, and none outlives the module (each is held by a compiler or a parser,
    // whose class holds the module)
    SchemaLedger ledger;
};

// The state of this process's module object from the start of its execution on (fields not yet
// made are null), or null when there is none (before it is created, after a failed execution).
// The module object itself is process-wide by the module's rules: it is created once per process,
// in one interpreter only. tl.cpp.
ModuleState* module_state() noexcept;

// The state of the module whose class `object` is an instance of, as CPython's own modules reach
// theirs: PyType_GetModuleByDef over the MRO of its type (a walk that ends at its first entry for
// our own classes: once per construction, compile, schema entry or entries(), never per value),
// then PyModule_GetState. Null with an exception pending when there is none. tl.cpp.
ModuleState* state_of(PyObject* object) noexcept;

}  // namespace virel
