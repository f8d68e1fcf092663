#include "platform/ado/sql_lexer.h"

#include "platform/ado/provider.h"
#include "platform/text/utf.h"
#include "platform/text/ascii.h"

#include <array>

namespace ado {

namespace {

constexpr bool IsIdentifierChar(char16_t c)
{
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') || c == u'_' ||
           c == u'$' || c > 0x7F;
}

bool IsSpace(char16_t c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n' || c == u'\f' || c == u'\v'; }

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

// What a unit means to the code between quoted runs and comments. Plain
// units (blanks, operators, digits after a blank...) are copied in runs.
enum class Kind : unsigned char { Plain, Word, Quote, Bracket, End, Dash, Slash, Marker };

constexpr std::array<Kind, 128> kAsciiKinds = [] {
    std::array<Kind, 128> kinds{};
    for (char16_t c = 0; c < 128; ++c) {
        if (IsIdentifierChar(c)) kinds[c] = Kind::Word;
    }
    kinds[u'\''] = kinds[u'"'] = kinds[u'`'] = Kind::Quote;
    kinds[u'['] = Kind::Bracket;
    kinds[u';'] = Kind::End;
    kinds[u'-'] = Kind::Dash;
    kinds[u'/'] = Kind::Slash;
    kinds[u'?'] = kinds[u':'] = kinds[u'@'] = kinds[u'$'] = Kind::Marker;
    return kinds;
}();

Kind KindOf(char16_t c) { return c < 128 ? kAsciiKinds[c] : Kind::Word; }

std::size_t IdentifierEnd(std::u16string_view sql, std::size_t pos)
{
    while (pos < sql.size() && IsIdentifierChar(sql[pos])) ++pos;
    return pos;
}

} // namespace

namespace {

enum class Context { Code, Quoted, Bracketed, LineComment, BlockComment };

// One pass over the text: each unit is looked at once, written out as
// UTF-8 and moves the reader between code, quoted runs and comments.
class Lexer {
public:
    explicit Lexer(std::u16string_view sql, LexedStatement& out) : m_sql(sql), m_out(out)
    {
        m_out.text.resize(sql.size() * 3); // the most UTF-8 one UTF-16 unit can need
        m_end = m_out.text.data();
        m_out.parameterized.reserve(sql.size());
        m_out.literals.reserve(4);
    }

    void Run()
    {
        while (m_pos < m_sql.size()) {
            switch (m_context) {
            case Context::Code: ReadCode(); break;
            case Context::Quoted: ReadQuoted(); break;
            case Context::Bracketed: CloseOn(u']', Context::Code); break;
            case Context::LineComment: CloseOn(u'\n', Context::Code); break;
            case Context::BlockComment: ReadBlockComment(); break;
            }
        }
        m_out.text.resize(static_cast<std::size_t>(m_end - m_out.text.data()));
        if (m_context == Context::Quoted && m_quote == u'\'') {
            // an unterminated literal: the statement has no parameterized form
            m_out.parameterized.clear();
            m_out.literals.clear();
            return;
        }
        m_out.parameterized.append(m_out.text, m_shapeCopied);
        if (m_ownParameters || !SharedFormGivesTheText()) {
            m_out.parameterized.clear();
            m_out.literals.clear();
            return;
        }
        m_out.placeholders = m_placeholders;
    }

private:
    // The shared form stands for the statement only if putting its literals
    // back, in order and with their quotes doubled, gives exactly the text
    // that would run as written. Whatever the lexer misread, a statement
    // that fails this runs as written instead.
    bool SharedFormGivesTheText() const
    {
        const std::string& shape = m_out.parameterized;
        std::size_t length = shape.size() - m_placeholders.size();
        for (const std::string& literal : m_out.literals) length += literal.size() + 2;
        if (length > m_out.text.size()) return false;
        std::size_t textAt = 0;
        std::size_t shapeAt = 0;
        auto matches = [&](std::string_view piece) {
            if (m_out.text.compare(textAt, piece.size(), piece) != 0) return false;
            textAt += piece.size();
            return true;
        };
        for (std::size_t i = 0; i < m_placeholders.size(); ++i) {
            if (!matches(std::string_view(shape).substr(shapeAt, m_placeholders[i] - shapeAt)) || !matches("'"))
                return false;
            for (std::size_t from = 0; from <= m_out.literals[i].size();) {
                const std::size_t quote = m_out.literals[i].find('\'', from);
                const std::size_t to = quote == std::string::npos ? m_out.literals[i].size() : quote + 1;
                if (!matches(std::string_view(m_out.literals[i]).substr(from, to - from))) return false;
                if (quote != std::string::npos && !matches("'")) return false;
                from = to + (quote == std::string::npos ? 1 : 0);
            }
            if (!matches("'")) return false;
            shapeAt = m_placeholders[i] + 1;
        }
        return matches(std::string_view(shape).substr(shapeAt)) && textAt == m_out.text.size();
    }

    void ReadCode()
    {
        const std::size_t plainEnd = PlainRunEnd();
        if (plainEnd > m_pos) {
            CopyUpTo(plainEnd);
            return;
        }
        const char16_t c = m_sql[m_pos];
        switch (KindOf(c)) {
        case Kind::Plain: Copy(); break;
        case Kind::Word: ReadWord(); break;
        case Kind::Quote:
            m_quote = c;
            if (c == u'\'') StartLiteral();
            Enter(Context::Quoted);
            break;
        case Kind::Bracket: Enter(Context::Bracketed); break;
        case Kind::End:
            m_out.severalStatements = !OnlyBlanksAndComments(m_sql, m_pos + 1);
            m_pos = m_sql.size();
            break;
        case Kind::Dash:
        case Kind::Slash:
            if (StartsComment(m_sql, m_pos)) {
                Copy();
                Enter(c == u'-' ? Context::LineComment : Context::BlockComment);
            } else {
                Copy();
            }
            break;
        case Kind::Marker:
            // A statement with parameters of its own keeps them: numbering
            // the rewrite's parameters around them would bind values to the
            // wrong places.
            m_ownParameters = true;
            if (c == u'$')
                ReadWord();
            else
                Copy();
            break;
        }
    }

    std::size_t PlainRunEnd() const
    {
        std::size_t end = m_pos;
        while (end < m_sql.size() && m_sql[end] < 128 && kAsciiKinds[m_sql[end]] == Kind::Plain) ++end;
        return end;
    }

    // A national literal's prefix N is dropped; a word that merely ends in N
    // before a quote stays whole.
    void ReadWord()
    {
        const std::size_t start = m_pos;
        const std::size_t wordEnd = IdentifierEnd(m_sql, m_pos);
        if (m_out.firstKeyword.empty()) m_out.firstKeyword = text::AsciiUpper(m_sql.substr(start, wordEnd - start));
        const bool nationalPrefix = wordEnd - start == 1 && (m_sql[start] == u'N' || m_sql[start] == u'n') &&
                                    wordEnd < m_sql.size() && m_sql[wordEnd] == u'\'';
        if (nationalPrefix) {
            m_pos = wordEnd;
            return;
        }
        CopyUpTo(wordEnd);
    }

    // The run up to the next quote is copied whole; the quote then either
    // doubles (and stands for itself) or closes the run.
    void ReadQuoted()
    {
        const std::size_t quote = m_sql.find(m_quote, m_pos);
        if (quote == std::u16string_view::npos) {
            CopyUpTo(m_sql.size());
            return;
        }
        CopyUpTo(quote + 1);
        if (m_pos < m_sql.size() && m_sql[m_pos] == m_quote) {
            Copy(); // a doubled quote stands for itself
            if (m_quote == u'\'') m_literalSkips.push_back(m_end - m_out.text.data() - 1);
        } else {
            m_context = Context::Code;
            if (m_quote == u'\'') EndLiteral();
        }
    }

    // The literal's text runs from after its opening quote to before its
    // closing one; doubled quotes inside are written once in its value.
    void StartLiteral()
    {
        const std::size_t quoteAt = static_cast<std::size_t>(m_end - m_out.text.data());
        m_out.parameterized.append(m_out.text, m_shapeCopied, quoteAt - m_shapeCopied);
        m_placeholders.push_back(m_out.parameterized.size());
        m_out.parameterized.push_back('?');
        m_literalStart = quoteAt + 1;
        m_literalSkips.clear();
    }

    void EndLiteral()
    {
        const std::size_t closeAt = static_cast<std::size_t>(m_end - m_out.text.data()) - 1;
        std::string value;
        std::size_t from = m_literalStart;
        for (const std::ptrdiff_t skip : m_literalSkips) {
            value.append(m_out.text, from, static_cast<std::size_t>(skip) - from);
            from = static_cast<std::size_t>(skip) + 1;
        }
        value.append(m_out.text, from, closeAt - from);
        m_out.literals.push_back(std::move(value));
        m_shapeCopied = closeAt + 1;
    }

    void ReadBlockComment()
    {
        const std::size_t end = m_sql.find(u"*/", m_pos);
        CopyUpTo(end == std::u16string_view::npos ? m_sql.size() : end + 2);
        m_context = Context::Code;
    }

    void CloseOn(char16_t closer, Context next)
    {
        const std::size_t end = m_sql.find(closer, m_pos);
        CopyUpTo(end == std::u16string_view::npos ? m_sql.size() : end + 1);
        m_context = next;
    }

    void Enter(Context context)
    {
        Copy();
        m_context = context;
    }

    void CopyUpTo(std::size_t end)
    {
        while (m_pos < end) {
            if (m_sql[m_pos] < 0x80)
                *m_end++ = static_cast<char>(m_sql[m_pos++]);
            else
                Copy();
        }
    }

    void Copy()
    {
        if (m_sql[m_pos] < 0x80) {
            *m_end++ = static_cast<char>(m_sql[m_pos++]);
            return;
        }
        const std::size_t length = IsSurrogatePairAt(m_pos) ? 2 : 1;
        m_end = text::EncodeUtf8(m_sql.substr(m_pos, length), m_end);
        m_pos += length;
    }

    // Only a high surrogate followed by a low one is a pair; a lone one is
    // one unit, so the unit after it (a closing quote, say) is read on its own.
    bool IsSurrogatePairAt(std::size_t pos) const
    {
        return m_sql[pos] >= 0xD800 && m_sql[pos] <= 0xDBFF && pos + 1 < m_sql.size() &&
               m_sql[pos + 1] >= 0xDC00 && m_sql[pos + 1] <= 0xDFFF;
    }

    std::u16string_view m_sql;
    LexedStatement& m_out;
    char* m_end;
    std::size_t m_shapeCopied = 0; // text before this is in parameterized
    std::size_t m_literalStart = 0;
    std::vector<std::ptrdiff_t> m_literalSkips; // second quotes of doubled pairs
    std::vector<std::size_t> m_placeholders;    // where parameterized holds the rewrite's ?
    bool m_ownParameters = false;
    std::size_t m_pos = 0;
    Context m_context = Context::Code;
    char16_t m_quote = 0;
};

} // namespace

LexedStatement LexStatement(std::u16string_view sql)
{
    LexedStatement out;
    Lexer(sql, out).Run();
    return out;
}

namespace {

[[noreturn]] void Refuse(HRESULT number, std::u16string_view source, std::u16string_view description,
                         std::u16string_view sqlState)
{
    ProviderError error = AdoError(number, source, description);
    error.sqlState = sqlState;
    throw ProviderFailure{{std::move(error)}};
}

} // namespace

LexedStatement LexOneStatement(std::u16string_view sql, std::u16string_view source)
{
    constexpr HRESULT kErrorsInCommand = MakeHResult(0x80040E14);
    if (sql.find(u'\0') != std::u16string_view::npos)
        Refuse(kErrorsInCommand, source, u"The command text holds a NUL character; the statement was not run.",
               u"42000");
    LexedStatement lexed = LexStatement(sql);
    if (lexed.severalStatements)
        Refuse(kErrorsInCommand, source,
               u"The command text holds more than one statement; only one statement is run per call.", u"42000");
    return lexed;
}

std::string NumberedParameters(const LexedStatement& lexed)
{
    std::string numbered;
    std::size_t from = 0;
    for (std::size_t i = 0; i < lexed.placeholders.size(); ++i) {
        numbered.append(lexed.parameterized, from, lexed.placeholders[i] - from);
        numbered += '$' + std::to_string(i + 1);
        from = lexed.placeholders[i] + 1;
    }
    numbered.append(lexed.parameterized, from);
    return numbered;
}

std::string WithLeadingColumn(const LexedStatement& lexed, std::string_view column, std::u16string_view source)
{
    if (lexed.firstKeyword != u"SELECT")
        Refuse(MakeHResult(0x80004005), source, u"Only a SELECT statement can be opened for update.", u"HY000");
    std::string upper = lexed.text;
    for (char& c : upper)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    const auto at = upper.find("SELECT") + 6;
    return lexed.text.substr(0, at) + " " + std::string(column) + "," + lexed.text.substr(at);
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

} // namespace ado
