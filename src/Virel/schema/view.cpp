// schema/view.cpp: TLSchemaCompiler.entries(), a read-only copy of the tables of the latest compile
// for Python code (the command line, the tests), and the kind codes as module constants.
#include "py_helpers.hpp"
#include "module_state.hpp"
#include "schema/compiler.hpp"
#include "schema/type_grammar.hpp"

#include <string>

#include <cstring>

namespace virel {

namespace {

// The three shapes of the view (ViewShapes, in the module's state) are named after the records
// they copy; each is a tuple with named fields.

PyStructSequence_Field constructor_fields[] = {
    {"id", "the identifier, unsigned 32-bit"},
    {"name", "the name, up to its first NUL (what pack takes and unpack gives under '_')"},
    {"result_type", "the result type as written (the name when the schema gives none)"},
    {"params", "the parameters in wire order: a tuple of TLParam"},
    {"is_method",
     "whether the entry came from the schema's methods (by name only, not in the tuple)"},
    {nullptr, nullptr},
};
PyStructSequence_Field param_fields[] = {
    {"name", "the parameter's name: its key in the dict form"},
    {"kind", "the kind of its type (TL_INT ... TL_BARE_VECTOR)"},
    {"type_name", "the whole type expression, condition prefix included"},
    {"is_conditional", "whether the expression holds '?'"},
    {"flag_field", "which flags word governs it: 0 flags, 1 flags2"},
    {"flag_bit", "the bit of that word, as written (only its low five bits count)"},
    {"flags_word", "1 when the parameter is the flags word itself, 2 for flags2, else 0"},
    {"element", "a vector's element types, outermost first: a tuple of TLElementType; else ()"},
    {"target",
     "what an object's type names (by attribute only): for TL_OBJECT the type (the text after its "
     "condition), for TL_BARE_OBJECT the constructor's name or the type of its one constructor "
     "(target_is_type); None for any other kind"},
    {"target_is_type", "whether target is a type (else a constructor's name)"},
    {nullptr, nullptr},
};
PyStructSequence_Field element_fields[] = {
    {"kind", "the kind of the element type"},
    {"type_name",
     "its text: the level above with every 'Vector<', then every '>', removed (a bare vector's: the "
     "text between its angle brackets); None for a vector level below those the compiler made "
     "(very deep texts), whose text only the codec works out, when data that deep arrives"},
    {"endless",
     "whether its elements are of its own type, to any depth (a text that strips to itself)"},
    {"target", "as TLParam.target, for this level (by attribute only)"},
    {"target_is_type", "as TLParam.target_is_type"},
    {nullptr, nullptr},
};

PyStructSequence_Desc constructor_desc = {"Virel.tl.TLConstructor",
                                          "One compiled schema entry (a constructor or a method).",
                                          constructor_fields, 4};
PyStructSequence_Desc param_desc = {"Virel.tl.TLParam", "One compiled parameter.", param_fields, 8};
PyStructSequence_Desc element_desc = {
    "Virel.tl.TLElementType",
    "One level of a vector's elements. The chain goes down to the first level that is no vector, or "
    "to an endless one, however deep the text nests.",
    element_fields, 3};

// A str of the NUL-terminated UTF-8 text `text` (up to its NUL), or null with an exception pending.
Ref text_of(const char* text) noexcept {
    if (!text) return Ref::steal(PyUnicode_New(0, 0));
    return Ref::steal(
        PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(std::strlen(text)), nullptr));
}

// Fills field `index` of a struct sequence with `value` (a new reference, taken); false if it is null.
bool set_field(PyObject* view, Py_ssize_t index, Ref value) noexcept {
    if (!value) return false;
    PyStructSequence_SetItem(view, index, value.release());  // steals
    return true;
}

Ref as_int(long long value) noexcept { return Ref::steal(PyLong_FromLongLong(value)); }
Ref as_bool(bool value) noexcept { return Ref::borrow(value ? Py_True : Py_False); }

// The target of an object kind's text into fields `index` and `index + 1` of `view`: what the
// type names (type_grammar's bare_target for a bare type), or None.
bool set_target(PyObject* view, Py_ssize_t index, int32_t kind, const char* text) noexcept {
    std::string_view target;
    bool by_type = true;
    if (text && kind == TL_OBJECT) target = proper_type_text(text);
    else if (text && kind == TL_BARE_OBJECT) target = bare_target(text, &by_type);
    else
        return set_field(view, index, Ref::borrow(Py_None)) &&
               set_field(view, index + 1, as_bool(false));
    return set_field(view, index,
                     Ref::steal(PyUnicode_DecodeUTF8(
                         target.data(), static_cast<Py_ssize_t>(target.size()), nullptr))) &&
           set_field(view, index + 1, as_bool(by_type));
}

// One level of the view: its kind, its text (None where the compiler kept none) and whether its
// elements are of its own type.
bool add_level(const ViewShapes& shapes, PyObject* levels, int32_t kind, const char* text,
               bool endless) noexcept {
    Ref level = Ref::steal(PyStructSequence_New(shapes.element));
    return level && set_field(level.get(), 0, as_int(kind)) &&
           set_field(level.get(), 1, text ? text_of(text) : Ref::borrow(Py_None)) &&
           set_field(level.get(), 2, as_bool(endless)) && set_target(level.get(), 3, kind, text) &&
           PyList_Append(levels, level.get()) == 0;
}

// The levels of a vector's elements, outermost first, down to the first that is not a vector or an
// endless one: the records the compiler made, then, for a text so deep that it stopped making
// them, the levels below its last record as the grammar reads them (element_levels).
Ref element_chain(const ViewShapes& shapes, const TLElementType* element) noexcept {
    Ref levels = Ref::steal(PyList_New(0));
    if (!levels) return Ref();
    const TLElementType* last = nullptr;
    for (const TLElementType* e = element; e; e = e->element) {
        bool endless = e->element == e;
        if (!add_level(shapes, levels.get(), e->kind, e->type_name ? e->type_name : "", endless))
            return Ref();
        if (endless) return Ref::steal(PyList_AsTuple(levels.get()));
        last = e;
    }
    if (last && is_vector_kind(last->kind)) {
        bool done = guarded<bool>([&] {
            ElementLevels below = element_levels(last->type_name);
            size_t count = below.kinds.size();
            for (size_t i = 0; i < count; ++i) {
                bool at_last = i + 1 == count;
                if (!add_level(shapes, levels.get(), below.kinds[i],
                               at_last ? below.last_text.c_str() : nullptr,
                               at_last && below.endless))
                    return false;
            }
            return true;
        });
        if (!done) return Ref();
    }
    return Ref::steal(PyList_AsTuple(levels.get()));
}

Ref param_view(const ViewShapes& shapes, const TLParam& p) noexcept {
    Ref view = Ref::steal(PyStructSequence_New(shapes.param));
    if (!view) return Ref();
    Ref element =
        is_vector_kind(p.kind) ? element_chain(shapes, p.element) : Ref::steal(PyTuple_New(0));
    bool ok = set_field(view.get(), 0, p.py_name ? Ref::borrow(p.py_name) : text_of(p.name)) &&
              set_field(view.get(), 1, as_int(p.kind)) &&
              set_field(view.get(), 2, text_of(p.type_name)) &&
              set_field(view.get(), 3, as_bool(p.is_conditional != 0)) &&
              set_field(view.get(), 4, as_int(p.flag_field)) &&
              set_field(view.get(), 5, as_int(p.flag_bit)) &&
              set_field(view.get(), 6, as_int(p.flags_word)) &&
              set_field(view.get(), 7, std::move(element)) &&
              set_target(view.get(), 8, p.kind, p.type_name);
    return ok ? std::move(view) : Ref();
}

Ref constructor_view(const ViewShapes& shapes, const TLConstructor& record,
                     bool is_method) noexcept {
    Ref view = Ref::steal(PyStructSequence_New(shapes.constructor));
    Ref params = Ref::steal(PyTuple_New(record.params ? record.param_count : 0));
    if (!view || !params) return Ref();
    for (int32_t j = 0; record.params && j < record.param_count; ++j) {
        Ref param = param_view(shapes, record.params[j]);
        if (!param) return Ref();
        PyTuple_SET_ITEM(params.get(), j, param.release());  // steals
    }
    bool ok = set_field(view.get(), 0, Ref::steal(PyLong_FromUnsignedLong(record.id))) &&
              set_field(view.get(), 1, text_of(record.name)) &&
              set_field(view.get(), 2, text_of(record.result_type)) &&
              set_field(view.get(), 3, std::move(params)) &&
              set_field(view.get(), 4, as_bool(is_method));
    return ok ? std::move(view) : Ref();
}

// How many records of the latest schema are complete. Records are filled in order, each named
// first; a compile that failed (or that is still running, when Python code it runs asks) stopped
// inside the last named record, which it never registered. A complete one always is, under its
// identifier: no later record of its own schema took the identifier from it, as none was made.
int32_t complete_records(const TLSchemaCompiler* self) noexcept {
    const TLSchema* schema = self->schema;
    if (!schema || !schema->constructors) return 0;
    int32_t named = 0;
    while (named < schema->count && schema->constructors[named].name) ++named;
    if (named == 0) return 0;
    const TLConstructor* last = &schema->constructors[named - 1];
    return self->maps->id_map.find(last->id) == last ? named : named - 1;
}

}  // namespace

PyObject* TLSchemaCompiler_entries(PyObject* op, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
    static constexpr const char* here = TL_WHERE(TLSchemaCompiler, entries);
    auto* self = reinterpret_cast<TLSchemaCompiler*>(op);
    if (!parse_no_args("entries", args, nargs, kwnames) || !compiler_ready(self))
        return fail<PyObject*>(here);
    const ModuleState* state = state_of(op);
    if (!state) return fail<PyObject*>(here);
    // Nothing below runs Python code: the tables cannot change while they are copied.
    int32_t count = complete_records(self);
    Ref entries = Ref::steal(PyTuple_New(count));
    if (!entries) return fail<PyObject*>(here);
    int32_t constructors = count ? virel::life_of(self->schema)->constructors : 0;
    for (int32_t i = 0; i < count; ++i) {
        Ref entry = constructor_view(state->view, self->schema->constructors[i], i >= constructors);
        if (!entry) return fail<PyObject*>(here);
        PyTuple_SET_ITEM(entries.get(), i, entry.release());  // steals
    }
    return entries.release();
}

bool view_module_init(PyObject* module, ModuleState* state) noexcept {
    struct Shape {
        PyTypeObject** type;
        PyStructSequence_Desc* desc;
    };
    ViewShapes& shapes = state->view;
    for (Shape shape : {Shape{&shapes.constructor, &constructor_desc},
                        Shape{&shapes.param, &param_desc}, Shape{&shapes.element, &element_desc}}) {
        if (!(*shape.type = PyStructSequence_NewType(shape.desc))) return false;
        const char* name = std::strrchr(shape.desc->name, '.') + 1;
        if (PyModule_AddObjectRef(module, name, reinterpret_cast<PyObject*>(*shape.type)) < 0)
            return false;
    }
    static constexpr struct {
        const char* name;
        TLTypeKind kind;
    } kinds[] = {{"TL_INT", TL_INT},
                 {"TL_LONG", TL_LONG},
                 {"TL_DOUBLE", TL_DOUBLE},
                 {"TL_STRING", TL_STRING},
                 {"TL_BYTES", TL_BYTES},
                 {"TL_BOOL", TL_BOOL},
                 {"TL_VECTOR", TL_VECTOR},
                 {"TL_OBJECT", TL_OBJECT},
                 {"TL_INT128", TL_INT128},
                 {"TL_INT256", TL_INT256},
                 {"TL_BARE_OBJECT", TL_BARE_OBJECT},
                 {"TL_BARE_VECTOR", TL_BARE_VECTOR}};
    for (const auto& k : kinds)
        if (PyModule_AddIntConstant(module, k.name, k.kind) < 0) return false;
    return true;
}

}  // namespace virel
