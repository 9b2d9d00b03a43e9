// codec/write_primitives.hpp: the write primitives (_write_int32, _write_int64, _write_double,
// _write_bytes): each appends at `position`, growing the buffer first when it is too small.
// Templates over Ops (parser.hpp), defined here so that the encoder's direct instances inline them;
// the table's instances are made at the end of encoder.cpp.
#pragma once

#include "codec/parser.hpp"

#include <bit>
#include <cstring>

namespace virel {

// Makes room for `size` more bytes; false with MemoryError pending (traceback entry added by the
// caller).
template <class Ops>
inline bool reserve(TLParser* self, uint64_t size) {
    if (self->capacity - self->position >= size) return true;
    Ops::_ensure_buffer(self, size);
    return !PyErr_Occurred();
}

template <class Ops>
bool write_int32(TLParser* self, uint32_t value) {
    if (!reserve<Ops>(self, 4)) return fail<bool>(TL_WHERE(TLParser, _write_int32));
    store_le32(self->buffer + self->position, value);
    self->position += 4;
    return true;
}

template <class Ops>
bool write_int64(TLParser* self, uint64_t value) {
    if (!reserve<Ops>(self, 8)) return fail<bool>(TL_WHERE(TLParser, _write_int64));
    store_le64(self->buffer + self->position, value);
    self->position += 8;
    return true;
}

template <class Ops>
bool write_double(TLParser* self, double value) {
    if (!reserve<Ops>(self, 8)) return fail<bool>(TL_WHERE(TLParser, _write_double));
    store_le64(self->buffer + self->position, std::bit_cast<uint64_t>(value));
    self->position += 8;
    return true;
}

// The length prefix of a byte string of `size` bytes at `out` (one byte below 254, else 254 and
// three bytes); returns where the data goes.
inline unsigned char* put_length(unsigned char* out, Py_ssize_t size) noexcept {
    if (size < 254) {
        *out = static_cast<unsigned char>(size);
        return out + 1;
    }
    out[0] = 254;
    out[1] = static_cast<unsigned char>(size & 0xFF);
    out[2] = static_cast<unsigned char>((size >> 8) & 0xFF);
    out[3] = static_cast<unsigned char>((size >> 16) & 0xFF);
    return out + 4;
}

// Pads a byte string that ends at `end` with zeros and moves the cursor past them. Padding counts
// from the start of the buffer, as the reader skips it.
inline void end_string(TLParser* self, unsigned char* end) noexcept {
    auto position = static_cast<uint64_t>(end - self->buffer);
    while (position & 3) {
        *end++ = 0;
        ++position;
    }
    self->position = position;
}

template <class Ops>
bool write_bytes(TLParser* self, const char* data, Py_ssize_t size) {
    static constexpr const char* here = TL_WHERE(TLParser, _write_bytes);
    // The long form carries 24 bits of length: anything longer would be written corrupt.
    if (size > kMaxByteString) {
        // Departure D3: see ARCHITECTURE.md, "Departures".
        PyErr_Format(PyExc_ValueError, "Byte string too long: %zd bytes", size);
        return fail<bool>(here);
    }
    if (!reserve<Ops>(self, static_cast<uint64_t>(size) + 8)) return fail<bool>(here);
    unsigned char* out = put_length(self->buffer + self->position, size);
    if (size > 0) std::memcpy(out, data, static_cast<size_t>(size));
    end_string(self, out + size);
    return true;
}

}  // namespace virel
