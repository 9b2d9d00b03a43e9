// codec/text.hpp: text strings on the wire (_write_string): a str goes out as the byte string of
// its UTF-8, encoded straight into the buffer where it can be.
#pragma once

#include "codec/parser.hpp"
#include "codec/write_primitives.hpp"

namespace virel {

// A non-ASCII str written as a byte string of its UTF-8, encoded straight into the buffer (no
// temporary bytes object). True when written; false, with nothing written and nothing pending,
// when the general way must take it: a surrogate (strict UTF-8 refuses it, with the host's own
// error), a text too long for the wire, or room for the longest encoding that cannot be had (the
// exact size may fit). text.cpp.
bool write_text_in_place(TLParser* self, PyObject* text);

template <class Ops>
bool write_string(TLParser* self, PyObject* text) {
    static constexpr const char* here = TL_WHERE(TLParser, _write_string);
    if (text == Py_None) {
        PyErr_Format(PyExc_AttributeError, "'NoneType' object has no attribute '%.30s'", "encode");
        return fail<bool>(here);
    }
    bool ok;
    if (PyUnicode_Check(text) && PyUnicode_IS_ASCII(text)) {  // its characters are its UTF-8
        ok = Ops::_write_bytes(self, static_cast<const char*>(PyUnicode_DATA(text)),
                               PyUnicode_GET_LENGTH(text));
    } else if (Ops::direct && PyUnicode_Check(text) && write_text_in_place(self, text)) {
        ok =
            true;  // only on the direct path: a native subclass's own _write_bytes sees every string
    } else {
        // Strict: a lone surrogate raises UnicodeEncodeError; a non-str raises TypeError.
        Ref utf8 = Ref::steal(PyUnicode_AsUTF8String(text));
        if (!utf8) return fail<bool>(here);
        ok = Ops::_write_bytes(self, PyBytes_AS_STRING(utf8.get()), PyBytes_GET_SIZE(utf8.get()));
    }
    if (!ok) return fail<bool>(here);
    return true;
}

}  // namespace virel
