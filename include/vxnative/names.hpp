// The interned names a module's code uses (attribute names, dict keys, short
// texts), one set of str objects per module object: every import, reload and
// subinterpreter makes its own, so no object is shared between interpreters.
//
// Code names one as `names.get<"MAX_EDGE">()`. Each distinct literal gets an
// index when the shared library loads; the table of literal texts is part of
// the library's code (fixed before any module object exists, never changed
// afterwards), and each module object turns it into str objects when it is
// executed.
#pragma once

#include "errors.hpp"

#include <algorithm>
#include <cstddef>
#include <vector>

namespace vx {

// A string literal usable as a template argument.
template <size_t N> struct Literal {
    char text[N];
    constexpr Literal(const char (&literal)[N]) { std::copy_n(literal, N, text); }
};

namespace detail {

inline std::vector<const char *> &literal_table() {
    static std::vector<const char *> table;
    return table;
}

inline size_t register_literal(const char *text) {
    std::vector<const char *> &table = literal_table();
    table.push_back(text);
    return table.size() - 1;
}

// One slot per distinct literal of the library, numbered at load time.
template <Literal L> struct LiteralSlot {
    static inline const size_t index = register_literal(L.text);
};

} // namespace detail

class Names {
  public:
    // Interns every literal the library names, in the running interpreter.
    void create() {
        const std::vector<const char *> &table = detail::literal_table();
        strings_.clear();
        strings_.reserve(table.size());
        for (const char *text : table)
            strings_.push_back(steal_or_throw(PyUnicode_InternFromString(text)));
    }

    template <Literal L> nb::handle get() const { return strings_[detail::LiteralSlot<L>::index]; }

  private:
    std::vector<nb::object> strings_;
};

} // namespace vx
