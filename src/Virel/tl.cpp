// tl.cpp: the module Virel.tl: two-phase initialisation, the two classes, traceback entries, the
// argument rules and the translation of C++ failures into Python exceptions.
#include "py_helpers.hpp"
#include "codec/dict_table.hpp"
#include "module_state.hpp"
#include "schema/compiler.hpp"

#include <frameobject.h>

#include <exception>
#include <ios>
#include <new>
#include <utility>
#include <stdexcept>
#include <typeinfo>
#include <unordered_map>

namespace virel {

Strings interned;

// ---- Traceback entries ----

// Every entry's file name ("src/Virel/tl") and line (1) are fixed, whatever file the operation
// is in. Kept for callers: see ARCHITECTURE.md, "The compatibility contract".
void add_traceback(const char* where) noexcept {
    // One frame (and its code object) per operation, made on its first failure and shared by
    // every later entry of that operation: such a frame never runs, so nothing in it changes, and
    // error paths are hot paths too. The map lives in the module's state, which owns the frames; a
    // map that cannot be made now costs this entry, and the next failure tries again.
    ModuleState* state = module_state();
    if (!state || !state->dict) return;
    if (!state->frames)
        state->frames = new (std::nothrow) std::unordered_map<const char*, PyObject*>();
    auto* frames = state->frames;
    PyObject* module_dict = state->dict;
    if (!frames) return;
    PyObject* exc = PyErr_GetRaisedException();
    PyObject* frame = nullptr;
    try {
        auto it = frames->find(where);
        if (it != frames->end()) {
            frame = it->second;
        } else if (Ref code = Ref::steal(
                       reinterpret_cast<PyObject*>(PyCode_NewEmpty("src/Virel/tl", where, 1)))) {
            frame = reinterpret_cast<PyObject*>(
                PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()),
                            module_dict, nullptr));
            if (frame) frames->emplace(where, frame);
        }
    } catch (...) {
        frame = nullptr;  // no entry rather than no exception
    }
    PyErr_Clear();  // a failure to build the entry must not replace the exception
    PyErr_SetRaisedException(exc);
    if (frame) PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame));
}

// ---- C++ failures ----

// Kept for callers: see ARCHITECTURE.md, "The compatibility contract".
void translate_native_failure() noexcept {
    if (PyErr_Occurred()) return;  // a pending Python exception wins
    try {
        throw;
    } catch (const std::bad_alloc& e) {  // bad_array_new_length too
        PyErr_SetString(PyExc_MemoryError, e.what());
    } catch (const std::bad_cast& e) {
        PyErr_SetString(PyExc_TypeError, e.what());
    } catch (const std::bad_typeid& e) {
        PyErr_SetString(PyExc_TypeError, e.what());
    } catch (const std::domain_error& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::invalid_argument& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::ios_base::failure& e) {
        PyErr_SetString(PyExc_OSError, e.what());
    } catch (const std::out_of_range& e) {
        PyErr_SetString(PyExc_IndexError, e.what());
    } catch (const std::overflow_error& e) {
        PyErr_SetString(PyExc_OverflowError, e.what());
    } catch (const std::range_error& e) {
        PyErr_SetString(PyExc_ArithmeticError, e.what());
    } catch (const std::underflow_error& e) {
        PyErr_SetString(PyExc_ArithmeticError, e.what());
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "Unknown exception");
    }
}

// ---- Argument rules ----

// Written by hand, not with PyArg_Parse*, for these exact messages.
// Kept for callers: see ARCHITECTURE.md, "The compatibility contract".
static void wrong_count(const char* func, Py_ssize_t expected, Py_ssize_t given) noexcept {
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 func, "exactly", expected, expected == 1 ? "" : "s", given);
}

// Applies one keyword to the single parameter; false with TypeError pending.
static bool take_keyword(const char* func, const char* param, PyObject* key, PyObject* value,
                         PyObject** slot) noexcept {
    if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", func);
        return false;
    }
    if (!param || PyUnicode_CompareWithASCIIString(key, param) != 0) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", func, key);
        return false;
    }
    if (*slot) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", func,
                     key);
        return false;
    }
    *slot = value;
    return true;
}

bool parse_one_arg_in_full(const char* func, const char* param, PyObject* const* args,
                           Py_ssize_t nargs, PyObject* kwnames, PyObject** out) noexcept {
    if (nargs > 1) {
        wrong_count(func, 1, nargs);
        return false;
    }
    PyObject* value = nargs == 1 ? args[0] : nullptr;
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t i = 0; i < nkw; ++i) {
        if (!take_keyword(func, param, PyTuple_GET_ITEM(kwnames, i), args[nargs + i], &value))
            return false;
    }
    if (!value) {
        wrong_count(func, 1, 0);
        return false;
    }
    *out = value;
    return true;
}

bool parse_one_arg(const char* func, const char* param, PyObject* args, PyObject* kwargs,
                   PyObject** out) noexcept {
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (nargs > 1) {
        wrong_count(func, 1, nargs);
        return false;
    }
    PyObject* value = nargs == 1 ? PyTuple_GET_ITEM(args, 0) : nullptr;
    if (kwargs) {
        Py_ssize_t pos = 0;
        PyObject *key, *item;
        while (PyDict_Next(kwargs, &pos, &key, &item)) {
            if (!take_keyword(func, param, key, item, &value)) return false;
        }
    }
    if (!value) {
        wrong_count(func, 1, 0);
        return false;
    }
    *out = value;
    return true;
}

bool parse_args(const char* func, const char* const* names, Py_ssize_t count, Py_ssize_t required,
                PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                PyObject** out) noexcept {
    if (nargs > count) {
        PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                     func, required == count ? "exactly" : "at most", count, count == 1 ? "" : "s",
                     nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < count; ++i) out[i] = i < nargs ? args[i] : nullptr;
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t i = 0;
        while (PyUnicode_Check(key) && i < count &&
               PyUnicode_CompareWithASCIIString(key, names[i]) != 0)
            ++i;
        if (!take_keyword(func, i < count ? names[i] : nullptr, key, args[nargs + k],
                          i < count ? &out[i] : nullptr))
            return false;
    }
    for (Py_ssize_t i = 0; i < required; ++i) {
        if (!out[i]) {
            PyErr_Format(PyExc_TypeError, "%.200s() missing required argument '%s' (pos %zd)", func,
                         names[i], i + 1);
            return false;
        }
    }
    return true;
}

static bool is_option(PyObject* key, const char* const* names, int count, int* which) noexcept {
    if (!PyUnicode_Check(key)) return false;
    for (int i = 0; i < count; ++i) {
        if (PyUnicode_CompareWithASCIIString(key, names[i]) == 0) {
            *which = i;
            return true;
        }
    }
    return false;
}

// Departure D21: see ARCHITECTURE.md, "Departures". Every other message stays as it was.
bool take_options(PyObject* kwargs, const char* const* names, int count, PyObject** values,
                  Ref* rest) noexcept {
    for (int i = 0; i < count; ++i) values[i] = nullptr;
    *rest = Ref::borrow(kwargs);
    if (!kwargs) return true;
    Py_ssize_t pos = 0;
    PyObject *key, *item;
    bool any = false;
    while (PyDict_Next(kwargs, &pos, &key, &item)) {
        int which;
        if (is_option(key, names, count, &which)) {
            values[which] = item;
            any = true;
        }
    }
    if (!any) return true;
    *rest = Ref::steal(PyDict_Copy(kwargs));
    if (!*rest) return false;
    for (int i = 0; i < count; ++i)
        if (values[i] && PyDict_DelItemString(rest->get(), names[i]) < 0) return false;
    return true;
}

bool take_options(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                  const char* const* names, int count, PyObject** values,
                  std::vector<PyObject*>* rest_args, Ref* rest_kwnames) {
    for (int i = 0; i < count; ++i) values[i] = nullptr;
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    rest_args->assign(args, args + nargs);
    std::vector<PyObject*> keys;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        int which;
        if (is_option(key, names, count, &which)) {
            values[which] = args[nargs + k];
        } else {
            keys.push_back(key);
            rest_args->push_back(args[nargs + k]);
        }
    }
    if (keys.empty()) {
        *rest_kwnames = Ref();
        return true;
    }
    *rest_kwnames = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(keys.size())));
    if (!*rest_kwnames) return false;
    for (size_t i = 0; i < keys.size(); ++i)
        PyTuple_SET_ITEM(rest_kwnames->get(), static_cast<Py_ssize_t>(i),
                         Py_NewRef(keys[i]));  // steals
    return true;
}

bool option_flag(PyObject* value, bool* out) noexcept {
    if (!value) return true;
    int truth = PyObject_IsTrue(value);
    if (truth < 0) return false;
    *out = truth != 0;
    return true;
}

bool parse_no_args(const char* func, PyObject* const*, Py_ssize_t nargs,
                   PyObject* kwnames) noexcept {
    if (nargs > 0) {
        wrong_count(func, 0, nargs);
        return false;
    }
    if (kwnames && PyTuple_GET_SIZE(kwnames) > 0) {
        PyObject* unused = nullptr;
        take_keyword(func, nullptr, PyTuple_GET_ITEM(kwnames, 0), nullptr, &unused);
        return false;
    }
    return true;
}

// ---- Pickling refusal ----

// Kept for callers: see ARCHITECTURE.md, "The compatibility contract".
static const char* pickling_where(PyObject* self, bool reduce) noexcept {
    if (PyObject_TypeCheck(self, TLParser_Type))
        return reduce ? TL_WHERE(TLParser, __reduce__) : TL_WHERE(TLParser, __setstate__);
    return reduce ? TL_WHERE(TLSchemaCompiler, __reduce__)
                  : TL_WHERE(TLSchemaCompiler, __setstate__);
}

PyObject* refuse_reduce(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    const char* here = pickling_where(self, true);
    if (parse_no_args("__reduce__", args, nargs, kwnames))
        PyErr_SetString(PyExc_TypeError, "no default __reduce__ due to non-trivial __cinit__");
    return fail<PyObject*>(here);
}

PyObject* refuse_setstate(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
    const char* here = pickling_where(self, false);
    PyObject* state;
    if (parse_one_arg("__setstate__", "state", args, nargs, kwnames, &state))
        PyErr_SetString(PyExc_TypeError, "no default __reduce__ due to non-trivial __cinit__");
    return fail<PyObject*>(here);
}

// ---- The module ----

static int64_t first_interpreter = -1;
static PyObject* the_module;     // created once per process; owned until the process ends
static PyObject* executed_with;  // the module object that was executed (borrowed from the_module)

// The module's state. The module object is process-wide (tl_create hands the same one to every
// import), and so is its state: the import machinery gives a module its state block afresh each
// time it is imported (zeroed, even for a module that tl_create hands out again), so the block
// holds only a pointer to the state, which the module owns: made by its first execution, put back
// into the block by every later one, released with the module (tl_free).
static ModuleState* the_state;

ModuleState* module_state() noexcept { return the_state; }

static ModuleState** state_slot(PyObject* module) noexcept {
    return static_cast<ModuleState**>(PyModule_GetState(module));
}

extern PyModuleDef tl_module;

ModuleState* state_of(PyObject* object) noexcept {
    PyObject* module = PyType_GetModuleByDef(Py_TYPE(object), &tl_module);  // borrowed
    if (!module) return nullptr;
    // Imported again (after its removal from sys.modules), the one module object has no state
    // block from its creation until its execution makes a fresh one and puts the state back into
    // it; Python code runs between the two. The state is this process's all the same.
    if (ModuleState** slot = state_slot(module); slot && *slot) return *slot;
    if (module == the_module && the_state) return the_state;
    PyErr_SetString(PyExc_SystemError, "Virel.tl: the module has no state");
    return nullptr;
}

static bool copy_spec_attribute(PyObject* module_spec, PyObject* module, const char* from,
                                const char* to, bool skip_none) noexcept {
    Ref value = Ref::steal(PyObject_GetAttrString(module_spec, from));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();  // an attribute the ModuleSpec lacks is skipped
        return true;
    }
    if (skip_none && value.get() == Py_None) return true;
    return PyObject_SetAttrString(module, to, value.get()) == 0;
}

static PyObject* tl_create(PyObject* module_spec, PyModuleDef*) {
    int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) return nullptr;
    // Kept for callers: see ARCHITECTURE.md, "The compatibility contract".
    if (first_interpreter == -1) {
        first_interpreter = id;
    } else if (id != first_interpreter) {
        PyErr_SetString(
            PyExc_ImportError,
            "Interpreter change detected - this module can only be loaded into one interpreter per process.");
        return nullptr;
    }
    if (the_module) return Py_NewRef(the_module);
    Ref name = Ref::steal(PyObject_GetAttrString(module_spec, "name"));
    if (!name) return nullptr;
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    if (!copy_spec_attribute(module_spec, module.get(), "loader", "__loader__", false) ||
        !copy_spec_attribute(module_spec, module.get(), "origin", "__file__", false) ||
        !copy_spec_attribute(module_spec, module.get(), "parent", "__package__", false) ||
        !copy_spec_attribute(module_spec, module.get(), "submodule_search_locations", "__path__",
                             true))
        return nullptr;
    the_module = Py_NewRef(module.get());
    return module.release();
}

// Interns `text` into `slot` unless an earlier attempt did: a failed one leaves the slot null, and a
// later execution of the module (after a failed import) tries again rather than going on without it.
bool intern_once(PyObject*& slot, const char* text) noexcept {
    if (!slot) slot = PyUnicode_InternFromString(text);
    return slot != nullptr;
}

static bool make_strings(StateStrings* strings) noexcept {
    return intern_once(interned.underscore, "_") && intern_once(interned.get, "get") &&
           intern_once(interned.notes, "__notes__") && intern_once(strings->compile, "compile") &&
           intern_once(strings->loads, "loads") && intern_once(strings->json, "json");
}

static bool add_type(PyObject* module, PyType_Spec* type_spec, PyTypeObject** out) noexcept {
    auto* type =
        reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, type_spec, nullptr));
    if (!type) return false;
    *out = type;  // the module's reference below keeps it alive for good
    return PyModule_AddObjectRef(module, strrchr(type_spec->name, '.') + 1,
                                 reinterpret_cast<PyObject*>(type)) == 0;
}

// The one attribute through which other extensions reach the native interface (tl.hpp).
// Departure D14: see ARCHITECTURE.md, "Departures".
static bool add_capsule(PyObject* module, ModuleState* state) noexcept {
    TLCapi& capi = state->capi;  // lives as long as the module, which the capsule's users import
    capi = {TL_CAPI_VERSION,       sizeof(TLCapi), TLCapi_sizes(),
            TLSchemaCompiler_Type, TLParser_Type,  &TLSchemaCompiler_default_ops,
            &TLParser_default_ops};
    Ref capsule = Ref::steal(PyCapsule_New(&capi, TL_CAPI_NAME, nullptr));
    return capsule && PyModule_AddObjectRef(module, "_C_API", capsule.get()) == 0;
}

static bool exec_steps(PyObject* module) noexcept {
    ModuleState** slot = state_slot(module);
    if (!slot) return false;
    auto* state = new (std::nothrow) ModuleState();
    if (!state) {
        PyErr_NoMemory();
        return false;
    }
    *slot = the_state = state;
    state->dict = PyModule_GetDict(module);  // borrowed: the module owns both
    // Departure D17: see ARCHITECTURE.md, "Departures". The warning's text is kept for callers.
    int built_major = PY_MAJOR_VERSION, built_minor = PY_MINOR_VERSION;
    int run_major = static_cast<int>((Py_Version >> 24) & 0xFF),
        run_minor = static_cast<int>((Py_Version >> 16) & 0xFF);
    if ((run_major != built_major || run_minor != built_minor) &&
        PyErr_WarnFormat(
            PyExc_RuntimeWarning, 1,
            "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
            built_major, built_minor, "Virel.tl", "does not match", run_major, run_minor) < 0)
        return false;
    if (!make_strings(&state->strings) || !make_json_keys(&state->json_keys) || !dict_table::init())
        return false;
    // Departure D13: see ARCHITECTURE.md, "Departures".
    // json first: importing it runs Python code (import hooks among it), and no class of ours may
    // be reachable from a module whose execution is about to fail. Nothing below runs Python code.
    Ref json = Ref::steal(PyImport_ImportModule("json"));
    if (!json) return false;
    if (!add_type(module, &TLSchemaCompiler_spec, &TLSchemaCompiler_Type)) return false;
    if (!add_type(module, &TLParser_spec, &TLParser_Type)) return false;
    if (!add_capsule(module, state) || !view_module_init(module, state)) return false;
    if (!error_kinds_init(module, &state->errors)) return false;
    // Whether the dict tables are read and filled in place (the layout check above passed), for
    // the tests and anyone measuring.
    if (PyModule_AddObjectRef(module, "_direct_dict_path",
                              dict_table::enabled ? Py_True : Py_False) < 0)
        return false;
    return PyModule_AddObjectRef(module, "json", json.get()) == 0;
}

static int tl_exec(PyObject* module) {
    if (executed_with == module) {
        ModuleState** slot = state_slot(module);  // a fresh block: the state goes back in
        if (slot && !*slot) *slot = the_state;
        return 0;
    }
    // Kept for callers: see ARCHITECTURE.md, "The compatibility contract".
    if (executed_with) {
        PyErr_SetString(
            PyExc_RuntimeError,
            "Module 'tl' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    if (!exec_steps(module)) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "init Virel.tl");
        add_traceback("init Virel.tl");
        Py_CLEAR(the_module);  // a later import starts afresh (the module's state goes with it)
        the_state = nullptr;
        return -1;
    }
    executed_with = module;
    return 0;
}

static int tl_traverse(PyObject* module, visitproc visit, void* arg) {
    ModuleState** slot = state_slot(module);
    ModuleState* state = slot ? *slot : nullptr;
    if (!state) return 0;
    if (state->frames)
        for (auto& [where, frame] : *state->frames) Py_VISIT(frame);
    Py_VISIT(state->mapping);
    Py_VISIT(state->view.constructor);
    Py_VISIT(state->view.param);
    Py_VISIT(state->view.element);
    return error_kinds_traverse(&state->errors, visit, arg);
}

static int tl_clear(PyObject* module) {
    ModuleState** slot = state_slot(module);
    ModuleState* state = slot ? *slot : nullptr;
    if (!state) return 0;
    if (auto* frames = std::exchange(state->frames, nullptr)) {
        for (auto& [where, frame] : *frames) Py_DECREF(frame);
        delete frames;
    }
    error_kinds_clear(&state->errors);
    Py_CLEAR(state->mapping);
    return 0;
}

// The strs and the view's shapes are given back only here, when the module goes, not when the
// collector clears it: its classes' objects may still reach them until then (entries() on a
// compiler that a finaliser holds), and no cycle passes through them that the module's own
// namespace does not break.
static void tl_free(void* module) {
    tl_clear(static_cast<PyObject*>(module));
    ModuleState** slot = state_slot(static_cast<PyObject*>(module));
    if (!slot || !*slot) return;
    ModuleState* state = std::exchange(*slot, nullptr);
    if (the_state == state) the_state = nullptr;
    // No schema outlives the module (each is held by a compiler or a parser, whose class holds
    // it), so none is waiting for a call.
    assert(state->ledger.calls == 0 && !state->ledger.retired);
    release_json_keys(&state->json_keys);
    Py_CLEAR(state->strings.compile);
    Py_CLEAR(state->strings.loads);
    Py_CLEAR(state->strings.json);
    Py_CLEAR(state->view.constructor);
    Py_CLEAR(state->view.param);
    Py_CLEAR(state->view.element);
    delete state;
}

static PyModuleDef_Slot tl_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(tl_create)},
    {Py_mod_exec, reinterpret_cast<void*>(tl_exec)},
    // The truth: one interpreter per process (tl_create refuses a second with the message kept
    // for callers). An interpreter that checks what its extensions support refuses the module
    // before tl_create runs, with its own ImportError; a legacy one gets tl_create's.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#ifdef Py_mod_gil
    // The truth for a free-threaded build: the codec relies on the global lock (ARCHITECTURE.md,
    // "Module state, interpreters and threads", says what it would take to drop it), so such an
    // interpreter turns the lock back on when it imports the module. The default, said aloud.
    {Py_mod_gil, Py_MOD_GIL_USED},
#endif
    {0, nullptr},
};

PyModuleDef tl_module = {
    PyModuleDef_HEAD_INIT,
    "tl",
    "Native codec for the TL (Type Language) binary serialization.",
    sizeof(ModuleState*),
    nullptr,
    tl_slots,
    tl_traverse,
    tl_clear,
    tl_free,
};

}  // namespace virel

PyMODINIT_FUNC PyInit_tl() { return PyModuleDef_Init(&virel::tl_module); }
