// Values through a statement's shape into SQLite. Whatever the values
// hold, the text sent is the shape's own, the statement shown is printf's
// formatting of the same texts, and SQLite hands back what was bound.
#include "fuzz_check.h"
#include "platform/text/utf.h"
#include "qmt/db/ado_statement.h"
#include "qmt/diag/format.h"

#include <sqlite3.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace {

constexpr qmt::StatementShape kProbe{u"SELECT N'%s', %d, N'%03d|%d', '%s', N'const'"};

struct Database {
    Database() { sqlite3_open(":memory:", &db); }
    ~Database() { sqlite3_close(db); }
    sqlite3* db = nullptr;
};

std::u16string UpToNul(const std::u16string& text) { return text.substr(0, text.find(u'\0')); }

std::u16string DoubledQuotes(const std::u16string& text)
{
    std::u16string doubled;
    for (const char16_t c : text) doubled.append(c == u'\'' ? 2 : 1, c);
    return doubled;
}

LONG TakeNumber(const std::uint8_t*& data, std::size_t& size)
{
    std::int32_t number = 0;
    const std::size_t taken = size < sizeof number ? size : sizeof number;
    std::memcpy(&number, data, taken);
    data += taken;
    size -= taken;
    return number;
}

// What SQLite hands back of a bound value, as text.
std::string Column(sqlite3_stmt* stmt, int column)
{
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, column));
    return text ? std::string(text, static_cast<std::size_t>(sqlite3_column_bytes(stmt, column))) : std::string();
}

std::string Utf8(const qmt::AdoStatement::Value& value)
{
    return value.isText ? valmorin::text::Utf16ToUtf8(value.text) : std::to_string(value.number);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static Database database;
    const LONG first = TakeNumber(data, size), second = TakeNumber(data, size), third = TakeNumber(data, size);
    std::u16string texts(size / 2, u'\0');
    std::memcpy(texts.data(), data, texts.size() * 2);
    const std::u16string given = texts.substr(0, texts.size() / 2), quoted = texts.substr(texts.size() / 2);

    const qmt::AdoStatement statement =
        qmt::AdoStatement::Of<kProbe>(given, first, second, third, qmt::Doubled(quoted));
    FUZZ_CHECK(statement.sent() == u"SELECT ?, ?, ?, ?, ?");
    FUZZ_CHECK(statement.shown() == qmt::Format(kProbe.Text(), UpToNul(given).c_str(), first, second, third,
                                                DoubledQuotes(UpToNul(quoted)).c_str()));

    sqlite3_stmt* stmt = nullptr;
    const std::string sent = valmorin::text::Utf16ToUtf8(statement.sent());
    FUZZ_CHECK(sqlite3_prepare_v2(database.db, sent.c_str(), -1, &stmt, nullptr) == SQLITE_OK);
    std::string bound[5];
    std::u16string room;
    for (std::size_t i = 0; i < statement.valueCount(); ++i) {
        const qmt::AdoStatement::Value value = statement.value(i, room);
        const int index = static_cast<int>(i) + 1;
        bound[i] = Utf8(value);
        if (!value.isText)
            sqlite3_bind_int(stmt, index, value.number);
        else
            sqlite3_bind_text(stmt, index, bound[i].data(), static_cast<int>(bound[i].size()), SQLITE_STATIC);
    }
    FUZZ_CHECK(sqlite3_step(stmt) == SQLITE_ROW);
    FUZZ_CHECK(Column(stmt, 0) == valmorin::text::Utf16ToUtf8(given));
    FUZZ_CHECK(sqlite3_column_int(stmt, 1) == first);
    FUZZ_CHECK(Column(stmt, 2) == valmorin::text::Utf16ToUtf8(qmt::Format(u"%03d|%d", second, third)));
    FUZZ_CHECK(Column(stmt, 3) == valmorin::text::Utf16ToUtf8(quoted));
    FUZZ_CHECK(Column(stmt, 4) == "const");
    sqlite3_finalize(stmt);
    return 0;
}
