#include "batch_line.h"

#include "platform/text/utf.h"

namespace {

constexpr std::string_view kNullArgument = "--null";

std::string Unescape(std::string_view field)
{
    std::string out;
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

std::vector<std::string_view> SplitTabs(std::string_view line)
{
    std::vector<std::string_view> fields;
    std::size_t from = 0;
    for (std::size_t tab; (tab = line.find('\t', from)) != std::string_view::npos; from = tab + 1)
        fields.push_back(line.substr(from, tab - from));
    fields.push_back(line.substr(from));
    return fields;
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
    // A BSTR argument ends at its first NUL: the rest would be lost unseen.
    if (utf8.find('\0') != std::string_view::npos)
        throw UsageError{what + " holds a NUL character, which no argument can carry"};
    return Wide(utf8, what);
}

BatchCall DecodeBatchLine(std::string_view line)
{
    const std::vector<std::string_view> fields = SplitTabs(line);
    BatchCall call;
    for (std::size_t i = 1; i < fields.size(); ++i)
        call.arguments.push_back(ToArgument(Unescape(fields[i]), "argument " + std::to_string(i)));
    call.method = Wide(Unescape(fields[0]), "the method name");
    return call;
}

std::string EscapeField(std::u16string_view text)
{
    std::string out;
    for (char c : text::Utf16ToUtf8(text)) {
        if (c == '\t') out += "\\t";
        else if (c == '\n') out += "\\n";
        else if (c == '\\') out += "\\\\";
        else out += c;
    }
    return out;
}
