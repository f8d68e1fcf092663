// Lookups and counters on a PostgreSQL store, against the server that
// scripts/with-postgres starts, all in one run: a lookup through the
// component's IDispatch against the same text sent with PQexec, and against
// the parameterised form prepared once and run with bound values (the limit
// at this seam); transIdent against the raw BEGIN / SELECT / UPDATE / COMMIT
// of the same statements. The texts are the service's own. The lookups run
// again through the ODBC provider and the PostgreSQL ODBC driver, against
// the text sent with SQLExecDirectW and the form prepared once with
// SQLPrepareW and run with SQLExecute.
#include "platform/ado/connection_string.h"
#include "platform/ado/odbc/handles.h"
#include "platform/ado/postgresql/handles.h"
#include "platform/text/utf.h"
#include "qmt/db/store_admin.h"
#include "service/statement_texts.h"
#include "store_fixture.h"
#include "support/pg_store.h"
#include "valmorin/valmorin.h"

#include <benchmark/benchmark.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include <cstdlib>
#include <initializer_list>
#include <iostream>
#include <random>
#include <stdexcept>

namespace {

using valmorin::ado::postgresql::Connection;
using valmorin::ado::postgresql::Result;

constexpr int kTables = 100;
constexpr int kRows = 100000;
constexpr int kKeys = 4096;

std::string Env(const char* name)
{
    const char* value = std::getenv(name);
    return value ? value : "";
}

Connection Connect(const std::string& database)
{
    const std::string host = Env("VALMORIN_TEST_PG_HOST"), port = Env("VALMORIN_TEST_PG_PORT"),
                      user = Env("VALMORIN_TEST_PG_USER");
    const char* keywords[] = {"host", "port", "user", "dbname", "client_encoding", nullptr};
    const char* values[] = {host.c_str(), port.c_str(), user.c_str(), database.c_str(), "UTF8", nullptr};
    Connection connection(PQconnectdbParams(keywords, values, 0));
    if (!connection || PQstatus(connection.get()) != CONNECTION_OK)
        throw std::runtime_error("cannot reach the PostgreSQL server at " + host + ": " +
                                 (connection ? PQerrorMessage(connection.get()) : "out of memory"));
    return connection;
}

Result Exec(PGconn* connection, const std::string& sql)
{
    Result result(PQexec(connection, sql.c_str()));
    const ExecStatusType status = result ? PQresultStatus(result.get()) : PGRES_FATAL_ERROR;
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK)
        throw std::runtime_error("the server refused \"" + sql.substr(0, 200) + "\": " + PQerrorMessage(connection));
    return result;
}

// A service statement with its conversions (%s, %d, %03d) replaced in order
// by the given texts, as the component shows them.
std::string Formatted(const char16_t* format, std::initializer_list<std::string> values)
{
    const std::string text = valmorin::text::Utf16ToUtf8(format);
    std::string out;
    auto value = values.begin();
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        i = text.find_first_of("sd", i);
        out += *value++;
    }
    return out;
}

// The shape the provider prepares: each N'...' value a numbered parameter.
std::string Parameterised(const char16_t* format)
{
    std::string text = valmorin::text::Utf16ToUtf8(format);
    int number = 0;
    for (std::size_t at = text.find("N'%s'"); at != std::string::npos; at = text.find("N'%s'", at))
        text.replace(at, 5, "$" + std::to_string(++number));
    return text;
}

// A store in a database of its own on the server, made as valmorin init
// makes one and dropped when the process ends, as the tests' databases are,
// with kTables tables of kRows / kTables correspondences each: table Tn
// maps Kn_i to Vn_i.
class PgBenchmarkStore {
public:
    PgBenchmarkStore() : m_database(PgDatabase::Unmade{"_bench"})
    {
        qmt::CreateStore(m_database.connectionString());
        m_database.Run(
            "INSERT INTO QM_TABLES (ID_TABLE, NB_COLS, NOM) SELECT t, 2, 'T' || t FROM generate_series(1, " +
            std::to_string(kTables) +
            ") t;"
            "INSERT INTO QM_VALMOR (ID_TABLE, INPUT, OUTPUT) SELECT t, 'K' || t || '_' || i, 'V' || t || '_' || i "
            "FROM generate_series(1, " +
            std::to_string(kTables) + ") t, generate_series(0, " + std::to_string(kRows / kTables - 1) +
            ") i; ANALYZE;");
    }

    const std::string& name() const { return m_database.name(); }
    std::u16string connectionString() const { return m_database.connectionString(); }

private:
    PgDatabase m_database;
};

const PgBenchmarkStore& Store()
{
    static const PgBenchmarkStore store;
    return store;
}

// Keys spread over every table, in a fixed pseudo-random order, as texts
// and as the component's arguments.
struct Keys {
    Keys()
    {
        std::mt19937 random(42);
        for (int i = 0; i < kKeys; ++i) {
            const int table = 1 + static_cast<int>(random() % kTables);
            const int row = static_cast<int>(random() % static_cast<unsigned>(kRows / kTables));
            tables.push_back("T" + std::to_string(table));
            inputs.push_back("K" + std::to_string(table) + "_" + std::to_string(row));
            tableArgs.emplace_back(valmorin::text::Widen(tables.back()));
            inputArgs.emplace_back(valmorin::text::Widen(inputs.back()));
        }
    }
    std::vector<std::string> tables, inputs;
    std::vector<CComVariant> tableArgs, inputArgs;
};

// The store through the PostgreSQL ODBC driver: its pairs after those of
// start (none as the driver takes them, the provider's for the component).
std::u16string OdbcDriverConnectionString(const valmorin::ado::ConnectionString& start = {})
{
    return start.With(u"Driver", u"PostgreSQL Unicode")
        .With(u"Servername", valmorin::text::Widen(Env("VALMORIN_TEST_PG_HOST")))
        .With(u"Port", valmorin::text::Widen(Env("VALMORIN_TEST_PG_PORT")))
        .With(u"Database", valmorin::text::Widen(Store().name()))
        .With(u"UID", valmorin::text::Widen(Env("VALMORIN_TEST_PG_USER")))
        .Text();
}

std::u16string OdbcProviderConnectionString()
{
    return OdbcDriverConnectionString(valmorin::ado::ConnectionString().With(u"Provider", u"ODBC"));
}

CComPtr<IValmorin> OpenComponent(const std::u16string& connectionString = Store().connectionString())
{
    CComPtr<IValmorin> component;
    if (FAILED(NewComponent(IValmorin::iid, reinterpret_cast<void**>(&component))))
        throw std::runtime_error("no component");
    if (FAILED(component->Open(CComBSTR(connectionString).get())))
        throw std::runtime_error("cannot open the store " + Store().name());
    return component;
}

CComPtr<IDispatch> OpenDispatch(const std::u16string& connectionString = Store().connectionString())
{
    CComPtr<IDispatch> component;
    OpenComponent(connectionString).QueryInterface(component);
    return component;
}

bool FoundOneRow(const Result& result)
{
    const bool found = result && PQresultStatus(result.get()) == PGRES_TUPLES_OK && PQntuples(result.get()) == 1;
    if (found) benchmark::DoNotOptimize(PQgetvalue(result.get(), 0, 0));
    return found;
}

// Kept out of line, as the other lookups, so that an instruction profiler
// can count one lookup of each kind.
[[gnu::noinline]] bool ExecLookup(PGconn* connection, const std::string& table, const std::string& input)
{
    const Result result(PQexec(connection, Formatted(statements::kTranslate.Text(), {table, input}).c_str()));
    return FoundOneRow(result);
}

[[gnu::noinline]] bool PreparedLookup(PGconn* connection, const std::string& table, const std::string& input)
{
    const char* values[] = {table.c_str(), input.c_str()};
    const Result result(PQexecPrepared(connection, "lookup", 2, values, nullptr, nullptr, 0));
    return FoundOneRow(result);
}

// A connection with the lookup's parameterised form prepared on it once.
Connection PreparedConnection()
{
    Connection connection = Connect(Store().name());
    const Result prepared(
        PQprepare(connection.get(), "lookup", Parameterised(statements::kTranslate.Text()).c_str(), 0, nullptr));
    if (!prepared || PQresultStatus(prepared.get()) != PGRES_COMMAND_OK)
        throw std::runtime_error(std::string("cannot prepare the lookup: ") + PQerrorMessage(connection.get()));
    return connection;
}

// One lookup of the key k (k = 0, 1, ... round the keys) per iteration.
template <typename Lookup>
void Lookups(benchmark::State& state, Lookup&& lookup)
{
    std::size_t i = 0;
    for (auto _ : state) {
        if (!lookup(i++ % kKeys)) state.SkipWithError("row not found");
    }
    state.SetItemsProcessed(state.iterations());
}

// A connection of the driver's own, with the lookup prepared on one
// statement and another statement for texts sent whole.
class OdbcLookups {
public:
    OdbcLookups()
    {
        SQLHANDLE raw = SQL_NULL_HANDLE;
        SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &raw);
        m_environment.reset(raw);
        SQLSetEnvAttr(raw, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
        SQLAllocHandle(SQL_HANDLE_DBC, raw, &raw);
        m_connection.reset(raw);
        std::u16string text = OdbcDriverConnectionString();
        if (!SQL_SUCCEEDED(SQLDriverConnectW(raw, nullptr, text.data(), static_cast<SQLSMALLINT>(text.size()), nullptr,
                                             0, nullptr, SQL_DRIVER_NOPROMPT)))
            throw std::runtime_error("the PostgreSQL ODBC driver cannot reach the store");
        m_direct = NewStatement();
        m_prepared = NewStatement();
        std::u16string lookup = valmorin::text::Widen(Parameterised(statements::kTranslate.Text()));
        for (int n = 2; n >= 1; --n) {
            const std::u16string marker = u"$" + valmorin::text::Widen(std::to_string(n));
            lookup.replace(lookup.find(marker), marker.size(), u"?");
        }
        if (!SQL_SUCCEEDED(SQLPrepareW(m_prepared.get(), lookup.data(), static_cast<SQLINTEGER>(lookup.size()))))
            throw std::runtime_error("the driver cannot prepare the lookup");
    }

    [[gnu::noinline]] bool DirectLookup(const std::u16string& table, const std::u16string& input)
    {
        std::u16string sql = valmorin::text::Widen(Formatted(
            statements::kTranslate.Text(), {valmorin::text::Utf16ToUtf8(table), valmorin::text::Utf16ToUtf8(input)}));
        return SQL_SUCCEEDED(SQLExecDirectW(m_direct.get(), sql.data(), static_cast<SQLINTEGER>(sql.size()))) &&
               FetchedOne(m_direct.get());
    }

    [[gnu::noinline]] bool PreparedLookup(std::u16string& table, std::u16string& input)
    {
        SQLLEN lengths[2] = {static_cast<SQLLEN>(table.size() * 2), static_cast<SQLLEN>(input.size() * 2)};
        SQLBindParameter(m_prepared.get(), 1, SQL_PARAM_INPUT, SQL_C_WCHAR, SQL_WVARCHAR, table.size(), 0,
                         table.data(), lengths[0], &lengths[0]);
        SQLBindParameter(m_prepared.get(), 2, SQL_PARAM_INPUT, SQL_C_WCHAR, SQL_WVARCHAR, input.size(), 0,
                         input.data(), lengths[1], &lengths[1]);
        return SQL_SUCCEEDED(SQLExecute(m_prepared.get())) && FetchedOne(m_prepared.get());
    }

private:
    valmorin::ado::odbc::Statement NewStatement()
    {
        SQLHANDLE raw = SQL_NULL_HANDLE;
        SQLAllocHandle(SQL_HANDLE_STMT, m_connection.get(), &raw);
        return valmorin::ado::odbc::Statement(raw);
    }

    static bool FetchedOne(SQLHSTMT stmt)
    {
        char16_t value[256];
        SQLLEN indicator = 0;
        const bool found = SQL_SUCCEEDED(SQLFetch(stmt)) &&
                           SQL_SUCCEEDED(SQLGetData(stmt, 1, SQL_C_WCHAR, value, sizeof value, &indicator));
        benchmark::DoNotOptimize(value);
        SQLFreeStmt(stmt, SQL_CLOSE);
        return found;
    }

    valmorin::ado::odbc::Environment m_environment;
    valmorin::ado::odbc::Connection m_connection;
    valmorin::ado::odbc::Statement m_direct;
    valmorin::ado::odbc::Statement m_prepared;
};

// The keys as UTF-16 texts, as an ODBC application holds them.
struct WideKeys {
    WideKeys()
    {
        const Keys keys;
        for (int k = 0; k < kKeys; ++k) {
            tables.push_back(valmorin::text::Widen(keys.tables[static_cast<std::size_t>(k)]));
            inputs.push_back(valmorin::text::Widen(keys.inputs[static_cast<std::size_t>(k)]));
        }
    }
    std::vector<std::u16string> tables, inputs;
};

void OdbcPgExecDirect(benchmark::State& state)
{
    const WideKeys keys;
    OdbcLookups odbc;
    Lookups(state, [&](std::size_t k) { return odbc.DirectLookup(keys.tables[k], keys.inputs[k]); });
}

void OdbcPgPreparedExecute(benchmark::State& state)
{
    WideKeys keys;
    OdbcLookups odbc;
    Lookups(state, [&](std::size_t k) { return odbc.PreparedLookup(keys.tables[k], keys.inputs[k]); });
}

void OdbcPgTranslateThroughInvoke(benchmark::State& state)
{
    Keys keys;
    CComPtr<IDispatch> component = OpenDispatch(OdbcProviderConnectionString());
    Lookups(state, [&](std::size_t k) { return InvokeLookup(*component.get(), keys.tableArgs[k], keys.inputArgs[k]); });
}

void PgRawExec(benchmark::State& state)
{
    const Keys keys;
    const Connection connection = Connect(Store().name());
    Lookups(state, [&](std::size_t k) { return ExecLookup(connection.get(), keys.tables[k], keys.inputs[k]); });
}

void PgPreparedReused(benchmark::State& state)
{
    const Keys keys;
    const Connection connection = PreparedConnection();
    Lookups(state, [&](std::size_t k) { return PreparedLookup(connection.get(), keys.tables[k], keys.inputs[k]); });
}

void PgTranslateThroughInvoke(benchmark::State& state)
{
    Keys keys;
    CComPtr<IDispatch> component = OpenDispatch();
    Lookups(state, [&](std::size_t k) { return InvokeLookup(*component.get(), keys.tableArgs[k], keys.inputArgs[k]); });
}

// The counter "raw", drawn once through the component so that its table and
// row exist; the identifier of the counter table.
std::string CreatedCounterTable(PGconn* connection)
{
    BSTR first = nullptr;
    if (OpenComponent()->transIdent(CComBSTR(u"raw").get(), &first) != S_OK)
        throw std::runtime_error("cannot create the counter");
    SysFreeString(first);
    const Result id = Exec(connection, Formatted(statements::kLookupTableId.Text(),
                                                 {valmorin::text::Utf16ToUtf8(statements::kCounterTable)}));
    return PQgetvalue(id.get(), 0, 0);
}

void PgRawCounterTransaction(benchmark::State& state)
{
    const Connection connection = Connect(Store().name());
    const std::string id = CreatedCounterTable(connection.get());
    const std::string select = Formatted(statements::kSelectCounter.Text(), {id, "raw"});
    long next = 1'000'000;
    for (auto _ : state) {
        Exec(connection.get(), "BEGIN");
        benchmark::DoNotOptimize(PQgetvalue(Exec(connection.get(), select).get(), 0, 0));
        const Result updated =
            Exec(connection.get(), Formatted(statements::kUpdateCounter.Text(), {std::to_string(++next), id, "raw"}));
        if (std::string_view(PQcmdTuples(updated.get())) != "1") state.SkipWithError("the counter was not updated");
        Exec(connection.get(), "COMMIT");
    }
    state.SetItemsProcessed(state.iterations());
}

void PgTransIdent(benchmark::State& state)
{
    CComPtr<IValmorin> component = OpenComponent();
    const CComBSTR name(u"component");
    for (auto _ : state) {
        BSTR number = nullptr;
        if (component->transIdent(name.get(), &number) != S_OK) state.SkipWithError("transIdent failed");
        SysFreeString(number);
    }
    state.SetItemsProcessed(state.iterations());
}

BENCHMARK(PgRawExec)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(PgPreparedReused)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(PgTranslateThroughInvoke)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(OdbcPgExecDirect)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(OdbcPgPreparedExecute)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(OdbcPgTranslateThroughInvoke)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(PgRawCounterTransaction)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(PgTransIdent)->UseRealTime()->Unit(benchmark::kMicrosecond);

// Exactly `lookups` lookups of one kind (Exec, Prepared, Invoke, OdbcDirect,
// OdbcPrepared or OdbcInvoke: Invoke over the ODBC provider) and
// nothing else, for valgrind --tool=callgrind --toggle-collect='*Lookup*'.
int CountedLookups(const std::string& kind, int lookups)
{
    Keys keys;
    WideKeys wide;
    const Connection connection = PreparedConnection();
    OdbcLookups odbc;
    const bool throughOdbc = kind.starts_with("Odbc");
    CComPtr<IDispatch> component =
        OpenDispatch(throughOdbc ? OdbcProviderConnectionString() : Store().connectionString());
    int found = 0;
    for (int i = 0; i < lookups; ++i) {
        const std::size_t k = static_cast<std::size_t>(i) % kKeys;
        if (kind == "OdbcDirect") found += odbc.DirectLookup(wide.tables[k], wide.inputs[k]);
        else if (kind == "OdbcPrepared") found += odbc.PreparedLookup(wide.tables[k], wide.inputs[k]);
        else if (kind == "Exec") found += ExecLookup(connection.get(), keys.tables[k], keys.inputs[k]);
        else if (kind == "Prepared") found += PreparedLookup(connection.get(), keys.tables[k], keys.inputs[k]);
        else found += InvokeLookup(*component.get(), keys.tableArgs[k], keys.inputArgs[k]);
    }
    return found == lookups ? 0 : 1;
}

} // namespace

// With --count <kind> <lookups>: see CountedLookups.
std::int64_t NowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The window in which a cached lookup still answers the value before
// another process's commit: a writer process commits a new OUTPUT and
// notes when its commit returned; this process, looking the row up again
// and again through a cached object, notes when it first sees the new
// value. Prints the windows' median, 99th percentile and maximum in
// microseconds (0 when the value was seen before the commit returned).
int MeasureStaleness(int commits)
{
    const std::string database = Store().name();
    int go[2], done[2];
    if (::pipe(go) != 0 || ::pipe(done) != 0) throw std::runtime_error("pipe");
    // The writer is forked before this process starts threads of its own.
    const pid_t writer = ::fork();
    if (writer == 0) {
        const Connection connection = Connect(database);
        char token = 0;
        for (int i = 1; i <= commits && ::read(go[0], &token, 1) == 1; ++i) {
            Exec(connection.get(),
                 "UPDATE QM_VALMOR SET OUTPUT = 'S" + std::to_string(i) + "' WHERE ID_TABLE = 1 AND INPUT = 'K1_0'");
            const std::int64_t returned = NowNs();
            if (::write(done[1], &returned, sizeof returned) != sizeof returned) ::_exit(1);
        }
        ::_exit(0);
    }
    AskForLookupCache(1000);
    CComPtr<IValmorin> component;
    NewComponent(IValmorin::iid, reinterpret_cast<void**>(&component));
    AskForLookupCache(0);
    const CComBSTR connection(Store().connectionString());
    if (FAILED(component->Open(connection.get()))) throw std::runtime_error("cannot open the store");
    const CComBSTR table(u"T1"), input(u"K1_0");
    auto lookup = [&] {
        BSTR text = nullptr;
        component->translate(table.get(), input.get(), &text);
        std::u16string value(text ? text : u"");
        SysFreeString(text);
        return value;
    };
    std::this_thread::sleep_for(std::chrono::milliseconds(500)); // the cache's connection listens by then
    std::vector<double> windows;
    for (int i = 1; i <= commits; ++i) {
        lookup(); // the old value is in the cache
        const std::u16string expected = valmorin::text::Widen("S" + std::to_string(i));
        char token = 'w';
        if (::write(go[1], &token, 1) != 1) throw std::runtime_error("the writer is gone");
        while (lookup() != expected) {
        }
        const std::int64_t seen = NowNs();
        std::int64_t returned = 0;
        if (::read(done[0], &returned, sizeof returned) != sizeof returned)
            throw std::runtime_error("the writer is gone");
        windows.push_back(static_cast<double>(std::max<std::int64_t>(0, seen - returned)) / 1000.0);
    }
    ::waitpid(writer, nullptr, 0);
    std::sort(windows.begin(), windows.end());
    auto at = [&](double share) { return windows[static_cast<std::size_t>(share * (windows.size() - 1))]; };
    std::cout << "staleness_us " << at(0.5) << " " << at(0.99) << " " << windows.back() << "\n";
    return 0;
}

int main(int argc, char** argv)
{
    if (Env("VALMORIN_TEST_PG_HOST").empty()) {
        std::cerr << "postgres_bench: no PostgreSQL server; run it under scripts/with-postgres\n";
        return 2;
    }
    try {
        if (argc == 4 && std::string(argv[1]) == "--count") return CountedLookups(argv[2], std::stoi(argv[3]));
        if (argc == 3 && std::string(argv[1]) == "--staleness") return MeasureStaleness(std::stoi(argv[2]));
        benchmark::Initialize(&argc, argv);
        if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
        benchmark::RunSpecifiedBenchmarks();
        benchmark::Shutdown();
    } catch (const std::exception& e) {
        std::cerr << "postgres_bench: " << e.what() << '\n';
        return 1;
    }
    return 0;
}
