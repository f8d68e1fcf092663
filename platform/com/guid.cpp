#include "valmorin/com/guid.h"
#include "platform/text/ascii.h"

#include <cstdio>

namespace {

bool ReadHex(std::u16string_view text, std::size_t from, int digits, std::uint32_t& value)
{
    value = 0;
    for (int i = 0; i < digits; ++i) {
        const int digit = valmorin::text::HexDigitValue(text[from + static_cast<std::size_t>(i)]);
        if (digit < 0) return false;
        value = value * 16 + static_cast<std::uint32_t>(digit);
    }
    return true;
}

} // namespace

bool ParseGuid(std::u16string_view text, GUID& out)
{
    if (text.size() != 38 || text.front() != u'{' || text.back() != u'}') return false;
    for (std::size_t dash : {9u, 14u, 19u, 24u})
        if (text[dash] != u'-') return false;
    GUID g;
    std::uint32_t value = 0;
    if (!ReadHex(text, 1, 8, g.Data1)) return false;
    if (!ReadHex(text, 10, 4, value)) return false;
    g.Data2 = static_cast<std::uint16_t>(value);
    if (!ReadHex(text, 15, 4, value)) return false;
    g.Data3 = static_cast<std::uint16_t>(value);
    const std::size_t tail[8] = {20, 22, 25, 27, 29, 31, 33, 35};
    for (std::size_t i = 0; i < 8; ++i) {
        if (!ReadHex(text, tail[i], 2, value)) return false;
        g.Data4[i] = static_cast<std::uint8_t>(value);
    }
    out = g;
    return true;
}

std::u16string GuidToString(const GUID& g)
{
    char buffer[40];
    std::snprintf(buffer, sizeof buffer, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned>(g.Data1), unsigned{g.Data2}, unsigned{g.Data3}, unsigned{g.Data4[0]},
                  unsigned{g.Data4[1]}, unsigned{g.Data4[2]}, unsigned{g.Data4[3]}, unsigned{g.Data4[4]},
                  unsigned{g.Data4[5]}, unsigned{g.Data4[6]}, unsigned{g.Data4[7]});
    return {buffer, buffer + 38};
}

HRESULT CLSIDFromString(LPCOLESTR text, CLSID* clsid)
{
    if (clsid == nullptr) return E_INVALIDARG;
    if (text == nullptr || !ParseGuid(text, *clsid)) {
        *clsid = GUID_NULL;
        return MakeHResult(0x800401F3); // CO_E_CLASSSTRING
    }
    return S_OK;
}

int StringFromGUID2(const GUID& guid, LPOLESTR buffer, int capacity)
{
    const std::u16string text = GuidToString(guid);
    if (buffer == nullptr || capacity < static_cast<int>(text.size()) + 1) return 0;
    text.copy(buffer, text.size());
    buffer[text.size()] = u'\0';
    return static_cast<int>(text.size()) + 1;
}
