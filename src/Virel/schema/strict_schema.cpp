// schema/strict_schema.cpp: compile(..., strict=True): a schema refused for what the lenient
// compiler would guess at (an entry without id, name, params or result type, a malformed type
// text, a condition on a flags word the record lacks, two different entries under one id or name).
#include "py_helpers.hpp"
#include "schema/json_fields.hpp"
#include "schema/strict_schema.hpp"
#include "schema/type_grammar.hpp"

#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>
#include <string_view>

namespace virel {

namespace {

class Checker {
public:
    explicit Checker(const JsonKeys& keys) noexcept : keys_(keys) {}

    // The entry's label for messages: "schema entry 3 ('peerUser')".
    bool fail(Py_ssize_t index, PyObject* name, const char* what,
              PyObject* detail = nullptr) noexcept {
        Ref label = Ref::steal(name && PyUnicode_Check(name)
                                   ? PyUnicode_FromFormat("schema entry %zd (%R)", index, name)
                                   : PyUnicode_FromFormat("schema entry %zd (no name)", index));
        if (!label) return false;
        if (detail) PyErr_Format(PyExc_ValueError, "%U: %s %R", label.get(), what, detail);
        else PyErr_Format(PyExc_ValueError, "%U: %s", label.get(), what);
        return false;
    }

    bool entry(Py_ssize_t index, PyObject* e, bool constructor) {
        if (!PyDict_CheckExact(e)) return true;  // the compiler's own TypeError follows
        // Everything read out of the entry is held for as long as it is used: a key's __eq__ may
        // empty the dict during any later lookup.
        Ref held_name;
        for (PyObject* key : {keys_.predicate, keys_.method}) {
            if (!dict_item(e, key, &held_name)) return false;
            if (held_name) break;
        }
        PyObject* name = held_name.get();
        if (!name || !PyUnicode_Check(name) || PyUnicode_GET_LENGTH(name) == 0)
            return fail(index, nullptr, "lacks a name (\"predicate\" or \"method\")");
        Ref id;
        if (!dict_item(e, keys_.id, &id)) return false;
        if (!id) return fail(index, name, "lacks an id");
        uint32_t ident = 0;
        if (!id_of(index, name, id.get(), &ident)) return false;
        Ref held_type;
        if (!dict_item(e, keys_.type, &held_type)) return false;
        PyObject* type = held_type.get();
        if (!type || !PyUnicode_Check(type) || PyUnicode_GET_LENGTH(type) == 0)
            return fail(index, name, "lacks a result type (\"type\")");
        std::string_view word;
        const char* type_utf8 = PyUnicode_AsUTF8(type);
        if (!type_utf8) return false;
        if (const char* wrong = type_fault(type_utf8, TypeMode::result, &word))
            return fail(index, name,
                        (std::string("has a malformed result type (") + wrong + "):").c_str(),
                        type);
        if (constructor) {
            Py_ssize_t size;
            const char* name_utf8 = PyUnicode_AsUTF8AndSize(name, &size);
            if (!name_utf8) return false;
            names_.emplace(name_utf8, static_cast<size_t>(size));
            ++types_[type_utf8];
        }
        Ref params;
        if (!dict_item(e, keys_.params, &params)) return false;
        if (!params) return fail(index, name, "lacks its parameters (\"params\")");
        if (!PyList_CheckExact(params.get())) return true;  // the compiler's own TypeError follows
        Ref items = Ref::steal(PyList_AsTuple(params.get()));
        if (!items) return false;
        Ref words = Ref::steal(PySet_New(nullptr));  // the names of the parameters so far
        if (!words) return false;
        Ref shape =
            Ref::steal(PyList_New(0));  // (name, type) of each parameter, for comparing entries
        if (!shape) return false;
        for (Py_ssize_t j = 0; j < PyTuple_GET_SIZE(items.get()); ++j) {
            PyObject* p = PyTuple_GET_ITEM(items.get(), j);  // the tuple holds it
            if (!PyDict_CheckExact(p)) continue;             // the compiler's own TypeError follows
            Ref held_pname, held_ptype;
            if (!dict_item(p, keys_.name, &held_pname) || !dict_item(p, keys_.type, &held_ptype))
                return false;
            PyObject* pname = held_pname.get();
            PyObject* ptype = held_ptype.get();
            if (!pname || !PyUnicode_Check(pname) || PyUnicode_GET_LENGTH(pname) == 0) {
                Ref where = Ref::steal(PyLong_FromSsize_t(j));
                return where &&
                       fail(index, name, "has a parameter without a name, at index", where.get());
            }
            if (!ptype || !PyUnicode_Check(ptype) || PyUnicode_GET_LENGTH(ptype) == 0)
                return fail(index, name, "has a parameter without a type:", pname);
            const char* text = PyUnicode_AsUTF8(ptype);
            if (!text) return false;
            if (const char* wrong = type_fault(text, TypeMode::parameter, &word)) {
                Ref detail = Ref::steal(PyUnicode_FromFormat("%U:%U", pname, ptype));
                return detail &&
                       fail(index, name,
                            (std::string("has a malformed type (") + wrong + "):").c_str(),
                            detail.get());
            }
            if (!word.empty()) {
                Ref w = Ref::steal(
                    PyUnicode_FromStringAndSize(word.data(), static_cast<Py_ssize_t>(word.size())));
                if (!w) return false;
                int has = PySet_Contains(words.get(), w.get());
                if (has < 0) return false;
                if (!has || (word != "flags" && word != "flags2")) {
                    Ref detail = Ref::steal(PyUnicode_FromFormat("%U:%U", pname, ptype));
                    return detail &&
                           fail(index, name,
                                "has a condition on a flags word (flags or flags2) that no earlier "
                                "parameter of the record is:",
                                detail.get());
                }
            }
            if (std::string bare(text); bare_in(bare)) {
                Ref detail = Ref::steal(PyUnicode_FromFormat("%U:%U", pname, ptype));
                if (!detail) return false;
                bare_.push_back({index, Ref::borrow(name), std::move(detail), std::move(bare)});
            }
            if (PySet_Add(words.get(), pname) < 0) return false;
            Ref pair = Ref::steal(PyTuple_Pack(2, pname, ptype));
            if (!pair || PyList_Append(shape.get(), pair.get()) < 0) return false;
        }
        Ref id_key = Ref::steal(PyLong_FromUnsignedLong(ident));
        Ref shape_tuple = Ref::steal(PyList_AsTuple(shape.get()));
        if (!id_key || !shape_tuple) return false;
        Ref definition = Ref::steal(PyTuple_Pack(4, name, id_key.get(), type, shape_tuple.get()));
        if (!definition) return false;
        return unique(index, name, by_id_.get(), id_key.get(), definition.get(), "id") &&
               unique(index, name, by_name_.get(), name, definition.get(), "name");
    }

    // Once every entry is read: each bare type names a constructor, or a type with exactly one.
    bool bare_types() {
        for (const Bare& b : bare_) {
            bool by_type;
            std::string_view target = bare_target(b.text, &by_type);
            std::string key(target);
            size_t count = by_type ? (types_.contains(key) ? types_[key] : 0) : names_.count(key);
            if (count == 1) continue;
            return fail(b.index, b.name.get(),
                        count == 0 ? "has a bare type that names no constructor:"
                                   : "has a bare type of a type with several constructors:",
                        b.detail.get());
        }
        return true;
    }

    bool ready() noexcept {
        by_id_ = Ref::steal(PyDict_New());
        by_name_ = Ref::steal(PyDict_New());
        return by_id_ && by_name_;
    }

private:
    // The identifier as the compiler takes it, but refused with the entry named: not an integer
    // (nor decimal text of one), a bool, or outside -2**31..2**32-1.
    bool id_of(Py_ssize_t index, PyObject* name, PyObject* id, uint32_t* out) {
        Ref n;
        if (PyLong_Check(id) && !PyBool_Check(id)) {
            n = Ref::borrow(id);
        } else if (PyUnicode_Check(id)) {
            n = Ref::steal(PyLong_FromUnicodeObject(id, 10));
            if (!n) {
                // Only int()'s own refusal of the text is a verdict; anything else (no memory)
                // propagates.
                if (!PyErr_ExceptionMatches(PyExc_ValueError)) return false;
                PyErr_Clear();
                return fail(index, name, "has an id that is not a decimal integer:", id);
            }
        } else {
            return fail(index, name, "has an id that is not an integer:", id);
        }
        int overflow;
        long long v = PyLong_AsLongLongAndOverflow(n.get(), &overflow);
        if (v == -1 && PyErr_Occurred()) return false;
        if (overflow || v < INT32_MIN || v > static_cast<long long>(UINT32_MAX))
            return fail(index, name, "has an id outside -2**31..2**32-1:", id);
        *out = static_cast<uint32_t>(v);
        return true;
    }

    bool unique(Py_ssize_t index, PyObject* name, PyObject* seen, PyObject* key,
                PyObject* definition, const char* what) {
        Ref held;  // (index, definition); the comparison below may run a str subclass's __eq__
        if (!dict_item(seen, key, &held)) return false;
        if (!held) {
            Ref entry = Ref::steal(Py_BuildValue("(nO)", index, definition));
            return entry && PyDict_SetItem(seen, key, entry.get()) == 0;
        }
        PyObject* earlier = held.get();
        int same = PyObject_RichCompareBool(PyTuple_GET_ITEM(earlier, 1), definition, Py_EQ);
        if (same < 0) return false;
        if (same) return true;
        std::string detail = std::string("has the ") + what + " of entry " +
                             std::to_string(PyLong_AsSsize_t(PyTuple_GET_ITEM(earlier, 0))) +
                             ", which is defined otherwise";
        return fail(index, name, detail.c_str());
    }

    // The bare type at the bottom of a parameter's type text (through its vector levels), if any:
    // its text goes into *text. (A text that passed the check above nests 64 levels at most.)
    static bool bare_in(std::string& text) {
        int32_t kind = kind_of(text);
        if (kind == TL_BARE_OBJECT) return true;
        if (kind != TL_VECTOR && kind != TL_BARE_VECTOR) return false;
        ElementLevels below = element_levels(text);
        if (below.kinds.back() != TL_BARE_OBJECT) return false;
        text = std::move(below.last_text);
        return true;
    }

    struct Bare {
        Py_ssize_t index;
        Ref name;
        Ref detail;
        std::string text;
    };
    std::vector<Bare> bare_;
    std::unordered_set<std::string> names_;          // the constructors' names
    std::unordered_map<std::string, size_t> types_;  // result type -> its constructors
    Ref by_id_, by_name_;
    const JsonKeys& keys_;
};

}  // namespace

Ref strict_schema(const ModuleState& state, PyObject* json_data) {
    const JsonKeys& keys = state.json_keys;
    Ref top = json_top(state, json_data);
    if (!top) return Ref();
    if (!PyDict_CheckExact(top.get())) return top;  // the compiler's own errors follow
    // The entries are read from a copy whose lists are our own, so that the compiler reads the
    // same entries (a generator of methods can be read once only).
    Ref copy = Ref::steal(PyDict_Copy(top.get()));
    if (!copy) return Ref();
    Ref entries = Ref::steal(PyList_New(0));
    if (!entries) return Ref();
    Py_ssize_t constructor_count = 0;  // the entries that come first, from "constructors"
    for (PyObject* key : {keys.constructors, keys.methods}) {
        Ref part;
        if (!dict_item(copy.get(), key, &part)) return Ref();
        if (!part || part.get() == Py_None ||
            (key == keys.constructors && !PyList_CheckExact(part.get())))
            continue;  // absent, or the compiler's own error follows
        Ref items = Ref::steal(PySequence_List(part.get()));
        if (!items) return Ref();
        if (PyDict_SetItem(copy.get(), key, items.get()) < 0) return Ref();
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i)
            if (PyList_Append(entries.get(), PyList_GET_ITEM(items.get(), i)) < 0) return Ref();
        if (key == keys.constructors) constructor_count = PyList_GET_SIZE(entries.get());
    }
    Checker check(keys);
    if (!check.ready()) return Ref();
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(entries.get()); ++i) {
        Ref e = Ref::borrow(PyList_GET_ITEM(entries.get(), i));
        if (!guarded<bool>([&] { return check.entry(i, e.get(), i < constructor_count); }))
            return Ref();
    }
    if (!guarded<bool>([&] { return check.bare_types(); })) return Ref();
    return copy;
}

}  // namespace virel
