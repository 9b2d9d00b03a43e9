// tl.hpp: the native interface of Virel.tl: the compiled schema tables, the two object structs,
// their tables of internal operations, and the capsule through which another extension reaches
// them. This header is all such an extension includes; it links to nothing of Virel.tl.
//
// A native subclass, step by step (tests/native/tlsub.cpp is a complete one):
//  1. When your module is executed, fetch the interface: `const TLCapi* api = TLCapi_Import();`
//     (null: an ImportError is pending, for instance because Virel.tl was built from another
//     version of this header).
//  2. Your object struct begins with the base struct, e.g. `struct MyParser { TLParser base;
//     long long count; };`. The base constructor zero-fills whatever follows the base.
//  3. Your table starts as a copy of the default one, then you replace entries:
//     `static TLParserOps ops = *api->TLParser_default_ops; ops._write_string = my_write_string;`.
//     An override is declared noexcept (it reports failures as the entry it replaces does, never
//     by a C++ exception) and may call that entry (`api->TLParser_default_ops->_write_string`).
//     Every operation reaches the others through the object's table, so an override also runs
//     when another operation (a vector, an object) needs it.
//  4. Your type: `PyType_FromModuleAndSpec(module, &shape, (PyObject*)api->TLParser_Type)` with
//     `basicsize` sizeof(MyParser), flags Py_TPFLAGS_DEFAULT (TLParser's collector support, its
//     traverse, clear and dealloc are inherited: leave Py_TPFLAGS_HAVE_GC out unless your struct
//     holds Python references and brings its own traverse) and a Py_tp_new slot that calls the
//     base's and installs the table:
//     `PyObject* self = api->TLParser_Type->tp_new(type, args, kwargs);`
//     `if (self) reinterpret_cast<TLParser*>(self)->ops = &ops;`
//  5. A TLSchemaCompiler subclass is built the same way with TLSchemaCompilerOps and
//     api->TLSchemaCompiler_Type. A TLParser compiles with a plain TLSchemaCompiler of its own; a
//     parser subclass that wants yours creates and compiles one in its tp_new, then replaces the
//     base's: `compiler` (one strong reference) and `schema` (what `_get_schema` returns: the
//     compiler keeps the schema it hands out for as long as the compiler lives). At each call the
//     parser's `schema` follows the compiler's latest compile.
// A parser whose table is the default one runs the codec's direct path, where the operations call
// one another without the table and the primitives are inlined; any other table runs the general
// path, which calls every operation through the table. Both give the same results.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

// What a type expression denotes; the codec dispatches on it.
enum TLTypeKind : int32_t {
    TL_INT = 0,     // int, #
    TL_LONG = 1,    // long
    TL_DOUBLE = 2,  // double
    TL_STRING = 3,  // string
    TL_BYTES = 4,   // bytes, byte
    TL_BOOL = 5,    // Bool, true
    TL_VECTOR = 6,  // anything that begins with "Vector"
    TL_OBJECT = 7,  // every other name: a boxed object
    TL_INT128 = 8,  // int128: 16 bytes, little-endian
    TL_INT256 = 9,  // int256: 32 bytes, little-endian
    // A bare object: its record's parameters without the identifier. The record is named by the
    // text: `%T` (the one constructor of type T) or a constructor's own name (`future_salt`).
    TL_BARE_OBJECT = 10,
    TL_BARE_VECTOR = 11,  // vector<...> or %Vector<...>: the count and the elements, no header
};

// What a vector holds. Its text is the vector's declared text with every "Vector<" and then every
// ">" removed (a bare vector's: the text between its angle brackets). Worked out once when the
// schema is compiled. A text that begins with "Vector" but
// holds no "Vector<" (such as "Vector t") strips to itself, so `element` may point back at the
// very record that holds it: such vectors nest as deep as the data goes.
struct TLElementType {
    int32_t kind;            // TLTypeKind of the element text
    char* type_name;         // the element text, NUL-terminated UTF-8
    TLElementType* element;  // when kind is TL_VECTOR or TL_BARE_VECTOR: the element's own
                             // element (null past the levels worked out); else null
};

struct TLParam {
    char* name;              // NUL-terminated UTF-8; in the schema's string blocks
    PyObject* py_name;       // the schema's own str for the name: the key of every value
    int32_t kind;            // TLTypeKind
    char* type_name;         // the whole type expression, condition prefix included
    int32_t is_conditional;  // 1 when the expression holds '?'
    int32_t flag_bit;        // bit number of the condition; only its low five bits are used
    int32_t flag_field;      // 1: governed by flags2; 0: by flags
    // Derived once at compile time (plain facts of the parameter):
    int32_t flags_word;  // 1 when `name` is exactly "flags", 2 for "flags2", else 0
    TLElementType*
        element;  // when kind is TL_VECTOR or TL_BARE_VECTOR: its element type, else null
};

struct TLConstructor {
    uint32_t id;
    char* name;         // NUL-terminated UTF-8; in the schema's string blocks
    char* result_type;  // NUL-terminated UTF-8; in the schema's string blocks
    TLParam* params;    // param_count records, or null; in the schema's blocks
    int32_t param_count;
    int32_t has_flags;
    int32_t has_flags2;
    // Derived once at compile time. These stay in the record because they are facts of the schema
    // entry itself, the same for every reader, which a native subclass's operations may read as
    // the codec does; what the codec caches for its own speed is behind codec_plan.
    PyObject* py_name;    // `name` as a str: the "_" value of every decoded object; owned
    int32_t value_count;  // parameters that become keys (all but the flags words)
    // Private to Virel.tl: what its compiler works out from the entry for its encoder alone, in a
    // layout of the module's own. Never read or written by another extension.
    uint32_t encoder_facts[4];
    // Private to Virel.tl: what its codec makes of the record when it first meets it (null until
    // then), released with the schema. Never read or written by another extension.
    struct TLCodecPlan* codec_plan;
    struct TLSchema* schema;  // the schema that holds this record (and its memory); read only
};

struct TLStringBlock;  // private to Virel.tl

struct TLSchema {
    TLConstructor* constructors;  // count records, zero-filled at allocation; in `strings`
    int32_t count;
    // Private to Virel.tl: the memory every text, array and element record of the schema is
    // carved from, released with it. Never read or written by another extension.
    TLStringBlock* strings;
};

struct TLSchemaCompiler;
struct TLParser;
struct
    TLSchemaCompilerMaps;  // the lookup maps and the schemas kept alive (C++, private to Virel.tl)

// Internal operations of TLSchemaCompiler, in the order of their slots. Each reports failure by
// leaving a Python exception pending, and its caller tests PyErr_Occurred() right after the call.
// Every entry is noexcept, an extension's own too: no C++ exception crosses a table call (an
// override that calls what may throw catches it and reports it as a Python exception).
struct TLSchemaCompilerOps {
    // Fixed by the interface: returns nothing, the caller tests PyErr_Occurred().
    void (*_parse_json_schema)(TLSchemaCompiler* self, PyObject* json_data) noexcept;
    TLConstructor* (*_create_constructor)(TLSchemaCompiler* self, PyObject* entry,
                                          int32_t index) noexcept;
    // Fixed by the interface: returns the TLTypeKind, and any value may come with a failure; the
    // caller tests PyErr_Occurred().
    int32_t (*_parse_type)(TLSchemaCompiler* self, PyObject* type_expr) noexcept;
    // Fixed by the interface: returns nothing. Never fails (the compiler's dealloc runs it).
    void (*_free_schema)(TLSchemaCompiler* self) noexcept;
    TLSchema* (*_get_schema)(TLSchemaCompiler* self) noexcept;
};

struct TLSchemaCompiler {
    PyObject_HEAD
    const TLSchemaCompilerOps* ops;
    TLSchema* schema;            // tables of the last compile, or null
    TLSchemaCompilerMaps* maps;  // id_map and name_map; never own the records
    int32_t compiling;           // 1 while compile runs (a nested compile is refused)
};

// Internal operations of TLParser, in the order of their slots. Writers return false with a Python
// exception pending when they fail, and the readers that make Python objects return null with one;
// readers of numbers and of byte strings never raise and report a shortage through `parse_error`.
// A type text travels as a C string, with the element record worked out at compile time beside it
// (null: the element is derived from the text at the call).
// Every entry is noexcept, as in TLSchemaCompilerOps.
struct TLParserOps {
    PyObject* (*_read_value)(TLParser* self, int32_t kind, const char* type_name,
                             const TLElementType* element) noexcept;
    bool (*_write_value)(TLParser* self, PyObject* value, int32_t kind, const char* type_name,
                         const TLElementType* element) noexcept;
    uint32_t (*_read_int32)(TLParser* self) noexcept;
    uint64_t (*_read_int64)(TLParser* self) noexcept;
    double (*_read_double)(TLParser* self) noexcept;
    // Reads one byte string and returns a view of its *size bytes inside the buffer (valid until
    // the next call that changes the buffer); on a shortage sets parse_error and returns null.
    const char* (*_read_bytes)(TLParser* self, Py_ssize_t* size) noexcept;
    PyObject* (*_read_string)(TLParser* self) noexcept;
    PyObject* (*_read_vector)(TLParser* self, const char* type_name,
                              const TLElementType* element) noexcept;
    PyObject* (*_read_object)(TLParser* self) noexcept;
    bool (*_write_int32)(TLParser* self, uint32_t value) noexcept;
    bool (*_write_int64)(TLParser* self, uint64_t value) noexcept;
    bool (*_write_double)(TLParser* self, double value) noexcept;
    bool (*_write_bytes)(TLParser* self, const char* data, Py_ssize_t size) noexcept;
    bool (*_write_string)(TLParser* self, PyObject* text) noexcept;
    bool (*_write_vector)(TLParser* self, PyObject* value, const char* type_name,
                          const TLElementType* element) noexcept;
    bool (*_write_object)(TLParser* self, PyObject* value) noexcept;
    // Fixed by the interface: returns nothing, the caller tests PyErr_Occurred() (MemoryError).
    void (*_ensure_buffer)(TLParser* self, uint64_t extra) noexcept;
};

struct TLParser {
    PyObject_HEAD
    const TLParserOps* ops;
    TLSchema* schema;    // borrowed from `compiler`; follows its latest compile at each call
    PyObject* compiler;  // the private TLSchemaCompiler; None once cleared by the collector
    // The bytes a call reads or writes, `capacity` of them. Between calls: the parser's own block
    // (realloc/free; null until a call needs it), which keeps the room it grew to. During a call it
    // may point elsewhere; the parser's own block, with its capacity, is back when the call ends:
    //  - unpack_from, and unpack on the direct path (the default table): the caller's data (read
    //    only, not owned). unpack on the table path copies its input into the parser's own block.
    //  - pack and pack_as on the direct path, once their output outgrows 64 KiB: the bytes object
    //    they will return, so there the parser's own block grows to 64 KiB at most. On the table
    //    path, and in pack_into, the output is built in the parser's own block.
    unsigned char* buffer;
    uint64_t capacity;
    uint64_t input_length;
    uint64_t position;
    int32_t parse_error;
    // Private to Virel.tl: the parser's modes, its caches and the state of the call running on it
    // (made with the parser, owned). Never read or written by another extension.
    struct TLParserState* state;
    // Private to Virel.tl: the schema this parser holds a reference to (the one `schema` shows,
    // unless an extension replaced that field). Never read or written by another extension.
    TLSchema* held;
};

// ---- The capsule ----

// The interface version. It goes up by one with every release of Virel.tl that changes what an
// extension built against this header relies on: the layout (fields, their order or types) of any
// struct above or of TLCapi, the signature or the order of an operation in TLSchemaCompilerOps or
// TLParserOps, or the meaning of a field. Adding a new struct, or a comment, changes nothing. An
// extension built for another version is refused at TLCapi_Import; the struct sizes below are a
// second, mechanical check that catches a header edited without the version going up.
// Version 4: the entries of both tables are noexcept function pointers; TLConstructor's encoder
// facts (conditional_count, early_conditionals, shared_flag_bits) became one private part
// (encoder_facts); TLStringBlock left the header (TLSchema::strings is private) and TLCapiSizes;
// TLParser's per-call fields (busy, short_at, extras) became one private pointer (`state`).
// Version 3: four kinds (TL_INT128, TL_INT256, TL_BARE_OBJECT, TL_BARE_VECTOR): a table entry
// that dispatches on the kind meets them, and element records follow bare vectors too;
// TLConstructor points back to its schema (`schema`), and TLParser holds its schema through a
// private field (`held`).
// Version 2: TLConstructor lost the codec's caches (ready, proto, key_slots, value_keys, key_mask)
// for one private pointer, and TLKeySlot and TLValueKey left the header.
#define TL_CAPI_VERSION 4
// The capsule's full name: the module attribute Virel.tl._C_API.
#define TL_CAPI_NAME "Virel.tl._C_API"

// The size of every struct of this header (TLCapi's own is TLCapi::size), as the side that filled
// them was compiled. A struct added to the header gets its size here.
struct TLCapiSizes {
    uint32_t type_kind, element_type, param, constructor, schema;
    uint32_t compiler_ops, compiler, parser_ops, parser;
    friend bool operator==(const TLCapiSizes&, const TLCapiSizes&) = default;
};

constexpr TLCapiSizes TLCapi_sizes() noexcept {
    return {sizeof(TLTypeKind),       sizeof(TLElementType), sizeof(TLParam),
            sizeof(TLConstructor),    sizeof(TLSchema),      sizeof(TLSchemaCompilerOps),
            sizeof(TLSchemaCompiler), sizeof(TLParserOps),   sizeof(TLParser)};
}

// What the capsule holds. Lives as long as the process; never written after the module is loaded.
struct TLCapi {
    uint32_t version;  // TL_CAPI_VERSION of the module
    uint32_t size;     // sizeof(TLCapi) of the module
    TLCapiSizes sizes;
    PyTypeObject* TLSchemaCompiler_Type;
    PyTypeObject* TLParser_Type;
    const TLSchemaCompilerOps* TLSchemaCompiler_default_ops;  // for a subclass to copy
    const TLParserOps* TLParser_default_ops;                  // for a subclass to copy
};

// Imports Virel.tl and returns its interface, or null with an exception pending: ImportError when
// the module's _C_API is missing or is not its capsule, or when the module was built from another
// version of this header than the caller.
inline const TLCapi* TLCapi_Import() noexcept {
    // The module itself, not the package's attribute "tl" that PyCapsule_Import would walk to.
    PyObject* module = PyImport_ImportModule("Virel.tl");
    if (!module) return nullptr;
    PyObject* capsule = PyObject_GetAttrString(module, "_C_API");
    Py_DECREF(module);  // sys.modules keeps it
    if (!capsule) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            PyErr_SetString(PyExc_ImportError, TL_CAPI_NAME " is missing");
        }
        return nullptr;
    }
    if (!PyCapsule_CheckExact(capsule)) {
        PyErr_Format(PyExc_ImportError, TL_CAPI_NAME " is not a capsule (found %s)",
                     Py_TYPE(capsule)->tp_name);
        Py_DECREF(capsule);
        return nullptr;
    }
    if (!PyCapsule_IsValid(capsule, TL_CAPI_NAME)) {
        const char* name = PyCapsule_GetName(capsule);  // a capsule may have no name
        if (name) {
            PyErr_Format(PyExc_ImportError,
                         TL_CAPI_NAME " is a capsule named '%s', expected '" TL_CAPI_NAME "'",
                         name);
        } else {
            PyErr_SetString(PyExc_ImportError, TL_CAPI_NAME
                            " is a capsule without a name, expected '" TL_CAPI_NAME "'");
        }
        Py_DECREF(capsule);
        return nullptr;
    }
    // The pointer is to the module's static data, which outlives the capsule's reference.
    auto* api = static_cast<const TLCapi*>(PyCapsule_GetPointer(capsule, TL_CAPI_NAME));
    Py_DECREF(capsule);
    if (!api) return nullptr;
    if (api->version != TL_CAPI_VERSION) {
        PyErr_Format(
            PyExc_ImportError,
            "Virel.tl offers native interface version %u, this extension was built for version %u",
            static_cast<unsigned>(api->version), static_cast<unsigned>(TL_CAPI_VERSION));
        return nullptr;
    }
    if (api->size != sizeof(TLCapi) || !(api->sizes == TLCapi_sizes())) {
        PyErr_SetString(
            PyExc_ImportError,
            "Virel.tl was built from another tl.hpp than this extension (struct sizes differ): "
            "rebuild the extension against the installed header");
        return nullptr;
    }
    return api;
}
