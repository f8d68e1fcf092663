// GUID and its registry text form {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}.
#pragma once

#include "valmorin/com/types.h"

#include <array>
#include <cstring>
#include <string>

struct GUID {
    std::uint32_t Data1 = 0;
    std::uint16_t Data2 = 0;
    std::uint16_t Data3 = 0;
    std::array<std::uint8_t, 8> Data4{};

    // As one block of 16 bytes, which the compiler compares inline; member
    // by member, the array would go through a call to memcmp.
    friend bool operator==(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }
};
static_assert(sizeof(GUID) == 16, "a GUID has no padding to compare");
using IID = GUID;
using CLSID = GUID;
using REFIID = const IID&;
using REFCLSID = const CLSID&;

inline constexpr GUID GUID_NULL{};

// Parses the braced text form; returns false on anything else.
VALMORIN_PLATFORM_API bool ParseGuid(std::u16string_view text, GUID& out);
// The braced, upper-case text form.
VALMORIN_PLATFORM_API std::u16string GuidToString(const GUID& guid);

VALMORIN_PLATFORM_API HRESULT CLSIDFromString(LPCOLESTR text, CLSID* clsid);
VALMORIN_PLATFORM_API int StringFromGUID2(const GUID& guid, LPOLESTR buffer, int capacity);

// Compile-time GUID from its text form without braces, for interface ids.
consteval GUID MakeGuid(const char (&text)[37])
{
    auto hex = [](char c) -> std::uint32_t {
        if (c >= '0' && c <= '9') return static_cast<std::uint32_t>(c - '0');
        if (c >= 'a' && c <= 'f') return static_cast<std::uint32_t>(c - 'a' + 10);
        if (c >= 'A' && c <= 'F') return static_cast<std::uint32_t>(c - 'A' + 10);
        throw "not a hexadecimal digit";
    };
    auto field = [&](int from, int digits) {
        std::uint32_t value = 0;
        for (int i = 0; i < digits; ++i) value = value * 16 + hex(text[from + i]);
        return value;
    };
    GUID g;
    g.Data1 = field(0, 8);
    g.Data2 = static_cast<std::uint16_t>(field(9, 4));
    g.Data3 = static_cast<std::uint16_t>(field(14, 4));
    const int tail[8] = {19, 21, 24, 26, 28, 30, 32, 34};
    for (int i = 0; i < 8; ++i) g.Data4[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(field(tail[i], 2));
    return g;
}
