#include "batch_line.h"

#include "platform/text/utf.h"

namespace {

constexpr std::string_view kNullArgument = "--null";

std::string FieldName(std::size_t position)
{
    return position == 0 ? "the method name" : "argument " + std::to_string(position);
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
        const char next = i + 1 < field.size() ? field[++i] : '\0';
        if (next == 't') out += '\t';
        else if (next == 'n') out += '\n';
        else if (next == '\\') out += '\\';
        else throw UsageError{"unknown escape \\" + std::string(1, next) + " (use \\t, \\n or \\\\)"};
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
    auto wide = text::Utf8ToUtf16(text);
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
    if (!text::AppendUtf8AsUtf16(utf8, out)) throw UsageError{FieldName(position) + " is not valid UTF-8"};
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
    DecodeField(line.substr(0, methodEnd), m_method, 0);
}

void AppendEscapedField(std::string& out, std::u16string_view text)
{
    const std::size_t start = out.size();
    out.resize(start + text.size() * 3);
    char* const end = text::EncodeUtf8(text, out.data() + start);
    out.resize(static_cast<std::size_t>(end - out.data()));
    // Escapes are rare: the text is moved only when it holds one.
    for (std::size_t i = start; i < out.size(); ++i) {
        const char c = out[i];
        if (c != '\t' && c != '\n' && c != '\\') continue;
        out.insert(i++, 1, '\\');
        out[i] = c == '\t' ? 't' : c == '\n' ? 'n' : '\\';
    }
}

std::string EscapeField(std::u16string_view text)
{
    std::string out;
    AppendEscapedField(out, text);
    return out;
}
