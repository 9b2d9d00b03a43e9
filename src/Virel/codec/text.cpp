// codec/text.cpp: the UTF-8 of a non-ASCII str, encoded straight into the parser's buffer.
#include "codec/text.hpp"

#include <cstring>

namespace virel {

namespace {

// The UTF-8 of `count` code points of one width, written at `out`; the number of bytes, or -1 at
// a surrogate (which strict UTF-8 refuses: the caller lets the host raise its own error).
template <class Char>
Py_ssize_t encode_utf8(const Char* in, Py_ssize_t count, unsigned char* out) noexcept {
    unsigned char* next = out;
    for (Py_ssize_t i = 0; i < count; ++i) {
        uint32_t c = in[i];
        if (c < 0x80) {
            *next++ = static_cast<unsigned char>(c);
        } else if (c < 0x800) {
            *next++ = static_cast<unsigned char>(0xC0 | (c >> 6));
            *next++ = static_cast<unsigned char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            if (c >= 0xD800 && c <= 0xDFFF) return -1;
            *next++ = static_cast<unsigned char>(0xE0 | (c >> 12));
            *next++ = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
            *next++ = static_cast<unsigned char>(0x80 | (c & 0x3F));
        } else {
            *next++ = static_cast<unsigned char>(0xF0 | (c >> 18));
            *next++ = static_cast<unsigned char>(0x80 | ((c >> 12) & 0x3F));
            *next++ = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
            *next++ = static_cast<unsigned char>(0x80 | (c & 0x3F));
        }
    }
    return next - out;
}

}  // namespace

bool write_text_in_place(TLParser* self, PyObject* text) {
    Py_ssize_t count = PyUnicode_GET_LENGTH(text);
    int kind = PyUnicode_KIND(text);
    uint64_t most = static_cast<uint64_t>(count) *
                    (kind == PyUnicode_1BYTE_KIND ? 2 : kind == PyUnicode_2BYTE_KIND ? 3 : 4);
    if (!reserve<Direct>(self, most + 8)) {
        PyErr_Clear();
        return false;
    }
    // A length below 254 takes one byte of prefix, any other four: leave room for the prefix the
    // longest encoding would need, and move the bytes down if they turn out shorter.
    uint64_t prefix = most < 254 ? 1 : 4;
    unsigned char* data = self->buffer + self->position + prefix;
    const void* chars = PyUnicode_DATA(text);
    Py_ssize_t size = kind == PyUnicode_1BYTE_KIND   ? encode_utf8(static_cast<const Py_UCS1*>(chars), count, data)
                      : kind == PyUnicode_2BYTE_KIND ? encode_utf8(static_cast<const Py_UCS2*>(chars), count, data)
                                                     : encode_utf8(static_cast<const Py_UCS4*>(chars), count, data);
    if (size < 0 || size > kMaxByteString) return false;
    unsigned char* start = self->buffer + self->position;
    if (size < 254 && prefix == 4) std::memmove(start + 1, data, static_cast<size_t>(size));
    end_string(self, put_length(start, size) + size);
    return true;
}

}  // namespace virel
