#include "support/pg_store.h"

#include "platform/ado/connection_string.h"
#include "platform/ado/postgresql/handles.h"
#include "platform/ado/statement_text.h"
#include "platform/text/utf.h"

#include <libpq-fe.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <unistd.h>

namespace {

using valmorin::ado::postgresql::Connection;
using valmorin::ado::postgresql::Result;

std::string Env(const char* name)
{
    const char* value = std::getenv(name);
    return value ? value : "";
}

Connection Connect(const std::string& database)
{
    const char* keywords[] = {"host", "port", "user", "dbname", "client_encoding", nullptr};
    const std::string host = Env("VALMORIN_TEST_PG_HOST");
    const std::string port = Env("VALMORIN_TEST_PG_PORT");
    const std::string user = Env("VALMORIN_TEST_PG_USER");
    const char* values[] = {host.c_str(), port.c_str(), user.c_str(), database.c_str(), "UTF8", nullptr};
    Connection connection(PQconnectdbParams(keywords, values, 0));
    if (!connection || PQstatus(connection.get()) != CONNECTION_OK)
        throw std::runtime_error("cannot reach the test server: " +
                                 std::string(connection ? PQerrorMessage(connection.get()) : "out of memory"));
    PQsetNoticeProcessor(connection.get(), [](void*, const char*) {}, nullptr);
    return connection;
}

Result Exec(PGconn* connection, const std::string& sql)
{
    Result result(PQexec(connection, sql.c_str()));
    const ExecStatusType status = result ? PQresultStatus(result.get()) : PGRES_FATAL_ERROR;
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK)
        throw std::runtime_error("the test server refused \"" + sql + "\": " + PQerrorMessage(connection));
    return result;
}

// Unique across the processes that share the server and within one.
std::string NewName()
{
    static std::atomic<unsigned> counter{0};
    return "valmorin_test_" + std::to_string(getpid()) + "_" + std::to_string(++counter);
}

} // namespace

bool PostgresAvailable() { return !Env("VALMORIN_TEST_PG_HOST").empty(); }

PgDatabase::PgDatabase(Unmade unmade) : m_name(NewName() + unmade.suffix) {}

PgDatabase::PgDatabase(const std::string& schema) : m_name(NewName())
{
    Exec(Connect("postgres").get(), "CREATE DATABASE " + m_name + " TEMPLATE template0 ENCODING 'UTF8'");
    if (!schema.empty()) Run(schema);
}

PgDatabase::~PgDatabase()
{
    try {
        const std::string quoted =
            valmorin::text::Utf16ToUtf8(valmorin::ado::QuoteIdentifier(valmorin::text::Widen(m_name)));
        Exec(Connect("postgres").get(), "DROP DATABASE IF EXISTS " + quoted + " WITH (FORCE)");
    } catch (const std::exception&) {
        // the server is gone with everything on it
    }
}

std::u16string PgDatabase::connectionString() const
{
    return valmorin::ado::ConnectionString()
        .With(u"Provider", u"PostgreSQL")
        .With(u"Host", valmorin::text::Widen(Env("VALMORIN_TEST_PG_HOST")))
        .With(u"Port", valmorin::text::Widen(Env("VALMORIN_TEST_PG_PORT")))
        .With(u"Database", valmorin::text::Widen(m_name))
        .With(u"User ID", valmorin::text::Widen(Env("VALMORIN_TEST_PG_USER")))
        .Text();
}

void PgDatabase::Run(const std::string& sql) const { Exec(Connect(m_name).get(), sql); }

std::vector<std::u16string> PgDatabase::Column(const std::string& sql) const
{
    const Connection connection = Connect(m_name);
    const Result result = Exec(connection.get(), sql);
    std::vector<std::u16string> column;
    for (int row = 0; row < PQntuples(result.get()); ++row) {
        if (PQgetisnull(result.get(), row, 0)) {
            column.emplace_back(u"<NULL>");
            continue;
        }
        const std::string_view value(PQgetvalue(result.get(), row, 0),
                                     static_cast<std::size_t>(PQgetlength(result.get(), row, 0)));
        auto wide = valmorin::text::Utf8ToUtf16(value);
        column.push_back(wide ? *wide : valmorin::text::Widen(value));
    }
    return column;
}
