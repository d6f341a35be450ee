// The text of a <v> made from a Python value.
#pragma once

#include "lib/pyref.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace tvx {

enum class ValueTextKind : std::uint8_t { Absent, Text, Unhandled };

// The text of a <v> made from a Python value. `data` points into the str's
// own UTF-8 buffer (from_str) or into `buf`; text() picks `buf` itself so a
// copied ValueText still reads its own digits.
struct ValueText {
    ValueTextKind kind = ValueTextKind::Absent;
    bool from_str = false;
    const char* data = nullptr;
    std::size_t size = 0;
    char buf[32];

    std::string_view text() const noexcept { return {from_str ? data : buf, size}; }
};
// Never leaves a Python exception set. The result may borrow from `obj`.
void value_text(PyObject* obj, ValueText& out) noexcept;

}  // namespace tvx
