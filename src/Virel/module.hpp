// module.hpp: what the module's own source files share with one another beyond py_helpers.hpp. Internal:
// another extension reaches these through the capsule of tl.hpp.
#pragma once

#include "tl.hpp"

// The default tables of operations (compiler.cpp, parser.cpp).
extern "C" const TLSchemaCompilerOps TLSchemaCompiler_default_ops;
extern "C" const TLParserOps TLParser_default_ops;

namespace virel {

// The two classes: their type definitions (compiler.cpp, parser.cpp) and the types made from them when the
// module is executed (tl.cpp).
extern PyType_Spec TLSchemaCompiler_spec;
extern PyType_Spec TLParser_spec;
extern PyTypeObject* TLSchemaCompiler_Type;
extern PyTypeObject* TLParser_Type;

struct ModuleState;

// TLSchemaCompiler.entries, and the shapes of what it returns (into the module's state) and the
// kind codes as module attributes (made when the module is executed); schema/view.cpp.
PyObject* TLSchemaCompiler_entries(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames);
bool view_module_init(PyObject* module, ModuleState* state) noexcept;

// TLParser's Python methods that pack and unpack; codec/methods.cpp.
PyObject* TLParser_unpack(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames);
PyObject* TLParser_pack(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* TLParser_unpack_from(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames);
PyObject* TLParser_pack_as(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames);
PyObject* TLParser_pack_into(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames);

}  // namespace virel

// A METH_FASTCALL | METH_KEYWORDS function as the PyCFunction that a PyMethodDef holds.
#define TL_FASTCALL(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(f))
