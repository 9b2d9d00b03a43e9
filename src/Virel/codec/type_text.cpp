// codec/type_text.cpp: the analysis of a type text given at a call, kept per parser.
#include "codec/type_text.hpp"
#include "schema/compiler.hpp"

#include <string>
#include <string_view>

namespace virel {

namespace {

bool is_name_char(char c) noexcept {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '.';
}

// A type as a parameter carries it: a name (`#`, `long`, `User`, `storage.FileType`), or
// `Vector<...>` around such a type. Conditions, blanks, bare `Vector` and other generics are not.
bool well_formed(std::string_view text) noexcept {
    size_t depth = 0;
    while (text.starts_with("Vector<")) {
        text.remove_prefix(7);
        ++depth;
    }
    size_t name_length = 0;
    if (text.starts_with('#')) {
        name_length = 1;
    } else {
        while (name_length < text.size() && is_name_char(text[name_length])) ++name_length;
        if (name_length == 0 || (text[0] >= '0' && text[0] <= '9') || text[0] == '.') return false;
    }
    if (text.substr(0, name_length).starts_with("Vector"))
        return false;  // a vector without its element type
    text.remove_prefix(name_length);
    return text.size() == depth && text.find_first_not_of('>') == std::string_view::npos;
}

}  // namespace

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
    if (!well_formed(text)) {
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
