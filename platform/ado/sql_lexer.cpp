#include "platform/ado/sql_lexer.h"

#include "platform/ado/provider.h"
#include "platform/text/ascii.h"
#include "platform/text/utf.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <type_traits>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace valmorin::ado {

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
// units (blanks, operators...) and the letters of words after the first
// are copied as they come.
enum class Kind : unsigned char { Plain, Word, Quote, Bracket, End, Dash, Slash, Marker, Nul };

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
    kinds[0] = Kind::Nul;
    return kinds;
}();

// The ASCII units that end a run of code: whatever is neither plain nor part
// of a word.
constexpr std::size_t kCodeStopCount = [] {
    std::size_t count = 0;
    for (const Kind kind : kAsciiKinds) count += kind > Kind::Word ? 1 : 0;
    return count;
}();
constexpr std::array<char16_t, kCodeStopCount> kCodeStops = [] {
    std::array<char16_t, kCodeStopCount> stops{};
    std::size_t next = 0;
    for (char16_t c = 0; c < 128; ++c)
        if (kAsciiKinds[c] > Kind::Word) stops[next++] = c;
    return stops;
}();

#if defined(__SSE2__)
// Sixteen units narrowed to bytes with unsigned saturation: an ASCII unit
// keeps its value, a unit from 0x80 to 0x7FFF becomes 0xFF and one from
// 0x8000 becomes 0 (it is read as negative), so a byte is itself only when
// its unit is, and every non-ASCII unit gives a byte with its top bit set or
// a NUL.
__m128i NarrowSixteen(const char16_t* in)
{
    return _mm_packus_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in)),
                            _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 8)));
}

// Nonzero when one of the bytes has its top bit set or is one of kCodeStops
// or equals more. The comparisons are unrolled whatever the optimisation
// level, as the stops are compile-time constants.
template <std::size_t... I>
int EndsIn(__m128i bytes, __m128i ends, std::index_sequence<I...>)
{
    ends = _mm_or_si128(ends, bytes);
    ((ends = _mm_or_si128(ends, _mm_cmpeq_epi8(bytes, _mm_set1_epi8(static_cast<char>(kCodeStops[I]))))), ...);
    return _mm_movemask_epi8(ends);
}
#endif

// Copies sixteen units as sixteen bytes when all are ASCII and none ends the
// run (in code, one of kCodeStops, NUL among them; in a quoted run, its
// quote or a NUL), and says whether it did. Without SSE2 it never does, and
// the caller goes unit by unit.
bool CopySixteenCode([[maybe_unused]] const char16_t* in, [[maybe_unused]] char* out)
{
#if defined(__SSE2__)
    static_assert(kCodeStops[0] == 0, "a NUL must end a run: wide units narrow to it");
    const __m128i bytes = NarrowSixteen(in);
    if (EndsIn(bytes, _mm_setzero_si128(), std::make_index_sequence<kCodeStopCount>()) != 0) return false;
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), bytes);
    return true;
#else
    return false;
#endif
}

bool CopySixteenQuoted([[maybe_unused]] const char16_t* in, [[maybe_unused]] char* out,
                       [[maybe_unused]] char16_t quote)
{
#if defined(__SSE2__)
    const __m128i bytes = NarrowSixteen(in);
    const __m128i quotes = _mm_or_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8(static_cast<char>(quote))),
                                        _mm_cmpeq_epi8(bytes, _mm_setzero_si128()));
    if (EndsIn(bytes, quotes, std::index_sequence<>()) != 0) return false;
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), bytes);
    return true;
#else
    return false;
#endif
}

// A value as written inside its quotes, where each quote is doubled, as
// the value it stands for.
void CollapseDoubledQuotes(std::string& value)
{
    std::size_t kept = 0;
    for (std::size_t i = 0; i < value.size(); ++i) {
        value[kept++] = value[i];
        if (value[i] == '\'') ++i;
    }
    value.resize(kept);
}

std::size_t IdentifierEnd(std::u16string_view sql, std::size_t pos)
{
    while (pos < sql.size() && IsIdentifierChar(sql[pos])) ++pos;
    return pos;
}

} // namespace

namespace {

enum class Context { Code, Quoted, Bracketed, LineComment, BlockComment };

// One pass over the text: each unit is looked at once, written out as
// UTF-8 and moves the reader between code, quoted runs and comments. The
// output's buffers are the caller's, so that a session lexing statement
// after statement reuses their room instead of allocating it anew.
class Lexer {
public:
    Lexer(std::u16string_view sql, LexedStatement& out) : m_sql(sql), m_out(out)
    {
        m_out.severalStatements = false;
        m_out.holdsNul = false;
        m_out.firstKeyword.clear();
        m_out.parameterized.clear();
        m_out.literals.clear();
        m_out.placeholders.clear();
        m_out.around.clear();
        m_out.valuesAt.clear();
        m_out.text.resize(sql.size() * 3); // the most UTF-8 one UTF-16 unit can need
        m_end = m_out.text.data();
    }

    void Run()
    {
        while (m_pos < m_sql.size()) {
            switch (m_context) {
            case Context::Code: ReadCode(); break;
            case Context::Quoted: ReadQuoted(); break;
            case Context::Bracketed: CopyThrough(u']'); break;
            case Context::LineComment: CopyThrough(u'\n'); break;
            case Context::BlockComment: ReadBlockComment(); break;
            }
        }
        m_out.text.resize(static_cast<std::size_t>(m_end - m_out.text.data()));
        // An unterminated literal leaves the statement without a shared form.
        const bool unterminated = m_context == Context::Quoted && m_quote == u'\'';
        if (!unterminated) m_out.parameterized.append(m_out.text, m_shapeCopied);
        if (!unterminated) m_out.around.append(m_sql.substr(m_aroundCopied));
        if (unterminated || m_ownParameters || !SharedFormGivesTheText()) {
            m_out.parameterized.clear();
            m_out.literals.clear();
            m_out.placeholders.clear();
            m_out.around.clear();
            m_out.valuesAt.clear();
        }
    }

private:
    // The shared form stands for the statement only if putting its literals
    // back, in order and with their quotes doubled, gives exactly the text
    // that would run as written. Whatever the lexer misread, a statement
    // that fails this runs as written instead.
    bool SharedFormGivesTheText() const
    {
        const std::string& shape = m_out.parameterized;
        const std::vector<std::size_t>& placeholders = m_out.placeholders;
        std::size_t length = shape.size() - placeholders.size();
        for (const std::string& literal : m_out.literals) length += literal.size() + 2;
        if (length > m_out.text.size()) return false;
        std::size_t textAt = 0;
        std::size_t shapeAt = 0;
        auto matches = [&](std::string_view piece) {
            if (m_out.text.compare(textAt, piece.size(), piece) != 0) return false;
            textAt += piece.size();
            return true;
        };
        for (std::size_t i = 0; i < placeholders.size(); ++i) {
            if (!matches(std::string_view(shape).substr(shapeAt, placeholders[i] - shapeAt)) || !matches("'"))
                return false;
            for (std::size_t from = 0; from <= m_out.literals[i].size();) {
                const std::size_t quote = m_out.literals[i].find('\'', from);
                const std::size_t to = quote == std::string::npos ? m_out.literals[i].size() : quote + 1;
                if (!matches(std::string_view(m_out.literals[i]).substr(from, to - from))) return false;
                if (quote != std::string::npos && !matches("'")) return false;
                from = to + (quote == std::string::npos ? 1 : 0);
            }
            if (!matches("'")) return false;
            shapeAt = placeholders[i] + 1;
        }
        return matches(std::string_view(shape).substr(shapeAt)) && textAt == m_out.text.size();
    }

    // Runs until the code ends: at a quote, a bracket, a comment or the
    // statement's end.
    void ReadCode()
    {
        while (m_pos < m_sql.size()) {
            if (m_keywordRead)
                CopyAsciiWhile([](char16_t c) { return kAsciiKinds[c] <= Kind::Word; }, CopySixteenCode);
            else
                CopyAsciiWhile([](char16_t c) { return kAsciiKinds[c] == Kind::Plain; });
            if (m_pos == m_sql.size()) return;
            const char16_t c = m_sql[m_pos];
            if (c >= 0x80) {
                ReadWordChar();
                continue;
            }
            switch (kAsciiKinds[c]) {
            case Kind::Plain: Put(c); break;
            case Kind::Word: ReadWordChar(); break;
            case Kind::Nul:
                m_out.holdsNul = true;
                Put(c);
                break;
            case Kind::Quote:
                m_quote = c;
                if (c == u'\'') StartLiteral();
                Enter(Context::Quoted);
                return;
            case Kind::Bracket: Enter(Context::Bracketed); return;
            case Kind::End: ReadEnd(); return;
            case Kind::Dash:
            case Kind::Slash:
                if (StartsComment(m_sql, m_pos)) {
                    Enter(c == u'-' ? Context::LineComment : Context::BlockComment);
                    return;
                }
                Put(c);
                break;
            case Kind::Marker:
                // A statement with parameters of its own keeps them: numbering
                // the rewrite's parameters around them would bind values to
                // the wrong places. A $ inside a word is part of its name.
                if (c == u'$' && m_pos > 0 && IsIdentifierChar(m_sql[m_pos - 1])) {
                    Put(c);
                    break;
                }
                m_ownParameters = true;
                if (c == u'$')
                    ReadWordChar();
                else
                    Put(c);
                break;
            }
        }
    }

    // The first word of the statement is its keyword; later words are
    // copied unit by unit.
    void ReadWordChar()
    {
        if (m_keywordRead) {
            CopyOne();
            return;
        }
        m_keywordRead = true;
        const std::size_t wordEnd = IdentifierEnd(m_sql, m_pos);
        m_out.firstKeyword.assign(m_sql.substr(m_pos, wordEnd - m_pos));
        for (char16_t& k : m_out.firstKeyword) k = text::AsciiUpper(k);
        while (m_pos < wordEnd) {
            CopyAsciiWhile([](char16_t c) { return kAsciiKinds[c] == Kind::Word; });
            if (m_pos < wordEnd) CopyOne(); // a $ or a unit past ASCII
        }
    }

    // Whatever follows a top-level ';' is not run; a NUL there still marks
    // the text, as it would anywhere. In a trigger's definition the ';'
    // that ends each statement of its body is part of it: the definition
    // ends at the ';' after its END, as SQLite reads it.
    void ReadEnd()
    {
        if (InTriggerBody()) {
            Put(u';');
            return;
        }
        const std::u16string_view rest = m_sql.substr(m_pos + 1);
        m_out.severalStatements = !OnlyBlanksAndComments(m_sql, m_pos + 1);
        if (rest.find(u'\0') != std::u16string_view::npos) m_out.holdsNul = true;
        m_pos = m_sql.size();
    }

    bool InTriggerBody()
    {
        if (m_out.firstKeyword != u"CREATE") return false;
        if (!m_definesTrigger) m_definesTrigger = DefinesTrigger();
        return *m_definesTrigger && !WordBefore(m_pos, u"END");
    }

    // CREATE [TEMP | TEMPORARY] TRIGGER
    bool DefinesTrigger() const
    {
        std::size_t at = 0;
        auto nextWord = [&] {
            while (at < m_sql.size() && IsSpace(m_sql[at])) ++at;
            const std::size_t end = IdentifierEnd(m_sql, at);
            std::u16string word(m_sql.substr(at, end - at));
            for (char16_t& c : word) c = text::AsciiUpper(c);
            at = end;
            return word;
        };
        nextWord(); // CREATE
        std::u16string word = nextWord();
        if (word == u"TEMP" || word == u"TEMPORARY") word = nextWord();
        return word == u"TRIGGER";
    }

    // True when the word before pos, blanks between, is `word` (upper case).
    bool WordBefore(std::size_t pos, std::u16string_view word) const
    {
        while (pos > 0 && IsSpace(m_sql[pos - 1])) --pos;
        if (pos < word.size()) return false;
        const std::size_t start = pos - word.size();
        for (std::size_t i = 0; i < word.size(); ++i)
            if (text::AsciiUpper(m_sql[start + i]) != word[i]) return false;
        return start == 0 || !IsIdentifierChar(m_sql[start - 1]);
    }

    // A national literal's prefix N, a word of that one letter just before
    // the quote, is dropped; a word that merely ends in N stays whole.
    bool AfterNationalPrefix() const
    {
        return m_pos > 0 && (m_sql[m_pos - 1] == u'N' || m_sql[m_pos - 1] == u'n') &&
               (m_pos == 1 || !IsIdentifierChar(m_sql[m_pos - 2]));
    }

    // The run up to the next quote is copied; the quote then either doubles
    // (and stands for itself) or closes the run.
    void ReadQuoted()
    {
        if (!CopyThroughQuote()) return;
        if (m_pos < m_sql.size() && m_sql[m_pos] == m_quote) {
            Put(m_quote); // a doubled quote stands for itself
            return;
        }
        m_context = Context::Code;
        if (m_quote == u'\'') EndLiteral();
    }

    // True when the quote was found and copied.
    bool CopyThroughQuote()
    {
        const char16_t quote = m_quote;
        while (m_pos < m_sql.size()) {
            CopyAsciiWhile([quote](char16_t c) { return c != quote && c != 0; },
                           [quote](const char16_t* in, char* out) { return CopySixteenQuoted(in, out, quote); });
            if (m_pos == m_sql.size()) break;
            if (m_sql[m_pos] == quote) {
                Put(quote);
                return true;
            }
            CopyOne();
        }
        return false;
    }

    // The literal's text runs from after its opening quote to before its
    // closing one; doubled quotes inside are written once in its value.
    void StartLiteral()
    {
        if (AfterNationalPrefix()) --m_end;
        const std::size_t quoteAt = Written();
        m_out.parameterized.append(m_out.text, m_shapeCopied, quoteAt - m_shapeCopied);
        m_out.placeholders.push_back(m_out.parameterized.size());
        m_out.parameterized.push_back('?');
        m_out.around.append(m_sql.substr(m_aroundCopied, m_pos + 1 - m_aroundCopied));
        m_out.valuesAt.push_back(m_out.around.size());
        m_literalStart = quoteAt + 1;
    }

    void EndLiteral()
    {
        m_aroundCopied = m_pos - 1; // the closing quote
        const std::size_t closeAt = Written() - 1;
        const std::string_view quoted = std::string_view(m_out.text).substr(m_literalStart, closeAt - m_literalStart);
        std::string& value = m_out.literals.emplace_back(quoted);
        if (value.find('\'') != std::string::npos) CollapseDoubledQuotes(value);
        m_shapeCopied = closeAt + 1;
    }

    void ReadBlockComment()
    {
        while (m_pos < m_sql.size()) {
            const bool closes = m_sql[m_pos] == u'*' && m_pos + 1 < m_sql.size() && m_sql[m_pos + 1] == u'/';
            CopyOne();
            if (closes) {
                CopyOne();
                m_context = Context::Code;
                return;
            }
        }
    }

    void CopyThrough(char16_t closer)
    {
        while (m_pos < m_sql.size()) {
            const char16_t c = m_sql[m_pos];
            CopyOne();
            if (c == closer) break;
        }
        m_context = Context::Code;
    }

    void Enter(Context context)
    {
        CopyOne();
        if (context == Context::LineComment || context == Context::BlockComment) CopyOne(); // -- or /*
        m_context = context;
    }

    // Copies the ASCII units that need no decision in one tight loop, sixteen
    // at a time while copySixteen (which must refuse exactly the units that
    // plain refuses, and every non-ASCII one) takes them: the output is
    // written through a char pointer, which may alias anything, so the
    // reader's position is kept in registers rather than in members.
    template <typename Plain, typename CopySixteen = std::nullptr_t>
    void CopyAsciiWhile(Plain plain, CopySixteen copySixteen = nullptr)
    {
        const char16_t* in = m_sql.data() + m_pos;
        const char16_t* const stop = m_sql.data() + m_sql.size();
        char* out = m_end;
        if constexpr (!std::is_same_v<CopySixteen, std::nullptr_t>) {
            while (stop - in >= 16 && copySixteen(in, out)) {
                in += 16;
                out += 16;
            }
        }
        while (in != stop && *in < 0x80 && plain(*in)) *out++ = static_cast<char>(*in++);
        m_pos = static_cast<std::size_t>(in - m_sql.data());
        m_end = out;
    }

    void Put(char16_t ascii)
    {
        *m_end++ = static_cast<char>(ascii);
        ++m_pos;
    }

    void CopyOne()
    {
        const char16_t c = m_sql[m_pos];
        if (c < 0x80) {
            if (c == 0) m_out.holdsNul = true;
            Put(c);
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

    std::size_t Written() const { return static_cast<std::size_t>(m_end - m_out.text.data()); }

    std::u16string_view m_sql;
    LexedStatement& m_out;
    char* m_end;
    std::size_t m_shapeCopied = 0;  // text before this is in parameterized
    std::size_t m_aroundCopied = 0; // units of the statement before this are in around
    std::size_t m_literalStart = 0;
    bool m_keywordRead = false;
    bool m_ownParameters = false;
    std::optional<bool> m_definesTrigger; // read at the first ';' of a CREATE
    std::size_t m_pos = 0;
    Context m_context = Context::Code;
    char16_t m_quote = 0;
};

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

namespace {

// Unit for unit, as bytes: an ordering comparison of UTF-16 goes unit by unit.
bool SameUnits(std::u16string_view a, std::u16string_view b)
{
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(char16_t)) == 0;
}

// The literal's value that starts at from: up to the first quote that is not
// doubled, which is returned; npos when the text ends first or holds a NUL
// there, which the full reading reports.
std::size_t ValueEnd(std::u16string_view sql, std::size_t from)
{
    for (std::size_t i = from; i < sql.size(); ++i) {
        if (sql[i] == u'\0') return std::u16string_view::npos;
        if (sql[i] != u'\'') continue;
        if (i + 1 < sql.size() && sql[i + 1] == u'\'') {
            ++i;
            continue;
        }
        return i;
    }
    return std::u16string_view::npos;
}

// Reads sql against the statement lexed into `into` before, when the two
// differ only in the values of their string literals: every run of text
// between two values is the same, unit for unit, so the reading of the text
// around the values is the same as before, and only the values are read
// into `into`, with the text the shared form gives with them put back.
// False when they differ otherwise: `into` then holds values and a text
// half read, and must be lexed afresh before it is used.
bool ReadAgainst(std::u16string_view sql, LexedStatement& into)
{
    if (into.parameterized.empty() || into.holdsNul || into.severalStatements ||
        into.valuesAt.size() != into.literals.size() || into.placeholders.size() != into.literals.size())
        return false;
    const std::u16string_view around = into.around;
    // A statement without values is the same statement only when the whole
    // text is the same: a kept text that is merely a prefix of the new one
    // (ID_TABLE = 5 kept, ID_TABLE = 57 given) says nothing of the rest.
    // Its reading is left as it was: nothing of it is ever half read.
    if (into.valuesAt.empty()) return SameUnits(sql, around);
    // Statements of other shapes mostly differ before their first value:
    // they are told apart before anything is written.
    const std::size_t head = into.valuesAt.front();
    if (!SameUnits(sql.substr(0, head), around.substr(0, head))) return false;
    std::string& text = into.text;
    text.resize(into.parameterized.size() + 2 * into.placeholders.size() + 3 * sql.size());
    char* out = text.data();
    std::size_t at = 0;       // in sql
    std::size_t aroundAt = 0; // in around
    std::size_t shapeAt = 0;  // in parameterized
    for (std::size_t i = 0; i < into.valuesAt.size(); ++i) {
        const std::u16string_view between = around.substr(aroundAt, into.valuesAt[i] - aroundAt);
        if (i > 0 && !SameUnits(sql.substr(at, between.size()), between)) return false; // the first, above
        at += between.size();
        const std::size_t end = ValueEnd(sql, at);
        if (end == std::u16string_view::npos) return false;
        out = std::copy_n(into.parameterized.data() + shapeAt, into.placeholders[i] - shapeAt, out);
        *out++ = '\'';
        char* const valueOut = out;
        out = text::EncodeUtf8(sql.substr(at, end - at), out);
        std::string& value = into.literals[i];
        value.assign(valueOut, out);
        if (value.find('\'') != std::string::npos) CollapseDoubledQuotes(value);
        *out++ = '\'';
        at = end;
        aroundAt = into.valuesAt[i];
        shapeAt = into.placeholders[i] + 1;
    }
    if (!SameUnits(sql.substr(at), around.substr(aroundAt))) return false; // the tail, whole
    out = std::copy(into.parameterized.begin() + static_cast<std::ptrdiff_t>(shapeAt), into.parameterized.end(), out);
    text.resize(static_cast<std::size_t>(out - text.data()));
    return true;
}

constexpr HRESULT kErrorsInCommand = MakeHResult(0x80040E14);

void RefuseUnrunnable(const LexedStatement& lexed, std::u16string_view source)
{
    if (lexed.holdsNul)
        Refuse(kErrorsInCommand, source, u"The command text holds a NUL character; the statement was not run.",
               u"42000");
    if (lexed.severalStatements)
        Refuse(kErrorsInCommand, source,
               u"The command text holds more than one statement; only one statement is run per call.", u"42000");
}

} // namespace

void LexOneStatement(std::u16string_view sql, std::u16string_view source, LexedStatement& into)
{
    if (!ReadAgainst(sql, into)) Lexer(sql, into).Run();
    RefuseUnrunnable(into, source);
}

const LexedStatement& RecentStatements::LexOne(std::u16string_view sql, std::u16string_view source)
{
    // A statement kept whose reading fails is left half read; one that
    // failed to match is never handed out before it matches or is lexed anew.
    // The one next to be replaced is tried last, by LexOneStatement, so that
    // no statement kept is read against twice.
    for (std::size_t i = 0; i < m_kept.size(); ++i) {
        if (i == m_replaced || !ReadAgainst(sql, m_kept[i])) continue;
        RefuseUnrunnable(m_kept[i], source);
        return m_kept[i];
    }
    LexedStatement& replaced = m_kept[m_replaced];
    m_replaced = (m_replaced + 1) % m_kept.size();
    LexOneStatement(sql, source, replaced);
    return replaced;
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

} // namespace valmorin::ado
