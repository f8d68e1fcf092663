#include "service/json_text.h"

#include "platform/text/utf.h"
#include "service/rows.h"

#include <new>

std::string JsonString(const std::u16string& text) { return valmorin::text::Utf16ToUtf8(text); }

std::string DumpJson(const Json& value) { return value.dump(-1, ' ', false, Json::error_handler_t::replace); }

Json JsonTextOrNull(const qmt::CAdoRecord& row, LONG position)
{
    CComVariant value;
    row.read(position, value);
    if (value.vt == VT_NULL || value.vt == VT_EMPTY) return nullptr;
    return JsonString(ReadText(row, position));
}

// The text is well-formed UTF-8 by construction: the library writes
// nothing else, and the texts it was given were converted from UTF-16.
BSTR JsonToBstr(const std::string& text)
{
    const std::optional<std::u16string> wide = valmorin::text::Utf8ToUtf16(text);
    if (!wide || wide->size() > 0x7FFFFFF0u) throw std::bad_alloc();
    BSTR result = SysAllocStringLen(wide->data(), static_cast<UINT>(wide->size()));
    if (result == nullptr) throw std::bad_alloc();
    return result;
}

void JsonItems::Append(const Json& item)
{
    if (!m_text.empty()) m_text += ',';
    m_text += DumpJson(item);
}

std::string WithList(const Json& object, const JsonItems& items)
{
    std::string text = DumpJson(object);
    text.pop_back(); // the object's closing brace
    if (!object.empty()) text += ',';
    return text + "\"list\":[" + items.text() + "]}";
}
