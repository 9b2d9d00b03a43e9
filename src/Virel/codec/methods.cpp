// codec/methods.cpp: TLParser's Python methods that pack and unpack (pack, unpack, pack_as,
// pack_into, unpack_from): their argument rules and results. What they share around the codec
// itself is CallScope (call_scope.hpp).
#include "codec/call_scope.hpp"
#include "codec/parser.hpp"
#include "codec/record_plan.hpp"
#include "codec/service.hpp"
#include "codec/type_argument.hpp"
#include "error_kinds.hpp"
#include "schema/compiler.hpp"

#include <cstring>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

namespace virel {

namespace {

class BufferView {
public:
    BufferView() noexcept = default;
    ~BufferView() {
        if (held_) PyBuffer_Release(&view_);
    }
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
    // A C-contiguous view of obj's bytes, held (so not resizable) until destruction.
    bool get(PyObject* obj) noexcept {
        held_ = PyObject_GetBuffer(obj, &view_, PyBUF_SIMPLE) == 0;
        return held_;
    }
    unsigned char* data() const noexcept { return static_cast<unsigned char*>(view_.buf); }
    Py_ssize_t size() const noexcept { return view_.len; }

private:
    Py_buffer view_{};
    bool held_ = false;
};

// Kept for callers: see ARCHITECTURE.md, "The compatibility contract".
void wrong_argument_type(const char* name, const char* expected, PyObject* given) noexcept {
    PyErr_Format(PyExc_TypeError,
                 "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", name,
                 expected, Py_TYPE(given)->tp_name);
}

// pack_as after its argument rules, and pack as pack_as(value, None): the bytes of `value`, a boxed
// object when `type_arg` is null or None. `here` names the method that was called.
[[gnu::always_inline]] inline PyObject* pack_as_type(TLParser* self, PyObject* value,
                                                     PyObject* type_arg,
                                                     const char* here) noexcept {
    CallScope scope(self);
    if (!scope) return fail<PyObject*>(here);
    const ParsedType* type;
    if (!type_argument(self, scope.compiler(), type_arg, &type)) return fail<PyObject*>(here);
    if (!scope.encode(value, type)) return fail<PyObject*>(here);
    PyObject* out = scope.take_output();
    if (!out) return fail<PyObject*>(here);
    return out;
}

// The keyword-only option `result_type` of unpack and unpack_from, taken out of the keywords
// (*kwnames and *args then hold the others). The vectorcall arguments are untouched when no
// keyword is given. False with an exception pending.
bool take_result_type(PyObject* const** args, Py_ssize_t nargs, PyObject** kwnames,
                      std::vector<PyObject*>* rest_args, Ref* rest_kwnames, PyObject** value) {
    *value = nullptr;
    if (!*kwnames) return true;
    static const char* const names[] = {"result_type"};
    if (!take_options(*args, nargs, *kwnames, names, 1, value, rest_args, rest_kwnames))
        return false;
    *args = rest_args->data();
    *kwnames = rest_kwnames->get();
    return true;
}

// The vector type that a vector met where an object stands is read as, for one call
// (codec/service.hpp): analysed from the call's `result_type` when given, and pointed to by the
// call's state (CallState::result_type, results) for as long as the call decodes.
class ResultType {
public:
    // False with an exception pending: the text is no type, or not a boxed vector's; a dict holds
    // a key that is no int, or such a text. A dict's texts are analysed now (the parser keeps
    // them) and looked up again as each answer is read.
    bool set(TLParser* self, CallScope& scope, PyObject* arg) noexcept {
        if (!arg || arg == Py_None) return true;
        TLSchemaCompiler* compiler = scope.compiler();
        if (PyDict_Check(arg)) {
            Py_ssize_t pos = 0;
            PyObject *key, *text;
            while (PyDict_Next(arg, &pos, &key, &text)) {
                if (!PyLong_Check(key)) {
                    PyErr_Format(PyExc_TypeError,
                                 "result_type keys must be request ids (int), not %.200s",
                                 Py_TYPE(key)->tp_name);
                    return false;
                }
                if (text != Py_None && !guarded<bool>([&] {
                        return vector_result_type(self, compiler, text) != nullptr;
                    }))
                    return false;
            }
            results_ = Ref::borrow(arg);
            answer(scope.call(), nullptr, arg);
            return true;
        }
        if (!PyUnicode_Check(arg)) {
            PyErr_Format(PyExc_TypeError,
                         "result_type must be a type text or a dict of request ids to type texts, "
                         "not %.200s",
                         Py_TYPE(arg)->tp_name);
            return false;
        }
        // A copy: the parser's cache of type texts may drop its entry when the call's other type
        // text is analysed.
        if (!guarded<bool>([&] {
                const ParsedType* type = vector_result_type(self, compiler, arg);
                if (!type) return false;
                text_ = type->text;
                type_ = {type->kind, text_.c_str(), nullptr};
                return true;
            }))
            return false;
        answer(scope.call(), &type_, nullptr);
        return true;
    }

private:
    static void answer(CallState& call, const ParsedType* type, PyObject* results) noexcept {
        call.result_type = type;
        call.results = results;
        call.vector_results = true;
    }

    Ref results_;  // the dict of types by request, held for the call
    std::string text_;
    ParsedType type_{};
};

// pack_into after its argument rules: encodes `value` (as pack_as with `type_arg`) and appends it
// to the bytearray `buffer`; its new length, or null with an exception pending.
PyObject* pack_appended(TLParser* self, PyObject* buffer, PyObject* value,
                        PyObject* type_arg) noexcept {
    CallScope scope(self);
    if (!scope) return nullptr;
    Ref hold = Ref::borrow(buffer);  // Python code run while encoding may drop the caller's
    const ParsedType* type;
    if (!type_argument(self, scope.compiler(), type_arg, &type)) return nullptr;
    // The output is built in the parser's own buffer, which keeps the room it grew to for the next
    // call, and copied into `buffer`.
    scope.call().output_stays = true;
    if (!scope.encode(value, type)) return nullptr;
    // Its size is read only now: Python code run while encoding may have changed it.
    Py_ssize_t old_size = PyByteArray_GET_SIZE(buffer);
    auto size = static_cast<Py_ssize_t>(self->position);
    if (size > PY_SSIZE_T_MAX - old_size) return PyErr_NoMemory();
    if (PyByteArray_Resize(buffer, old_size + size) < 0) return nullptr;  // BufferError if exported
    if (size)
        std::memcpy(PyByteArray_AS_STRING(buffer) + old_size, self->buffer,
                    static_cast<size_t>(size));
    return PyLong_FromSsize_t(old_size + size);
}

}  // namespace

PyObject* TLParser_pack(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* here = TL_WHERE(TLParser, pack);
    PyObject* value;
    if (!parse_one_arg("pack", "value", args, nargs, kwnames, &value)) return fail<PyObject*>(here);
    return pack_as_type(reinterpret_cast<TLParser*>(op), value, nullptr, here);
}

PyObject* TLParser_pack_as(PyObject* op, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
    static constexpr const char* here = TL_WHERE(TLParser, pack_as);
    static const char* const names[] = {"value", "type"};
    PyObject* arg[2];
    if (!parse_args("pack_as", names, 2, 2, args, nargs, kwnames, arg))
        return fail<PyObject*>(here);
    return pack_as_type(reinterpret_cast<TLParser*>(op), arg[0], arg[1], here);
}

PyObject* TLParser_pack_into(PyObject* op, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    static constexpr const char* here = TL_WHERE(TLParser, pack_into);
    static const char* const names[] = {"buffer", "value", "type"};
    PyObject* arg[3];
    if (!parse_args("pack_into", names, 3, 2, args, nargs, kwnames, arg))
        return fail<PyObject*>(here);
    if (!PyByteArray_Check(arg[0])) {
        wrong_argument_type("buffer", "bytearray", arg[0]);
        return fail<PyObject*>(here);
    }
    PyObject* end = pack_appended(reinterpret_cast<TLParser*>(op), arg[0], arg[1], arg[2]);
    return end ? end : fail<PyObject*>(here);
}

namespace {

// Nothing, where a call has no result_type.
struct NoResultType {};

// Strict unpack: bytes left after the object that ends at the cursor, inside the `size` bytes of
// input at `bytes`, are a ValueError. False with it pending (or another exception).
[[gnu::cold]] bool refuse_left_over(TLParser* self, const unsigned char* bytes,
                                    uint64_t size) noexcept {
    // The object read began with its record's id (readied already: the record was just read).
    const TLConstructor* record =
        self->position >= 4 ? find_by_id(parser_compiler(self), load_le32(bytes)) : nullptr;
    if (!record && PyErr_Occurred()) return false;
    uint64_t left = size - self->position;
    PyErr_Format(PyExc_ValueError, "%llu byte%s left after the object, at position %llu",
                 static_cast<unsigned long long>(left), left == 1 ? "" : "s",
                 static_cast<unsigned long long>(self->position));
    give_left_over_kind(self->position);
    attach_left_over_note(record ? record->name : nullptr, self->position);
    return false;
}

// The boxed object at the start of `data` (exact bytes), decoded in the call `scope`. The direct
// path reads the bytes where they lie: immutable, and held by the caller for the call. A native
// subclass's operations may read the parser's buffer (the table path): they find a copy of the
// input there. Null with an exception pending.
[[gnu::always_inline]] inline PyObject* decode_bytes(TLParser* self, CallScope& scope,
                                                     PyObject* data) noexcept {
    auto* bytes = reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(data));
    auto size = static_cast<uint64_t>(PyBytes_GET_SIZE(data));
    std::optional<InputView> in_place;
    if (self->ops == &TLParser_default_ops) {
        in_place.emplace(self, bytes, size);
    } else if (!scope.copy_input(reinterpret_cast<const char*>(bytes), size)) {
        return nullptr;
    }
    Ref result = scope.decode(nullptr, 0, false);
    in_place.reset();  // the parser's own buffer is back
    if (!result) return nullptr;
    if (self->position < size && strict_mode(self)) [[unlikely]] {
        refuse_left_over(self, bytes, size);
        return nullptr;
    }
    return result.release();
}

// unpack after its argument rules; `result_type` is the keyword's value (null: not given), looked
// at only with kKeywords (the plain call carries no ResultType at all).
template <bool kKeywords>
[[gnu::always_inline]] inline PyObject* unpack_data(TLParser* self, PyObject* data,
                                                    PyObject* result_type,
                                                    const char* here) noexcept {
    // Kept for callers: see ARCHITECTURE.md, "The compatibility contract".
    if (data != Py_None && !PyBytes_CheckExact(data)) {
        wrong_argument_type("data", "bytes", data);
        return fail<PyObject*>(here);
    }
    CallScope scope(self);
    if (!scope) return fail<PyObject*>(here);
    std::conditional_t<kKeywords, ResultType, NoResultType> vector_result;
    if constexpr (kKeywords) {
        if (!vector_result.set(self, scope, result_type)) return fail<PyObject*>(here);
    }
    if (data == Py_None) {
        PyErr_SetString(PyExc_TypeError, "object of type 'NoneType' has no len()");
        return fail<PyObject*>(here);
    }
    PyObject* result = decode_bytes(self, scope, data);
    return result ? result : fail<PyObject*>(here);
}

// unpack called with keywords: `result_type` taken out of them, the rest as ever.
[[gnu::noinline]] PyObject* unpack_with_keywords(TLParser* self, PyObject* const* args,
                                                 Py_ssize_t nargs, PyObject* kwnames,
                                                 const char* here) {
    std::vector<PyObject*> rest_args;
    Ref rest_kwnames;
    PyObject* result_type;
    if (!guarded<bool>([&] {
            return take_result_type(&args, nargs, &kwnames, &rest_args, &rest_kwnames,
                                    &result_type);
        }))
        return fail<PyObject*>(here);
    PyObject* data;
    if (!parse_one_arg("unpack", "data", args, nargs, kwnames, &data)) return fail<PyObject*>(here);
    return unpack_data<true>(self, data, result_type, here);
}

// unpack_from's offset into `size` bytes of data (0 when not given). False with an exception
// pending.
bool offset_in(PyObject* given, Py_ssize_t size, Py_ssize_t* offset) noexcept {
    *offset = 0;
    if (!given) return true;
    Ref index = Ref::steal(PyNumber_Index(given));
    if (!index) return false;
    int overflow;
    long long at = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (at == -1 && PyErr_Occurred()) return false;
    if (overflow || at < 0 || at > size) {
        PyErr_Format(PyExc_ValueError, "offset %R is out of range for %zd bytes of data",
                     index.get(), size);
        return false;
    }
    *offset = static_cast<Py_ssize_t>(at);
    return true;
}

// unpack_from after its argument rules: (value, end) of the value at `offset_arg` of `data_arg`,
// read as `type_arg`; null with an exception pending.
PyObject* unpack_at(TLParser* self, PyObject* data_arg, PyObject* offset_arg, PyObject* type_arg,
                    PyObject* result_type) noexcept {
    CallScope scope(self);
    if (!scope) return nullptr;
    BufferView data;
    Py_ssize_t offset;
    if (!data.get(data_arg) || !offset_in(offset_arg, data.size(), &offset)) return nullptr;
    std::optional<ResultType> vector_result;
    if (result_type) [[unlikely]] {
        if (!vector_result.emplace().set(self, scope, result_type)) return nullptr;
    }
    const ParsedType* type;
    if (!type_argument(self, scope.compiler(), type_arg, &type)) return nullptr;
    // The decoder reads the caller's bytes where they are, as it would read a copy of
    // data[offset:] (string padding counts from the offset). The value must end inside the data,
    // padding included: its end is what the caller reads on from.
    auto base = static_cast<uint64_t>(offset);
    Ref result;
    {
        InputView input(self, data.data() + offset, static_cast<uint64_t>(data.size() - offset));
        result = scope.decode(type, base, true);
    }
    if (!result) return nullptr;
    Ref end = Ref::steal(PyLong_FromUnsignedLongLong(base + self->position));
    return end ? PyTuple_Pack(2, result.get(), end.get()) : nullptr;
}

}  // namespace

PyObject* TLParser_unpack(PyObject* op, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
    static constexpr const char* here = TL_WHERE(TLParser, unpack);
    auto* self = reinterpret_cast<TLParser*>(op);
    if (kwnames) [[unlikely]]
        return unpack_with_keywords(self, args, nargs, kwnames, here);
    PyObject* data;
    if (!parse_one_arg("unpack", "data", args, nargs, kwnames, &data)) return fail<PyObject*>(here);
    return unpack_data<false>(self, data, nullptr, here);
}

PyObject* TLParser_unpack_from(PyObject* op, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
    static constexpr const char* here = TL_WHERE(TLParser, unpack_from);
    static const char* const names[] = {"data", "offset", "type"};
    PyObject* arg[3];
    std::vector<PyObject*> rest_args;
    Ref rest_kwnames;
    PyObject* result_type = nullptr;
    if (kwnames && !guarded<bool>([&] {
            return take_result_type(&args, nargs, &kwnames, &rest_args, &rest_kwnames,
                                    &result_type);
        }))
        return fail<PyObject*>(here);
    if (!parse_args("unpack_from", names, 3, 1, args, nargs, kwnames, arg))
        return fail<PyObject*>(here);
    PyObject* pair =
        unpack_at(reinterpret_cast<TLParser*>(op), arg[0], arg[1], arg[2], result_type);
    return pair ? pair : fail<PyObject*>(here);
}

}  // namespace virel
