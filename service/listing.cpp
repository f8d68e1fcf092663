#include "service/listing.h"

#include <algorithm>
#include <climits>
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

void SplitListViews(std::u16string_view text, char16_t separator, std::vector<std::u16string_view>& items)
{
    items.clear();
    std::size_t kept = 0; // items up to the last non-empty one
    for (std::size_t start = 0;;) {
        const std::size_t end = text.find(separator, start);
        const std::u16string_view item = text.substr(start, end == std::u16string_view::npos ? end : end - start);
        items.push_back(item);
        if (!item.empty()) kept = items.size();
        if (end == std::u16string_view::npos) break;
        start = end + 1;
    }
    items.resize(kept);
}

std::vector<std::u16string> SplitList(std::u16string_view text, char16_t separator)
{
    std::vector<std::u16string_view> views;
    SplitListViews(text, separator, views);
    return {views.begin(), views.end()};
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

namespace {

// UTF-16 units per block: large enough that a block holds thousands of
// items, small enough that a short listing stays small.
constexpr std::size_t kBlockUnits = 1 << 20;
// Room kept free for the item that follows: a block is closed once less is left.
constexpr std::size_t kItemRoom = 1 << 10;

} // namespace

JsonListEnvelope::JsonListEnvelope() : m_blocks(1, u"{\"list\" : [") {}

std::u16string& JsonListEnvelope::NextItem()
{
    std::u16string* block = &m_blocks.back();
    if (block->size() + kItemRoom > block->capacity() && block->size() >= kBlockUnits - kItemRoom) {
        block = &m_blocks.emplace_back();
        block->reserve(kBlockUnits);
    }
    if (!m_empty) *block += u',';
    m_empty = false;
    return *block;
}

BSTR JsonListEnvelope::Close()
{
    m_blocks.back() += u"]}";
    std::size_t length = 0;
    for (const std::u16string& block : m_blocks) length += block.size();
    if (length > 0x7FFFFFF0u) throw std::bad_alloc();
    BSTR text = SysAllocStringLen(nullptr, static_cast<UINT>(length));
    if (text == nullptr) throw std::bad_alloc();
    OLECHAR* end = text;
    for (const std::u16string& block : m_blocks) end = std::copy(block.begin(), block.end(), end);
    return text;
}

std::u16string Decimal(LONG value)
{
    const std::string digits = std::to_string(value);
    return std::u16string(digits.begin(), digits.end());
}

LONG ParseLeadingNumber(std::u16string_view text)
{
    std::size_t i = 0;
    while (i < text.size() && (text[i] == u' ' || (text[i] >= u'\t' && text[i] <= u'\r'))) ++i;
    const bool negative = i < text.size() && text[i] == u'-';
    if (i < text.size() && (text[i] == u'-' || text[i] == u'+')) ++i;
    long long value = 0;
    for (; i < text.size() && text[i] >= u'0' && text[i] <= u'9'; ++i) {
        value = value * 10 + (text[i] - u'0');
        if (value > static_cast<long long>(INT_MAX) + 1) break;
    }
    if (negative) value = -value;
    return static_cast<LONG>(std::clamp<long long>(value, INT_MIN, INT_MAX));
}
