#include "batch_line.h"

#include "platform/text/utf.h"

#include <algorithm>

namespace {

constexpr std::string_view kNullArgument = "--null";

std::string FieldName(std::size_t position)
{
    return position == 0 ? "the method name" : "argument " + std::to_string(position);
}

// A byte of an unknown escape as it can be shown: itself when printable
// ASCII, its hexadecimal code otherwise (a NUL or half a UTF-8 sequence
// would garble the message).
std::string Printable(char c)
{
    const auto byte = static_cast<unsigned char>(c);
    if (byte > 0x20 && byte < 0x7F) return std::string(1, c);
    constexpr char kHex[] = "0123456789ABCDEF";
    return std::string("<0x") + kHex[byte >> 4] + kHex[byte & 0xF] + ">";
}

// The field with its escapes replaced; the field itself when it has none.
std::string_view Unescape(std::string_view field, std::string& out)
{
    if (field.find('\\') == std::string_view::npos) return field;
    out.clear();
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] != '\\') {
            out += field[i];
            continue;
        }
        if (i + 1 == field.size()) throw UsageError{"a field ends with a lone backslash (write \\\\ for one)"};
        const char next = field[++i];
        if (next == 't') out += '\t';
        else if (next == 'n') out += '\n';
        else if (next == 'r')
            out += '\r';
        else if (next == '\\') out += '\\';
        else
            throw UsageError{"unknown escape \\" + Printable(next) + " (use \\t, \\n, \\r or \\\\)"};
    }
    return out;
}

// A BSTR argument ends at its first NUL: the rest would be lost unseen.
bool HoldsNul(std::string_view utf8) { return utf8.find('\0') != std::string_view::npos; }

UsageError NulRefused(const std::string& what)
{
    return {what + " holds a NUL character, which no argument can carry"};
}

} // namespace

std::u16string Wide(std::string_view text, const std::string& what)
{
    auto wide = valmorin::text::Utf8ToUtf16(text);
    if (!wide) throw UsageError{what + " is not valid UTF-8"};
    return *wide;
}

CallArgument ToArgument(std::string_view utf8, const std::string& what)
{
    if (utf8 == kNullArgument) return std::nullopt;
    if (HoldsNul(utf8)) throw NulRefused(what);
    return Wide(utf8, what);
}

void BatchLineDecoder::DecodeField(std::string_view field, std::u16string& out, std::size_t position)
{
    const std::string_view utf8 = Unescape(field, m_unescaped);
    if (position > 0 && HoldsNul(utf8)) throw NulRefused(FieldName(position));
    out.clear();
    if (!valmorin::text::AppendUtf8AsUtf16(utf8, out)) throw UsageError{FieldName(position) + " is not valid UTF-8"};
}

void BatchLineDecoder::DecodeArgument(std::string_view field, std::size_t position)
{
    if (m_arguments.size() < position) m_arguments.emplace_back();
    CallArgument& slot = m_arguments[position - 1];
    if (field == kNullArgument) {
        slot.reset();
        return;
    }
    if (!slot) slot.emplace();
    DecodeField(field, *slot, position);
}

void BatchLineDecoder::Decode(std::string_view line)
{
    m_count = 0;
    const std::size_t methodEnd = line.find('\t');
    for (std::size_t from = methodEnd; from != std::string_view::npos;) {
        const std::size_t end = line.find('\t', from + 1);
        DecodeArgument(line.substr(from + 1, end == std::string_view::npos ? end : end - from - 1), ++m_count);
        from = end;
    }
    // A run of lines calls one method: its name is decoded once.
    const std::string_view methodField = line.substr(0, methodEnd);
    if (m_methodField == methodField) return;
    m_methodField.reset(); // m_method is changing, and is left changed by a refusal
    DecodeField(methodField, m_method, 0);
    m_methodField = methodField;
}

// The text is encoded in place, then, when it holds anything to escape,
// spread out from its end: each byte moves once, whatever the number of
// escapes.
void AppendEscapedField(std::string& out, std::u16string_view text)
{
    const std::size_t start = out.size();
    out.resize(start + text.size() * 3);
    char* const encodedEnd = valmorin::text::EncodeUtf8(text, out.data() + start);
    const std::size_t encoded = static_cast<std::size_t>(encodedEnd - (out.data() + start));
    auto escaped = [](char c) { return c == '\t' || c == '\n' || c == '\r' || c == '\\'; };
    const auto escapes = static_cast<std::size_t>(std::count_if(out.data() + start, encodedEnd, escaped));
    out.resize(start + encoded + escapes);
    char* from = out.data() + start + encoded;
    char* to = from + escapes;
    while (from != to) {
        const char c = *--from;
        if (!escaped(c)) {
            *--to = c;
            continue;
        }
        *--to = c == '\t' ? 't' : c == '\n' ? 'n' : c == '\r' ? 'r' : '\\';
        *--to = '\\';
    }
}

std::string EscapeField(std::u16string_view text)
{
    std::string out;
    AppendEscapedField(out, text);
    return out;
}
