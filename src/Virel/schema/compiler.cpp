// schema/compiler.cpp: TLSchemaCompiler: schema JSON -> compiled tables and lookup maps.
#include "py_helpers.hpp"
#include "module_state.hpp"
#include "schema/compiler.hpp"
#include "schema/json_fields.hpp"
#include "schema/strict_schema.hpp"
#include "schema/type_grammar.hpp"

#include <new>

namespace virel {

PyTypeObject* TLSchemaCompiler_Type;

TLElementType* make_element_type(TLSchemaCompiler* self, const char* type_name) {
    TLElementType* head = nullptr;
    TLElementType** link = &head;
    std::string text = element_text(type_name);
    // Each level strips at least one "Vector<" off the one above, so a long text such as
    // "VectorVector...<<..." nests thousands of levels, and their texts together grow with the
    // square of its length. Levels are made while their texts add up to a few times the declared
    // text; below that the last record has no element, and the codec derives the deeper levels
    // from its text when data nested that deep actually arrives.
    size_t budget = 4 * text.size() + 4096;
    for (;;) {
        if (text.size() > budget) return head;
        budget -= text.size();
        auto* element = carve_zeroed<TLElementType>(self->schema, 1);
        if (!element) break;
        *link = element;
        if (!(element->type_name = copy_cstr(self->schema, text.data(), text.size()))) break;
        Ref py_text = Ref::steal(
            PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr));
        if (!py_text) break;
        element->kind = self->ops->_parse_type(self, py_text.get());
        if (PyErr_Occurred()) break;
        if (!is_vector_kind(element->kind)) return head;
        std::string next = element_text(text);
        if (next == text) {  // strips to itself: its elements are of its own type
            element->element = element;
            return head;
        }
        text = std::move(next);
        link = &element->element;
    }
    return nullptr;  // what was carved goes with the schema
}

static void TLSchemaCompiler_free_schema(TLSchemaCompiler* self) noexcept {
    // The maps lead nowhere any more; a schema still held (by a parser, a taker of _get_schema) or
    // walked by a call goes when that lets go of it.
    self->schema = nullptr;
    clear_maps(self->maps);
    self->maps->current = SchemaRef();
}

// Whoever takes the schema holds it: it stays for the compiler's life, unless the taker is a
// parser that takes the hold over (adopt_schema).
static TLSchema* TLSchemaCompiler_get_schema(TLSchemaCompiler* self) noexcept {
    if (!self->schema || !self->maps) return self->schema;
    try {
        self->maps->handed_out.push_back(SchemaRef::share(self->schema));
    } catch (const std::bad_alloc&) {
        schema_incref(self->schema);  // no room to note the hold: it is kept for good
    }
    return self->schema;
}

// Fills one parameter record from its JSON object; false with an exception pending.
static bool fill_param(TLSchemaCompiler* self, const JsonKeys& keys, PyObject* param_obj,
                       TLParam* p, TLConstructor* record) {
    if (!expect_exact(param_obj, &PyDict_Type, "dict")) return false;
    if (param_obj == Py_None) {
        PyErr_SetString(PyExc_TypeError, "'NoneType' object is not subscriptable");
        return false;
    }
    PyObject* fields[2] = {keys.name, keys.type};
    Ref values[2];
    for (int k = 0; k < 2; ++k) {
        if (!dict_item(param_obj, fields[k], &values[k])) return false;
        if (!values[k]) {
            PyErr_SetObject(PyExc_KeyError, fields[k]);
            return false;
        }
        if (!expect_exact(values[k].get(), &PyUnicode_Type, "str")) return false;
    }
    PyObject* name = values[0].get();
    PyObject* type = values[1].get();
    if (name == Py_None) {
        none_has_no("encode");
        return false;
    }
    Py_ssize_t size;
    const char* utf8 = utf8_of(name, &size);
    if (!utf8 || !(p->name = copy_cstr(self->schema, utf8, static_cast<size_t>(size))))
        return false;
    p->py_name = Py_NewRef(name);
    if (std::strcmp(p->name, "flags") == 0) p->flags_word = 1;
    else if (std::strcmp(p->name, "flags2") == 0) p->flags_word = 2;

    p->kind = self->ops->_parse_type(self, type);
    if (PyErr_Occurred()) return false;
    if (!(utf8 = utf8_of(type, &size)) ||
        !(p->type_name = copy_cstr(self->schema, utf8, static_cast<size_t>(size))))
        return false;
    if (!parse_condition({utf8, static_cast<size_t>(size)}, p, record)) return false;
    if (is_vector_kind(p->kind) && !(p->element = make_element_type(self, p->type_name)))
        return false;
    return true;
}

// Two shapes the encoder must check objects against, found once here so that records without
// them (all of a real layer's, nearly) pay nothing per object: a conditional parameter ahead of
// the flags word that governs it, and a flag (true or Bool) sharing its bit with another field.
static void note_flag_layout(TLConstructor* record) noexcept {
    bool word_seen[2] = {false, false}, before_word[2] = {false, false};
    uint32_t once[2] = {0, 0}, twice[2] = {0, 0}, flags[2] = {0, 0};
    for (int32_t j = 0; j < record->param_count; ++j) {
        const TLParam& p = record->params[j];
        if (p.flags_word) {
            word_seen[p.flags_word - 1] = true;
            if (before_word[p.flags_word - 1]) record->encoder_facts[kEarlyConditionals] = 1;
            continue;
        }
        if (!p.is_conditional) continue;
        int word = p.flag_field == 1 ? 1 : 0;
        uint32_t bit = 1u << (p.flag_bit & 31);
        if (!word_seen[word]) before_word[word] = true;
        twice[word] |= once[word] & bit;
        once[word] |= bit;
        if (p.kind == TL_BOOL) flags[word] |= bit;
    }
    record->encoder_facts[kSharedFlagBits] = twice[0] & flags[0];
    record->encoder_facts[kSharedFlagBits + 1] = twice[1] & flags[1];
}

static TLConstructor* TLSchemaCompiler_create_constructor(TLSchemaCompiler* self, PyObject* entry,
                                                          int32_t index) {
    static constexpr const char* here = TL_WHERE(TLSchemaCompiler, _create_constructor);
    TLConstructor* record = &self->schema->constructors[index];
    const ModuleState* state = state_of(reinterpret_cast<PyObject*>(self));
    if (!state) return fail<TLConstructor*>(here);
    const JsonKeys& keys = state->json_keys;
    if (entry == Py_None) {
        none_has_no("get");
        return fail<TLConstructor*>(here);
    }
    // The name: "predicate", else "method", else "type", else empty. Presence is by key, so a
    // key holding null counts.
    Ref name;
    for (PyObject* key : {keys.predicate, keys.method, keys.type}) {
        if (!dict_item(entry, key, &name)) return fail<TLConstructor*>(here);
        if (name) break;
    }
    if (!name) name = Ref::borrow(keys.empty);
    if (!expect_exact(name.get(), &PyUnicode_Type, "str")) return fail<TLConstructor*>(here);
    Ref result_type = dict_get(entry, keys.type, keys.empty);
    if (!result_type || !expect_exact(result_type.get(), &PyUnicode_Type, "str"))
        return fail<TLConstructor*>(here);
    Ref params;
    if (!dict_item(entry, keys.params, &params)) return fail<TLConstructor*>(here);
    if (!params) params = Ref::steal(PyList_New(0));
    if (!params || !expect_exact(params.get(), &PyList_Type, "list"))
        return fail<TLConstructor*>(here);

    if (name.get() == Py_None) {
        none_has_no("encode");
        return fail<TLConstructor*>(here);
    }
    Py_ssize_t size;
    const char* utf8 = utf8_of(name.get(), &size);
    if (!utf8 || !(record->name = copy_cstr(self->schema, utf8, static_cast<size_t>(size))))
        return fail<TLConstructor*>(here);
    const auto name_bytes = static_cast<size_t>(size);
    // A name is used up to its first NUL, here as in the maps.
    size_t name_size = std::strlen(record->name);
    record->py_name =
        name_size == name_bytes
            ? Py_NewRef(name.get())
            : PyUnicode_DecodeUTF8(record->name, static_cast<Py_ssize_t>(name_size), nullptr);
    if (!record->py_name) return fail<TLConstructor*>(here);
    // The result type as written; an entry that gives none (or an empty one) is its own result type.
    if (result_type.get() == Py_None || PyUnicode_GET_LENGTH(result_type.get()) == 0) {
        record->result_type = copy_cstr(self->schema, record->name, name_bytes);
    } else {
        const char* type_utf8 = utf8_of(result_type.get(), &size);
        record->result_type =
            type_utf8 ? copy_cstr(self->schema, type_utf8, static_cast<size_t>(size)) : nullptr;
    }
    if (!record->result_type) return fail<TLConstructor*>(here);

    Ref id;
    if (!dict_item(entry, keys.id, &id)) return fail<TLConstructor*>(here);
    if (id) {
        // int() of an odd object runs Python code, which may change this entry under us: every
        // value taken from it above is held by a strong reference.
        if (!entry_id(id.get(), &record->id)) return fail<TLConstructor*>(here);
    }

    if (params.get() == Py_None) {
        PyErr_SetString(PyExc_TypeError, "object of type 'NoneType' has no len()");
        return fail<TLConstructor*>(here);
    }
    // A snapshot, so that the count stays true even if Python code changes the list meanwhile.
    Ref items = Ref::steal(PyList_AsTuple(params.get()));
    if (!items) return fail<TLConstructor*>(here);
    Py_ssize_t n = PyTuple_GET_SIZE(items.get());
    if (n > INT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, "too many parameters");
        return fail<TLConstructor*>(here);
    }
    record->param_count = static_cast<int32_t>(n);
    if (n == 0) return record;
    if (!(record->params = carve_zeroed<TLParam>(self->schema, static_cast<size_t>(n))))
        return fail<TLConstructor*>(here);
    for (Py_ssize_t j = 0; j < n; ++j) {
        TLParam* p = &record->params[j];
        if (!fill_param(self, keys, PyTuple_GET_ITEM(items.get(), j), p, record))
            return fail<TLConstructor*>(here);
        if (!p->flags_word) ++record->value_count;
        if (p->is_conditional) ++record->encoder_facts[kConditionalCount];
    }
    note_flag_layout(record);
    return record;
}

static void TLSchemaCompiler_parse_json_schema(TLSchemaCompiler* self, PyObject* json_data) {
    static constexpr const char* here = TL_WHERE(TLSchemaCompiler, _parse_json_schema);
    ModuleState* state = state_of(reinterpret_cast<PyObject*>(self));
    if (!state) return fail<void>(here);
    const JsonKeys& keys = state->json_keys;
    Ref top = json_top(*state, json_data);
    if (!top) return fail<void>(here);
    if (!expect_exact(top.get(), &PyDict_Type, "dict")) return fail<void>(here);
    if (top.get() == Py_None) {
        none_has_no("get");
        return fail<void>(here);
    }
    Ref constructors;
    if (!dict_item(top.get(), keys.constructors, &constructors)) return fail<void>(here);
    if (constructors && !expect_exact(constructors.get(), &PyList_Type, "list"))
        return fail<void>(here);
    if (constructors.get() == Py_None) {
        none_has_no("extend");
        return fail<void>(here);
    }
    // The combined entry list is always a new list: a caller's dict is never modified.
    Ref entries = Ref::steal(constructors ? PyList_GetSlice(constructors.get(), 0, PY_SSIZE_T_MAX)
                                          : PyList_New(0));
    if (!entries) return fail<void>(here);
    const Py_ssize_t constructor_count = PyList_GET_SIZE(entries.get());
    Ref methods;
    if (!dict_item(top.get(), keys.methods, &methods)) return fail<void>(here);
    if (methods) {
        Ref it = Ref::steal(PyObject_GetIter(methods.get()));
        if (!it) return fail<void>(here);
        while (Ref item = Ref::steal(PyIter_Next(it.get()))) {
            if (PyList_Append(entries.get(), item.get()) < 0) return fail<void>(here);
        }
        if (PyErr_Occurred()) return fail<void>(here);
    }

    // The current tables become earlier ones: what still leads into them (the maps, a parser)
    // keeps them.
    TLSchemaCompilerMaps* maps = self->maps;
    self->schema = nullptr;
    maps->current = SchemaRef();
    SchemaRef tables = make_schema(&state->ledger);
    if (!tables) return fail<void>(here);
    TLSchema* schema = tables.get();
    Py_ssize_t count = PyList_GET_SIZE(entries.get());
    if (count > 0 && count <= INT32_MAX &&
        !(schema->constructors = carve_zeroed<TLConstructor>(schema, static_cast<size_t>(count))))
        return fail<void>(here);  // `tables` releases the schema
    maps->current = std::move(tables);
    self->schema = schema;
    if (count > INT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, "too many schema entries");
        return fail<void>(here);
    }
    schema->count = static_cast<int32_t>(count);
    for (int32_t i = 0; i < schema->count; ++i) schema->constructors[i].schema = schema;
    virel::life_of(schema)->constructors = static_cast<int32_t>(std::min(constructor_count, count));
    maps->id_map.reserve(static_cast<size_t>(count));
    maps->name_map.reserve(maps->name_map.size() + static_cast<size_t>(count));
    maps_changed(maps);  // names may now map to other records
    // `entries` is our own list and no Python code below can reach it, so its size holds.
    for (int32_t i = 0; i < schema->count; ++i) {
        PyObject* entry = PyList_GET_ITEM(entries.get(), i);
        if (!expect_exact(entry, &PyDict_Type, "dict")) return fail<void>(here);
        TLConstructor* record = self->ops->_create_constructor(self, entry, i);
        if (PyErr_Occurred()) {
            // The records before this one stand (their names are in the maps); this one may be
            // half made, and no lookup over the tables may reach it, a bare type's included.
            // Departure D45: see ARCHITECTURE.md, "Departures".
            auto* life = virel::life_of(schema);
            life->constructors = std::min(life->constructors, i);
            return fail<void>(here);
        }
        // Python code run by _create_constructor (an id's __int__) cannot release this schema:
        // the compiler holds it as its current one (a nested compile is refused).
        enter_record(maps, record);
    }
}

bool compiler_ready(const TLSchemaCompiler* self) noexcept {
    if (self->ops && self->maps) return true;
    PyErr_SetString(PyExc_RuntimeError,
                    "TLSchemaCompiler is not initialised: it was not made by its own __new__");
    return false;
}

static PyObject* TLSchemaCompiler_compile(PyObject* op, PyObject* const* args, Py_ssize_t nargs,
                                          PyObject* kwnames) {
    static constexpr const char* here = TL_WHERE(TLSchemaCompiler, compile);
    auto* self = reinterpret_cast<TLSchemaCompiler*>(op);
    static const char* const options[] = {"strict"};
    PyObject* given[1];
    std::vector<PyObject*> rest;
    Ref rest_kwnames;
    bool strict = false;
    if (!guarded<bool>([&] {
            return take_options(args, nargs, kwnames, options, 1, given, &rest, &rest_kwnames);
        }))
        return fail<PyObject*>(here);
    PyObject* json_data;
    if (!parse_one_arg("compile", "json_data", rest.data(), nargs, rest_kwnames.get(),
                       &json_data) ||
        !option_flag(given[0], &strict))
        return fail<PyObject*>(here);
    if (!compiler_ready(self)) return fail<PyObject*>(here);
    if (self->compiling) {
        // Python code runs inside compile (json.loads, an id's own __int__); a nested compile on
        // the same compiler would fill records of a schema the outer call did not allocate.
        // Departure D0: see ARCHITECTURE.md, "Departures".
        PyErr_SetString(PyExc_RuntimeError,
                        "TLSchemaCompiler.compile is already running on this compiler");
        return fail<PyObject*>(here);
    }
    self->compiling = 1;
    guarded<void>([&] {
        if (!strict) return self->ops->_parse_json_schema(self, json_data);
        const ModuleState* state = state_of(op);
        if (!state) return;
        if (Ref checked = strict_schema(*state, json_data))
            self->ops->_parse_json_schema(self, checked.get());
    });
    self->compiling = 0;
    maps_changed(self->maps);
    if (!PyErr_Occurred()) compact_earlier(self);
    check_counts(self->maps);
    if (PyErr_Occurred()) return fail<PyObject*>(here);
    Py_RETURN_NONE;
}

static PyObject* TLSchemaCompiler_new(PyTypeObject* type, PyObject*, PyObject*) {
    // Any arguments are accepted and ignored.
    auto* self = reinterpret_cast<TLSchemaCompiler*>(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    self->ops = &TLSchemaCompiler_default_ops;
    self->maps = new (std::nothrow) TLSchemaCompilerMaps();
    if (!self->maps) {
        Py_DECREF(self);
        return PyErr_NoMemory();
    }
    return reinterpret_cast<PyObject*>(self);
}

static void TLSchemaCompiler_dealloc(PyObject* op) {
    auto* self = reinterpret_cast<TLSchemaCompiler*>(op);
    PyTypeObject* type = Py_TYPE(op);
    if (type->tp_flags & Py_TPFLAGS_HAVE_GC) PyObject_GC_UnTrack(op);  // a Python subclass has GC
    PyObject* pending = PyErr_GetRaisedException();
    if (self->maps) {
        if (self->ops) self->ops->_free_schema(self);
        // What _get_schema handed out goes now; a schema a parser holds stays with the parser.
        self->schema = nullptr;
        delete self->maps;
        self->maps = nullptr;
    }
    PyErr_SetRaisedException(pending);
    type->tp_free(op);
    Py_DECREF(type);
}

static PyMethodDef TLSchemaCompiler_methods[] = {
    {"compile", TL_FASTCALL(TLSchemaCompiler_compile), METH_FASTCALL | METH_KEYWORDS,
     "compile($self, json_data, *, strict=False)\n--\n\nCompile a schema given as JSON text or as the dict it parses into.\n"
     "strict: refuse entries without id, name, params or result type, malformed type texts,\n"
     "conditions on a flags word the record lacks, and different entries under one id or name."},
    {"entries", TL_FASTCALL(TLSchemaCompiler_entries), METH_FASTCALL | METH_KEYWORDS,
     "entries($self, /)\n--\n\nThe records of the latest compile, in schema order: a tuple of TLConstructor."},
    {"__reduce__", TL_FASTCALL(refuse_reduce), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"__setstate__", TL_FASTCALL(refuse_setstate), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

static PyType_Slot TLSchemaCompiler_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(TLSchemaCompiler_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(TLSchemaCompiler_dealloc)},
    {Py_tp_methods, TLSchemaCompiler_methods},
    {Py_tp_doc,
     const_cast<char*>(
         "TLSchemaCompiler(*args, **kwargs)\n--\n\nCompiles a TL schema into native tables.")},
    {0, nullptr},
};

PyType_Spec TLSchemaCompiler_spec = {
    "Virel.tl.TLSchemaCompiler",
    sizeof(TLSchemaCompiler),
    0,
    // Immutable like a static type: Python code cannot swap __new__ (or anything else) on the class
    // and hand the parser an object that is not a compiler. Subclasses stay mutable.
    // Departure D12: see ARCHITECTURE.md, "Departures".
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE,
    TLSchemaCompiler_slots,
};

}  // namespace virel

// The entries are noexcept (tl.hpp): what may throw is wrapped into its Python exception.
extern "C" const TLSchemaCompilerOps TLSchemaCompiler_default_ops = {
    [](TLSchemaCompiler* self, PyObject* json_data) noexcept {
        virel::table_entry<void>(TL_WHERE(TLSchemaCompiler, _parse_json_schema), [&] {
            virel::TLSchemaCompiler_parse_json_schema(self, json_data);
        });
    },
    [](TLSchemaCompiler* self, PyObject* entry, int32_t index) noexcept {
        return virel::table_entry<TLConstructor*>(
            TL_WHERE(TLSchemaCompiler, _create_constructor),
            [&] { return virel::TLSchemaCompiler_create_constructor(self, entry, index); });
    },
    [](TLSchemaCompiler* self, PyObject* type_expr) noexcept {
        return virel::table_entry<int32_t>(TL_WHERE(TLSchemaCompiler, _parse_type), [&] {
            return virel::TLSchemaCompiler_parse_type(self, type_expr);
        });
    },
    virel::TLSchemaCompiler_free_schema,
    virel::TLSchemaCompiler_get_schema,
};
