#include "platform/registry/reg_text.h"

#include "platform/text/utf.h"
#include "platform/text/ascii.h"

#include <algorithm>

namespace valmorin::registry {

namespace {

constexpr std::u16string_view kHeader = u"Windows Registry Editor Version 5.00";
constexpr std::u16string_view kOldHeader = u"REGEDIT4";
constexpr std::size_t kDwordDigits = 8;
constexpr std::u16string_view kSpaces = u" \t";

std::u16string_view TrimLeft(std::u16string_view text)
{
    const std::size_t first = text.find_first_not_of(kSpaces);
    return first == std::u16string_view::npos ? std::u16string_view{} : text.substr(first);
}

std::u16string_view TrimRight(std::u16string_view text)
{
    const std::size_t last = text.find_last_not_of(kSpaces);
    return last == std::u16string_view::npos ? std::u16string_view{} : text.substr(0, last + 1);
}

bool ConsumePrefix(std::u16string_view& rest, std::u16string_view prefix)
{
    if (rest.size() < prefix.size() || !SameName(rest.substr(0, prefix.size()), prefix)) return false;
    rest.remove_prefix(prefix.size());
    return true;
}

std::optional<std::u16string> DecodeText(std::string_view bytes)
{
    if (bytes.starts_with("\xFF\xFE")) {
        bytes.remove_prefix(2);
        if (bytes.size() % 2 != 0) return std::nullopt;
        std::u16string text;
        for (std::size_t i = 0; i < bytes.size(); i += 2)
            text.push_back(static_cast<char16_t>(static_cast<BYTE>(bytes[i]) | static_cast<BYTE>(bytes[i + 1]) << 8));
        return text;
    }
    if (bytes.starts_with("\xEF\xBB\xBF")) bytes.remove_prefix(3);
    return text::Utf8ToUtf16(bytes);
}

bool Continues(std::u16string_view line)
{
    return line.ends_with(u'\\') && !line.starts_with(u';') && !line.starts_with(u'[');
}

// Lines with their continuations (a trailing backslash, as hex data is
// wrapped) joined, outer blanks trimmed.
std::optional<std::vector<std::u16string>> LogicalLines(std::u16string_view text)
{
    std::vector<std::u16string> lines;
    std::u16string pending;
    for (std::size_t from = 0; from < text.size();) {
        const std::size_t end = std::min(text.find(u'\n', from), text.size());
        std::u16string_view physical = text.substr(from, end - from);
        if (physical.ends_with(u'\r')) physical.remove_suffix(1);
        from = end + 1;
        pending += TrimRight(TrimLeft(physical));
        if (Continues(pending)) {
            pending.pop_back();
            continue;
        }
        lines.push_back(std::move(pending));
        pending.clear();
    }
    if (!pending.empty()) return std::nullopt;
    return lines;
}

// A quoted name or string; backslash escapes a backslash or a quote.
std::optional<std::u16string> ParseQuoted(std::u16string_view& rest)
{
    if (!rest.starts_with(u'"')) return std::nullopt;
    std::u16string text;
    for (std::size_t i = 1; i < rest.size(); ++i) {
        if (rest[i] == u'"') {
            rest.remove_prefix(i + 1);
            return text;
        }
        if (rest[i] == u'\\' && i + 1 < rest.size() && (rest[i + 1] == u'\\' || rest[i + 1] == u'"')) ++i;
        text += rest[i];
    }
    return std::nullopt;
}

std::optional<std::uint64_t> ParseHexNumber(std::u16string_view digits)
{
    if (digits.empty() || digits.size() > 16) return std::nullopt;
    std::uint64_t number = 0;
    for (const char16_t c : digits) {
        const int digit = text::HexDigitValue(c);
        if (digit < 0) return std::nullopt;
        number = number << 4 | static_cast<std::uint64_t>(digit);
    }
    return number;
}

std::optional<std::vector<BYTE>> ParseHexBytes(std::u16string_view list)
{
    std::vector<BYTE> bytes;
    if (TrimLeft(list).empty()) return bytes;
    for (std::size_t from = 0; from <= list.size();) {
        const std::size_t to = std::min(list.find(u',', from), list.size());
        const std::u16string_view item = TrimRight(TrimLeft(list.substr(from, to - from)));
        const auto byte = item.size() == 2 ? ParseHexNumber(item) : std::nullopt;
        if (!byte) return std::nullopt;
        bytes.push_back(static_cast<BYTE>(*byte));
        from = to + 1;
    }
    return bytes;
}

std::vector<BYTE> DwordData(DWORD number)
{
    return {static_cast<BYTE>(number), static_cast<BYTE>(number >> 8), static_cast<BYTE>(number >> 16),
            static_cast<BYTE>(number >> 24)};
}

bool IsSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDFFF; }
bool IsHighSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

bool HasUnpairedSurrogate(std::u16string_view text)
{
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (IsHighSurrogate(text[i]) && i + 1 < text.size() && IsLowSurrogate(text[i + 1]))
            ++i;
        else if (IsSurrogate(text[i]))
            return true;
    }
    return false;
}

// The right-hand side of a value line; nothing when malformed.
std::optional<Value> ParseData(std::u16string_view rest, RegSource source)
{
    if (rest.starts_with(u'"')) {
        auto text = ParseQuoted(rest);
        if (!text || !rest.empty()) return std::nullopt;
        return Value{{}, REG_SZ, StringData(*text)};
    }
    if (ConsumePrefix(rest, u"dword:")) {
        const bool digits = source == RegSource::Import ? rest.size() <= kDwordDigits : rest.size() == kDwordDigits;
        const auto number = digits ? ParseHexNumber(rest) : std::nullopt;
        if (!number) return std::nullopt;
        return Value{{}, REG_DWORD, DwordData(static_cast<DWORD>(*number))};
    }
    DWORD type = REG_BINARY;
    if (ConsumePrefix(rest, u"hex(")) {
        const std::size_t close = rest.find(u')');
        const auto number = close == std::u16string_view::npos ? std::nullopt : ParseHexNumber(rest.substr(0, close));
        if (!number || *number > 0xFFFFFFFFu) return std::nullopt;
        type = static_cast<DWORD>(*number);
        rest.remove_prefix(close + 1);
        if (!ConsumePrefix(rest, u":")) return std::nullopt;
    } else if (!ConsumePrefix(rest, u"hex:")) {
        return std::nullopt;
    }
    auto bytes = ParseHexBytes(rest);
    if (!bytes) return std::nullopt;
    return Value{{}, type, std::move(*bytes)};
}

bool ParseValueLine(std::u16string_view line, RegSection& section, RegSource source)
{
    std::u16string name;
    if (line.starts_with(u'@')) {
        line.remove_prefix(1);
    } else {
        auto quoted = ParseQuoted(line);
        if (!quoted) return false;
        name = std::move(*quoted);
    }
    line = TrimLeft(line);
    if (!line.starts_with(u'=')) return false;
    line = TrimLeft(line.substr(1));
    if (line == u"-") {
        section.removedValues.push_back(std::move(name));
        return true;
    }
    auto value = ParseData(line, source);
    if (!value) return false;
    value->name = std::move(name);
    section.values.push_back(std::move(*value));
    return true;
}

bool ParseSectionLine(std::u16string_view line, std::vector<RegSection>& sections)
{
    if (!line.ends_with(u']')) return false;
    line = line.substr(1, line.size() - 2);
    RegSection section;
    section.removeKey = line.starts_with(u'-');
    if (section.removeKey) line.remove_prefix(1);
    if (line.empty()) return false;
    section.path = line;
    sections.push_back(std::move(section));
    return true;
}

std::u16string Quoted(std::u16string_view text)
{
    std::u16string quoted = u"\"";
    for (const char16_t c : text) {
        if (c == u'\\' || c == u'"') quoted += u'\\';
        quoted += c;
    }
    return quoted + u'"';
}

// REG_SZ data that reads back the same from a quoted string.
std::optional<std::u16string> PlainString(const Value& value)
{
    if (value.type != REG_SZ || value.data.size() < 2 || value.data.size() % 2 != 0) return std::nullopt;
    std::u16string text = DataText(value.data);
    if (text.back() != u'\0') return std::nullopt;
    text.pop_back();
    if (text.find_first_of(std::u16string_view(u"\0\r\n", 3)) != std::u16string::npos || HasUnpairedSurrogate(text))
        return std::nullopt;
    return text;
}

std::u16string HexText(std::uint64_t number, std::size_t width)
{
    std::u16string digits;
    for (; number != 0 || digits.size() < width; number >>= 4)
        digits.insert(digits.begin(), u"0123456789abcdef"[number & 0xF]);
    return digits;
}

std::u16string FormatData(const Value& value)
{
    if (const auto text = PlainString(value)) return Quoted(*text);
    const std::vector<BYTE>& data = value.data;
    if (value.type == REG_DWORD && data.size() == 4)
        return u"dword:" +
               HexText(static_cast<DWORD>(data[0] | data[1] << 8 | data[2] << 16) | DWORD{data[3]} << 24, 8);
    std::u16string line = value.type == REG_BINARY ? u"hex:" : u"hex(" + HexText(value.type, 1) + u"):";
    for (std::size_t i = 0; i < data.size(); ++i) line += (i == 0 ? u"" : u",") + HexText(data[i], 2);
    return line;
}

std::u16string ValueName(std::u16string_view name) { return name.empty() ? u"@" : Quoted(name); }

std::string Encode(const std::u16string& text, RegEncoding encoding)
{
    if (encoding == RegEncoding::Utf8) return text::Utf16ToUtf8(text);
    std::string bytes = "\xFF\xFE";
    for (const char16_t c : text) {
        if (c == u'\n') bytes.append("\r\0", 2);
        bytes.push_back(static_cast<char>(c & 0xFF));
        bytes.push_back(static_cast<char>(c >> 8));
    }
    return bytes;
}

} // namespace

std::optional<std::vector<RegSection>> ParseRegFile(std::string_view bytes, RegSource source)
{
    const auto text = DecodeText(bytes);
    if (!text || (source == RegSource::Hive && !text->ends_with(u'\n'))) return std::nullopt;
    const auto lines = LogicalLines(*text);
    if (!lines) return std::nullopt;
    auto line = std::find_if(lines->begin(), lines->end(), [](const std::u16string& l) { return !l.empty(); });
    if (line == lines->end() || (*line != kHeader && (source == RegSource::Hive || *line != kOldHeader)))
        return std::nullopt;
    std::vector<RegSection> sections;
    for (++line; line != lines->end(); ++line) {
        if (line->empty() || line->starts_with(u';')) continue;
        const bool parsed = line->starts_with(u'[') ? ParseSectionLine(*line, sections)
                                                    : !sections.empty() && ParseValueLine(*line, sections.back(), source);
        if (!parsed) return std::nullopt;
    }
    return sections;
}

std::string FormatRegFile(const std::vector<RegSection>& sections, RegEncoding encoding)
{
    std::u16string text = std::u16string(kHeader) + u"\n\n";
    for (const RegSection& section : sections) {
        text += (section.removeKey ? u"[-" : u"[") + section.path + u"]\n";
        for (const Value& value : section.values) text += ValueName(value.name) + u"=" + FormatData(value) + u"\n";
        for (const std::u16string& name : section.removedValues) text += ValueName(name) + u"=-\n";
        text += u"\n";
    }
    return Encode(text, encoding);
}

bool IsCarriedName(std::u16string_view name)
{
    const auto control = [](char16_t c) { return c < u' ' || c == u'\x7F'; };
    return std::none_of(name.begin(), name.end(), control) && !HasUnpairedSurrogate(name);
}

void AppendSections(const Key& key, const std::u16string& path, std::vector<RegSection>& sections)
{
    sections.push_back({path, false, key.values, {}});
    for (const Key& subkey : key.subkeys) AppendSections(subkey, path + u"\\" + subkey.name, sections);
}

} // namespace valmorin::registry
