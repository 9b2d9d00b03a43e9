// codec/text.cpp: the UTF-8 of a non-ASCII str, encoded straight into the parser's buffer.
#include "codec/text.hpp"

#include <bit>
#include <cstring>

namespace virel {

namespace {

// Bits that are set in a 64-bit word of characters (read little-endian) when one of them is not
// ASCII.
template <class Char>
inline constexpr uint64_t kNonAscii = sizeof(Char) == 1   ? 0x8080808080808080u
                                      : sizeof(Char) == 2 ? 0xFF80FF80FF80FF80u
                                                          : 0xFFFFFF80FFFFFF80u;

// Writes the characters of one word of ASCII characters as their bytes.
template <class Char>
inline void put_ascii_word(unsigned char* out, uint64_t word) noexcept {
    if constexpr (sizeof(Char) == 1) {
        std::memcpy(out, &word, 8);
    } else if constexpr (sizeof(Char) == 2) {
        uint64_t pairs = (word | (word >> 8)) & 0x0000FFFF0000FFFFu;  // bytes 0, 1 and 4, 5
        auto four = static_cast<uint32_t>(pairs | (pairs >> 16));
        std::memcpy(out, &four, 4);
    } else {
        auto two = static_cast<uint16_t>(word | (word >> 24));
        std::memcpy(out, &two, 2);
    }
}

// The UTF-8 of `count` code points of one width, written at `out`; the number of bytes, or -1 at
// a surrogate (which strict UTF-8 refuses: the caller lets the host raise its own error). Text is
// mostly ASCII: runs of it go a word (8 bytes of characters) at a time.
template <class Char>
Py_ssize_t encode_utf8(const Char* in, Py_ssize_t count, unsigned char* out) noexcept {
    constexpr Py_ssize_t step = 8 / sizeof(Char);  // characters per word
    unsigned char* next = out;
    Py_ssize_t i = 0;
    while (i < count) {
        // The word tests read characters as a little-endian word.
        if constexpr (std::endian::native == std::endian::little) {
            while (i + step <= count) {
                uint64_t word;
                std::memcpy(&word, in + i, 8);
                if (word & kNonAscii<Char>) break;
                put_ascii_word<Char>(next, word);
                next += step;
                i += step;
            }
        }
        // Then one character at a time, up to and including the next ASCII one.
        while (i < count) {
            uint32_t c = in[i++];
            if (c < 0x80) {
                *next++ = static_cast<unsigned char>(c);
                break;
            }
            if (c < 0x800) {
                next[0] = static_cast<unsigned char>(0xC0 | (c >> 6));
                next[1] = static_cast<unsigned char>(0x80 | (c & 0x3F));
                next += 2;
            } else if (c < 0x10000) {
                if (c >= 0xD800 && c <= 0xDFFF) return -1;
                next[0] = static_cast<unsigned char>(0xE0 | (c >> 12));
                next[1] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
                next[2] = static_cast<unsigned char>(0x80 | (c & 0x3F));
                next += 3;
            } else {
                next[0] = static_cast<unsigned char>(0xF0 | (c >> 18));
                next[1] = static_cast<unsigned char>(0x80 | ((c >> 12) & 0x3F));
                next[2] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
                next[3] = static_cast<unsigned char>(0x80 | (c & 0x3F));
                next += 4;
            }
        }
    }
    return next - out;
}

}  // namespace

bool write_text_in_place(TLParser* self, PyObject* text) {
    Py_ssize_t count = PyUnicode_GET_LENGTH(text);
    int kind = PyUnicode_KIND(text);
    uint64_t most = static_cast<uint64_t>(count) * (kind == PyUnicode_1BYTE_KIND   ? 2
                                                    : kind == PyUnicode_2BYTE_KIND ? 3
                                                                                   : 4);
    if (!reserve<Direct>(self, most + 8)) {
        PyErr_Clear();
        return false;
    }
    // A length below 254 takes one byte of prefix, any other four: leave room for the prefix the
    // longest encoding would need, and move the bytes down if they turn out shorter.
    uint64_t prefix = most < 254 ? 1 : 4;
    unsigned char* data = self->buffer + self->position + prefix;
    const void* chars = PyUnicode_DATA(text);
    Py_ssize_t size = kind == PyUnicode_1BYTE_KIND
                          ? encode_utf8(static_cast<const Py_UCS1*>(chars), count, data)
                      : kind == PyUnicode_2BYTE_KIND
                          ? encode_utf8(static_cast<const Py_UCS2*>(chars), count, data)
                          : encode_utf8(static_cast<const Py_UCS4*>(chars), count, data);
    if (size < 0 || size > kMaxByteString) return false;
    unsigned char* start = self->buffer + self->position;
    if (size < 254 && prefix == 4) std::memmove(start + 1, data, static_cast<size_t>(size));
    end_string(self, put_length(start, size) + size);
    return true;
}

}  // namespace virel
