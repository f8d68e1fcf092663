#include "platform/text/utf.h"

namespace valmorin::text {

namespace {

char16_t* PutUtf16(char16_t* out, char32_t cp)
{
    if (cp < 0x10000) {
        *out++ = static_cast<char16_t>(cp);
    } else {
        cp -= 0x10000;
        *out++ = static_cast<char16_t>(0xD800 + (cp >> 10));
        *out++ = static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    }
    return out;
}

// Decodes one sequence at pos; returns its length, or 0 when ill-formed.
std::size_t DecodeUtf8(std::string_view s, std::size_t pos, char32_t& cp)
{
    const auto lead = static_cast<unsigned char>(s[pos]);
    std::size_t length = 0;
    char32_t min = 0;
    if (lead < 0x80) {
        cp = lead;
        return 1;
    }
    if ((lead & 0xE0) == 0xC0) {
        length = 2, cp = lead & 0x1F, min = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, cp = lead & 0x0F, min = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, cp = lead & 0x07, min = 0x10000;
    } else {
        return 0;
    }
    if (pos + length > s.size()) return 0;
    for (std::size_t i = 1; i < length; ++i) {
        const auto next = static_cast<unsigned char>(s[pos + i]);
        if ((next & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (next & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    return length;
}

} // namespace

std::optional<std::u16string> Utf8ToUtf16(std::string_view utf8)
{
    std::u16string out;
    if (!AppendUtf8AsUtf16(utf8, out)) return std::nullopt;
    return out;
}

bool IsUtf8(std::string_view utf8)
{
    char32_t cp = 0;
    for (std::size_t pos = 0; pos < utf8.size();) {
        if (static_cast<unsigned char>(utf8[pos]) < 0x80) {
            ++pos;
            continue;
        }
        const std::size_t length = DecodeUtf8(utf8, pos, cp);
        if (length == 0) return false;
        pos += length;
    }
    return true;
}

bool AppendUtf8AsUtf16(std::string_view utf8, std::u16string& out)
{
    // UTF-8 never takes fewer bytes than UTF-16 takes units: room for one
    // unit per byte is enough, and the text is written without a check per unit.
    const std::size_t start = out.size();
    out.resize(start + utf8.size());
    char16_t* next = out.data() + start;
    bool wellFormed = true;
    for (std::size_t pos = 0; pos < utf8.size();) {
        const auto lead = static_cast<unsigned char>(utf8[pos]);
        if (lead < 0x80) {
            *next++ = lead;
            ++pos;
            continue;
        }
        char32_t cp = 0;
        const std::size_t length = DecodeUtf8(utf8, pos, cp);
        if (length == 0) {
            wellFormed = false;
            break;
        }
        next = PutUtf16(next, cp);
        pos += length;
    }
    out.resize(static_cast<std::size_t>(next - out.data()));
    return wellFormed;
}

namespace {

bool IsSurrogate(char32_t c) { return c >= 0xD800 && c <= 0xDFFF; }

// A high surrogate followed by a low one.
bool PairStartsAt(std::u16string_view text, std::size_t i)
{
    return text[i] >= 0xD800 && text[i] <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
           text[i + 1] <= 0xDFFF;
}

} // namespace

std::u16string WithoutLoneSurrogates(std::u16string_view utf16)
{
    std::u16string out(utf16);
    for (std::size_t i = 0; i < out.size(); ++i) {
        if (PairStartsAt(utf16, i))
            ++i;
        else if (IsSurrogate(out[i]))
            out[i] = u'\uFFFD';
    }
    return out;
}

std::string Utf16ToUtf8(std::u16string_view utf16)
{
    std::string out(utf16.size() * 3, '\0');
    out.resize(static_cast<std::size_t>(EncodeUtf8(utf16, out.data()) - out.data()));
    return out;
}

// Writes UTF-16 as UTF-8 at out (room for three bytes per unit) and returns
// the end; an unpaired surrogate becomes U+FFFD.
char* EncodeUtf8(std::u16string_view text, char* out)
{
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t c = text[i];
        if (c < 0x80) {
            *out++ = static_cast<char>(c);
            continue;
        }
        if (PairStartsAt(text, i))
            c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
        else if (IsSurrogate(c))
            c = 0xFFFD;
        if (c < 0x800) {
            *out++ = static_cast<char>(0xC0 | (c >> 6));
        } else if (c < 0x10000) {
            *out++ = static_cast<char>(0xE0 | (c >> 12));
            *out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        } else {
            *out++ = static_cast<char>(0xF0 | (c >> 18));
            *out++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            *out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        }
        *out++ = static_cast<char>(0x80 | (c & 0x3F));
    }
    return out;
}

std::u16string Widen(std::string_view utf8)
{
    auto wide = Utf8ToUtf16(utf8);
    return wide ? *wide : std::u16string(utf8.begin(), utf8.end());
}

} // namespace valmorin::text
