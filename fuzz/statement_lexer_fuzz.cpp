// The statement lexer, which decides what runs: a shared statement form,
// when there is one, must give back exactly the text with its literals put
// back, the text that runs must never hold more statements than the
// statement as written, and a statement read against the one before must
// come out as if lexed afresh, whether it differs from that one in its
// values or anywhere else (a unit changed, added or dropped, a tail cut or
// appended).
#include "fuzz_check.h"
#include "platform/ado/provider.h"
#include "platform/ado/sql_lexer.h"
#include "platform/text/utf.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace {

std::string Quoted(const std::string& literal)
{
    std::string quoted = "'";
    for (const char c : literal) {
        quoted += c;
        if (c == '\'') quoted += c;
    }
    return quoted + "'";
}

// A ? of the shared form stands for a literal exactly where the text has a
// quote: a ? that the text keeps is the text's own.
void CheckSharedForm(const valmorin::ado::LexedStatement& lexed)
{
    if (lexed.parameterized.empty()) {
        FUZZ_CHECK(lexed.literals.empty());
        return;
    }
    std::string rebuilt;
    std::size_t next = 0;
    for (const char c : lexed.parameterized) {
        const bool literalHere = c == '?' && rebuilt.size() < lexed.text.size() && lexed.text[rebuilt.size()] == '\'';
        if (literalHere && next < lexed.literals.size())
            rebuilt += Quoted(lexed.literals[next++]);
        else
            rebuilt += c;
    }
    FUZZ_CHECK(next == lexed.literals.size());
    FUZZ_CHECK(rebuilt == lexed.text);
}

// The same statement with other values (each one reversed, its quotes
// doubled); the statement itself when it has no shared form.
std::u16string WithOtherValues(const std::u16string& sql, const valmorin::ado::LexedStatement& lexed)
{
    if (lexed.parameterized.empty()) return sql;
    std::u16string changed;
    std::size_t from = 0;
    for (std::size_t i = 0; i < lexed.valuesAt.size(); ++i) {
        changed.append(lexed.around, from, lexed.valuesAt[i] - from);
        std::u16string value = valmorin::text::Utf8ToUtf16(lexed.literals[i]).value_or(u"");
        std::reverse(value.begin(), value.end());
        for (const char16_t c : value) changed.append(c == u'\'' ? 2 : 1, c);
        from = lexed.valuesAt[i];
    }
    changed.append(lexed.around, from);
    return changed;
}

// The statement changed outside its values as the edit says: one unit
// replaced, inserted or dropped at a place, or the text cut there, or a
// unit appended.
std::u16string Edited(std::u16string sql, std::uint16_t place, std::uint8_t operation, char16_t unit)
{
    const std::size_t at = sql.empty() ? 0 : place % (sql.size() + 1);
    switch (operation % 5) {
    case 0:
        if (at < sql.size()) sql[at] = unit;
        break;
    case 1: sql.insert(at, 1, unit); break;
    case 2:
        if (at < sql.size()) sql.erase(at, 1);
        break;
    case 3: sql.resize(at); break;
    case 4: sql.push_back(unit); break;
    }
    return sql;
}

// The changed statement read against the first as a session reads its next
// statement, alone and among the statements a session keeps: it must come
// out as if lexed afresh.
void CheckReadAgainst(const std::u16string& first, const valmorin::ado::LexedStatement& lexed,
                      const std::u16string& changed)
{
    const valmorin::ado::LexedStatement fresh = valmorin::ado::LexStatement(changed);
    valmorin::ado::RecentStatements recent;
    try {
        recent.LexOne(first, u"fuzz");
    } catch (const valmorin::ado::ProviderFailure&) {
    }
    const valmorin::ado::LexedStatement* kept = nullptr;
    try {
        kept = &recent.LexOne(changed, u"fuzz");
    } catch (const valmorin::ado::ProviderFailure&) {
        FUZZ_CHECK(fresh.holdsNul || fresh.severalStatements);
    }
    if (kept) {
        FUZZ_CHECK(kept->text == fresh.text);
        FUZZ_CHECK(kept->parameterized == fresh.parameterized);
        FUZZ_CHECK(kept->literals == fresh.literals);
        FUZZ_CHECK(kept->placeholders == fresh.placeholders);
    }
    valmorin::ado::LexedStatement reused = lexed;
    try {
        valmorin::ado::LexOneStatement(changed, u"fuzz", reused);
    } catch (const valmorin::ado::ProviderFailure&) {
        FUZZ_CHECK(fresh.holdsNul || fresh.severalStatements);
        return;
    }
    FUZZ_CHECK(reused.text == fresh.text);
    FUZZ_CHECK(reused.parameterized == fresh.parameterized);
    FUZZ_CHECK(reused.literals == fresh.literals);
    FUZZ_CHECK(reused.placeholders == fresh.placeholders);
    FUZZ_CHECK(reused.around == fresh.around);
    FUZZ_CHECK(reused.valuesAt == fresh.valuesAt);
    FUZZ_CHECK(reused.firstKeyword == fresh.firstKeyword);
}

} // namespace

// The input: the statement's UTF-16 units, then five bytes saying how the
// second statement differs from it (a place, an operation, a unit).
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    constexpr std::size_t kEditBytes = 5;
    if (size < kEditBytes) return 0;
    const std::uint8_t* edit = data + size - kEditBytes;
    std::u16string sql((size - kEditBytes) / 2, u'\0');
    std::memcpy(sql.data(), data, sql.size() * 2);
    const valmorin::ado::LexedStatement lexed = valmorin::ado::LexStatement(sql);
    CheckSharedForm(lexed);
    CheckReadAgainst(sql, lexed, WithOtherValues(sql, lexed));
    const auto place = static_cast<std::uint16_t>(edit[0] | edit[1] << 8);
    const auto unit = static_cast<char16_t>(edit[3] | edit[4] << 8);
    CheckReadAgainst(sql, lexed, Edited(WithOtherValues(sql, lexed), place, edit[2], unit));
    CheckReadAgainst(sql, lexed, Edited(sql, place, edit[2], unit));
    if (!lexed.severalStatements) {
        if (const auto text = valmorin::text::Utf8ToUtf16(lexed.text))
            FUZZ_CHECK(!valmorin::ado::LexStatement(*text).severalStatements);
    }
    return 0;
}
