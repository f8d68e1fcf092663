#include "service/service_text.h"

#include "platform/com/com_error.h"

ServiceText ServiceText::FromBstr(BSTR bstr) { return ServiceText(std::u16string(bstr ? bstr : u"")); }

ServiceText& ServiceText::operator=(std::u16string text)
{
    m_text = std::move(text);
    m_cacheValid = false;
    return *this;
}

ServiceText& ServiceText::operator+=(std::u16string_view text)
{
    m_text += text;
    m_cacheValid = false;
    return *this;
}

BSTR ServiceText::bstr() const
{
    if (!m_cacheValid) {
        m_cached.Attach(copy());
        m_cacheValid = true;
    }
    return m_cached.get();
}

BSTR ServiceText::copy() const
{
    BSTR result = SysAllocStringLen(m_text.data(), static_cast<UINT>(m_text.size()));
    if (result == nullptr) throw _com_error(E_OUTOFMEMORY);
    return result;
}
