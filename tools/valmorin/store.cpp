#include "store.h"

#include "platform/ado/provider.h"
#include "platform/datasource/catalogue.h"
#include "platform/text/utf.h"
#include "schema_sqlite.h"

#include <sqlite3.h>

#include <filesystem>
#include <memory>

namespace {

struct Closer {
    void operator()(sqlite3* db) const { sqlite3_close(db); }
};
using Database = std::unique_ptr<sqlite3, Closer>;

int CountStoreTables(sqlite3* db, std::string& error)
{
    sqlite3_stmt* stmt = nullptr;
    int count = -1;
    if (sqlite3_prepare_v2(db,
                           "SELECT COUNT(*) FROM sqlite_schema WHERE type = 'table' AND name IN "
                           "('QM_TABLES', 'QM_DICO', 'QM_VALMOR')",
                           -1, &stmt, nullptr) == SQLITE_OK &&
        sqlite3_step(stmt) == SQLITE_ROW)
        count = sqlite3_column_int(stmt, 0);
    else
        error = sqlite3_errmsg(db);
    sqlite3_finalize(stmt);
    return count;
}

bool RunScript(sqlite3* db, const char* script, std::string& error)
{
    char* message = nullptr;
    const int rc = sqlite3_exec(db, script, nullptr, nullptr, &message);
    if (rc != SQLITE_OK) error = message ? message : sqlite3_errstr(rc);
    sqlite3_free(message);
    return rc == SQLITE_OK;
}

InitOutcome Failure(std::string message) { return {false, true, std::move(message)}; }

} // namespace

std::string DefaultStorePath() { return datasource::DefaultStorePath().string(); }

std::u16string DefaultStoreConnectionString() { return datasource::DefaultStoreConnectionString(); }

InitOutcome InitStore(const std::u16string& connectionString)
{
    const ado::ConnectionString cs(connectionString);
    if (ado::AsciiUpper(cs.Get(u"Provider")) != u"SQLITE")
        return Failure("init creates SQLite stores only (Provider=SQLite;Data Source=<file>)");
    const std::filesystem::path file = text::Utf16ToUtf8(cs.Get(u"Data Source"));
    if (file.empty()) return Failure("the connection string names no Data Source");
    std::error_code ec;
    if (file.has_parent_path()) std::filesystem::create_directories(file.parent_path(), ec);
    if (ec) return Failure("cannot create the folder " + file.parent_path().string() + ": " + ec.message());

    sqlite3* raw = nullptr;
    const int rc = sqlite3_open_v2(file.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    Database db(raw);
    if (rc != SQLITE_OK) return Failure("cannot open " + file.string() + ": " + sqlite3_errstr(rc));
    sqlite3_busy_timeout(db.get(), 15000);
    std::string error;
    const int existing = CountStoreTables(db.get(), error);
    if (existing < 0) return Failure(file.string() + " is not a usable SQLite database: " + error);
    if (existing == 3) return {false, false, "the store " + file.string() + " already exists; nothing was changed"};
    if (existing > 0)
        return Failure(file.string() + " holds part of a store only; it was left as it is");
    if (!RunScript(db.get(), "PRAGMA journal_mode = WAL", error) ||
        !RunScript(db.get(), (std::string("BEGIN;") + kSqliteSchema + "COMMIT;").c_str(), error))
        return Failure("cannot create the store in " + file.string() + ": " + error);
    return {true, false, "created the store " + file.string()};
}
