// codec/inflate.cpp: gzip data inflated within a budget, for gzip_packed (codec/service.hpp).
#include "codec/service.hpp"

#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <memory>

namespace virel {

InflatedData::~InflatedData() { std::free(data_); }

namespace {

constexpr int kGzipOnly = 15 + 16;  // window bits: the gzip wrapper, nothing else
constexpr uInt kScratch = 32 * 1024;

// A z_stream set up for gzip, ended when it goes.
class GzipStream {
public:
    GzipStream(const unsigned char* in, uint64_t size) noexcept {
        z_.next_in = const_cast<Bytef*>(in);    // zlib's type; it only reads the input
        z_.avail_in = static_cast<uInt>(size);  // a TL byte string is shorter than 2**24
        ready_ = inflateInit2(&z_, kGzipOnly) == Z_OK;
    }
    ~GzipStream() {
        if (ready_) inflateEnd(&z_);
    }
    GzipStream(const GzipStream&) = delete;
    GzipStream& operator=(const GzipStream&) = delete;
    bool ready() const noexcept { return ready_; }
    z_stream* operator->() noexcept { return &z_; }
    z_stream* get() noexcept { return &z_; }

private:
    z_stream z_{};
    bool ready_ = false;
};

[[gnu::cold]] bool invalid(const char* format, unsigned long long n = 0) noexcept {
    PyErr_Format(PyExc_ValueError, format, n);
    return false;
}

// Why data that did not inflate into the size its trailer gives fails: inflated through a small
// scratch block, counting, until the stream ends, breaks, runs out or passes the budget. On a
// sound stream within the budget (a trailer that lied is caught by zlib itself, so this only
// happens for odd encoders), *size is its inflated size and the result true.
[[gnu::cold]] bool diagnose(const unsigned char* in, uint64_t size, uint64_t budget, uint64_t limit,
                            uint64_t* inflated) noexcept {
    GzipStream z(in, size);
    if (!z.ready()) {
        PyErr_NoMemory();
        return false;
    }
    std::unique_ptr<unsigned char, decltype(&std::free)> scratch(
        static_cast<unsigned char*>(std::malloc(kScratch)), &std::free);
    if (!scratch) {
        PyErr_NoMemory();
        return false;
    }
    for (;;) {
        z->next_out = scratch.get();
        z->avail_out = kScratch;
        int r = inflate(z.get(), Z_NO_FLUSH);
        uint64_t total = z->total_out;
        if (total > budget)
            return invalid("gzip_packed data inflates past the limit of %llu bytes", limit);
        if (r == Z_STREAM_END) {
            if (z->avail_in)
                return invalid("gzip_packed data has %llu bytes after its compressed stream",
                               z->avail_in);
            *inflated = total;
            return true;
        }
        if (r == Z_MEM_ERROR) {
            PyErr_NoMemory();
            return false;
        }
        if (r == Z_OK && z->avail_in) continue;
        if ((r == Z_OK || r == Z_BUF_ERROR) && !z->avail_in) {
            if (z->avail_out == 0) continue;  // more output may wait inside zlib
            return invalid("gzip_packed data is truncated: it ends inside its compressed stream");
        }
        PyErr_Format(PyExc_ValueError, "gzip_packed data is corrupt: %s",
                     z->msg ? z->msg : "invalid compressed data");
        return false;
    }
}

// Inflates the whole stream into exactly `expected` bytes: true when it ends there, with its
// trailer checked by zlib and no byte after it.
bool inflate_exactly(const unsigned char* in, uint64_t size, unsigned char* out,
                     uint64_t expected) noexcept {
    GzipStream z(in, size);
    if (!z.ready()) return false;
    z->next_out = out;
    z->avail_out = static_cast<uInt>(expected);  // at most kMaxInflateLimit
    int r = inflate(z.get(), Z_FINISH);
    return r == Z_STREAM_END && z->avail_in == 0 && z->total_out == expected;
}

}  // namespace

bool inflate_gzip(const unsigned char* in, uint64_t size, uint64_t budget, uint64_t limit,
                  InflatedData* out) noexcept {
    if (size == 0)
        return invalid("gzip_packed data is truncated: it ends inside its compressed stream");
    if (in[0] != 0x1f || (size > 1 && in[1] != 0x8b))
        return invalid("gzip_packed data is not gzip: it does not begin with the gzip header");
    // The trailer's last four bytes give the inflated size (modulo 2**32; the budget is below).
    uint64_t expected = size >= 4 ? load_le32(in + size - 4) : 0;
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (expected <= budget) {
            // One block of the final size, filled in place: no copy, no growth.
            auto* block = static_cast<unsigned char*>(std::malloc(std::max<uint64_t>(expected, 1)));
            if (!block) {
                PyErr_NoMemory();
                return false;
            }
            if (inflate_exactly(in, size, block, expected)) {
                out->data_ = block;
                out->size_ = expected;
                return true;
            }
            std::free(block);
            if (attempt) break;
        }
        if (!diagnose(in, size, budget, limit, &expected)) return false;
    }
    PyErr_SetString(
        PyExc_ValueError,
        "gzip_packed data is corrupt: it does not inflate to the size its trailer gives");
    return false;
}

}  // namespace virel
