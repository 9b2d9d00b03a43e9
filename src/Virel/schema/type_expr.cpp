// schema/type_expr.cpp: what a type expression denotes (_parse_type) and its condition prefix.
#include "capi.hpp"
#include "schema/type_expr.hpp"

#include <string_view>

namespace virel {

int32_t kind_of(std::string_view text) noexcept {
    // With a condition prefix ("flags.3?long") the type proper is the text between the first and
    // the second '?'.
    if (size_t q = text.find('?'); q != std::string_view::npos) {
        text.remove_prefix(q + 1);
        text = text.substr(0, text.find('?'));
    }
    if (text == "int" || text == "#") return TL_INT;
    if (text == "long") return TL_LONG;
    if (text == "double") return TL_DOUBLE;
    if (text == "string") return TL_STRING;
    if (text == "bytes" || text == "byte") return TL_BYTES;
    if (text == "Bool" || text == "true") return TL_BOOL;
    if (text.starts_with("Vector")) return TL_VECTOR;
    return TL_OBJECT;
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
