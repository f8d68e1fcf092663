// The SQLite provider: "Provider=SQLite;Data Source=<file>". The file must
// exist; creating a store is an administration step, not a side effect of
// connecting. "Busy Timeout=<ms>" sets how long a statement waits for
// another connection's lock (by default the command time-out); 0 makes a
// locked store fail at once, for a caller with better things to do than
// wait.
//
// Result codes and their HRESULTs: errors.cpp.
#include "platform/ado/ado.h"
#include "platform/ado/sqlite/entry.h"
#include "platform/ado/provider.h"
#include "platform/ado/sqlite/errors.h"
#include "platform/ado/sqlite/handles.h"
#include "platform/ado/sqlite/wal_watch.h"
#include "platform/ado/statement_cache.h"
#include "platform/ado/statement_text.h"
#include "platform/text/utf.h"

#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <filesystem>
#include <limits>

namespace valmorin::ado::sqlite {

namespace {

bool IsAscii(std::string_view text)
{
    return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// Most stored texts are ASCII: widened straight into the value's BSTR,
// one unit per byte, with no conversion buffer between.
CComVariant AsciiValue(std::string_view text)
{
    CComVariant value;
    value.vt = VT_BSTR;
    value.bstrVal = SysAllocStringLen(nullptr, static_cast<UINT>(text.size()));
    if (value.bstrVal) std::copy(text.begin(), text.end(), value.bstrVal);
    return value;
}

// The room for values' conversions a session keeps from call to call.
constexpr std::size_t kKeptRoom = 64 * 1024;

// wide is room for the text's conversion, reused from value to value.
CComVariant ColumnValue(sqlite3_stmt* stmt, int column, std::u16string& wide)
{
    switch (sqlite3_column_type(stmt, column)) {
    case SQLITE_NULL: {
        CComVariant value;
        value.vt = VT_NULL;
        return value;
    }
    case SQLITE_INTEGER: {
        const sqlite3_int64 number = sqlite3_column_int64(stmt, column);
        if (number >= std::numeric_limits<LONG>::min() && number <= std::numeric_limits<LONG>::max())
            return CComVariant(static_cast<LONG>(number));
        break; // wider than a LONG: handed over as its decimal text
    }
    default: break;
    }
    // SQLite's own conversion to UTF-16 reads U+FFFE and U+FFFF back as
    // U+FFFD; the text comes back as it was given when it is well-formed.
    const auto* utf8 = reinterpret_cast<const char*>(sqlite3_column_text(stmt, column));
    const auto utf8Bytes = static_cast<std::size_t>(sqlite3_column_bytes(stmt, column));
    if (utf8 && IsAscii(std::string_view(utf8, utf8Bytes))) return AsciiValue(std::string_view(utf8, utf8Bytes));
    wide.clear();
    if (text::AppendUtf8AsUtf16(std::string_view(utf8 ? utf8 : "", utf8 ? utf8Bytes : 0), wide)) {
        CComVariant value{std::u16string_view(wide)};
        if (wide.capacity() > kKeptRoom) std::u16string().swap(wide); // one huge text keeps no room for all
        return value;
    }
    const auto* text = static_cast<const char16_t*>(sqlite3_column_text16(stmt, column));
    const int bytes = sqlite3_column_bytes16(stmt, column);
    return CComVariant(std::u16string_view(text ? text : u"", static_cast<std::size_t>(bytes) / 2));
}

// Room for a text's UTF-8, kept from value to value and grown as longer
// texts come; room past kKeptRoom is given back by the next value that
// does not need it.
class Utf8Buffer {
public:
    std::string_view Assign(std::u16string_view text)
    {
        const std::size_t needed = text.size() * 3;
        if (needed > m_capacity || (m_capacity > kKeptRoom && needed <= kKeptRoom)) {
            m_bytes = std::make_unique<char[]>(needed);
            m_capacity = needed;
        }
        // An ASCII start (most values are ASCII throughout) is narrowed as
        // it is; the rest, from the first unit above 0x7F, encoded.
        std::size_t ascii = 0;
        for (; ascii < text.size() && text[ascii] < 0x80; ++ascii) m_bytes[ascii] = static_cast<char>(text[ascii]);
        char* end = m_bytes.get() + ascii;
        if (ascii < text.size()) end = text::EncodeUtf8(text.substr(ascii), end);
        return {m_bytes.get(), static_cast<std::size_t>(end - m_bytes.get())};
    }

private:
    std::unique_ptr<char[]> m_bytes;
    std::size_t m_capacity = 0;
};

const char* ColumnName(sqlite3_stmt* stmt, int column)
{
    const char* name = sqlite3_column_name(stmt, column);
    return name ? name : "";
}

// Reads rows as SQLite steps to them. The statement is the cursor's own,
// never one of the session's kept ones, which the session's other calls
// reset or finalize while the cursor is still open.
class SqliteCursor final : public RowCursor {
public:
    SqliteCursor(sqlite3* db, Statement stmt) : m_db(db), m_stmt(std::move(stmt)) {}

    bool Next(RowSet& row) override
    {
        row.values.clear();
        row.rows = 0;
        const int count = sqlite3_column_count(m_stmt.get());
        if (row.columns.empty())
            for (int i = 0; i < count; ++i) row.columns.push_back(text::Widen(ColumnName(m_stmt.get(), i)));
        if (m_done) return false;
        const int rc = sqlite3_step(m_stmt.get());
        if (rc == SQLITE_DONE) {
            m_done = true;
            return false;
        }
        if (rc != SQLITE_ROW) ThrowFromDatabase(m_db, rc);
        for (int i = 0; i < count; ++i) row.values.push_back(ColumnValue(m_stmt.get(), i, m_wide));
        row.rows = 1;
        return true;
    }

private:
    sqlite3* m_db;
    Statement m_stmt;
    std::u16string m_wide;
    bool m_done = false;
};

class SqliteSession final : public Session {
public:
    explicit SqliteSession(Database db) : m_db(std::move(db)) {}

    ExecuteOutcome Execute(std::u16string_view sql, std::span<const BoundValue> values) override
    {
        RefuseIfFileReplaced();
        CachedStatement& cached = Prepared(sql);
        const StatementLease stmt(cached.stmt.get());
        BindValues(stmt.get(), values);
        while (Step(stmt.get())) {
        }
        ExecuteOutcome outcome;
        if (cached.changesRows) {
            outcome.kind = ExecuteOutcome::Count::Rows;
            outcome.rows = sqlite3_changes(m_db.get());
        } else if (sqlite3_column_count(stmt.get()) > 0) {
            outcome.kind = ExecuteOutcome::Count::NotApplicable;
        }
        return outcome;
    }

    void Query(std::u16string_view sql, std::span<const BoundValue> values, bool updatable, std::size_t maxRows,
               RowSet& set) override
    {
        RefuseIfFileReplaced();
        set.Clear();
        if (updatable) return QueryForUpdate(sql, values, set);
        CachedStatement& cached = Prepared(sql);
        const StatementLease stmt(cached.stmt.get());
        BindValues(stmt.get(), values);
        // The columns are read after the first step, which prepares the
        // statement anew when another connection changed the schema.
        bool onRow = Step(stmt.get());
        set.columns = ColumnNames(cached);
        const int count = sqlite3_column_count(stmt.get());
        for (; onRow; onRow = WantsAnotherRow(set.rows, maxRows) && Step(stmt.get())) {
            for (int i = 0; i < count; ++i) set.values.push_back(ColumnValue(stmt.get(), i, m_wide));
            ++set.rows;
        }
    }

    void UpdateRow(const RowSet& set, std::size_t row, const std::vector<ColumnChange>& changes) override
    {
        if (set.baseTable.empty() || row >= set.rowIds.size())
            Throw(E_FAIL, u"The row set was not opened for update.");
        if (changes.empty()) return;
        // Prepared once for the rows of a rewrite, which all change the
        // same columns: compiling the UPDATE and its triggers for each
        // row cost twenty times its run.
        const StatementLease stmt(Prepared(RowUpdateHead(set, changes) + u"_rowid_ = ?").stmt.get());
        std::vector<BoundValue> values;
        for (const ColumnChange& change : changes) values.push_back(BoundOf(*change.value, kSource));
        BindEach(stmt.get(), values, Binding::InBuffers);
        sqlite3_bind_int64(stmt.get(), static_cast<int>(values.size()) + 1, set.rowIds[row]);
        while (Step(stmt.get())) {
        }
        if (sqlite3_changes(m_db.get()) != 1)
            Throw(E_FAIL, u"The row was changed or deleted since it was read; nothing was written.", 0, u"40001");
    }

    // The cursor's statement is its own, prepared for it: the session's
    // kept ones are reset by its other calls while the cursor is open.
    std::unique_ptr<RowCursor> OpenCursor(std::u16string_view sql, std::span<const BoundValue> values) override
    {
        RefuseIfFileReplaced();
        Statement stmt = PrepareOne(sql);
        BindValues(stmt.get(), values, Binding::Copied);
        return std::make_unique<SqliteCursor>(m_db.get(), std::move(stmt));
    }

    // IMMEDIATE takes the write lock at the start: two writers queue on the
    // busy time-out instead of one failing when it upgrades a read lock.
    void Begin() override { Run(u"BEGIN IMMEDIATE"); }
    // In WAL mode, a deferred transaction reads the snapshot of its first
    // read, whatever the writers commit meanwhile.
    void BeginSnapshot() override { Run(u"BEGIN"); }
    void Commit() override { Run(u"COMMIT"); }
    void Rollback() override
    {
        if (InTransaction()) Run(u"ROLLBACK");
    }
    bool InTransaction() const override { return !sqlite3_get_autocommit(m_db.get()); }

    // The file this session opened is no longer the store's (renamed over,
    // removed), or its journal went from under it (an I/O error): only a
    // new session reaches the store's files again.
    bool LinkLost() const override { return FileReplaced() || (sqlite3_errcode(m_db.get()) & 0xFF) == SQLITE_IOERR; }

private:
    bool FileReplaced() const
    {
        int moved = 0;
        return sqlite3_file_control(m_db.get(), "main", SQLITE_FCNTL_HAS_MOVED, &moved) == SQLITE_OK && moved != 0;
    }

    // Looked at once a second at most (it costs a stat): a store replaced
    // while the session was open is never read again after that second.
    // The call fails as a lost link does, and the next one opens a session
    // on the store's file as it now is.
    void RefuseIfFileReplaced()
    {
        const auto now = std::chrono::steady_clock::now();
        if (now < m_nextReplacementCheck) return;
        m_nextReplacementCheck = now + std::chrono::seconds(1);
        if (FileReplaced())
            Throw(E_FAIL, u"The database file was replaced or removed since it was opened.", SQLITE_IOERR, u"08S01");
    }

    // The statement prepared for the text, once per session while it stays
    // among the most recently used.
    CachedStatement& Prepared(std::u16string_view sql)
    {
        if (CachedStatement* cached = m_cache.Find(sql)) return *cached;
        const std::u16string keyword = LeadingKeyword(sql);
        const bool changesRows =
            keyword == u"INSERT" || keyword == u"UPDATE" || keyword == u"DELETE" || keyword == u"REPLACE";
        return *m_cache.Insert(std::u16string(sql), CachedStatement{PrepareOne(sql), {}, -1, changesRows}).first;
    }

    // Texts are bound as UTF-8 made here, into buffers kept from call to
    // call (SQLite's own reading of UTF-16 takes a leading U+FEFF or U+FFFE
    // for a byte-order mark). SQLite reads a bound text where it lies for
    // as long as the statement runs: a statement that outlives the call (a
    // cursor's) has its texts copied, since the session's next call fills
    // the buffers again.
    enum class Binding { InBuffers, Copied };
    void BindValues(sqlite3_stmt* stmt, std::span<const BoundValue> values, Binding binding = Binding::InBuffers)
    {
        RefuseMismatchedValues(static_cast<std::size_t>(sqlite3_bind_parameter_count(stmt)), values.size());
        BindEach(stmt, values, binding);
    }

    // The values bound to the first markers, in order.
    void BindEach(sqlite3_stmt* stmt, std::span<const BoundValue> values, Binding binding)
    {
        if (m_values.size() < values.size()) m_values.resize(values.size());
        for (std::size_t i = 0; i < values.size(); ++i) {
            const int index = static_cast<int>(i) + 1;
            int rc = SQLITE_OK;
            switch (values[i].kind) {
            case BoundValue::Kind::Null: rc = sqlite3_bind_null(stmt, index); break;
            case BoundValue::Kind::Number: rc = sqlite3_bind_int(stmt, index, values[i].number); break;
            case BoundValue::Kind::Text: {
                // A null pointer would bind NULL: the empty text is a text.
                const std::string_view utf8 = m_values[i].Assign(values[i].text);
                if (utf8.size() > static_cast<std::size_t>(INT_MAX))
                    Throw(DB_E_DATAOVERFLOW, u"A text value is longer than the database takes.", 0, u"22001");
                rc = sqlite3_bind_text(stmt, index, utf8.empty() ? "" : utf8.data(), static_cast<int>(utf8.size()),
                                       binding == Binding::Copied ? SQLITE_TRANSIENT : SQLITE_STATIC);
                break;
            }
            }
            if (rc != SQLITE_OK) ThrowFromDatabase(m_db.get(), rc);
        }
    }

    // The row identity is selected ahead of the caller's columns.
    void QueryForUpdate(std::u16string_view sql, std::span<const BoundValue> values, RowSet& set)
    {
        const Statement stmt = PrepareOne(WithLeadingColumn(sql, u"_rowid_", kSource));
        BindValues(stmt.get(), values);
        const int count = sqlite3_column_count(stmt.get());
        for (int i = 1; i < count; ++i) set.columns.push_back(text::Widen(ColumnName(stmt.get(), i)));
        DescribeBase(stmt.get(), set);
        while (Step(stmt.get())) {
            for (int i = 1; i < count; ++i) set.values.push_back(ColumnValue(stmt.get(), i, m_wide));
            ++set.rows;
            set.rowIds.push_back(sqlite3_column_int64(stmt.get(), 0));
        }
    }

    // The names widened once per preparation of the statement: only a
    // schema change, which makes SQLite prepare it anew, changes them.
    static const std::vector<std::u16string>& ColumnNames(CachedStatement& shared)
    {
        sqlite3_stmt* stmt = shared.stmt.get();
        const int preparation = sqlite3_stmt_status(stmt, SQLITE_STMTSTATUS_REPREPARE, 0);
        if (shared.namesOfPreparation != preparation) {
            shared.wide.clear();
            for (int i = 0; i < sqlite3_column_count(stmt); ++i)
                shared.wide.push_back(text::Widen(ColumnName(stmt, i)));
            shared.namesOfPreparation = preparation;
        }
        return shared.wide;
    }

    static void DescribeBase(sqlite3_stmt* stmt, RowSet& set)
    {
        const int count = sqlite3_column_count(stmt);
        for (int i = 1; i < count; ++i) {
            const auto* table = static_cast<const char16_t*>(sqlite3_column_table_name16(stmt, i));
            const auto* origin = static_cast<const char16_t*>(sqlite3_column_origin_name16(stmt, i));
            if (!table || !origin || (!set.baseTable.empty() && set.baseTable != table))
                Throw(E_FAIL, u"The rows cannot be opened for update: every column must come from one table.");
            set.baseTable = table;
            set.baseColumns.emplace_back(origin);
        }
    }

    // One statement: a text with a NUL or with a second statement after
    // its first is refused whole.
    Statement PrepareOne(std::u16string_view sql)
    {
        RefuseNul(sql, kSource);
        const std::string utf8 = text::Utf16ToUtf8(sql);
        const char* tail = nullptr;
        Statement stmt = Prepare(utf8, &tail);
        const std::string_view rest(tail ? tail : "", tail ? utf8.data() + utf8.size() - tail : 0);
        if (!rest.empty() && Prepare(rest, nullptr, false)) RefuseSecondStatement(kSource);
        return stmt;
    }

    // With required, a text without a statement (blanks, comments) fails.
    Statement Prepare(std::string_view sql, const char** tail = nullptr, bool required = true)
    {
        sqlite3_stmt* raw = nullptr;
        const int rc = sqlite3_prepare_v2(m_db.get(), sql.data(), static_cast<int>(sql.size()), &raw, tail);
        Statement stmt(raw);
        if (rc != SQLITE_OK) ThrowFromDatabase(m_db.get(), rc);
        if (!stmt && required) Throw(DB_E_ERRORSINCOMMAND, u"The command text holds no statement.", 0, u"42000");
        return stmt;
    }

    // True while a row is current.
    bool Step(sqlite3_stmt* stmt)
    {
        const int rc = sqlite3_step(stmt);
        if (rc == SQLITE_ROW) return true;
        if (rc == SQLITE_DONE) return false;
        ThrowFromDatabase(m_db.get(), rc);
    }

    void Run(std::u16string_view sql)
    {
        const StatementLease stmt(Prepared(sql).stmt.get());
        while (Step(stmt.get())) {
        }
    }

    Database m_db;
    StatementCache<CachedStatement> m_cache{64}; // finalized before the database closes
    std::u16string m_wide;                       // a text value's conversion, its buffer reused
    std::vector<Utf8Buffer> m_values;            // the values bound, until the statement's next run
    std::chrono::steady_clock::time_point m_nextReplacementCheck{};
};

// How long a statement waits for another connection's lock, in ms.
int LockWaitMs(const ConnectionString& cs, LONG commandTimeoutSeconds)
{
    const std::u16string given = cs.Get(u"Busy Timeout");
    if (given.empty()) {
        const long long waitMs = commandTimeoutSeconds == 0 ? INT_MAX : commandTimeoutSeconds * 1000LL;
        return static_cast<int>(std::min<long long>(waitMs, INT_MAX));
    }
    long long waitMs = 0;
    for (const char16_t digit : given) {
        waitMs = waitMs * 10 + (digit - u'0');
        if (digit < u'0' || digit > u'9' || waitMs > INT_MAX)
            Throw(E_INVALIDARG, u"Busy Timeout is a number of milliseconds up to 2147483647, not \"" + given + u"\".",
                  0, u"HY024");
    }
    return static_cast<int>(waitMs);
}

// The name of the system's own VFS with no sleep in it, for connections
// that never wait for another connection's lock: besides the busy handler,
// SQLite sleeps between its tries at a WAL read lock (some ten seconds in
// all, whatever the busy timeout); without the sleeps those tries end at
// once, as a lock time-out. Registered at first use, never the default.
const char* NeverSleepingVfs()
{
    static const char* const name = [] {
        static sqlite3_vfs vfs = *sqlite3_vfs_find(nullptr);
        vfs.zName = "valmorin-never-sleeps";
        vfs.pNext = nullptr;
        vfs.xSleep = [](sqlite3_vfs*, int) { return 0; };
        sqlite3_vfs_register(&vfs, 0);
        return vfs.zName;
    }();
    return name;
}

class SqliteProvider final : public Provider {
public:
    std::u16string Name() const override { return std::u16string(kSource); }

    std::unique_ptr<StoreWatch> Watch(const ConnectionString& cs, std::u16string_view, std::u16string_view,
                                      WatchOptions) override
    {
        const std::u16string source = cs.Get(u"Data Source");
        return source.empty() ? nullptr : WatchWalIndex(text::Utf16ToUtf8(source));
    }

    std::unique_ptr<Session> Connect(const ConnectionString& cs, std::u16string_view, std::u16string_view,
                                     LONG commandTimeoutSeconds) override
    {
        const std::u16string source = cs.Get(u"Data Source");
        if (source.empty()) Throw(E_FAIL, u"The connection string names no Data Source.", 0, u"08001");
        const std::string path = text::Utf16ToUtf8(source);
        std::error_code ec;
        if (!std::filesystem::is_regular_file(path, ec))
            Throw(E_FAIL, u"The database file \"" + source + u"\" does not exist.", SQLITE_CANTOPEN, u"08001");
        const int waitMs = LockWaitMs(cs, commandTimeoutSeconds);
        sqlite3* raw = nullptr;
        const int rc = sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX,
                                       waitMs == 0 ? NeverSleepingVfs() : nullptr);
        Database db(raw);
        if (rc != SQLITE_OK) {
            if (!db) Throw(E_OUTOFMEMORY, u"Out of memory.");
            ThrowFromDatabase(db.get(), rc);
        }
        sqlite3_extended_result_codes(db.get(), 1);
        sqlite3_busy_timeout(db.get(), waitMs);
        // Plans do not follow the values bound. Where a plan could use a
        // value (an analysed index, a partial one), SQLite would prepare
        // the statement again at every binding, which costs a lookup many
        // times what the lookup does.
        sqlite3_db_config(db.get(), SQLITE_DBCONFIG_ENABLE_QPSG, 1, nullptr);
        auto session = std::make_unique<SqliteSession>(std::move(db));
        session->Execute(u"PRAGMA schema_version", {}); // a file that is not a database fails here
        // Pages are read, never mapped (SQLite's default, kept whatever it
        // was built with): another program that truncates the file, as a
        // copy over it does, would end this process with SIGBUS at the next
        // read of a mapped page.
        session->Execute(u"PRAGMA mmap_size = 0", {});
        return session;
    }
};

} // namespace

// SQLite counts its memory under one process-wide lock, taken at every
// allocation: sessions on several threads would queue on it. The count is
// turned off before SQLite is first used; a program that set SQLite up
// first keeps its own choice (sqlite3_config then refuses, harmlessly).
std::shared_ptr<Provider> NewProvider()
{
    sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0);
    return std::make_shared<SqliteProvider>();
}

} // namespace valmorin::ado::sqlite
