// The PostgreSQL provider, over libpq:
// "Provider=PostgreSQL;Host=<name or socket folder>;Port=...;Database=...;
//  User ID=...;Password=...". Any other key is refused, so that a mistyped
// one is not silently ignored. The password goes to libpq only.
//
// Every statement goes through the extended protocol (PQexecParams or
// PQexecPrepared), which takes exactly one statement per call.
//
// Row identity: an updatable row set selects each row's ctid with it. A
// ctid names one version of a row, so it identifies the row only as long
// as nothing else updates it; UpdateRow writes WHERE ctid = the one read
// and fails unless exactly that one row was changed. Within the
// transaction that read the rows (TableUpdate's), the rewrite touches the
// rows it read and no others.
//
// Transactions: BEGIN is followed by one transaction-level advisory lock,
// the same for every connection. Writers then queue one behind the other as
// they do on SQLite (BEGIN IMMEDIATE): the counters' read-then-write
// (transIdent) and the read-then-create of a table (transadd) cannot
// interleave, so numbers never repeat or skip. SELECT ... FOR UPDATE is
// not an option, the statement texts being fixed, and SERIALIZABLE would
// fail the losers of every collision instead of making them wait. Both go
// to the server in one pipeline with the transaction's first statement, so
// that beginning costs no exchange of its own.
#include "platform/ado/ado.h"
#include "platform/ado/postgresql/entry.h"
#include "platform/ado/postgresql/connect.h"
#include "platform/ado/postgresql/errors.h"
#include "platform/ado/postgresql/handles.h"
#include "platform/ado/statement_cache.h"
#include "platform/ado/provider.h"
#include "platform/ado/statement_text.h"
#include "platform/text/utf.h"

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <limits>
#include <map>
#include <string_view>
#include <utility>

#include <poll.h>

namespace valmorin::ado::postgresql {

namespace {

constexpr Oid kInt2 = 21;
constexpr Oid kInt4 = 23;
constexpr Oid kInt8 = 20;
constexpr Oid kBool = 16;

// "valmorin" folded into 63 bits: the advisory lock all writers share.
constexpr const char* kTakeWriterLock = "SELECT pg_advisory_xact_lock(8386676915082767457)";
// A transaction that only reads sees one snapshot from its first statement
// on, and takes no writers' lock: writers go on beside it.
constexpr const char* kBeginSnapshot = "BEGIN ISOLATION LEVEL REPEATABLE READ, READ ONLY";

CComVariant Null()
{
    CComVariant value;
    value.vt = VT_NULL;
    return value;
}

std::u16string TextOf(std::string_view utf8)
{
    if (auto wide = text::Utf8ToUtf16(utf8)) return *wide;
    return text::Widen(utf8);
}

CComVariant ColumnValue(const PGresult* result, int row, int column)
{
    if (PQgetisnull(result, row, column)) return Null();
    const char* value = PQgetvalue(result, row, column);
    const std::string_view text(value, static_cast<std::size_t>(PQgetlength(result, row, column)));
    switch (PQftype(result, column)) {
    case kInt2:
    case kInt4:
    case kInt8: {
        long long number = 0;
        const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), number);
        if (ec == std::errc() && end == text.data() + text.size() && number >= std::numeric_limits<LONG>::min() &&
            number <= std::numeric_limits<LONG>::max())
            return CComVariant(static_cast<LONG>(number));
        break; // wider than a LONG: handed over as its decimal text
    }
    case kBool: return CComVariant(static_cast<LONG>(text == "t" ? 1 : 0));
    default: break;
    }
    return CComVariant(std::u16string_view(TextOf(text)));
}

// A ctid "(block,offset)" packed into the row set's 64-bit identity.
std::int64_t PackRowId(std::string_view ctid)
{
    unsigned long long block = 0;
    unsigned offset = 0;
    const char* at = ctid.data() + 1;
    const char* end = ctid.data() + ctid.size();
    at = std::from_chars(at, end, block).ptr + 1;
    std::from_chars(at, end, offset);
    return static_cast<std::int64_t>((block << 16) | offset);
}

std::string UnpackRowId(std::int64_t id)
{
    const auto bits = static_cast<unsigned long long>(id);
    return "(" + std::to_string(bits >> 16) + "," + std::to_string(bits & 0xFFFF) + ")";
}

class PgSession final : public Session {
public:
    explicit PgSession(Connection connection) : m_connection(std::move(connection))
    {
        PQsetNoticeReceiver(Raw(), NoteFatal, &m_ending);
    }

    ExecuteOutcome Execute(std::u16string_view sql, std::span<const BoundValue> values) override
    {
        const Result result = Run(sql, values);
        ExecuteOutcome outcome;
        const std::string_view tag = PQcmdStatus(result.get());
        if (tag.starts_with("INSERT ") || tag.starts_with("UPDATE ") || tag.starts_with("DELETE ")) {
            outcome.kind = ExecuteOutcome::Count::Rows;
            outcome.rows = std::atol(PQcmdTuples(result.get()));
        } else if (PQnfields(result.get()) > 0) {
            outcome.kind = ExecuteOutcome::Count::NotApplicable;
        }
        return outcome;
    }

    void Query(std::u16string_view sql, std::span<const BoundValue> values, bool updatable, std::size_t maxRows,
               RowSet& set) override
    {
        set.Clear();
        const Result result = updatable ? Run(WithLeadingColumn(sql, u"ctid", kSource), values) : Run(sql, values);
        const PGresult* rows = result.get();
        const int first = updatable ? 1 : 0;
        const int columns = PQnfields(rows);
        for (int i = first; i < columns; ++i) set.columns.push_back(TextOf(PQfname(rows, i)));
        if (updatable) DescribeBase(rows, set);
        const int count = PQntuples(rows);
        const auto wanted = static_cast<std::size_t>(count);
        set.values.reserve((maxRows == kAllRows ? wanted : std::min(wanted, maxRows)) * set.columns.size());
        for (int r = 0; r < count && WantsAnotherRow(set.rows, maxRows); ++r) {
            for (int i = first; i < columns; ++i) set.values.push_back(ColumnValue(rows, r, i));
            if (updatable) set.rowIds.push_back(PackRowId(PQgetvalue(rows, r, 0)));
            ++set.rows;
        }
    }

    void UpdateRow(const RowSet& set, std::size_t row, const std::vector<ColumnChange>& changes) override
    {
        if (set.baseTable.empty() || row >= set.rowIds.size())
            Throw(E_FAIL, u"The row set was not opened for update.");
        if (changes.empty()) return;
        std::vector<BoundValue> values;
        for (const ColumnChange& change : changes) values.push_back(BoundOf(*change.value, kSource));
        const std::u16string identity = text::Widen(UnpackRowId(set.rowIds[row]));
        values.push_back({BoundValue::Kind::Text, identity});
        const Result result = Run(RowUpdateHead(set, changes) + u"ctid = CAST(? AS tid)", values);
        if (std::string_view(PQcmdTuples(result.get())) != "1")
            Throw(E_FAIL, u"The row was changed or deleted since it was read; nothing was written.", u"40001");
    }

    // Nothing reaches the server until the transaction's first statement:
    // a transaction without one ends by being forgotten.
    void Begin() override { m_pending = Pending::Writes; }
    void BeginSnapshot() override { m_pending = Pending::Snapshot; }

    // A COMMIT of a transaction that already failed is answered ROLLBACK,
    // not an error: the caller must hear that nothing was kept.
    void Commit() override
    {
        if (std::exchange(m_pending, Pending::Nothing) != Pending::Nothing) return;
        const Result result = Simple("COMMIT");
        if (std::string_view(PQcmdStatus(result.get())) == "ROLLBACK")
            Throw(E_FAIL, u"The transaction had failed and was rolled back; nothing was committed.", u"40000");
    }

    void Rollback() override
    {
        if (std::exchange(m_pending, Pending::Nothing) != Pending::Nothing) return;
        if (InTransaction()) Simple("ROLLBACK");
    }

    bool InTransaction() const override
    {
        const PGTransactionStatusType status = PQtransactionStatus(m_connection.get());
        return m_pending != Pending::Nothing || status == PQTRANS_INTRANS || status == PQTRANS_INERROR ||
               status == PQTRANS_ACTIVE;
    }

    // libpq marks the connection bad once the server has gone (a restart,
    // pg_terminate_backend, a broken socket).
    bool LinkLost() const override { return PQstatus(Raw()) == CONNECTION_BAD; }

    // Between statements nothing is owed to this session: whatever arrived
    // is a notice, a notification, or the server's goodbye (an error, then
    // the end of the stream, which a later read finds and libpq marks the
    // connection bad for). The goodbye is enough: the end may come well
    // after it. PQconsumeInput only reads; PQisBusy has libpq take what it
    // read as messages, so the goodbye reaches NoteFatal. A few reads at
    // most: nothing here waits.
    bool LinkClosedWhileIdle() override
    {
        if (PQtransactionStatus(Raw()) == PQTRANS_ACTIVE) return false;
        for (int read = 0; read < 4 && !m_ending; ++read) {
            pollfd socket{PQsocket(Raw()), POLLIN, 0};
            if (socket.fd < 0) return true;
            if (::poll(&socket, 1, 0) <= 0) return false;
            if (PQconsumeInput(Raw()) == 0 || PQstatus(Raw()) == CONNECTION_BAD) return true;
            PQisBusy(Raw());
        }
        return m_ending;
    }

private:
    PGconn* Raw() const { return m_connection.get(); }

    // An error the server sends between statements is read as a notice; a
    // fatal one says it is ending the session (an administrator's
    // pg_terminate_backend, a shutdown), before its end of the stream.
    static void NoteFatal(void* ending, const PGresult* notice)
    {
        const char* severity = PQresultErrorField(notice, PG_DIAG_SEVERITY_NONLOCALIZED);
        if (severity && (std::string_view(severity) == "FATAL" || std::string_view(severity) == "PANIC"))
            *static_cast<bool*>(ending) = true;
    }

    Result Checked(Result result) const
    {
        const ExecStatusType status = result ? PQresultStatus(result.get()) : PGRES_FATAL_ERROR;
        if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) ThrowFromResult(result.get(), Raw());
        return result;
    }

    // Our own fixed texts, several statements allowed (simple protocol).
    Result Simple(const char* sql) { return Checked(Result(PQexec(Raw(), sql))); }

    Result Text(const std::string& sql)
    {
        return Exchange(
            [&] { return PQsendQueryParams(Raw(), sql.c_str(), 0, nullptr, nullptr, nullptr, nullptr, 0); });
    }

    // The values in libpq's form, into buffers kept from call to call: a
    // lookup's cost on this side is mostly what it allocates. libpq reads a
    // value up to its first NUL, so a text holding one is refused rather
    // than cut.
    const char* const* BindValues(std::span<const BoundValue> values)
    {
        if (m_values.size() < values.size()) m_values.resize(values.size());
        m_pointers.clear();
        for (std::size_t i = 0; i < values.size(); ++i) {
            std::string& value = m_values[i];
            switch (values[i].kind) {
            case BoundValue::Kind::Null: m_pointers.push_back(nullptr); continue;
            case BoundValue::Kind::Number: value = std::to_string(values[i].number); break;
            case BoundValue::Kind::Text:
                if (values[i].text.find(u'\0') != std::u16string_view::npos)
                    Throw(DB_E_CANTCONVERTVALUE,
                          u"A text value holds a NUL character, which PostgreSQL does not store; the statement "
                          u"was not run.",
                          u"22021");
                value.resize(values[i].text.size() * 3);
                value.resize(static_cast<std::size_t>(text::EncodeUtf8(values[i].text, value.data()) - value.data()));
                break;
            }
            m_pointers.push_back(value.c_str());
        }
        return m_pointers.data();
    }

    // Sends one statement (`send` queues it) and waits for its result. A
    // transaction begun and not yet sent goes ahead of it.
    template <typename Send>
    Result Exchange(Send&& send)
    {
        if (m_pending != Pending::Nothing) return Pipelined(send);
        if (!send()) ThrowFromResult(nullptr, Raw());
        return Checked(Collected());
    }

    // The statement's last result, or its first error, once it is done.
    Result Collected()
    {
        Result kept;
        while (Result next{PQgetResult(Raw())}) {
            if (!kept || PQresultStatus(kept.get()) != PGRES_FATAL_ERROR) kept = std::move(next);
        }
        return kept;
    }

    // BEGIN, the writers' lock (for a transaction that writes) and the
    // statement in one round trip. After a failure the server skips the
    // rest of the pipeline: the first error is the one reported.
    template <typename Send>
    Result Pipelined(Send&& send)
    {
        const bool writes = std::exchange(m_pending, Pending::Nothing) == Pending::Writes;
        const bool queued = PQenterPipelineMode(Raw()) && Queue(writes ? "BEGIN" : kBeginSnapshot) &&
                            (!writes || Queue(kTakeWriterLock)) && send() && PQpipelineSync(Raw());
        Result begin = queued ? Collected() : nullptr;
        Result lock = queued && writes ? Collected() : nullptr;
        Result statement = queued ? Collected() : nullptr;
        if (queued) PQclear(PQgetResult(Raw())); // the pipeline's end
        PQexitPipelineMode(Raw());
        if (!queued) ThrowFromResult(nullptr, Raw());
        Checked(std::move(begin));
        if (writes) Checked(std::move(lock));
        return Checked(std::move(statement));
    }

    bool Queue(const char* sql) { return PQsendQueryParams(Raw(), sql, 0, nullptr, nullptr, nullptr, nullptr, 0); }

    // A statement without values runs as it is written. One with values is
    // prepared once per session, its ? markers numbered as the server takes
    // them, and run with the values bound as text parameters whose type the
    // server infers from where they stand: a value keeps its trailing
    // blanks, which an N'...' literal, read as a blank-padded character
    // string, would drop.
    Result Run(std::u16string_view sql, std::span<const BoundValue> values)
    {
        if (values.empty()) {
            RefuseNul(sql, kSource);
            return Text(text::Utf16ToUtf8(sql));
        }
        const std::string* name = m_cache.Find(sql);
        const bool kept = name != nullptr;
        if (!kept) name = Prepare(sql);
        const Pending begins = m_pending;
        try {
            return RunPrepared(*name, values);
        } catch (const ProviderFailure& failure) {
            if (!kept || !StalePlan(failure)) throw;
            // Another program changed a table under the statement kept
            // prepared (a column's type, a table dropped and made again) or
            // the server forgot it: it is prepared anew and run again, when
            // nothing of the caller's was lost with the failure (the
            // statement ran alone, or first in the transaction it began).
            const bool forgotten = failure.errors.front().sqlState == u"26000";
            if (std::optional<std::string> stale = m_cache.Remove(sql); stale && !forgotten)
                m_evicted.push_back(std::move(*stale));
            if (begins != Pending::Nothing) {
                Simple("ROLLBACK");
                m_pending = begins;
            } else if (PQtransactionStatus(Raw()) != PQTRANS_IDLE) {
                throw;
            }
            return RunPrepared(*Prepare(sql), values);
        }
    }

    Result RunPrepared(const std::string& name, std::span<const BoundValue> values)
    {
        const char* const* bound = BindValues(values);
        const int count = static_cast<int>(values.size());
        return Exchange([&] { return PQsendQueryPrepared(Raw(), name.c_str(), count, bound, nullptr, nullptr, 0); });
    }

    // "cached plan must not change result type", and a statement the
    // server no longer knows.
    static bool StalePlan(const ProviderFailure& failure)
    {
        return !failure.errors.empty() &&
               (failure.errors.front().sqlState == u"0A000" || failure.errors.front().sqlState == u"26000");
    }

    // A PREPARE that fails inside a transaction ends it, as the statement
    // itself would have: its error is the statement's.
    const std::string* Prepare(std::u16string_view sql)
    {
        DeallocateEvicted();
        RefuseNul(sql, kSource);
        std::string name = "valmorin_" + std::to_string(++m_named);
        const std::string numbered = text::Utf16ToUtf8(NumberedMarkers(sql));
        Checked(Result(PQprepare(Raw(), name.c_str(), numbered.c_str(), 0, nullptr)));
        auto [added, evicted] = m_cache.Insert(sql, std::move(name));
        if (evicted) m_evicted.push_back(std::move(*evicted));
        return added;
    }

    // Statements pushed out of the cache are released on the server between
    // transactions: a DEALLOCATE that failed inside one would end it.
    void DeallocateEvicted()
    {
        if (PQtransactionStatus(Raw()) != PQTRANS_IDLE) return;
        for (const std::string& name : m_evicted) const Result released(PQexec(Raw(), ("DEALLOCATE " + name).c_str()));
        m_evicted.clear();
    }

    // The table and column names behind each column, from the catalogue.
    void DescribeBase(const PGresult* rows, RowSet& set)
    {
        for (int i = 1; i < PQnfields(rows); ++i) {
            const Oid table = PQftable(rows, i);
            const int column = PQftablecol(rows, i);
            if (table == InvalidOid || column <= 0)
                Throw(E_FAIL, u"The rows cannot be opened for update: every column must come from one table.");
            const auto [tableName, columnName] = Origin(table, column);
            if (!set.baseTable.empty() && set.baseTable != tableName)
                Throw(E_FAIL, u"The rows cannot be opened for update: every column must come from one table.");
            set.baseTable = tableName;
            set.baseColumns.push_back(columnName);
        }
    }

    std::pair<std::u16string, std::u16string> Origin(Oid table, int column)
    {
        const auto key = std::make_pair(table, column);
        if (const auto it = m_origins.find(key); it != m_origins.end()) return it->second;
        const std::u16string oid = text::Widen(std::to_string(table));
        const BoundValue values[] = {{BoundValue::Kind::Text, oid}, {BoundValue::Kind::Number, {}, column}};
        const Result result =
            Run(u"SELECT c.relname, a.attname FROM pg_catalog.pg_attribute a JOIN pg_catalog.pg_class "
                u"c ON c.oid = a.attrelid WHERE a.attrelid = CAST(? AS oid) AND a.attnum = "
                u"CAST(? AS int2)",
                values);
        if (PQntuples(result.get()) != 1) Throw(E_FAIL, u"The rows' table is no longer in the catalogue.");
        return m_origins[key] = {TextOf(PQgetvalue(result.get(), 0, 0)), TextOf(PQgetvalue(result.get(), 0, 1))};
    }

    Connection m_connection;
    // A transaction begun and not yet sent: what it takes once it is.
    enum class Pending { Nothing, Writes, Snapshot };
    Pending m_pending = Pending::Nothing;
    std::vector<std::string> m_values;       // the bound values of the statement being sent
    std::vector<const char*> m_pointers;     // the same as libpq takes them
    StatementCache<std::string> m_cache{64}; // the server-side names of prepared forms
    bool m_ending = false;                   // the server said it ends the session
    unsigned long long m_named = 0;          // the last name given
    std::vector<std::string> m_evicted;      // names pushed out, deallocated at the next chance
    std::map<std::pair<Oid, int>, std::pair<std::u16string, std::u16string>> m_origins;
};

class PgProvider final : public Provider {
public:
    std::u16string Name() const override { return std::u16string(kSource); }

    std::unique_ptr<Session> Connect(const ConnectionString& cs, std::u16string_view userId,
                                     std::u16string_view password, LONG commandTimeoutSeconds) override
    {
        return std::make_unique<PgSession>(
            OpenConnection(ConnectionParameters(cs, userId, password, commandTimeoutSeconds)));
    }

    std::unique_ptr<StoreWatch> Watch(const ConnectionString& cs, std::u16string_view userId,
                                      std::u16string_view password, WatchOptions options) override
    {
        return WatchNotifications(ConnectionParameters(cs, userId, password, 0), std::move(options));
    }
};

} // namespace

std::shared_ptr<Provider> NewProvider() { return std::make_shared<PgProvider>(); }

} // namespace valmorin::ado::postgresql
