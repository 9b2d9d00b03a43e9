// schema/type_grammar.cpp: the one grammar of type texts (see type_grammar.hpp): what a text denotes
// (_parse_type), its condition prefix, the elements of a vector, and what each place accepts.
#include "py_helpers.hpp"
#include "schema/type_grammar.hpp"

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

// A type's form as a place takes it, read in one pass without recursion (a type argument may nest
// as deep as its caller likes): what is wrong with it, or null.
//  - argument: `Vector<`, `vector<` or `%Vector<` any number of times, then a name (not beginning
//    with a digit or '.', not a vector word without its element) or '#', optionally after '%',
//    then the closing brackets and nothing else.
//  - parameter and result: an optional '!' or '%', a name (not beginning or ending with '.') or
//    '#', then arguments in angle brackets separated by commas, each a type of its own, or names
//    applied after blanks; 64 levels of arguments at most.
const char* read_form(std::string_view t, TypeMode mode) noexcept {
    const bool argument = mode == TypeMode::argument;
    size_t open = 0;  // the '<' read and not closed yet: how deep the type being read stands
    for (;;) {
        if (argument) {
            if (t.starts_with("Vector<") || t.starts_with("vector<") || t.starts_with("%Vector<")) {
                t.remove_prefix(t.front() == '%' ? 8 : 7);
                ++open;
                continue;
            }
            if (t.starts_with('%')) t.remove_prefix(1);
        } else {
            if (open > 64) return "type nested too deep";
            if (t.starts_with('!') || t.starts_with('%')) t.remove_prefix(1);
        }
        size_t n = 0;
        if (t.starts_with('#')) {
            n = 1;
        } else {
            while (n < t.size() && is_name_char(t[n])) ++n;
            if (argument) {
                if (n == 0 || (t[0] >= '0' && t[0] <= '9') || t[0] == '.') return "malformed";
            } else {
                if (n == 0) return "an empty type name";
                if (t[0] == '.' || t[n - 1] == '.')
                    return "a type name that begins or ends with '.'";
            }
        }
        if (argument) {  // no vector without its element; then the vectors' closing brackets only
            if (t.substr(0, n).starts_with("Vector")) return "malformed";
            t.remove_prefix(n);
            return t.size() == open && t.find_first_not_of('>') == std::string_view::npos
                       ? nullptr
                       : "malformed";
        }
        t.remove_prefix(n);
        if (t.starts_with('<')) {  // its arguments
            t.remove_prefix(1);
            ++open;
            continue;
        }
        while (t.starts_with(' ')) {  // names applied to it
            t.remove_prefix(1);
            size_t m = 0;
            while (m < t.size() && is_name_char(t[m])) ++m;
            if (m == 0) return "an empty type name";
            t.remove_prefix(m);
        }
        // The type is read: a comma begins the next argument of the type around it, a '>' ends
        // that type too.
        for (;;) {
            if (open == 0) {
                if (t.empty()) return nullptr;
                return t.find_first_of("<>") != std::string_view::npos
                           ? "unbalanced '<' and '>'"
                           : "characters after the type";
            }
            if (t.starts_with(',')) {
                t.remove_prefix(1);
                break;
            }
            if (!t.starts_with('>')) return "unbalanced '<' and '>'";
            t.remove_prefix(1);
            --open;
        }
    }
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

namespace {

// One level of a vector's elements while element_levels walks down them: the characters of the
// first level that are still standing, as a doubly linked list over that text. A level is the one
// above with some characters taken out (element_text never adds one), so each character is taken
// out at most once, and what a level needs to know is kept up to date as they go:
//  - where "Vector<" stands (element_text's third way takes out every one at once, and a new one
//    can only appear where two characters have just met, so only those places are looked at);
//  - whether "vector<" or "%Vector<" stands in the type proper (which sends element_text its
//    second way), found the same way;
//  - where '>' still stands (the third way takes them all out after the "Vector<"s).
// The condition prefix's '?' is never taken out; the text after a second '?' goes all at once.
class LevelText {
public:
    explicit LevelText(std::string_view text)
        : text_(text),
          n_(text.size()),
          next_(n_ + 2),
          prev_(n_ + 2),
          alive_(n_, 1),
          in_vectors_(n_, 0) {
        for (size_t i = 0; i < n_; ++i) {
            next_[i] = i + 1 < n_ ? i + 1 : end();
            prev_[i] = i > 0 ? i - 1 : head();
        }
        next_[head()] = n_ ? 0 : end();
        prev_[end()] = n_ ? n_ - 1 : head();
        first_q_ = text.find('?');
        if (first_q_ != std::string_view::npos) second_q_ = text.find('?', first_q_ + 1);
        proper_stop_ = second_q_ == std::string_view::npos ? n_ : second_q_;
        for (size_t i = 0; i < n_; ++i) {
            if (text[i] == '>') closings_.push_back(i);
            look_at(i);
        }
    }

    // The kind of the level when it is a vector (TL_VECTOR, TL_BARE_VECTOR), else -1. Exactly
    // kind_of's answer for a vector: no primitive word is that long.
    int32_t vector_kind() const noexcept {
        char head[10];
        size_t got = 0;
        for (size_t i = proper_begin(); i != proper_end() && got < sizeof head; i = next_[i])
            head[got++] = text_[i];
        std::string_view h(head, got);
        if (got < sizeof head) {
            int32_t kind = kind_of(h);
            return kind == TL_VECTOR || kind == TL_BARE_VECTOR ? kind : -1;
        }
        if (h.starts_with("Vector")) return TL_VECTOR;
        if (h.starts_with("vector<") || h.starts_with("%Vector<")) return TL_BARE_VECTOR;
        return -1;
    }

    std::string text() const {
        std::string out;
        for (size_t i = next_[head()]; i != end(); i = next_[i]) out += text_[i];
        return out;
    }

    // Moves to the next level, as element_text makes it; false when the text strips to itself.
    bool next() {
        size_t start = proper_begin();
        if (spells(start, "vector<") || spells(start, "%Vector<")) {
            // A bare vector: its elements are the type between its angle brackets.
            take_out(start, text_[start] == '%' ? 8 : 7);
            take_closing();
            drop_tail();
            return true;
        }
        if (holds_bare_vector()) {
            // A boxed vector around a bare one: the boxed levels go with their own brackets.
            bool changed = false;
            while (spells(proper_begin(), "Vector<")) {
                take_out(proper_begin(), 7);
                take_closing();
                changed = true;
            }
            return drop_tail() || changed;
        }
        // Every "Vector<" standing, then every '>'.
        std::vector<size_t> standing;
        for (size_t at : vectors_) {
            in_vectors_[at] = 0;
            if (alive_[at] && spells(at, "Vector<")) standing.push_back(at);
        }
        vectors_.clear();
        std::vector<size_t> met;  // where characters met: the one right of each gap
        for (size_t at : standing) met.push_back(take_out(at, 7));
        for (size_t at : closings_)
            if (alive_[at]) met.push_back(take_out(at, 1));
        closings_.clear();
        for (size_t at : met) {
            if (at != end() && !alive_[at]) continue;  // a later gap took it: looked at there
            for (size_t i = prev_[at], k = 0; i != head() && k < 7; i = prev_[i], ++k) look_at(i);
        }
        return !met.empty();
    }

private:
    // The two ends are the slots past the text.
    size_t head() const noexcept { return n_; }
    size_t end() const noexcept { return n_ + 1; }

    size_t proper_begin() const noexcept {
        return first_q_ == std::string_view::npos ? next_[head()] : next_[first_q_];
    }
    size_t proper_end() const noexcept {
        return second_q_ != std::string_view::npos && alive_[second_q_] ? second_q_ : end();
    }
    bool in_proper(size_t i) const noexcept {
        return (first_q_ == std::string_view::npos || i > first_q_) && i < proper_stop_;
    }

    // Whether the characters standing from `at` on spell `word`.
    bool spells(size_t at, std::string_view word) const noexcept {
        for (char c : word) {
            if (at >= n_ || text_[at] != c) return false;
            at = next_[at];
        }
        return true;
    }

    // Notes what begins at `i` (a standing character) for the next levels.
    void look_at(size_t i) {
        if (spells(i, "Vector<") && !in_vectors_[i]) {
            in_vectors_[i] = 1;
            vectors_.push_back(i);
        }
        if (in_proper(i) && (spells(i, "vector<") || spells(i, "%Vector<"))) bare_.push_back(i);
    }

    // Whether "vector<" or "%Vector<" stands in the type proper. A place found wrong stays out:
    // should the word stand there again, it is because characters met there, which notes it anew.
    bool holds_bare_vector() noexcept {
        while (!bare_.empty()) {
            size_t at = bare_.back();
            if (alive_[at] && (spells(at, "vector<") || spells(at, "%Vector<"))) return true;
            bare_.pop_back();
        }
        return false;
    }

    // Takes `count` characters out from `at` on; returns the one standing right of them.
    size_t take_out(size_t at, size_t count) noexcept {
        for (; count; --count) {
            size_t after = next_[at];
            alive_[at] = 0;
            next_[prev_[at]] = after;
            prev_[after] = prev_[at];
            at = after;
        }
        return at;
    }

    // A closing '>' at the end of the type proper.
    void take_closing() noexcept {
        size_t last = prev_[proper_end()];
        if (last < n_ && in_proper(last) && text_[last] == '>') take_out(last, 1);
    }

    // What follows the type proper (from a second '?' on): whether there was any.
    bool drop_tail() noexcept {
        size_t at = proper_end();
        if (at == end()) return false;
        while (at != end()) at = take_out(at, 1);
        return true;
    }

    std::string_view text_;
    size_t n_;
    std::vector<size_t> next_, prev_;
    std::vector<char> alive_, in_vectors_;
    size_t first_q_ = std::string_view::npos, second_q_ = std::string_view::npos, proper_stop_;
    std::vector<size_t> vectors_, bare_, closings_;
};

}  // namespace

ElementLevels element_levels(std::string_view text) {
    ElementLevels out;
    std::string first = element_text(text);
    LevelText level(first);
    for (;;) {
        int32_t kind = level.vector_kind();
        if (kind < 0) {
            out.last_text = level.text();
            out.kinds.push_back(kind_of(out.last_text));
            return out;
        }
        out.kinds.push_back(kind);
        if (!level.next()) {
            out.endless = true;
            out.last_text = level.text();
            return out;
        }
    }
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
            return read_form(text, mode);
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
    return read_form(text, mode);
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
