// The statement lexer, which decides what runs: a shared statement form,
// when there is one, must give back exactly the text with its literals put
// back, the text that runs must never hold more statements than the
// statement as written, and a statement read against the one before must
// come out as if lexed afresh.
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
void CheckSharedForm(const ado::LexedStatement& lexed)
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
// doubled), read against the first as a session reads its next statement:
// it must come out as if lexed afresh.
void CheckReadAgainstPrevious(const ado::LexedStatement& lexed)
{
    std::u16string changed;
    std::size_t from = 0;
    for (std::size_t i = 0; i < lexed.valuesAt.size(); ++i) {
        changed.append(lexed.around, from, lexed.valuesAt[i] - from);
        std::u16string value = text::Utf8ToUtf16(lexed.literals[i]).value_or(u"");
        std::reverse(value.begin(), value.end());
        for (const char16_t c : value) changed.append(c == u'\'' ? 2 : 1, c);
        from = lexed.valuesAt[i];
    }
    changed.append(lexed.around, from);
    const ado::LexedStatement fresh = ado::LexStatement(changed);
    ado::LexedStatement reused = lexed;
    try {
        ado::LexOneStatement(changed, u"fuzz", reused);
    } catch (const ado::ProviderFailure&) {
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

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::u16string sql(size / 2, u'\0');
    std::memcpy(sql.data(), data, sql.size() * 2);
    const ado::LexedStatement lexed = ado::LexStatement(sql);
    CheckSharedForm(lexed);
    CheckReadAgainstPrevious(lexed);
    if (!lexed.severalStatements) {
        if (const auto text = text::Utf8ToUtf16(lexed.text)) FUZZ_CHECK(!ado::LexStatement(*text).severalStatements);
    }
    return 0;
}
