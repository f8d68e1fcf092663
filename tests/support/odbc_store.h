// The ODBC drivers the tests reach stores through, configured in the test
// sandbox (a driver list in $ODBCSYSINI/odbcinst.ini and data sources in
// $ODBCINI), never in the machine's files.
#pragma once

#include <filesystem>
#include <string>

enum class OdbcDriver { Sqlite, PostgreSql, FreeTds };

// Why the driver cannot be used here; empty when it can.
std::string OdbcDriverMissing(OdbcDriver driver);

// Writes the configuration once per test program and points unixODBC (and
// FreeTDS) at it; child processes inherit the environment.
void ConfigureOdbc();

// Where the data sources are written: appended to by the tests that add one.
std::filesystem::path OdbcIniFile();

std::u16string OdbcSqliteConnectionString(const std::filesystem::path& file);
// A database on the test PostgreSQL server, through the DSN "valmorin_pg".
std::u16string OdbcPostgresConnectionString(const std::string& database);
