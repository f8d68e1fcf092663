#include "platform/ado/sql_lexer.h"

#include "platform/ado/provider.h"

namespace ado {

namespace {

bool IsIdentifierChar(char16_t c)
{
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') || c == u'_' ||
           c == u'$' || c > 0x7F;
}

bool IsSpace(char16_t c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n' || c == u'\f' || c == u'\v'; }

// Appends UTF-16 as UTF-8; an unpaired surrogate becomes U+FFFD.
void AppendUtf8(std::string& out, std::u16string_view text)
{
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t c = text[i];
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
            continue;
        }
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF)
            c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
        else if (c >= 0xD800 && c <= 0xDFFF)
            c = 0xFFFD;
        if (c < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        } else if (c < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (c >> 12)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (c >> 18)));
            out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        }
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

// Index just past a run that opens at pos and closes with close; a doubled
// closer inside stands for itself when doubling is allowed.
std::size_t SkipQuoted(std::u16string_view sql, std::size_t pos, char16_t close, bool doubling)
{
    for (std::size_t i = pos + 1; i < sql.size(); ++i) {
        if (sql[i] != close) continue;
        if (doubling && i + 1 < sql.size() && sql[i + 1] == close) {
            ++i;
            continue;
        }
        return i + 1;
    }
    return sql.size();
}

bool StartsComment(std::u16string_view sql, std::size_t pos)
{
    return pos + 1 < sql.size() && ((sql[pos] == u'-' && sql[pos + 1] == u'-') || (sql[pos] == u'/' && sql[pos + 1] == u'*'));
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

bool OnlyBlanksAndComments(std::u16string_view sql, std::size_t pos)
{
    while (pos < sql.size()) {
        if (IsSpace(sql[pos]) || sql[pos] == u';')
            ++pos;
        else if (StartsComment(sql, pos))
            pos = SkipComment(sql, pos);
        else
            return false;
    }
    return true;
}

// Index just past the token that starts at pos.
std::size_t TokenEnd(std::u16string_view sql, std::size_t pos)
{
    const char16_t c = sql[pos];
    if (StartsComment(sql, pos)) return SkipComment(sql, pos);
    if (c == u'\'' || c == u'"' || c == u'`') return SkipQuoted(sql, pos, c, true);
    if (c == u'[') return SkipQuoted(sql, pos, u']', false);
    if (!IsIdentifierChar(c)) return pos + 1;
    std::size_t end = pos;
    while (end < sql.size() && IsIdentifierChar(sql[end])) ++end;
    return end;
}

bool IsNationalPrefix(std::u16string_view sql, std::size_t pos)
{
    return (sql[pos] == u'N' || sql[pos] == u'n') && pos + 1 < sql.size() && sql[pos + 1] == u'\'' &&
           (pos == 0 || !IsIdentifierChar(sql[pos - 1]));
}

} // namespace

LexedStatement LexStatement(std::u16string_view sql)
{
    LexedStatement out;
    out.text.reserve(sql.size() + sql.size() / 4);
    std::size_t copied = 0; // sql[copied, pos) is still to be written
    for (std::size_t pos = 0; pos < sql.size();) {
        if (IsNationalPrefix(sql, pos)) {
            AppendUtf8(out.text, sql.substr(copied, pos - copied));
            copied = ++pos; // the literal that follows is kept as it stands
            continue;
        }
        if (sql[pos] == u';') {
            out.severalStatements = !OnlyBlanksAndComments(sql, pos + 1);
            break;
        }
        const std::size_t end = TokenEnd(sql, pos);
        if (out.firstKeyword.empty() && IsIdentifierChar(sql[pos]))
            out.firstKeyword = AsciiUpper(sql.substr(pos, end - pos));
        pos = end;
    }
    AppendUtf8(out.text, sql.substr(copied));
    return out;
}

} // namespace ado
