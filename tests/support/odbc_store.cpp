#include "support/odbc_store.h"

#include "platform/ado/connection_string.h"
#include "platform/text/utf.h"

#include <cstdlib>
#include <fstream>
#include <stdexcept>

namespace {

struct DriverFile {
    const char* name; // as odbcinst.ini lists it
    const char* file;
    const char* package;
};

const DriverFile& FileOf(OdbcDriver driver)
{
    static const DriverFile kFiles[] = {{"Valmorin SQLite3", "libsqlite3odbc.so", "libsqliteodbc"},
                                        {"Valmorin PostgreSQL Unicode", "psqlodbcw.so", "odbc-postgresql"},
                                        {"Valmorin FreeTDS", "libtdsodbc.so", "tdsodbc"}};
    return kFiles[static_cast<int>(driver)];
}

std::filesystem::path DriverPath(OdbcDriver driver)
{
    return std::filesystem::path(VALMORIN_ODBC_DRIVER_DIR) / FileOf(driver).file;
}

std::string Env(const char* name)
{
    const char* value = std::getenv(name);
    return value ? value : "";
}

std::filesystem::path ConfigurationFolder() { return std::filesystem::path(Env("HOME")) / "odbc"; }

void Write(const std::filesystem::path& file, const std::string& text)
{
    std::ofstream out(file, std::ios::trunc);
    out << text;
    if (!out.flush()) throw std::runtime_error("cannot write " + file.string());
}

} // namespace

std::string OdbcDriverMissing(OdbcDriver driver)
{
    std::error_code ec;
    if (std::filesystem::exists(DriverPath(driver), ec)) return {};
    return "the ODBC driver " + DriverPath(driver).string() + " is not installed (package " +
           FileOf(driver).package + ", which scripts/install-deps installs)";
}

std::filesystem::path OdbcIniFile() { return ConfigurationFolder() / "odbc.ini"; }

void ConfigureOdbc()
{
    static const bool configured = [] {
        const std::filesystem::path folder = ConfigurationFolder();
        std::filesystem::create_directories(folder);
        std::string drivers;
        for (OdbcDriver driver : {OdbcDriver::Sqlite, OdbcDriver::PostgreSql, OdbcDriver::FreeTds})
            drivers += std::string("[") + FileOf(driver).name + "]\nDriver = " + DriverPath(driver).string() + "\n\n";
        Write(folder / "odbcinst.ini", drivers);
        Write(OdbcIniFile(), "[valmorin_pg]\nDriver = " + std::string(FileOf(OdbcDriver::PostgreSql).name) +
                                 "\nServername = " + Env("VALMORIN_TEST_PG_HOST") +
                                 "\nPort = " + Env("VALMORIN_TEST_PG_PORT") +
                                 "\nUsername = " + Env("VALMORIN_TEST_PG_USER") + "\nDatabase = postgres\n\n");
        Write(folder / "freetds.conf", "[global]\n");
        setenv("ODBCSYSINI", folder.c_str(), 1);
        setenv("ODBCINI", OdbcIniFile().c_str(), 1);
        setenv("FREETDSCONF", (folder / "freetds.conf").c_str(), 1);
        return true;
    }();
    (void)configured;
}

std::u16string OdbcSqliteConnectionString(const std::filesystem::path& file)
{
    ConfigureOdbc();
    return valmorin::ado::ConnectionString()
        .With(u"Provider", u"ODBC")
        .With(u"Driver", valmorin::text::Widen(FileOf(OdbcDriver::Sqlite).name))
        .With(u"Database", valmorin::text::Widen(file.string()))
        .Text();
}

std::u16string OdbcPostgresConnectionString(const std::string& database)
{
    ConfigureOdbc();
    return valmorin::ado::ConnectionString()
        .With(u"Provider", u"ODBC")
        .With(u"DSN", u"valmorin_pg")
        .With(u"Database", valmorin::text::Widen(database))
        .Text();
}
