// schema/type_expr.cpp: the one grammar of type texts (see type_expr.hpp): what a text denotes
// (_parse_type), its condition prefix, the elements of a vector, and what each place accepts.
#include "py_helpers.hpp"
#include "schema/type_expr.hpp"

#include <string_view>

namespace virel {

namespace {

bool is_name_char(char c) noexcept {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '.';
}

// The kinds of the words that need no schema entry.
int32_t primitive_kind(std::string_view word) noexcept {
    if (word == "int" || word == "#") return TL_INT;
    if (word == "long") return TL_LONG;
    if (word == "double") return TL_DOUBLE;
    if (word == "string") return TL_STRING;
    if (word == "bytes" || word == "byte") return TL_BYTES;
    if (word == "Bool" || word == "true") return TL_BOOL;
    if (word == "int128") return TL_INT128;
    if (word == "int256") return TL_INT256;
    return -1;
}

// A bare vector: `vector<` or `%Vector<` in front.
bool is_bare_vector(std::string_view t) noexcept {
    return t.starts_with("vector<") || t.starts_with("%Vector<");
}

// A constructor's name: a name whose last dotted part begins with a lower-case letter.
bool is_constructor_name(std::string_view t) noexcept {
    if (t.empty() || t.front() == '.' || t.back() == '.') return false;
    for (char c : t)
        if (!is_name_char(c)) return false;
    size_t dot = t.rfind('.');
    char first = t[dot == std::string_view::npos ? 0 : dot + 1];
    return first >= 'a' && first <= 'z';
}

// Reads one type at `t` for strict checking: an optional '!' or '%', a name (or '#'), then either
// arguments in angle brackets (`Vector<User>`, `Map<K,V>`) or names applied after blanks (`Vector
// t`). What is wrong with it, or null; `t` moves past what was read.
const char* read_type(std::string_view& t, int depth) noexcept {
    if (depth > 64) return "type nested too deep";
    if (t.starts_with('!') || t.starts_with('%')) t.remove_prefix(1);
    size_t n = 0;
    if (t.starts_with('#')) {
        n = 1;
    } else {
        while (n < t.size() && is_name_char(t[n])) ++n;
        if (n == 0) return "an empty type name";
        if (t[0] == '.' || t[n - 1] == '.') return "a type name that begins or ends with '.'";
    }
    t.remove_prefix(n);
    if (t.starts_with('<')) {
        do {
            t.remove_prefix(1);
            if (const char* wrong = read_type(t, depth + 1)) return wrong;
        } while (t.starts_with(','));
        if (!t.starts_with('>')) return "unbalanced '<' and '>'";
        t.remove_prefix(1);
        return nullptr;
    }
    while (t.starts_with(' ')) {
        t.remove_prefix(1);
        size_t m = 0;
        while (m < t.size() && is_name_char(t[m])) ++m;
        if (m == 0) return "an empty type name";
        t.remove_prefix(m);
    }
    return nullptr;
}

// A type as a parameter carries it, given at a call: a name (`#`, `long`, `User`,
// `storage.FileType`, `%Message`, `future_salt`), or `Vector<...>`, `vector<...>` or `%Vector<...>`
// around such a type. Conditions, blanks, a vector without its element and other generics are not.
bool argument_well_formed(std::string_view text) noexcept {
    size_t depth = 0;
    for (;;) {
        if (text.starts_with("Vector<") || text.starts_with("vector<")) text.remove_prefix(7);
        else if (text.starts_with("%Vector<")) text.remove_prefix(8);
        else break;
        ++depth;
    }
    if (text.starts_with('%')) text.remove_prefix(1);
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

std::string_view proper_type_text(std::string_view text) noexcept {
    if (size_t q = text.find('?'); q != std::string_view::npos) {
        text.remove_prefix(q + 1);
        text = text.substr(0, text.find('?'));
    }
    return text;
}

int32_t kind_of(std::string_view text) noexcept {
    // With a condition prefix ("flags.3?long") the type proper is the text between the first and
    // the second '?'.
    text = proper_type_text(text);
    if (int32_t kind = primitive_kind(text); kind >= 0) return kind;
    if (text.starts_with("Vector")) return TL_VECTOR;
    // Departure D27: bare vectors and bare objects were boxed objects of that name.
    if (is_bare_vector(text)) return TL_BARE_VECTOR;
    if (text.starts_with('%')) {
        int32_t kind = primitive_kind(text.substr(1));  // %int is int: it is bare already
        if (kind >= 0 && kind != TL_BOOL) return kind;
        return TL_BARE_OBJECT;
    }
    if (is_constructor_name(text)) return TL_BARE_OBJECT;
    return TL_OBJECT;
}

std::string element_text(std::string_view text) {
    std::string_view proper = proper_type_text(text);
    std::string out(text.substr(0, static_cast<size_t>(proper.data() - text.data())));
    if (is_bare_vector(proper)) {
        proper.remove_prefix(proper.find('<') + 1);
        if (proper.ends_with('>')) proper.remove_suffix(1);
        return out.append(proper);
    }
    if (proper.find("vector<") != std::string_view::npos ||
        proper.find("%Vector<") != std::string_view::npos) {
        // A boxed vector around a bare one: the boxed levels go with their own brackets.
        while (proper.starts_with("Vector<")) {
            proper.remove_prefix(7);
            if (proper.ends_with('>')) proper.remove_suffix(1);
        }
        return out.append(proper);
    }
    out.clear();
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {  // every "Vector<" first...
        if (text.compare(i, 7, "Vector<") == 0) {
            i += 7;
        } else {
            out += text[i++];
        }
    }
    std::erase(out, '>');  // ...then every '>'
    return out;
}

std::string_view bare_target(std::string_view text, bool* by_type) noexcept {
    text = proper_type_text(text);
    if (text.starts_with('%')) text.remove_prefix(1);
    *by_type = !is_constructor_name(text);
    return text;
}

const char* type_fault(std::string_view text, TypeMode mode, std::string_view* word) noexcept {
    *word = {};
    switch (mode) {
        case TypeMode::schema:
            return nullptr;
        case TypeMode::argument:
            return argument_well_formed(text) ? nullptr : "malformed";
        case TypeMode::parameter:
        case TypeMode::result:
            break;
    }
    if (text.empty()) return "an empty type";
    if (size_t q = text.find('?'); q != std::string_view::npos) {
        if (mode == TypeMode::result) return "a condition in a result type";
        std::string_view cond = text.substr(0, q);
        size_t dot = cond.find('.');
        if (dot == std::string_view::npos || dot == 0)
            return "a condition without its flags word and bit number";
        std::string_view bit = cond.substr(dot + 1);
        if (bit.empty() || bit.size() > 2 ||
            bit.find_first_not_of("0123456789") != std::string_view::npos ||
            (bit.size() == 2 && (bit[0] - '0') * 10 + (bit[1] - '0') > 31))
            return "a condition without a bit number from 0 to 31";
        *word = cond.substr(0, dot);
        text.remove_prefix(q + 1);
    }
    std::string_view rest = text;
    if (const char* wrong = read_type(rest, 0)) return wrong;
    if (!rest.empty())
        return rest.find_first_of("<>") != std::string_view::npos ? "unbalanced '<' and '>'"
                                                                  : "characters after the type";
    return nullptr;
}

int32_t TLSchemaCompiler_parse_type(TLSchemaCompiler*, PyObject* type_expr) {
    static constexpr const char* here = TL_WHERE(TLSchemaCompiler, _parse_type);
    if (type_expr == Py_None) {
        PyErr_SetString(PyExc_TypeError, "'NoneType' object is not iterable");
        return fail<int32_t>(here);
    }
    Py_ssize_t size;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(type_expr, &size))
        return kind_of({utf8, static_cast<size_t>(size)});
    // A lone surrogate has no strict UTF-8 form; it can match none of the ASCII words, so its
    // escaped form gives the same answer.
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return fail<int32_t>(here);
    PyErr_Clear();
    Ref raw = Ref::steal(PyUnicode_AsEncodedString(type_expr, "utf-8", "surrogatepass"));
    if (!raw) return fail<int32_t>(here);
    return kind_of(
        {PyBytes_AS_STRING(raw.get()), static_cast<size_t>(PyBytes_GET_SIZE(raw.get()))});
}

bool parse_condition(std::string_view text, TLParam* param, TLConstructor* record) {
    size_t q = text.find('?');
    if (q == std::string_view::npos) return true;
    param->is_conditional = 1;
    std::string_view cond = text.substr(0, q);
    size_t dot = cond.find('.');
    if (dot == std::string_view::npos)
        return true;  // "?long": bit 0 of flags, no flags field named
    if (cond.find('.', dot + 1) != std::string_view::npos) {
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", Py_ssize_t{2});
        return false;
    }
    std::string_view field = cond.substr(0, dot), bit = cond.substr(dot + 1);

    // Plain short decimals are by far the common case; anything else goes through the
    // interpreter's own int() so that signs, blanks and its error messages stay exact.
    if (!bit.empty() && bit.size() <= 9 &&
        bit.find_first_not_of("0123456789") == std::string_view::npos) {
        int32_t n = 0;
        for (char c : bit) n = n * 10 + (c - '0');
        param->flag_bit = n;
    } else {
        Ref s = Ref::steal(
            PyUnicode_DecodeUTF8(bit.data(), static_cast<Py_ssize_t>(bit.size()), nullptr));
        if (!s) return false;
        Ref n = Ref::steal(PyLong_FromUnicodeObject(s.get(), 10));
        if (!n) return false;
        int overflow;
        long long v = PyLong_AsLongLongAndOverflow(n.get(), &overflow);
        if (overflow || v < INT32_MIN || v > INT32_MAX) {
            PyErr_SetString(PyExc_OverflowError, "Python int too large to convert to C int");
            return false;
        }
        param->flag_bit = static_cast<int32_t>(v);
    }
    if (field == "flags2") {
        param->flag_field = 1;
        record->has_flags2 = 1;
    } else {
        param->flag_field = 0;
        record->has_flags = 1;
    }
    return true;
}

}  // namespace virel
