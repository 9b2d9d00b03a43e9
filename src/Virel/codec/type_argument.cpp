// codec/type_argument.cpp: the analysis of a type text given at a call, kept per parser.
#include "codec/type_argument.hpp"
#include "schema/compiler.hpp"
#include "schema/type_grammar.hpp"

#include <string>
#include <string_view>

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
    TLParserExtras* extras = extras_of(self);
    if (!extras) return nullptr;
    if (auto it = extras->types.find(text); it != extras->types.end()) return &it->second;
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
    if (extras->types.size() >= 256) extras->types.clear();
    auto [it, added] =
        extras->types.try_emplace(std::string(text), ParsedType{kind, nullptr, nullptr});
    it->second.text = it->first.c_str();  // nodes stay put: the pointer lives as long as the entry
    return &it->second;
}

}  // namespace virel
