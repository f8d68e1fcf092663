// A dispatch interface described as data, as the IDL compiler writes it out:
// what the type information answers from, and what the tests hold it to.
#pragma once

#include "valmorin/com/types.h"

#include <span>
#include <string_view>

namespace idl {

enum class Direction { In, Out, OutRetval };

// The automation types the interface uses: BSTR, BSTR*, LONG, LONG* and
// SAFEARRAY(BSTR)*.
enum class Type { Bstr, BstrPointer, Long, LongPointer, BstrArrayPointer };

struct Parameter {
    std::u16string_view name;
    Direction direction;
    Type type;
};

struct Method {
    DISPID id;
    std::u16string_view name;
    std::u16string_view help;
    std::span<const Parameter> parameters;
};

struct Interface {
    std::u16string_view name;
    std::u16string_view help;
    std::span<const Method> methods; // its bases' and its own, in slot order, dispatch identifiers 1, 2, ...
};

} // namespace idl
