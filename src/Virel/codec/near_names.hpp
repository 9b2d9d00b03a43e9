// codec/near_names.hpp: whether a mistyped name is near enough to a known one to suggest it ("did
// you mean"), with the work bounded whatever the length of the text a caller gave.
#pragma once

#include <algorithm>
#include <cstddef>
#include <string_view>
#include <vector>

namespace virel {

// A text longer than this (in bytes) is never near any name: real names are far shorter, and the
// comparison costs the product of the two lengths.
constexpr size_t kNearNameMax = 128;

// The edit distance of two UTF-8 texts, counted in bytes, when it is at most `limit`; limit + 1
// when it is more. Only the band of cells within `limit` of the diagonal is computed, and a text
// whose length alone differs by more is refused at once. May throw std::bad_alloc.
inline size_t distance_within(std::string_view a, std::string_view b, size_t limit) {
    const size_t over = limit + 1;
    if ((a.size() > b.size() ? a.size() - b.size() : b.size() - a.size()) > limit) return over;
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j) row[j] = std::min(j, over);
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t lo = i > limit ? i - limit : 1;
        size_t hi = std::min(b.size(), i + limit);
        size_t diagonal = row[lo - 1];
        row[lo - 1] = lo == 1 ? std::min(i, over) : over;  // left of the band: too far
        size_t best = row[lo - 1];
        for (size_t j = lo; j <= hi; ++j) {
            size_t above = row[j];
            size_t cell = std::min({above + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1])});
            row[j] = std::min(cell, over);
            diagonal = above;
            best = std::min(best, row[j]);
        }
        if (best > limit) return over;  // every path through this row is already too long
    }
    return row[b.size()];
}

// Whether `typed` is near `name`: at most a third of the longer of the two changed. *distance
// receives the distance when it is. May throw std::bad_alloc.
inline bool near_name(std::string_view typed, std::string_view name, size_t* distance) {
    if (typed.size() > kNearNameMax || name.size() > kNearNameMax) return false;
    size_t limit = std::max(typed.size(), name.size()) / 3;
    size_t d = distance_within(typed, name, limit);
    if (d > limit) return false;
    *distance = d;
    return true;
}

}  // namespace virel
