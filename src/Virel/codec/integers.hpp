// codec/integers.hpp: Python values as the wire's integers (the int and long fields of pack).
// Inline: the encoder converts every integer field through these.
#pragma once

#include "capi.hpp"

namespace virel {

// An int, or the result of the value's own __int__. An object with only __index__ is refused:
// integer fields take what int() of a number gives, not an index.
inline Ref integer_of(PyObject* value) {
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
inline bool tl_int_of(PyObject* value, uint32_t* out) {
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
inline bool tl_long_of(PyObject* value, uint64_t* out) {
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

}  // namespace virel
