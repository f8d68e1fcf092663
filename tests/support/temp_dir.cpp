#include "support/temp_dir.h"

#include "platform/ado/connection_string.h"
#include "platform/text/utf.h"

#include <sqlite3.h>

#include <stdexcept>
#include <vector>

#include <unistd.h>

TempDir::TempDir()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "valmorin-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    m_path = pattern;
}

TempDir::~TempDir()
{
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
}

namespace {

sqlite3* OpenOrThrow(const std::filesystem::path& file, int flags)
{
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(file.c_str(), &db, flags, nullptr) != SQLITE_OK) {
        sqlite3_close(db);
        throw std::runtime_error("cannot open " + file.string());
    }
    return db;
}

} // namespace

void CreateSqliteFile(const std::filesystem::path& file, const std::string& script)
{
    sqlite3* db = OpenOrThrow(file, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    char* error = nullptr;
    const int rc = sqlite3_exec(db, script.empty() ? "PRAGMA user_version = 0" : script.c_str(), nullptr, nullptr, &error);
    const std::string message = error ? error : "";
    sqlite3_free(error);
    sqlite3_close(db);
    if (rc != SQLITE_OK) throw std::runtime_error("script failed: " + message);
}

std::vector<std::u16string> QueryColumn(const std::filesystem::path& file, const std::string& sql)
{
    sqlite3* db = OpenOrThrow(file, SQLITE_OPEN_READONLY);
    sqlite3_stmt* stmt = nullptr;
    std::vector<std::u16string> values;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) == SQLITE_OK) {
        while (sqlite3_step(stmt) == SQLITE_ROW) {
            if (sqlite3_column_type(stmt, 0) == SQLITE_NULL) {
                values.emplace_back(u"<NULL>");
                continue;
            }
            // The stored bytes as they are: SQLite's own UTF-16 reads U+FFFE as U+FFFD.
            const auto* utf8 = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
            const std::string_view stored(utf8 ? utf8 : "", static_cast<std::size_t>(sqlite3_column_bytes(stmt, 0)));
            values.push_back(valmorin::text::Utf8ToUtf16(stored).value_or(valmorin::text::Widen(stored)));
        }
    }
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    return values;
}

std::u16string SqliteConnectionString(const std::filesystem::path& file)
{
    return valmorin::ado::ConnectionString()
        .With(u"Provider", u"SQLite")
        .With(u"Data Source", valmorin::text::Widen(file.string()))
        .Text();
}
