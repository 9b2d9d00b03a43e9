// codec/type_argument.cpp: the analysis of a type text given at a call, kept per parser.
#include "codec/near_names.hpp"
#include "codec/type_argument.hpp"
#include "schema/arena.hpp"
#include "schema/compiler.hpp"
#include "schema/type_grammar.hpp"

#include <string>
#include <string_view>
#include <unordered_map>

namespace virel {

const ParsedType* parsed_type(TLParser* self, TLSchemaCompiler* compiler, PyObject* type) {
    if (!PyUnicode_CheckExact(type)) {
        PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "str", Py_TYPE(type)->tp_name);
        return nullptr;
    }
    Py_ssize_t size;
    const char* utf8 = PyUnicode_AsUTF8AndSize(type, &size);
    if (!utf8) return nullptr;
    std::string_view text(utf8, static_cast<size_t>(size));
    auto& types = self->state->caches.types;
    if (auto it = types.find(text); it != types.end()) return &it->second;
    std::string_view word;
    if (type_fault(text, TypeMode::argument, &word)) {
        PyErr_Format(PyExc_ValueError, "Malformed type expression: %R", type);
        return nullptr;
    }
    int32_t kind = compiler->ops->_parse_type(compiler, type);
    if (PyErr_Occurred()) return nullptr;
    // A caller may bring any number of texts: the cache is bounded, and a vector's elements are
    // derived from the text when it is read or written (as for a record made without them),
    // so that nothing is added to the schema's own tables for a text given at a call.
    if (types.size() >= 256) types.clear();
    auto [it, added] = types.try_emplace(std::string(text), ParsedType{kind, nullptr, nullptr});
    it->second.text = it->first.c_str();  // nodes stay put: the pointer lives as long as the entry
    return &it->second;
}

// The constructor name, or the type of exactly one constructor, nearest to `target` (the first of
// the nearest), or empty.
static std::string nearest_target(const TLSchema* schema, std::string_view target, bool by_type) {
    std::string_view best;
    size_t best_distance = 0;
    int32_t constructors = virel::life_of(schema)->constructors;
    std::unordered_map<std::string_view, int32_t> of_type;  // result type -> its constructors
    if (by_type)
        for (int32_t i = 0; i < constructors; ++i)
            if (const char* type = schema->constructors[i].result_type) ++of_type[type];
    for (int32_t i = 0; i < constructors; ++i) {
        const TLConstructor& record = schema->constructors[i];
        const char* text = by_type ? record.result_type : record.name;
        size_t d;
        if (!text || (by_type && of_type[text] != 1) || !near_name(target, text, &d) ||
            (!best.empty() && d >= best_distance))
            continue;
        best = text;
        best_distance = d;
    }
    return std::string(best);
}

void suggest_bare_target(TLParser* self, TLSchemaCompiler* compiler,
                         std::string_view text) noexcept {
    const TLSchema* schema = self->schema;
    if (!schema || !self->state || !PyErr_Occurred()) return;
    PyObject* exc = PyErr_GetRaisedException();
    ParserCaches* caches = &self->state->caches;
    std::string note;
    try {
        std::string_view proper = proper_type_text(text);
        bool by_type;
        std::string_view target = bare_target(text, &by_type);
        if (target.size() <= kNearNameMax) {
            // Kept apart from pack's names, which are never empty nor begin with this byte.
            const std::string& near =
                caches->suggestion(compiler->maps->generation, '\x01' + std::string(proper),
                                   [&] { return nearest_target(schema, target, by_type); });
            if (!near.empty())
                note = std::string("did you mean '") + (proper.starts_with('%') ? "%" : "") + near +
                       "'?";
        }
    } catch (...) {
        note.clear();  // no note rather than another exception
    }
    if (!note.empty()) {
        Ref line = Ref::steal(
            PyUnicode_FromStringAndSize(note.data(), static_cast<Py_ssize_t>(note.size())));
        Ref done = line ? Ref::steal(PyObject_CallMethod(exc, "add_note", "O", line.get())) : Ref();
        if (!done) PyErr_Clear();
    }
    PyErr_SetRaisedException(exc);
}

}  // namespace virel
