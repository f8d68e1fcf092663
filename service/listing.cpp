#include "service/listing.h"

#include <new>

void ReplaceAll(std::u16string& text, std::u16string_view from, std::u16string_view to)
{
    if (from.empty()) return;
    std::size_t found = text.find(from);
    if (found == std::u16string::npos) return;
    // Built once in a second string: replacing in place would move the tail
    // once per occurrence.
    std::u16string result;
    result.reserve(text.size() + to.size());
    std::size_t start = 0;
    for (; found != std::u16string::npos; found = text.find(from, start)) {
        result.append(text, start, found - start).append(to);
        start = found + from.size();
    }
    result.append(text, start, std::u16string::npos);
    text = std::move(result);
}

std::u16string EscapeSqlText(std::u16string text)
{
    ReplaceAll(text, u"'", u"''");
    return text;
}

std::u16string Quoted(BSTR text) { return EscapeSqlText(ServiceText::FromBstr(text).str()); }

std::u16string EscapeJsonText(std::u16string text)
{
    ReplaceAll(text, u"\"", u"\\\"");
    return text;
}

void AppendJsonEscaped(std::u16string& out, std::u16string_view text, bool lineBreaks)
{
    std::size_t plain = 0;
    auto flushThen = [&](std::size_t at, std::u16string_view replacement) {
        out.append(text.substr(plain, at - plain)).append(replacement);
        plain = at + 1;
    };
    for (std::size_t i = 0; i < text.size(); ++i) {
        switch (text[i]) {
        case u'\\': flushThen(i, u"\\\\"); break;
        case u'"': flushThen(i, u"\\\""); break;
        case u'\r':
            if (lineBreaks) flushThen(i, u"\\u000d");
            break;
        case u'\n':
            if (lineBreaks) flushThen(i, u"\\u000a");
            break;
        default: break;
        }
    }
    out.append(text.substr(plain));
}

std::vector<std::u16string> SplitList(std::u16string_view text, char16_t separator)
{
    std::vector<std::u16string> items;
    std::size_t kept = 0; // items up to the last non-empty one
    for (std::size_t start = 0;;) {
        const std::size_t end = text.find(separator, start);
        const std::u16string_view item = text.substr(start, end == std::u16string_view::npos ? end : end - start);
        items.emplace_back(item);
        if (!item.empty()) kept = items.size();
        if (end == std::u16string_view::npos) break;
        start = end + 1;
    }
    items.resize(kept);
    return items;
}

void AppendItem(std::u16string& out, std::u16string_view format, std::initializer_list<std::u16string_view> values)
{
    auto value = values.begin();
    std::size_t plain = 0;
    for (std::size_t at = format.find(u'%'); at != std::u16string_view::npos; at = format.find(u'%', plain)) {
        out.append(format.substr(plain, at - plain));
        if (value != values.end()) out.append(*value++);
        plain = at + 2; // %s or %d
    }
    out.append(format.substr(plain));
}

JsonListEnvelope::JsonListEnvelope() : m_text(u"{\"list\" : [") {}

std::u16string& JsonListEnvelope::NextItem()
{
    if (!m_empty) m_text += u',';
    m_empty = false;
    return m_text;
}

BSTR JsonListEnvelope::Close()
{
    m_text += u"]}";
    BSTR copy = SysAllocStringLen(m_text.data(), static_cast<UINT>(m_text.size()));
    if (copy == nullptr) throw std::bad_alloc();
    return copy;
}

std::u16string Decimal(LONG value)
{
    const std::string digits = std::to_string(value);
    return std::u16string(digits.begin(), digits.end());
}
