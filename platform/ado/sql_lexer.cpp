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

// Index just past a run that opens at pos with open and closes with close;
// a doubled closer inside stands for itself when doubling is allowed.
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

// Index just past a comment starting at pos, or pos when none starts there.
std::size_t SkipComment(std::u16string_view sql, std::size_t pos)
{
    if (sql.substr(pos, 2) == u"--") {
        const auto end = sql.find(u'\n', pos);
        return end == std::u16string_view::npos ? sql.size() : end + 1;
    }
    if (sql.substr(pos, 2) == u"/*") {
        const auto end = sql.find(u"*/", pos + 2);
        return end == std::u16string_view::npos ? sql.size() : end + 2;
    }
    return pos;
}

bool OnlyBlanksAndComments(std::u16string_view sql, std::size_t pos)
{
    while (pos < sql.size()) {
        if (IsSpace(sql[pos]) || sql[pos] == u';') {
            ++pos;
            continue;
        }
        const std::size_t next = SkipComment(sql, pos);
        if (next == pos) return false;
        pos = next;
    }
    return true;
}

// Index just past the token that starts at pos.
std::size_t TokenEnd(std::u16string_view sql, std::size_t pos)
{
    const char16_t c = sql[pos];
    if (const std::size_t end = SkipComment(sql, pos); end != pos) return end;
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
    out.text.reserve(sql.size());
    for (std::size_t pos = 0; pos < sql.size();) {
        if (IsNationalPrefix(sql, pos)) {
            ++pos; // the literal that follows is kept as it stands
            continue;
        }
        if (sql[pos] == u';') {
            out.severalStatements = !OnlyBlanksAndComments(sql, pos + 1);
            out.text.append(sql.substr(pos));
            break;
        }
        const std::size_t end = TokenEnd(sql, pos);
        if (out.firstKeyword.empty() && IsIdentifierChar(sql[pos]))
            out.firstKeyword = AsciiUpper(sql.substr(pos, end - pos));
        out.text.append(sql.substr(pos, end - pos));
        pos = end;
    }
    return out;
}

} // namespace ado
