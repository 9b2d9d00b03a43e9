// The benchmark's floor: the least work any codec must do for the same values.
//
// pack(value, plan): reads every value the schema names from the caller's dicts (one walk over
// each dict's entries with PyDict_Next while the keys come in the fields' order, else one
// PyDict_GetItemWithError per key) and writes the TL bytes into a buffer kept between calls, then
// returns them as one bytes object.  The plan (from pack_plan) is compiled ahead of the calls from
// tuples built in Python, so no schema work happens inside a call.
//
// unpack(plan): creates the result objects a decoder would return, in order, from a plan (from
// unpack_plan) that already says what to make: a dict with these keys, an int of this value, a
// str from these UTF-8 bytes, a list of n items...  Nothing is parsed inside a call.
//
// Only the public C API is used.  Built by bench/floor/__init__.py for the benchmark alone.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

namespace {

// Kinds, as bench/baseline.py numbers them; FLAGS is a flags word.
enum Kind : uint8_t { INT, LONG, DOUBLE, STRING, BYTES, BOOL, VECTOR, OBJECT, FLAGS };
constexpr uint32_t VECTOR_ID = 0x1CB5C415u;

// ----------------------------------------------------------------------------------- pack

struct Field {
    PyObject* key;  // borrowed from the plan tuple the PackPlan holds
    uint8_t kind;
    uint8_t element;  // kind of a vector's items
    int8_t word;      // -1: unconditional; else the flags word (0 or 1) holding its bit
    uint8_t bit;
};

struct Record {
    uint32_t id;
    size_t first;  // its fields are fields[first, first + count)
    size_t count;
};

struct PackPlan {
    PyObject* source = nullptr;   // the plan dict handed in: keeps the key strings alive
    PyObject* by_name = nullptr;  // name -> index into records
    std::vector<Record> records;
    std::vector<Field> fields;
    ~PackPlan() {
        Py_XDECREF(source);
        Py_XDECREF(by_name);
    }
};

// One output buffer, reused from call to call (the GIL serialises the calls).
struct Out {
    char* data = nullptr;
    size_t size = 0;
    size_t capacity = 0;
};
Out out;
PyObject* underscore = nullptr;  // interned "_"

bool reserve(size_t n) {
    if (out.capacity - out.size >= n) return true;
    size_t wanted = out.capacity ? out.capacity : 4096;
    while (wanted - out.size < n) wanted *= 2;
    char* grown = static_cast<char*>(std::realloc(out.data, wanted));
    if (!grown) {
        PyErr_NoMemory();
        return false;
    }
    out.data = grown;
    out.capacity = wanted;
    return true;
}

inline void put32(uint32_t v) {
    std::memcpy(out.data + out.size, &v, 4);
    out.size += 4;
}

inline void put64(uint64_t v) {
    std::memcpy(out.data + out.size, &v, 8);
    out.size += 8;
}

bool put_blob(const char* p, size_t n) {
    if (!reserve(n + 8)) return false;
    size_t head = 1;
    if (n < 254) {
        out.data[out.size] = static_cast<char>(n);
    } else {
        uint32_t word = static_cast<uint32_t>(n << 8) | 0xFEu;
        std::memcpy(out.data + out.size, &word, 4);
        head = 4;
    }
    std::memcpy(out.data + out.size + head, p, n);
    size_t total = head + n;
    size_t padded = (total + 3) & ~size_t{3};
    std::memset(out.data + out.size + total, 0, padded - total);
    out.size += padded;
    return true;
}

bool pack_object(const PackPlan& plan, PyObject* obj);

static_assert(sizeof(long) == 8, "PyLong_AsLong must give 64 bits");

// A TL long from an int: 64 bits, also above 2**63 - 1 (decoded longs are unsigned).
inline bool long_of(PyObject* value, uint64_t* result) {
    int overflow;
    long v = PyLong_AsLongAndOverflow(value, &overflow);
    if (overflow) v = static_cast<long>(PyLong_AsUnsignedLong(value));
    if (v == -1 && PyErr_Occurred()) return false;
    *result = static_cast<uint64_t>(v);
    return true;
}

// A vector of ints or longs: room for all of it reserved once, then one tight loop with the
// write position in a register.
bool pack_numbers(uint8_t element, PyObject* list) {
    Py_ssize_t n = PyList_GET_SIZE(list);
    size_t width = element == LONG ? 8 : 4;
    if (!reserve(width * static_cast<size_t>(n))) return false;
    char* at = out.data + out.size;
    for (Py_ssize_t i = 0; i < n; ++i, at += width) {
        PyObject* item = PyList_GET_ITEM(list, i);
        if (element == LONG) {
            uint64_t v;
            if (!long_of(item, &v)) return false;
            std::memcpy(at, &v, 8);
        } else {
            long v = PyLong_AsLong(item);
            if (v == -1 && PyErr_Occurred()) return false;
            uint32_t word = static_cast<uint32_t>(v);
            std::memcpy(at, &word, 4);
        }
    }
    out.size = static_cast<size_t>(at - out.data);
    return true;
}

bool pack_value(const PackPlan& plan, uint8_t kind, uint8_t element, PyObject* value) {
    switch (kind) {
        // PyLong_AsLong rather than PyLong_AsLongLong: on 3.12 the latter goes through a byte-array
        // conversion for any int above 2**30.
        case INT: {
            long v = PyLong_AsLong(value);
            if (v == -1 && PyErr_Occurred()) return false;
            if (!reserve(4)) return false;
            put32(static_cast<uint32_t>(v));
            return true;
        }
        case LONG: {
            uint64_t v;
            if (!long_of(value, &v) || !reserve(8)) return false;
            put64(v);
            return true;
        }
        case DOUBLE: {
            double v = PyFloat_AsDouble(value);
            if (v == -1.0 && PyErr_Occurred()) return false;
            if (!reserve(8)) return false;
            uint64_t bits;
            std::memcpy(&bits, &v, 8);
            put64(bits);
            return true;
        }
        case STRING: {
            Py_ssize_t n;
            const char* p = PyUnicode_AsUTF8AndSize(value, &n);
            return p && put_blob(p, static_cast<size_t>(n));
        }
        case BYTES:
            if (!PyBytes_Check(value)) {
                PyErr_SetString(PyExc_TypeError, "floor: bytes expected");
                return false;
            }
            return put_blob(PyBytes_AS_STRING(value), static_cast<size_t>(PyBytes_GET_SIZE(value)));
        case BOOL: {
            int truth = PyObject_IsTrue(value);
            if (truth < 0 || !reserve(4)) return false;
            put32(truth ? 1u : 0u);
            return true;
        }
        case VECTOR: {
            if (!PyList_Check(value)) {
                PyErr_SetString(PyExc_TypeError, "floor: list expected");
                return false;
            }
            Py_ssize_t n = PyList_GET_SIZE(value);
            if (!reserve(8)) return false;
            put32(VECTOR_ID);
            put32(static_cast<uint32_t>(n));
            if (element == INT || element == LONG) return pack_numbers(element, value);
            for (Py_ssize_t i = 0; i < n; ++i) {
                if (!pack_value(plan, element, element, PyList_GET_ITEM(value, i))) return false;
            }
            return true;
        }
        case OBJECT:
            return pack_object(plan, value);
        default:
            PyErr_SetString(PyExc_ValueError, "floor: bad kind in plan");
            return false;
    }
}

bool pack_object(const PackPlan& plan, PyObject* obj) {
    if (!PyDict_Check(obj)) {
        PyErr_SetString(PyExc_TypeError, "floor: dict expected");
        return false;
    }
    // The values are read in one walk over the dict's entries while its keys come in the order
    // of the fields (the very key objects); from the first key out of place, by lookup.
    Py_ssize_t pos = 0;
    PyObject* key;
    PyObject* name;
    bool in_order = PyDict_Next(obj, &pos, &key, &name) && key == underscore;
    if (!in_order && !(name = PyDict_GetItemWithError(obj, underscore))) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_KeyError, "floor: no '_'");
        return false;
    }
    PyObject* index = PyDict_GetItemWithError(plan.by_name, name);
    if (!index) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_KeyError, "floor: constructor not in plan");
        return false;
    }
    const Record& record = plan.records[PyLong_AsSize_t(index)];
    if (!reserve(4)) return false;
    put32(record.id);
    size_t word_at[2] = {0, 0};  // where each flags word goes, patched at the end
    uint32_t words[2] = {0, 0};
    const Field* field = plan.fields.data() + record.first;
    const Field* end = field + record.count;
    for (; field != end; ++field) {
        if (field->kind == FLAGS) {
            if (!reserve(4)) return false;
            word_at[field->word] = out.size;
            put32(0);
            continue;
        }
        PyObject* value = nullptr;
        if (in_order && !(PyDict_Next(obj, &pos, &key, &value) && key == field->key)) {
            in_order = false;
            value = nullptr;
        }
        if (!value && !(value = PyDict_GetItemWithError(obj, field->key))) {
            if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, field->key);
            return false;
        }
        if (field->word >= 0) {
            if (field->kind == BOOL) {
                if (value == Py_True) words[field->word] |= 1u << field->bit;
                continue;
            }
            if (value == Py_None) continue;
            words[field->word] |= 1u << field->bit;
        }
        if (!pack_value(plan, field->kind, field->element, value)) return false;
    }
    for (int w = 0; w < 2; ++w) {
        if (word_at[w]) std::memcpy(out.data + word_at[w], &words[w], 4);
    }
    return true;
}

// ---------------------------------------------------------------------------------- unpack

// Plan words: the low byte is the operation, the rest its argument.
enum Op : uint8_t {
    MAKE_DICT,     // argument: shape index + (count << 32); then count times: a key index and the
                   // key's value (the other keys keep the value the shape's prototype gives them)
    MAKE_LIST,     // argument: item count; the items follow
    MAKE_INT,      // argument: the value (below 2**56)
    MAKE_LONG,     // the next word is the value
    MAKE_DOUBLE,   // the next word holds the bits
    MAKE_STR,      // argument: length; the next word is the offset in the data
    MAKE_BYTES,    // as MAKE_STR
    SHARED,        // argument: index of a shared object (True, False, None) to take a reference to
    MAKE_NUMBERS,  // argument: item count; a list of ints whose values are the next words
};

// A dict's keys in order and a prototype holding them with the values of absent fields: copying
// it makes a dict of the final size at once, without the growth steps of inserting key by key.
struct Shape {
    PyObject* prototype;  // borrowed from the plan's shape tuple, like the keys
    std::vector<PyObject*> keys;
};

struct UnpackPlan {
    PyObject* source = nullptr;  // (words, data, shapes, shared), kept alive
    std::vector<uint64_t> words;
    const char* data = nullptr;  // inside source's data bytes
    std::vector<Shape> shapes;
    std::vector<PyObject*> shared;
    ~UnpackPlan() { Py_XDECREF(source); }
};

PyObject* make(const UnpackPlan& plan, const uint64_t*& ip) {
    uint64_t word = *ip++;
    uint64_t arg = word >> 8;
    switch (static_cast<uint8_t>(word)) {
        case MAKE_DICT: {
            const Shape& shape = plan.shapes[arg & 0xFFFFFFFFu];
            PyObject* dict = PyDict_Copy(shape.prototype);
            if (!dict) return nullptr;
            for (uint64_t n = arg >> 32; n; --n) {
                PyObject* key = shape.keys[*ip++];
                PyObject* value = make(plan, ip);
                if (!value || PyDict_SetItem(dict, key, value) < 0) {
                    Py_XDECREF(value);
                    Py_DECREF(dict);
                    return nullptr;
                }
                Py_DECREF(value);
            }
            return dict;
        }
        case MAKE_LIST: {
            PyObject* list = PyList_New(static_cast<Py_ssize_t>(arg));
            if (!list) return nullptr;
            for (uint64_t i = 0; i < arg; ++i) {
                PyObject* item = make(plan, ip);
                if (!item) {
                    Py_DECREF(list);
                    return nullptr;
                }
                PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), item);  // steals
            }
            return list;
        }
        case MAKE_NUMBERS: {
            PyObject* list = PyList_New(static_cast<Py_ssize_t>(arg));
            if (!list) return nullptr;
            for (uint64_t i = 0; i < arg; ++i) {
                PyObject* item = PyLong_FromUnsignedLongLong(*ip++);
                if (!item) {
                    Py_DECREF(list);
                    return nullptr;
                }
                PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), item);  // steals
            }
            return list;
        }
        case MAKE_INT:
            return PyLong_FromUnsignedLongLong(arg);
        case MAKE_LONG:
            return PyLong_FromUnsignedLongLong(*ip++);
        case MAKE_DOUBLE: {
            double v;
            std::memcpy(&v, ip++, 8);
            return PyFloat_FromDouble(v);
        }
        case MAKE_STR:
            return PyUnicode_DecodeUTF8(plan.data + *ip++, static_cast<Py_ssize_t>(arg), nullptr);
        case MAKE_BYTES:
            return PyBytes_FromStringAndSize(plan.data + *ip++, static_cast<Py_ssize_t>(arg));
        case SHARED:
            return Py_NewRef(plan.shared[arg]);
        default:
            PyErr_SetString(PyExc_ValueError, "floor: bad operation in plan");
            return nullptr;
    }
}

// ------------------------------------------------------------------------------ module

constexpr const char* PACK_PLAN = "floor.PackPlan";
constexpr const char* UNPACK_PLAN = "floor.UnpackPlan";

void drop_pack_plan(PyObject* capsule) {
    delete static_cast<PackPlan*>(PyCapsule_GetPointer(capsule, PACK_PLAN));
}

void drop_unpack_plan(PyObject* capsule) {
    delete static_cast<UnpackPlan*>(PyCapsule_GetPointer(capsule, UNPACK_PLAN));
}

long small_int(PyObject* tuple, Py_ssize_t i) { return PyLong_AsLong(PyTuple_GET_ITEM(tuple, i)); }

// pack_plan({name: (id, ((key, kind, element, word, bit), ...)), ...}) -> plan
PyObject* pack_plan(PyObject*, PyObject* source) {
    if (!PyDict_Check(source)) {
        PyErr_SetString(PyExc_TypeError, "pack_plan takes a dict");
        return nullptr;
    }
    auto* plan = new (std::nothrow) PackPlan;
    if (!plan) return PyErr_NoMemory();
    plan->source = Py_NewRef(source);
    plan->by_name = PyDict_New();
    PyObject* capsule = plan->by_name ? PyCapsule_New(plan, PACK_PLAN, drop_pack_plan) : nullptr;
    if (!capsule) {
        delete plan;
        return nullptr;
    }
    Py_ssize_t pos = 0;
    PyObject* name;
    PyObject* entry;
    while (PyDict_Next(source, &pos, &name, &entry)) {
        PyObject* fields;
        unsigned long id;
        if (!PyArg_ParseTuple(entry, "kO!", &id, &PyTuple_Type, &fields)) break;
        PyObject* index = PyLong_FromSize_t(plan->records.size());
        int stored = index ? PyDict_SetItem(plan->by_name, name, index) : -1;
        Py_XDECREF(index);
        if (stored < 0) break;
        plan->records.push_back({static_cast<uint32_t>(id), plan->fields.size(),
                                 static_cast<size_t>(PyTuple_GET_SIZE(fields))});
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(fields); ++i) {
            PyObject* f = PyTuple_GET_ITEM(fields, i);
            if (!PyTuple_Check(f) || PyTuple_GET_SIZE(f) != 5) {
                PyErr_SetString(PyExc_TypeError, "a field is (key, kind, element, word, bit)");
                break;
            }
            plan->fields.push_back({PyTuple_GET_ITEM(f, 0), static_cast<uint8_t>(small_int(f, 1)),
                                    static_cast<uint8_t>(small_int(f, 2)),
                                    static_cast<int8_t>(small_int(f, 3)),
                                    static_cast<uint8_t>(small_int(f, 4))});
        }
        if (PyErr_Occurred()) break;
    }
    if (PyErr_Occurred()) {
        Py_DECREF(capsule);
        return nullptr;
    }
    return capsule;
}

// unpack_plan(words: bytes of native u64, data: bytes, shapes: ((prototype, keys), ...),
//             shared: tuple) -> plan
PyObject* unpack_plan(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 4 || !PyBytes_Check(args[0]) || !PyBytes_Check(args[1]) ||
        !PyTuple_Check(args[2]) || !PyTuple_Check(args[3])) {
        PyErr_SetString(PyExc_TypeError, "unpack_plan(words, data, shapes, shared)");
        return nullptr;
    }
    auto* plan = new (std::nothrow) UnpackPlan;
    if (!plan) return PyErr_NoMemory();
    plan->source = PyTuple_Pack(4, args[0], args[1], args[2], args[3]);
    PyObject* capsule = plan->source ? PyCapsule_New(plan, UNPACK_PLAN, drop_unpack_plan) : nullptr;
    if (!capsule) {
        delete plan;
        return nullptr;
    }
    size_t count = static_cast<size_t>(PyBytes_GET_SIZE(args[0])) / 8;
    plan->words.resize(count);
    std::memcpy(plan->words.data(), PyBytes_AS_STRING(args[0]), count * 8);
    plan->data = PyBytes_AS_STRING(args[1]);
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(args[2]); ++i) {
        PyObject* shape = PyTuple_GET_ITEM(args[2], i);
        PyObject* prototype;
        PyObject* keys;
        if (!PyArg_ParseTuple(shape, "O!O!", &PyDict_Type, &prototype, &PyTuple_Type, &keys)) {
            Py_DECREF(capsule);
            return nullptr;
        }
        Shape& made = plan->shapes.emplace_back(Shape{prototype, {}});
        for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(keys); ++k) {
            made.keys.push_back(PyTuple_GET_ITEM(keys, k));
        }
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(args[3]); ++i) {
        plan->shared.push_back(PyTuple_GET_ITEM(args[3], i));
    }
    return capsule;
}

PyObject* pack(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 2) {
        PyErr_SetString(PyExc_TypeError, "pack(value, plan)");
        return nullptr;
    }
    auto* plan = static_cast<PackPlan*>(PyCapsule_GetPointer(args[1], PACK_PLAN));
    if (!plan) return nullptr;
    out.size = 0;
    if (!pack_object(*plan, args[0])) return nullptr;
    return PyBytes_FromStringAndSize(out.data, static_cast<Py_ssize_t>(out.size));
}

PyObject* unpack(PyObject*, PyObject* capsule) {
    auto* plan = static_cast<UnpackPlan*>(PyCapsule_GetPointer(capsule, UNPACK_PLAN));
    if (!plan) return nullptr;
    const uint64_t* ip = plan->words.data();
    return make(*plan, ip);
}

PyMethodDef methods[] = {
    {"pack_plan", pack_plan, METH_O, "pack_plan({name: (id, fields)}) -> plan for pack"},
    {"unpack_plan", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(unpack_plan)),
     METH_FASTCALL, "unpack_plan(words, data, shapes, shared) -> plan for unpack"},
    {"pack", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(pack)), METH_FASTCALL,
     "pack(value, plan) -> the TL bytes of value"},
    {"unpack", unpack, METH_O, "unpack(plan) -> the objects the plan describes"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module = {
    PyModuleDef_HEAD_INIT,
    "_virel_floor",
    "The benchmark's floor: least work for pack and unpack.",
    -1,
    methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__virel_floor() {
    underscore = PyUnicode_InternFromString("_");
    if (!underscore) return nullptr;
    return PyModule_Create(&module);
}
