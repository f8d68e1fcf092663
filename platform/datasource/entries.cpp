#include "platform/datasource/entries.h"

#include "platform/ado/provider.h"
#include "platform/text/utf.h"
#include "platform/text/ascii.h"

#include <algorithm>
#include <set>

namespace valmorin::datasource {

namespace {

constexpr std::string_view kBlanks = " \t";
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
constexpr std::u16string_view kConnectionStringKey = u"ConnectionString";
constexpr std::u16string_view kSchemaKey = u"Schema";

std::string_view Trim(std::string_view text)
{
    const auto first = text.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

bool HasControlCharacter(std::u16string_view text)
{
    return std::any_of(text.begin(), text.end(), [](char16_t c) { return c < u' ' || c == u'\x7F'; });
}

// Surrounding blanks would be lost when the file is read back.
bool HasOuterBlank(std::u16string_view text)
{
    const auto blank = [](char16_t c) { return c == u' ' || c == u'\t'; };
    return !text.empty() && (blank(text.front()) || blank(text.back()));
}

std::optional<std::string> ProblemWithText(std::u16string_view text, const std::string& what)
{
    if (HasControlCharacter(text)) return what + " cannot hold line breaks or other control characters";
    if (HasOuterBlank(text)) return what + " cannot begin or end with a blank";
    return std::nullopt;
}

// Reads a file's lines into data sources, stopping at the first line that
// does not fit.
class StoreParser {
public:
    StoreContents Parse(std::string_view text)
    {
        if (text.starts_with(kByteOrderMark)) text.remove_prefix(kByteOrderMark.size());
        int number = 0;
        for (std::size_t from = 0; from <= text.size(); ++number) {
            const std::size_t end = std::min(text.find('\n', from), text.size());
            std::string_view line = text.substr(from, end - from);
            if (line.ends_with('\r')) line.remove_suffix(1);
            from = end + 1;
            const std::string problem = Line(Trim(line));
            if (!problem.empty()) return {{}, "line " + std::to_string(number + 1) + ": " + problem};
        }
        return {std::move(m_sources), {}};
    }

private:
    std::string Line(std::string_view line)
    {
        if (line.empty() || line.front() == '#' || line.front() == ';') return {};
        return line.front() == '[' ? Section(line) : Key(line);
    }

    std::string Section(std::string_view line)
    {
        if (!line.ends_with(']')) return "a section header ends with ]";
        const auto name = text::Utf8ToUtf16(Trim(line.substr(1, line.size() - 2)));
        if (!name) return "the section name is not UTF-8";
        DataSource source = FromSectionName(*name);
        if (auto problem = ProblemWith(source)) return *problem;
        const auto same = [&](const DataSource& other) { return SameSection(other, source); };
        if (std::any_of(m_sources.begin(), m_sources.end(), same))
            return "[" + text::Utf16ToUtf8(SectionName(source)) + "] is given twice";
        m_sources.push_back(std::move(source));
        m_keys.clear();
        return {};
    }

    std::string Key(std::string_view line)
    {
        const auto equals = line.find('=');
        if (equals == std::string_view::npos) return "expected [name], key = value or a comment";
        if (m_sources.empty()) return "a key outside any [section]";
        const auto key = text::Utf8ToUtf16(Trim(line.substr(0, equals)));
        const auto value = text::Utf8ToUtf16(Trim(line.substr(equals + 1)));
        if (!key || !value) return "the line is not UTF-8";
        std::u16string* field = Field(m_sources.back(), *key);
        if (field == nullptr) return "unknown key " + text::Utf16ToUtf8(*key) + " (ConnectionString or Schema)";
        if (!m_keys.insert(text::AsciiUpper(*key)).second) return text::Utf16ToUtf8(*key) + " is given twice";
        // What could not be written back as read is refused when read.
        if (auto problem = ProblemWithText(*value, text::Utf16ToUtf8(*key))) return *problem;
        *field = *value;
        return {};
    }

    static std::u16string* Field(DataSource& source, std::u16string_view key)
    {
        if (SameName(key, kConnectionStringKey)) return &source.connectionString;
        if (SameName(key, kSchemaKey)) return &source.schema;
        return nullptr;
    }

    std::vector<DataSource> m_sources;
    std::set<std::u16string> m_keys; // of the current section, upper-cased
};

} // namespace

bool SameName(std::u16string_view a, std::u16string_view b) { return text::EqualAsciiNoCase(a, b); }

bool SameSection(const DataSource& a, const DataSource& b)
{
    return SameName(a.name, b.name) && SameName(a.account, b.account);
}

std::u16string SectionName(const DataSource& source)
{
    return source.account.empty() ? source.name : source.name + u"@" + source.account;
}

// "NK@" keeps its "@" in the name, so that it is refused as a name instead
// of quietly meaning every account.
DataSource FromSectionName(std::u16string_view section)
{
    const auto at = section.find(u'@');
    if (at == std::u16string_view::npos || at + 1 == section.size()) return {std::u16string(section), {}, {}, {}};
    return {std::u16string(section.substr(0, at)), std::u16string(section.substr(at + 1)), {}, {}};
}

std::optional<std::string> ProblemWith(const DataSource& source)
{
    if (source.name.empty()) return "a data source needs a name";
    if (source.name.find_first_of(u"@[]") != std::u16string::npos) return "a data-source name cannot hold @, [ or ]";
    if (source.account.find(u']') != std::u16string::npos) return "an account name cannot hold ]";
    const std::pair<const std::u16string*, const char*> texts[] = {{&source.name, "a data-source name"},
                                                                   {&source.account, "an account name"},
                                                                   {&source.connectionString, "a connection string"},
                                                                   {&source.schema, "a schema"}};
    for (const auto& [value, what] : texts)
        if (auto problem = ProblemWithText(*value, what)) return problem;
    return std::nullopt;
}

StoreContents ParseStore(std::string_view text) { return StoreParser().Parse(text); }

std::string FormatStore(const std::vector<DataSource>& sources)
{
    std::string text = "# Pelkor data sources: [name] serves every account, [name@account] one account.\n"
                       "# Keys: ConnectionString, and Schema for Oracle. Written by valmorin datasource.\n";
    for (const DataSource& source : sources) {
        text += "\n[" + text::Utf16ToUtf8(SectionName(source)) + "]\n";
        text += "ConnectionString = " + text::Utf16ToUtf8(source.connectionString) + "\n";
        if (!source.schema.empty()) text += "Schema = " + text::Utf16ToUtf8(source.schema) + "\n";
    }
    return text;
}

} // namespace valmorin::datasource
