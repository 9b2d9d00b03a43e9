// tlsub.cpp: a test-only extension that subclasses TLParser and TLSchemaCompiler through the capsule
// of Virel.tl, with nothing but tl.hpp. Never shipped; tests/native/tlsub_build.py builds it.
//
//   tlsub.Parser(schema_json, table, *, strict=, signed=, inflate=, inflate_limit=)
//                                     table "default": the default table (the direct path);
//                                     "copy": a copy of it (the same operations, through the table);
//                                     "custom": the copy with _write_string counting its calls
//                                     (`string_writes`) and _read_int64 adding 1 to every value,
//                                     compiled by a tlsub.Compiler.
//   tlsub.Compiler()                  _parse_type also knows "date", a 32-bit int, "odd", a kind the
//                                     codec does not know (99), and "refused", for which it raises
//                                     LookupError.
//                                     "hooked": the copy with _read_string calling the function given
//                                     to tlsub.set_hook(f) first: f(), and a result other than
//                                     None is the value read (the string is read all the same).
//   tlsub.use_table(parser, table)    installs another table on a tlsub.Parser (even mid-call).
//   tlsub.import_api()                runs TLCapi_Import again (None, or ImportError).
//                                     "recovering": the copy with _read_vector turning a ValueError
//                                     of the default one into an empty list.
//                                     "wrapping": the copy with a _write_value and a _write_object of
//                                     its own that hand on to the default ones.
//   tlsub.share(parser, compiler)     makes `compiler` the parser's, as a subclass replaces the
//                                     base's compiler and schema (tl.hpp, step 5).
//   tlsub.write_alone(parser, value)  runs the default _write_object outside any pack call (from
//                                     position 0 of the parser's buffer): the bytes, or the error.
//   tlsub.read_alone(parser, data)    copies `data` into the parser's buffer and runs the default
//                                     _read_object outside any unpack call: (value, position,
//                                     parse_error), or the error.
#include "tl.hpp"

#include <cstddef>
#include <cstring>

static const TLCapi* api;
static TLParserOps copy_ops, custom_ops, hooked_ops, recovering_ops, wrapping_ops;
static PyObject* hook;  // set_hook's function, or null
static TLSchemaCompilerOps compiler_ops;
static PyObject *parser_type, *compiler_type;  // held for good by this module

struct Parser {
    TLParser base;
    long long string_writes;
};

static bool counting_write_string(TLParser* self, PyObject* text) noexcept {
    reinterpret_cast<Parser*>(self)->string_writes += 1;
    return api->TLParser_default_ops->_write_string(self, text);
}

static uint64_t mapped_read_int64(TLParser* self) noexcept {
    return api->TLParser_default_ops->_read_int64(self) + 1;
}

static PyObject* hooked_read_string(TLParser* self) noexcept {
    PyObject* text = api->TLParser_default_ops->_read_string(self);
    if (!text || !hook) return text;
    PyObject* given = PyObject_CallNoArgs(hook);
    if (!given || given == Py_None) {
        Py_XDECREF(given);
        if (!given) Py_CLEAR(text);
        return text;
    }
    Py_DECREF(text);
    return given;
}

static PyObject* recovering_read_vector(TLParser* self, const char* type_name,
                                        const TLElementType* element) noexcept {
    PyObject* list = api->TLParser_default_ops->_read_vector(self, type_name, element);
    if (list || !PyErr_ExceptionMatches(PyExc_ValueError)) return list;
    PyErr_Clear();
    return PyList_New(0);
}

static bool wrapping_write_value(TLParser* self, PyObject* value, int32_t kind,
                                 const char* type_name, const TLElementType* element) noexcept {
    return api->TLParser_default_ops->_write_value(self, value, kind, type_name, element);
}

static bool wrapping_write_object(TLParser* self, PyObject* value) noexcept {
    return api->TLParser_default_ops->_write_object(self, value);
}

static int32_t parse_type_with_date(TLSchemaCompiler* self, PyObject* type_expr) noexcept {
    if (PyUnicode_Check(type_expr)) {
        const char* text = PyUnicode_AsUTF8(type_expr);
        if (!text) return 0;
        const char* mark = std::strchr(text, '?');
        const char* proper = mark ? mark + 1 : text;
        if (std::strcmp(proper, "date") == 0) return TL_INT;
        if (std::strcmp(proper, "odd") == 0) return 99;
        if (std::strcmp(proper, "refused") == 0) {
            PyErr_SetString(PyExc_LookupError, "no type refused");
            return 0;
        }
    }
    return api->TLSchemaCompiler_default_ops->_parse_type(self, type_expr);
}

static const TLParserOps* table_named(const char* name) {
    if (std::strcmp(name, "default") == 0) return api->TLParser_default_ops;
    if (std::strcmp(name, "copy") == 0) return &copy_ops;
    if (std::strcmp(name, "custom") == 0) return &custom_ops;
    if (std::strcmp(name, "hooked") == 0) return &hooked_ops;
    if (std::strcmp(name, "recovering") == 0) return &recovering_ops;
    if (std::strcmp(name, "wrapping") == 0) return &wrapping_ops;
    PyErr_Format(PyExc_ValueError, "no table %s", name);
    return nullptr;
}

// The custom parser compiles with a tlsub.Compiler: it replaces the base's compiler and schema.
static bool use_own_compiler(TLParser* self, PyObject* schema_json) {
    PyObject* compiler = PyObject_CallNoArgs(compiler_type);
    if (!compiler) return false;
    PyObject* done = PyObject_CallMethod(compiler, "compile", "O", schema_json);
    if (!done) {
        Py_DECREF(compiler);
        return false;
    }
    Py_DECREF(done);
    auto* c = reinterpret_cast<TLSchemaCompiler*>(compiler);
    Py_SETREF(self->compiler, compiler);
    self->schema = c->ops->_get_schema(c);
    return true;
}

static PyObject* Parser_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"schema_json", "table",         "strict", "signed",
                                  "inflate",     "inflate_limit", nullptr};
    PyObject* schema_json;
    const char* table;
    PyObject *strict = nullptr, *is_signed = nullptr, *inflate = nullptr, *limit = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "Os|$OOOO", const_cast<char**>(names),
                                     &schema_json, &table, &strict, &is_signed, &inflate, &limit))
        return nullptr;
    const TLParserOps* ops = table_named(table);
    if (!ops) return nullptr;
    bool custom = ops == &custom_ops;
    PyObject* base_args = custom ? Py_BuildValue("(s)", "{}") : PyTuple_Pack(1, schema_json);
    if (!base_args) return nullptr;
    // The modes go to the base as keywords, as a Python caller gives them.
    PyObject* base_kwargs = PyDict_New();
    if (!base_kwargs || (strict && PyDict_SetItemString(base_kwargs, "strict", strict) < 0) ||
        (is_signed && PyDict_SetItemString(base_kwargs, "signed", is_signed) < 0) ||
        (inflate && PyDict_SetItemString(base_kwargs, "inflate", inflate) < 0) ||
        (limit && PyDict_SetItemString(base_kwargs, "inflate_limit", limit) < 0)) {
        Py_XDECREF(base_kwargs);
        Py_DECREF(base_args);
        return nullptr;
    }
    PyObject* self = api->TLParser_Type->tp_new(type, base_args, base_kwargs);
    Py_DECREF(base_kwargs);
    Py_DECREF(base_args);
    if (!self) return nullptr;
    auto* parser = reinterpret_cast<TLParser*>(self);
    parser->ops = ops;
    if (custom && !use_own_compiler(parser, schema_json)) {
        Py_DECREF(self);
        return nullptr;
    }
    return self;
}

static PyObject* Compiler_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* self = api->TLSchemaCompiler_Type->tp_new(type, args, kwargs);
    if (self) reinterpret_cast<TLSchemaCompiler*>(self)->ops = &compiler_ops;
    return self;
}

static PyMemberDef Parser_members[] = {
    {"string_writes", Py_T_LONGLONG, offsetof(Parser, string_writes), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

static PyType_Slot Parser_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(Parser_new)},
    {Py_tp_members, Parser_members},
    {0, nullptr},
};
// Py_TPFLAGS_HAVE_GC, traverse, clear and dealloc come from TLParser.
static PyType_Spec Parser_spec = {"tlsub.Parser", sizeof(Parser), 0, Py_TPFLAGS_DEFAULT,
                                  Parser_slots};

static PyType_Slot Compiler_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(Compiler_new)},
    {0, nullptr},
};
static PyType_Spec Compiler_spec = {"tlsub.Compiler", sizeof(TLSchemaCompiler), 0,
                                    Py_TPFLAGS_DEFAULT, Compiler_slots};

static PyObject* use_table(PyObject*, PyObject* args) {
    PyObject* parser;
    const char* table;
    if (!PyArg_ParseTuple(args, "Os", &parser, &table)) return nullptr;
    if (!PyObject_TypeCheck(parser, reinterpret_cast<PyTypeObject*>(parser_type))) {
        PyErr_SetString(PyExc_TypeError, "expected a tlsub.Parser");
        return nullptr;
    }
    const TLParserOps* ops = table_named(table);
    if (!ops) return nullptr;
    reinterpret_cast<TLParser*>(parser)->ops = ops;
    Py_RETURN_NONE;
}

static PyObject* share(PyObject*, PyObject* args) {
    PyObject *parser, *compiler;
    if (!PyArg_ParseTuple(args, "O!O!", reinterpret_cast<PyTypeObject*>(parser_type), &parser,
                          api->TLSchemaCompiler_Type, &compiler))
        return nullptr;
    auto* self = reinterpret_cast<TLParser*>(parser);
    auto* c = reinterpret_cast<TLSchemaCompiler*>(compiler);
    Py_SETREF(self->compiler, Py_NewRef(compiler));
    self->schema = c->ops->_get_schema(c);
    Py_RETURN_NONE;
}

// What an extension may do with the default operations from code of its own, outside the
// parser's methods: the parser's state has no call then.
static TLParser* alone(PyObject* parser) {
    if (!PyObject_TypeCheck(parser, api->TLParser_Type)) {
        PyErr_SetString(PyExc_TypeError, "expected a TLParser");
        return nullptr;
    }
    return reinterpret_cast<TLParser*>(parser);
}

static PyObject* write_alone(PyObject*, PyObject* args) {
    PyObject *parser, *value;
    if (!PyArg_ParseTuple(args, "OO", &parser, &value)) return nullptr;
    TLParser* self = alone(parser);
    if (!self) return nullptr;
    self->position = 0;
    if (!api->TLParser_default_ops->_write_object(self, value)) return nullptr;
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(self->buffer),
                                     static_cast<Py_ssize_t>(self->position));
}

static PyObject* read_alone(PyObject*, PyObject* args) {
    PyObject* parser;
    const char* data;
    Py_ssize_t size;
    if (!PyArg_ParseTuple(args, "Oy#", &parser, &data, &size)) return nullptr;
    TLParser* self = alone(parser);
    if (!self) return nullptr;
    self->position = 0;
    api->TLParser_default_ops->_ensure_buffer(self, static_cast<uint64_t>(size));
    if (PyErr_Occurred()) return nullptr;
    if (size) std::memcpy(self->buffer, data, static_cast<size_t>(size));
    self->input_length = static_cast<uint64_t>(size);
    self->parse_error = 0;
    PyObject* value = api->TLParser_default_ops->_read_object(self);
    if (!value) return nullptr;
    return Py_BuildValue("(NKi)", value, static_cast<unsigned long long>(self->position),
                         static_cast<int>(self->parse_error));
}

static PyObject* set_hook(PyObject*, PyObject* function) {
    Py_XSETREF(hook, function == Py_None ? nullptr : Py_NewRef(function));
    Py_RETURN_NONE;
}

static PyObject* import_api(PyObject*, PyObject*) {
    if (!TLCapi_Import()) return nullptr;
    Py_RETURN_NONE;
}

// [(name, result_type), ...] of a compiler's records, read from its tables.
static PyObject* result_types(PyObject*, PyObject* compiler) {
    if (!PyObject_TypeCheck(compiler, api->TLSchemaCompiler_Type)) {
        PyErr_SetString(PyExc_TypeError, "expected a TLSchemaCompiler");
        return nullptr;
    }
    const TLSchema* schema = reinterpret_cast<TLSchemaCompiler*>(compiler)->schema;
    PyObject* out = PyList_New(0);
    for (int32_t i = 0; out && schema && i < schema->count; ++i) {
        const TLConstructor& c = schema->constructors[i];
        PyObject* pair = Py_BuildValue("(yy)", c.name, c.result_type);
        if (!pair || PyList_Append(out, pair) < 0) Py_CLEAR(out);
        Py_XDECREF(pair);
    }
    return out;
}

static PyMethodDef functions[] = {
    {"result_types", result_types, METH_O, nullptr},
    {"use_table", use_table, METH_VARARGS, nullptr},
    {"set_hook", set_hook, METH_O, nullptr},
    {"share", share, METH_VARARGS, nullptr},
    {"import_api", import_api, METH_NOARGS, nullptr},
    {"write_alone", write_alone, METH_VARARGS, nullptr},
    {"read_alone", read_alone, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

static PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "tlsub", nullptr, -1, functions, nullptr, nullptr, nullptr, nullptr};

PyMODINIT_FUNC PyInit_tlsub() {
    if (!(api = TLCapi_Import())) return nullptr;
    copy_ops = *api->TLParser_default_ops;
    custom_ops = copy_ops;
    custom_ops._write_string = counting_write_string;
    custom_ops._read_int64 = mapped_read_int64;
    hooked_ops = copy_ops;
    hooked_ops._read_string = hooked_read_string;
    recovering_ops = copy_ops;
    recovering_ops._read_vector = recovering_read_vector;
    wrapping_ops = copy_ops;
    wrapping_ops._write_value = wrapping_write_value;
    wrapping_ops._write_object = wrapping_write_object;
    compiler_ops = *api->TLSchemaCompiler_default_ops;
    compiler_ops._parse_type = parse_type_with_date;

    PyObject* module = PyModule_Create(&module_def);
    if (!module) return nullptr;
    parser_type = PyType_FromModuleAndSpec(module, &Parser_spec,
                                           reinterpret_cast<PyObject*>(api->TLParser_Type));
    compiler_type = PyType_FromModuleAndSpec(
        module, &Compiler_spec, reinterpret_cast<PyObject*>(api->TLSchemaCompiler_Type));
    if (!parser_type || !compiler_type ||
        PyModule_AddObjectRef(module, "Parser", parser_type) < 0 ||
        PyModule_AddObjectRef(module, "Compiler", compiler_type) < 0) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}
