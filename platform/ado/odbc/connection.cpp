// The ODBC provider, over unixODBC: "Provider=ODBC;DSN=...;UID=...;PWD=..."
// or "Provider=ODBC;Driver={...};Server=...;...". Everything but the
// Provider pair goes to SQLDriverConnectW as it was written: the keys are
// the driver's business. Text crosses in UTF-16 (SQLWCHAR) both ways.
//
// Errors: every diagnostic record of the failed call, errors.cpp.
//
// The dialect is chosen once per connection, from the DBMS the driver
// reports (SQLGetInfo SQL_DBMS_NAME), in kDialects below and nowhere else.
//
// Row identity, per dialect, for the client recordset's UpdateRow:
//   SQLite      _rowid_, as the SQLite provider;
//   PostgreSQL  ctid, as the PostgreSQL provider (one version of a row: the
//               rewrite fails unless exactly the row read is changed);
//   SQL Server  %%physloc%%, the row's file, page and slot in eight bytes,
//               stable while the transaction that read it holds the rows;
//   Oracle and unrecognised servers: none, and a row set cannot be opened
//   for update there.
#include "platform/ado/ado.h"
#include "platform/ado/odbc/entry.h"
#include "platform/ado/odbc/errors.h"
#include "platform/ado/odbc/handles.h"
#include "platform/ado/statement_cache.h"
#include "platform/ado/provider.h"
#include "platform/ado/sql_state.h"
#include "platform/ado/statement_text.h"
#include "platform/text/ascii.h"
#include "platform/text/utf.h"


#include <algorithm>
#include <charconv>
#include <cstring>
#include <limits>
#include <list>
#include <optional>

namespace valmorin::ado::odbc {

namespace {

enum class Identity { None, Integer, Ctid, Physloc };

// How statements and transactions go to one kind of server.
struct Dialect {
    std::u16string_view reportedAs; // the start of SQL_DBMS_NAME, compared without regard to case
    Identity identity;
    std::u16string_view identityColumn; // selected ahead of the caller's columns
    std::u16string_view identityMatch; // the UPDATE's condition on the one row read
    // Writers queue one behind the other, as on the native providers: this
    // statement starts each transaction, and the release (if any) follows
    // its end. On SQLite it is the transaction's own BEGIN (the driver's
    // implicit one is deferred and would let two writers deadlock), so the
    // driver's autocommit stays on there.
    std::u16string_view queueWriters;
    std::u16string_view releaseWriters;
    // Starts a transaction that only reads, on one snapshot and without the
    // writers' lock, where the database gives one; empty: as any other.
    std::u16string_view beginSnapshot;
    bool transactionByStatements;
    NativeMapping native;
    // Sets the command time-out once for the session, its milliseconds
    // appended. The PostgreSQL driver would otherwise send a SET before and
    // after every statement that has a query time-out of its own (SQL_ATTR_QUERY_TIMEOUT,
    // which the other dialects take).
    std::u16string_view sessionTimeout;
};

constexpr Dialect kDialects[] = {
    {u"Microsoft SQL Server", Identity::Physloc, u"%%physloc%%", u"%%physloc%% = ?",
     // An EXEC starts no implicit transaction, so the lock is the session's.
     u"EXEC sp_getapplock @Resource = N'valmorin', @LockMode = 'Exclusive', @LockOwner = 'Session'",
     u"EXEC sp_releaseapplock @Resource = N'valmorin', @LockOwner = 'Session'", u"", false, nullptr, u""},
    // The driver sends BEGIN ahead of the first statement once autocommit
    // is off, so SET TRANSACTION is the transaction's first.
    {u"PostgreSQL", Identity::Ctid, u"ctid", u"ctid = CAST(? AS tid)",
     u"SELECT pg_advisory_xact_lock(8386676915082767457)", u"",
     u"SET TRANSACTION ISOLATION LEVEL REPEATABLE READ, READ ONLY", false, nullptr, u"SET statement_timeout = "},
    {u"SQLite", Identity::Integer, u"_rowid_", u"_rowid_ = ?", u"BEGIN IMMEDIATE", u"", u"BEGIN", true,
     [](SQLINTEGER code) { return HResultOfSqliteCode(code); }, u""},
    {u"Oracle", Identity::None, u"", u"", u"", u"", u"", false, nullptr, u""},
};
constexpr Dialect kUnrecognised{u"", Identity::None, u"", u"", u"", u"", u"", false, nullptr, u""};

const Dialect& DialectOf(std::u16string_view dbms)
{
    const std::u16string upper = text::AsciiUpper(dbms);
    for (const Dialect& dialect : kDialects)
        if (upper.starts_with(text::AsciiUpper(dialect.reportedAs))) return dialect;
    return kUnrecognised;
}

// Seconds a connection attempt may take before the driver gives up: ADO's
// ConnectionTimeout default.
constexpr SQLULEN kLoginTimeoutSeconds = 15;

std::u16string Wide(std::string_view utf8)
{
    if (auto wide = text::Utf8ToUtf16(utf8)) return *wide;
    return text::Widen(utf8);
}

CComVariant Null()
{
    CComVariant value;
    value.vt = VT_NULL;
    return value;
}

bool IsInteger(SQLSMALLINT type)
{
    return type == SQL_INTEGER || type == SQL_SMALLINT || type == SQL_TINYINT || type == SQL_BIGINT ||
           type == SQL_BIT;
}

// What follows Provider=...; in the connection string, braces kept, plus
// the user and password given apart from it.
std::u16string DriverConnectionString(const ConnectionString& cs, std::u16string_view userId,
                                      std::u16string_view password)
{
    std::u16string text(cs.Text());
    const std::u16string upper = text::AsciiUpper(text);
    std::size_t start = 0;
    while (start < upper.size() && (upper[start] == u' ' || upper[start] == u';')) ++start;
    if (upper.compare(start, 8, u"PROVIDER") == 0) {
        const std::size_t end = text.find(u';', start);
        text.erase(0, end == std::u16string::npos ? text.size() : end + 1);
    }
    if (!userId.empty()) AppendPair(text, u"UID", userId);
    if (!password.empty()) AppendPair(text, u"PWD", password);
    return text;
}

class OdbcSession final : public Session {
public:
    OdbcSession(Environment environment, Connection connection, LONG commandTimeoutSeconds)
        : m_environment(std::move(environment)), m_connection(std::move(connection)),
          m_timeout(static_cast<SQLULEN>(commandTimeoutSeconds)), m_dbms(ReadDbmsName()), m_dialect(DialectOf(m_dbms))
    {
        if (m_timeout > 0 && !m_dialect.sessionTimeout.empty())
            Direct(std::u16string(m_dialect.sessionTimeout) + text::Widen(std::to_string(m_timeout * 1000)));
    }

    // A driver refuses to disconnect while a transaction is open.
    ~OdbcSession() override
    {
        if (m_inTransaction && !m_dialect.transactionByStatements) Abandon();
    }
    OdbcSession(const OdbcSession&) = delete;
    OdbcSession& operator=(const OdbcSession&) = delete;

    std::u16string DbmsName() const override { return m_dbms; }

    ExecuteOutcome Execute(std::u16string_view sql, std::span<const BoundValue> values) override
    {
        const StatementLease stmt = Run(sql, values);
        ExecuteOutcome outcome;
        const std::u16string keyword = LeadingKeyword(sql);
        if (keyword == u"INSERT" || keyword == u"UPDATE" || keyword == u"DELETE" || keyword == u"MERGE") {
            outcome.kind = ExecuteOutcome::Count::Rows;
            outcome.rows = RowCount(stmt.get());
        } else if (ColumnCount(stmt.get()) > 0) {
            outcome.kind = ExecuteOutcome::Count::NotApplicable;
        }
        return outcome;
    }

    void Query(std::u16string_view sql, std::span<const BoundValue> values, bool updatable, std::size_t maxRows,
               RowSet& set) override
    {
        set.Clear();
        if (updatable && m_dialect.identity == Identity::None)
            Throw(E_FAIL, u"The rows cannot be opened for update on " + m_dbms +
                              u" through ODBC: the provider knows no row identity there.");
        const StatementLease stmt =
            updatable ? Run(WithLeadingColumn(sql, m_dialect.identityColumn, kSource), values) : Run(sql, values);
        const SQLSMALLINT first = updatable ? 2 : 1;
        const SQLSMALLINT count = ColumnCount(stmt.get());
        std::vector<SQLSMALLINT> types;
        for (SQLSMALLINT i = first; i <= count; ++i) {
            auto [name, type] = Describe(stmt.get(), i);
            set.columns.push_back(std::move(name));
            types.push_back(type);
        }
        if (updatable) DescribeBase(stmt.get(), count, set);
        while (WantsAnotherRow(set.rows, maxRows) && Fetch(stmt.get())) {
            if (updatable) set.rowIds.push_back(ReadIdentity(stmt.get()));
            for (SQLSMALLINT i = first; i <= count; ++i)
                set.values.push_back(ColumnValue(stmt.get(), i, types[static_cast<std::size_t>(i - first)]));
            ++set.rows;
        }
    }

    void UpdateRow(const RowSet& set, std::size_t row, const std::vector<ColumnChange>& changes) override
    {
        if (set.baseTable.empty() || row >= set.rowIds.size())
            Throw(E_FAIL, u"The row set was not opened for update.");
        if (changes.empty()) return;
        const std::u16string sql = RowUpdateHead(set, changes).append(m_dialect.identityMatch);
        const StatementLease stmt(Prepared(sql, changes.size() + 1));
        Parameters parameters;
        for (std::size_t i = 0; i < changes.size(); ++i)
            parameters.Bind(stmt.get(), static_cast<SQLUSMALLINT>(i + 1), BoundOf(*changes[i].value, kSource));
        parameters.BindIdentity(stmt.get(), static_cast<SQLUSMALLINT>(changes.size() + 1), m_dialect.identity,
                                set.rowIds[row]);
        Verify(SQLExecute(stmt.get()), stmt.get(), u"to update a row");
        if (RowCount(stmt.get()) != 1)
            Throw(E_FAIL, u"The row was changed or deleted since it was read; nothing was written.", u"40001");
    }

    void Begin() override { Start(m_dialect.queueWriters); }

    // Where the dialect has no snapshot, as Begin: its release of the
    // writers' lock follows every transaction's end.
    void BeginSnapshot() override
    {
        Start(m_dialect.beginSnapshot.empty() ? m_dialect.queueWriters : m_dialect.beginSnapshot);
    }

    void Commit() override { End(SQL_COMMIT, u"COMMIT"); }

    void Rollback() override
    {
        if (m_inTransaction) End(SQL_ROLLBACK, u"ROLLBACK");
    }

    bool InTransaction() const override { return m_inTransaction; }

    // The driver's own judgement of the link; a driver that cannot tell is
    // taken at its word that the link holds.
    bool LinkLost() const override
    {
        SQLUINTEGER dead = SQL_CD_FALSE;
        const SQLRETURN rc = SQLGetConnectAttrW(Raw(), SQL_ATTR_CONNECTION_DEAD, &dead, SQL_IS_UINTEGER, nullptr);
        return SQL_SUCCEEDED(rc) && dead == SQL_CD_TRUE;
    }

private:
    // Values bound to a statement, kept until it has run.
    class Parameters {
    public:
        void BindText(SQLHSTMT stmt, SQLUSMALLINT index, std::u16string value)
        {
            Value& slot = Add();
            slot.text = std::move(value);
            slot.length = static_cast<SQLLEN>(slot.text.size() * sizeof(char16_t));
            Check(SQLBindParameter(stmt, index, SQL_PARAM_INPUT, SQL_C_WCHAR, SQL_WVARCHAR,
                                   std::max<SQLULEN>(slot.text.size(), 1), 0, slot.text.data(), slot.length,
                                   &slot.length),
                  SQL_HANDLE_STMT, stmt, u"to bind a value");
        }

        void Bind(SQLHSTMT stmt, SQLUSMALLINT index, const BoundValue& value)
        {
            switch (value.kind) {
            case BoundValue::Kind::Null: return BindNull(stmt, index);
            case BoundValue::Kind::Number: return BindNumber(stmt, index, value.number);
            // A surrogate alone goes as U+FFFD, as through the other
            // providers: a driver would pass it on to a UTF-8 store as is.
            case BoundValue::Kind::Text: return BindText(stmt, index, text::WithoutLoneSurrogates(value.text));
            }
        }

        void BindIdentity(SQLHSTMT stmt, SQLUSMALLINT index, Identity identity, std::int64_t id)
        {
            if (identity == Identity::Ctid) return BindText(stmt, index, Wide(UnpackCtid(id)));
            Value& slot = Add();
            slot.number = id;
            if (identity == Identity::Integer) {
                Check(SQLBindParameter(stmt, index, SQL_PARAM_INPUT, SQL_C_SBIGINT, SQL_BIGINT, 0, 0, &slot.number,
                                       0, nullptr),
                      SQL_HANDLE_STMT, stmt, u"to bind a row identity");
                return;
            }
            slot.length = sizeof slot.number;
            Check(SQLBindParameter(stmt, index, SQL_PARAM_INPUT, SQL_C_BINARY, SQL_BINARY, sizeof slot.number, 0,
                                   &slot.number, slot.length, &slot.length),
                  SQL_HANDLE_STMT, stmt, u"to bind a row identity");
        }

    private:
        struct Value {
            std::u16string text;
            std::int64_t number = 0;
            SQLLEN length = 0;
        };

        // Bound addresses must not move: each value has a list node of its own.
        Value& Add() { return m_values.emplace_back(); }

        void BindNull(SQLHSTMT stmt, SQLUSMALLINT index)
        {
            Value& slot = Add();
            slot.length = SQL_NULL_DATA;
            Check(SQLBindParameter(stmt, index, SQL_PARAM_INPUT, SQL_C_WCHAR, SQL_WVARCHAR, 1, 0, nullptr, 0,
                                   &slot.length),
                  SQL_HANDLE_STMT, stmt, u"to bind a NULL");
        }

        void BindNumber(SQLHSTMT stmt, SQLUSMALLINT index, LONG number)
        {
            Value& slot = Add();
            slot.number = number;
            Check(SQLBindParameter(stmt, index, SQL_PARAM_INPUT, SQL_C_SBIGINT, SQL_INTEGER, 0, 0, &slot.number, 0,
                                   nullptr),
                  SQL_HANDLE_STMT, stmt, u"to bind a number");
        }

        std::list<Value> m_values;
    };

    SQLHDBC Raw() const { return m_connection.get(); }

    // Raises a statement call's failure, with the dialect's reading of
    // native error codes.
    void Verify(SQLRETURN rc, SQLHSTMT stmt, std::u16string_view what) const
    {
        Check(rc, SQL_HANDLE_STMT, stmt, what, m_dialect.native);
    }

    std::u16string ReadDbmsName() const
    {
        SQLWCHAR name[128] = {};
        SQLSMALLINT bytes = 0;
        Check(SQLGetInfoW(Raw(), SQL_DBMS_NAME, name, sizeof name, &bytes), SQL_HANDLE_DBC, Raw(),
              u"to name the DBMS");
        const auto units = std::min<std::size_t>(static_cast<std::size_t>(bytes) / sizeof(SQLWCHAR), 127);
        return std::u16string(name, units);
    }

    // A transaction, begun by its first statement (none: the driver's own
    // implicit BEGIN).
    void Start(std::u16string_view first)
    {
        if (!m_dialect.transactionByStatements) SetAutocommit(false);
        try {
            if (!first.empty()) Direct(std::u16string(first));
        } catch (const ProviderFailure&) {
            if (!m_dialect.transactionByStatements) Abandon();
            throw;
        }
        m_inTransaction = true;
    }

    void SetAutocommit(bool on)
    {
        const auto value = reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(on ? SQL_AUTOCOMMIT_ON : SQL_AUTOCOMMIT_OFF));
        Check(SQLSetConnectAttrW(Raw(), SQL_ATTR_AUTOCOMMIT, value, SQL_IS_UINTEGER), SQL_HANDLE_DBC, Raw(),
              on ? u"to end a transaction" : u"to begin a transaction");
    }

    // A refused COMMIT leaves the transaction open, so that the caller can
    // still roll it back.
    void End(SQLSMALLINT completion, std::u16string_view statement)
    {
        if (m_dialect.transactionByStatements) {
            Direct(std::u16string(statement));
        } else {
            Check(SQLEndTran(SQL_HANDLE_DBC, Raw(), completion), SQL_HANDLE_DBC, Raw(),
                  completion == SQL_COMMIT ? u"to commit" : u"to roll back");
            SetAutocommit(true);
            ReleaseWriters();
        }
        m_inTransaction = false;
    }

    // The transaction is over and its work kept or dropped; a release the
    // server refuses leaves a lock the session's end gives back, and must not
    // make the caller believe that the work was lost.
    void ReleaseWriters()
    {
        if (m_dialect.releaseWriters.empty()) return;
        try {
            Direct(std::u16string(m_dialect.releaseWriters));
        } catch (const ProviderFailure&) {
        }
    }

    // Rolls back what a failed start or a closing session leaves open.
    void Abandon() noexcept
    {
        SQLEndTran(SQL_HANDLE_DBC, Raw(), SQL_ROLLBACK);
        SQLSetConnectAttrW(Raw(), SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_ON),
                           SQL_IS_UINTEGER);
        try {
            ReleaseWriters();
        } catch (...) {
        }
    }

    Statement NewStatement()
    {
        SQLHANDLE raw = SQL_NULL_HANDLE;
        Check(SQLAllocHandle(SQL_HANDLE_STMT, Raw(), &raw), SQL_HANDLE_DBC, Raw(), u"to make a statement");
        Statement stmt(raw);
        if (m_timeout > 0 && m_dialect.sessionTimeout.empty())
            SQLSetStmtAttrW(raw, SQL_ATTR_QUERY_TIMEOUT, reinterpret_cast<SQLPOINTER>(m_timeout), SQL_IS_UINTEGER);
        return stmt;
    }

    // A statement that runs as the text says, once.
    StatementLease Direct(std::u16string text)
    {
        Statement stmt = NewStatement();
        Verify(SQLExecDirectW(stmt.get(), text.data(), static_cast<SQLINTEGER>(text.size())), stmt.get(),
               u"to run a statement");
        return StatementLease(std::move(stmt));
    }

    // The prepared form of a text, prepared once per connection. The
    // driver's refusal, or markers other in number than the values, fail
    // the statement.
    SQLHSTMT Prepared(std::u16string_view sql, std::size_t values)
    {
        if (Statement* cached = m_cache.Find(sql)) return cached->get();
        RefuseNul(sql, kSource);
        Statement stmt = NewStatement();
        std::u16string text(sql);
        Verify(SQLPrepareW(stmt.get(), text.data(), static_cast<SQLINTEGER>(text.size())), stmt.get(),
               u"to prepare a statement");
        // A driver that cannot count the markers leaves it to SQLExecute.
        SQLSMALLINT count = 0;
        if (SQL_SUCCEEDED(SQLNumParams(stmt.get(), &count)))
            RefuseMismatchedValues(static_cast<std::size_t>(count), values);
        return m_cache.Insert(sql, std::move(stmt)).first->get();
    }

    // A statement without values runs as it is written; one with values is
    // prepared once per connection and run with them bound, texts as
    // national text parameters (SQL_WVARCHAR): a bound value keeps its
    // trailing blanks whatever the server makes of an N'...' literal.
    StatementLease Run(std::u16string_view sql, std::span<const BoundValue> values)
    {
        if (values.empty()) {
            RefuseNul(sql, kSource);
            return Direct(std::u16string(sql));
        }
        SQLHSTMT stmt = Prepared(sql, values.size());
        StatementLease lease(stmt);
        Parameters parameters;
        for (std::size_t i = 0; i < values.size(); ++i)
            parameters.Bind(stmt, static_cast<SQLUSMALLINT>(i + 1), values[i]);
        Verify(SQLExecute(stmt), stmt, u"to run a statement");
        return lease;
    }

    SQLSMALLINT ColumnCount(SQLHSTMT stmt) const
    {
        SQLSMALLINT count = 0;
        Verify(SQLNumResultCols(stmt, &count), stmt, u"to count the columns");
        return count;
    }

    LONG RowCount(SQLHSTMT stmt) const
    {
        SQLLEN rows = 0;
        Verify(SQLRowCount(stmt, &rows), stmt, u"to count the rows changed");
        return static_cast<LONG>(std::clamp<SQLLEN>(rows, std::numeric_limits<LONG>::min(),
                                                    std::numeric_limits<LONG>::max()));
    }

    std::pair<std::u16string, SQLSMALLINT> Describe(SQLHSTMT stmt, SQLSMALLINT column) const
    {
        SQLWCHAR name[256] = {};
        SQLSMALLINT length = 0, type = 0, digits = 0, nullable = 0;
        SQLULEN size = 0;
        Verify(SQLDescribeColW(stmt, column, name, 256, &length, &type, &size, &digits, &nullable), stmt,
               u"to describe a column");
        const auto units = std::min<std::size_t>(static_cast<std::size_t>(length), 255);
        return {std::u16string(name, units), type};
    }

    std::u16string TextAttribute(SQLHSTMT stmt, SQLSMALLINT column, SQLUSMALLINT field) const
    {
        SQLWCHAR value[256] = {};
        SQLSMALLINT bytes = 0;
        Verify(SQLColAttributeW(stmt, column, field, value, sizeof value, &bytes, nullptr), stmt,
               u"to describe a column's origin");
        const auto units = std::min<std::size_t>(static_cast<std::size_t>(bytes) / sizeof(SQLWCHAR), 255);
        return std::u16string(value, units);
    }

    // The table and column names behind each column, as the driver knows them.
    void DescribeBase(SQLHSTMT stmt, SQLSMALLINT count, RowSet& set) const
    {
        for (SQLSMALLINT i = 2; i <= count; ++i) {
            std::u16string table = TextAttribute(stmt, i, SQL_DESC_BASE_TABLE_NAME);
            std::u16string column = TextAttribute(stmt, i, SQL_DESC_BASE_COLUMN_NAME);
            if (table.empty() || column.empty() || (!set.baseTable.empty() && set.baseTable != table))
                Throw(E_FAIL, u"The rows cannot be opened for update: every column must come from one table.");
            set.baseTable = std::move(table);
            set.baseColumns.push_back(std::move(column));
        }
    }

    // True while a row is current.
    bool Fetch(SQLHSTMT stmt) const
    {
        const SQLRETURN rc = SQLFetch(stmt);
        if (rc == SQL_NO_DATA) return false;
        Verify(rc, stmt, u"to read a row");
        return true;
    }

    // A column's text read whole, in as many pieces as the driver hands it.
    std::optional<std::u16string> Text(SQLHSTMT stmt, SQLSMALLINT column) const
    {
        std::u16string value;
        char16_t piece[256];
        for (;;) {
            SQLLEN indicator = 0;
            const SQLRETURN rc = SQLGetData(stmt, column, SQL_C_WCHAR, piece, sizeof piece, &indicator);
            if (rc == SQL_NO_DATA) return value;
            Verify(rc, stmt, u"to read a value");
            if (indicator == SQL_NULL_DATA) return std::nullopt;
            const bool whole = rc == SQL_SUCCESS;
            const std::size_t units =
                whole ? static_cast<std::size_t>(indicator) / sizeof(char16_t) : std::size(piece) - 1;
            value.append(piece, std::min(units, std::size(piece) - 1));
            if (whole) return value;
        }
    }

    CComVariant ColumnValue(SQLHSTMT stmt, SQLSMALLINT column, SQLSMALLINT type) const
    {
        if (IsInteger(type)) {
            std::int64_t number = 0;
            SQLLEN indicator = 0;
            Verify(SQLGetData(stmt, column, SQL_C_SBIGINT, &number, sizeof number, &indicator), stmt,
                   u"to read a number");
            if (indicator == SQL_NULL_DATA) return Null();
            if (number >= std::numeric_limits<LONG>::min() && number <= std::numeric_limits<LONG>::max())
                return CComVariant(static_cast<LONG>(number));
            return CComVariant(std::u16string_view(text::Widen(std::to_string(number))));
        }
        const std::optional<std::u16string> value = Text(stmt, column);
        return value ? CComVariant(std::u16string_view(*value)) : Null();
    }

    std::int64_t ReadIdentity(SQLHSTMT stmt) const
    {
        if (m_dialect.identity == Identity::Ctid) return PackCtid(text::Utf16ToUtf8(Text(stmt, 1).value_or(u"")));
        std::int64_t id = 0;
        SQLLEN indicator = 0;
        const SQLSMALLINT target = m_dialect.identity == Identity::Integer ? SQL_C_SBIGINT : SQL_C_BINARY;
        Verify(SQLGetData(stmt, 1, target, &id, sizeof id, &indicator), stmt, u"to read a row identity");
        return id;
    }

    // A ctid "(block,offset)" packed into the row set's 64-bit identity.
    static std::int64_t PackCtid(std::string_view ctid)
    {
        unsigned long long block = 0;
        unsigned offset = 0;
        if (ctid.size() < 2) return 0;
        const char* end = ctid.data() + ctid.size();
        const char* at = std::from_chars(ctid.data() + 1, end, block).ptr + 1;
        if (at < end) std::from_chars(at, end, offset);
        return static_cast<std::int64_t>((block << 16) | offset);
    }

    static std::string UnpackCtid(std::int64_t id)
    {
        const auto bits = static_cast<unsigned long long>(id);
        return "(" + std::to_string(bits >> 16) + "," + std::to_string(bits & 0xFFFF) + ")";
    }

    Environment m_environment;
    Connection m_connection;
    SQLULEN m_timeout;
    std::u16string m_dbms;
    const Dialect& m_dialect;
    bool m_inTransaction = false;
    StatementCache<Statement> m_cache{64}; // freed before the connection closes
};

class OdbcProvider final : public Provider {
public:
    std::u16string Name() const override { return std::u16string(kSource); }

    std::unique_ptr<Session> Connect(const ConnectionString& cs, std::u16string_view userId,
                                     std::u16string_view password, LONG commandTimeoutSeconds) override
    {
        Environment environment = NewEnvironment();
        SQLHANDLE raw = SQL_NULL_HANDLE;
        Check(SQLAllocHandle(SQL_HANDLE_DBC, environment.get(), &raw), SQL_HANDLE_ENV, environment.get(),
              u"to make a connection");
        Connection connection(raw);
        SQLSetConnectAttrW(raw, SQL_ATTR_LOGIN_TIMEOUT, reinterpret_cast<SQLPOINTER>(kLoginTimeoutSeconds),
                           SQL_IS_UINTEGER);
        std::u16string text = DriverConnectionString(cs, userId, password);
        const SQLRETURN rc = SQLDriverConnectW(raw, nullptr, text.data(), static_cast<SQLSMALLINT>(text.size()),
                                               nullptr, 0, nullptr, SQL_DRIVER_NOPROMPT);
        if (!SQL_SUCCEEDED(rc)) ThrowFromHandle(SQL_HANDLE_DBC, raw, u"to connect");
        return std::make_unique<OdbcSession>(std::move(environment), std::move(connection), commandTimeoutSeconds);
    }

private:
    static Environment NewEnvironment()
    {
        SQLHANDLE raw = SQL_NULL_HANDLE;
        if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &raw)))
            Throw(E_OUTOFMEMORY, u"The ODBC driver manager cannot make an environment.");
        Environment environment(raw);
        Check(SQLSetEnvAttr(raw, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0),
              SQL_HANDLE_ENV, raw, u"to choose ODBC 3");
        return environment;
    }
};

} // namespace

std::shared_ptr<Provider> NewProvider() { return std::make_shared<OdbcProvider>(); }

} // namespace valmorin::ado::odbc
