// codec/integers.hpp: Python values as the wire's integers (the int and long fields of pack).
// Always inline: the encoder converts every integer field through these.
#pragma once

#include "py_helpers.hpp"

#include <cstring>

namespace virel {

// An int, or the result of the value's own __int__. An object with only __index__ is refused:
// integer fields take what int() of a number gives, not an index.
[[gnu::always_inline]] inline Ref integer_of(PyObject* value) {
    if (PyLong_Check(value)) return Ref::borrow(value);
    PyNumberMethods* number = Py_TYPE(value)->tp_as_number;
    PyObject* result = nullptr;
    if (number && number->nb_int) result = number->nb_int(value);
    else {
        PyErr_SetString(PyExc_TypeError, "an integer is required");
        return Ref();
    }
    if (result && !PyLong_Check(result)) {
        PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)",
                     Py_TYPE(result)->tp_name);
        Py_DECREF(result);
        return Ref();
    }
    return Ref::steal(result);
}

// A TL int: anything from -2**31 to 2**32-1, so that the unsigned words unpack returns pack again.
[[gnu::always_inline]] inline bool tl_int_of(PyObject* value, uint32_t* out) {
    if (PyLong_CheckExact(value) &&
        PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(value))) {
        Py_ssize_t word = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(value));
        if (word >= INT32_MIN && word <= static_cast<Py_ssize_t>(UINT32_MAX)) {
            *out = static_cast<uint32_t>(word);
            return true;
        }
    }
    Ref number = integer_of(value);
    if (!number) return false;
    int overflow;
    long long word = PyLong_AsLongLongAndOverflow(number.get(), &overflow);
    if (word == -1 && PyErr_Occurred()) return false;
    if (overflow || word < INT32_MIN || word > static_cast<long long>(UINT32_MAX)) {
        // Departure D5: see ARCHITECTURE.md, "Departures".
        PyErr_SetString(
            PyExc_OverflowError,
            "int value out of range for a TL int (accepted: -2147483648 to 4294967295)");
        return false;
    }
    *out = static_cast<uint32_t>(word);
    return true;
}

// A TL long: anything from -2**63 to 2**64-1, the negative half as its two's complement, so that
// both the unsigned and the signed reading of a word pack back to it.
[[gnu::always_inline]] inline bool tl_long_of(PyObject* value, uint64_t* out) {
    if (PyLong_CheckExact(value) &&
        PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(value))) {
        *out = static_cast<uint64_t>(
            PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(value)));
        return true;
    }
    Ref number = integer_of(value);
    if (!number) return false;
    int overflow;
    long long word = PyLong_AsLongLongAndOverflow(number.get(), &overflow);
    if (word == -1 && PyErr_Occurred()) return false;
    if (!overflow) {
        *out = static_cast<uint64_t>(word);
        return true;
    }
    if (overflow < 0) {
        // Departure D22: see ARCHITECTURE.md, "Departures".
        PyErr_SetString(
            PyExc_OverflowError,
            "int value out of range for a TL long (accepted: -9223372036854775808 to 18446744073709551615)");
        return false;
    }
    // 2**64 and above: the host's OverflowError.
    unsigned long long wide = PyLong_AsUnsignedLongLong(number.get());
    if (wide == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    *out = wide;
    return true;
}

// An int128 or int256 (`size` 16 or 32) into `out`, little-endian: an int from -2**(8*size-1) to
// 2**(8*size)-1 (the negative half as its two's complement), or a bytes-like object of exactly
// `size` bytes taken as the wire form. Nothing is written to `out` on failure.
inline bool tl_wide_of(PyObject* value, size_t size, unsigned char* out) {
    if (!PyLong_Check(value) && !PyUnicode_Check(value) && PyObject_CheckBuffer(value)) {
        Py_buffer view;
        if (PyObject_GetBuffer(value, &view, PyBUF_SIMPLE) < 0) return false;
        bool fits = static_cast<size_t>(view.len) == size;
        if (fits) std::memcpy(out, view.buf, size);
        else
            PyErr_Format(PyExc_ValueError, "a TL int%zu takes %zu bytes, got %zd", size * 8, size,
                         view.len);
        PyBuffer_Release(&view);
        return fits;
    }
    PyNumberMethods* number_methods = Py_TYPE(value)->tp_as_number;
    if (!PyLong_Check(value) && !(number_methods && number_methods->nb_int)) {
        PyErr_Format(PyExc_TypeError, "a TL int%zu takes an int or %zu bytes, got %.200s", size * 8,
                     size, Py_TYPE(value)->tp_name);
        return false;
    }
    Ref number = integer_of(value);
    if (!number) return false;
    unsigned char bytes[32];
    int negative = _PyLong_Sign(number.get()) < 0;
    auto* as_long = reinterpret_cast<PyLongObject*>(number.get());
#if PY_VERSION_HEX >= 0x030D0000
    int r = _PyLong_AsByteArray(as_long, bytes, size, 1, negative, 1);
#else
    int r = _PyLong_AsByteArray(as_long, bytes, size, 1, negative);
#endif
    if (r < 0) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
        PyErr_Format(PyExc_OverflowError,
                     "int value out of range for a TL int%zu (accepted: -2**%zu to 2**%zu-1)",
                     size * 8, size * 8 - 1, size * 8);
        return false;
    }
    std::memcpy(out, bytes, size);
    return true;
}

}  // namespace virel
