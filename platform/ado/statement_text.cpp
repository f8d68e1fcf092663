#include "platform/ado/statement_text.h"

#include "platform/ado/ado.h"
#include "platform/ado/provider.h"
#include "platform/text/ascii.h"

namespace valmorin::ado {

namespace {

bool IsSpace(char16_t c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n' || c == u'\f' || c == u'\v'; }

bool IsWordCharacter(char16_t c)
{
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') || c == u'_';
}

bool StartsComment(std::u16string_view sql, std::size_t pos)
{
    return pos + 1 < sql.size() &&
           ((sql[pos] == u'-' && sql[pos + 1] == u'-') || (sql[pos] == u'/' && sql[pos + 1] == u'*'));
}

std::size_t SkipComment(std::u16string_view sql, std::size_t pos)
{
    if (sql[pos] == u'-') {
        const auto end = sql.find(u'\n', pos);
        return end == std::u16string_view::npos ? sql.size() : end + 1;
    }
    const auto end = sql.find(u"*/", pos + 2);
    return end == std::u16string_view::npos ? sql.size() : end + 2;
}

std::size_t FirstWordAt(std::u16string_view sql)
{
    std::size_t pos = 0;
    while (pos < sql.size()) {
        if (IsSpace(sql[pos]))
            ++pos;
        else if (StartsComment(sql, pos))
            pos = SkipComment(sql, pos);
        else
            break;
    }
    return pos;
}

[[noreturn]] void Refuse(HRESULT number, std::u16string_view source, std::u16string_view description,
                         std::u16string_view sqlState)
{
    throw ProviderFailure{{AdoError(number, source, description, sqlState)}};
}

} // namespace

std::vector<std::size_t> ParameterMarkers(std::u16string_view sql)
{
    std::vector<std::size_t> markers;
    for (std::size_t i = 0; i < sql.size();) {
        const char16_t c = sql[i];
        if (StartsComment(sql, i)) {
            i = SkipComment(sql, i);
        } else if (c == u'\'' || c == u'"' || c == u'`' || c == u'[') {
            const char16_t closer = c == u'[' ? u']' : c;
            const std::size_t end = sql.find(closer, i + 1);
            i = end == std::u16string_view::npos ? sql.size() : end + 1; // a doubled quote closes and opens again
        } else {
            if (c == u'?') markers.push_back(i);
            ++i;
        }
    }
    return markers;
}

std::u16string NumberedMarkers(std::u16string_view sql)
{
    std::u16string numbered;
    std::size_t from = 0, number = 0;
    for (const std::size_t at : ParameterMarkers(sql)) {
        numbered.append(sql.substr(from, at - from)).append(u"$");
        for (const char c : std::to_string(++number)) numbered += static_cast<char16_t>(c);
        from = at + 1;
    }
    return numbered.append(sql.substr(from));
}

std::u16string LeadingKeyword(std::u16string_view sql)
{
    std::size_t end = FirstWordAt(sql);
    const std::size_t start = end;
    while (end < sql.size() && IsWordCharacter(sql[end])) ++end;
    return text::AsciiUpper(sql.substr(start, end - start));
}

std::u16string WithLeadingColumn(std::u16string_view sql, std::u16string_view column, std::u16string_view source)
{
    if (LeadingKeyword(sql) != u"SELECT")
        Refuse(E_FAIL, source, u"Only a SELECT statement can be opened for update.", u"HY000");
    const std::size_t at = FirstWordAt(sql) + 6;
    return std::u16string(sql.substr(0, at)) + u" " + std::u16string(column) + u"," + std::u16string(sql.substr(at));
}

void RefuseNul(std::u16string_view sql, std::u16string_view source)
{
    if (sql.find(u'\0') != std::u16string_view::npos)
        Refuse(DB_E_ERRORSINCOMMAND, source, u"The command text holds a NUL character; the statement was not run.",
               u"42000");
}

void RefuseSecondStatement(std::u16string_view source)
{
    Refuse(DB_E_ERRORSINCOMMAND, source,
           u"The command text holds more than one statement; only one statement is run per call.", u"42000");
}

std::u16string QuoteIdentifier(std::u16string_view name)
{
    std::u16string quoted = u"\"";
    for (char16_t c : name) {
        quoted.push_back(c);
        if (c == u'"') quoted.push_back(c);
    }
    quoted.push_back(u'"');
    return quoted;
}

} // namespace valmorin::ado
