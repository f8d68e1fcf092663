// The ODBC provider where the store tests do not reach: a SQL Server data
// source set up as the README says, with no server behind it, and what
// `valmorin init` prints and makes through a driver.
#include "platform/ado/provider.h"
#include "platform/text/utf.h"
#include "support/odbc_store.h"
#include "support/process.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>

namespace {

// The README's data source, its server a local port that nothing listens on.
constexpr const char* kSqlServerDsn = "[qms]\n"
                                      "Driver = Valmorin FreeTDS\n"
                                      "Server = 127.0.0.1\n"
                                      "Port = 9\n"
                                      "TDS_Version = 7.4\n"
                                      "Database = QMS\n";
constexpr const char* kSqlServerConnection = "Provider=ODBC;DSN=qms;UID=valmorin;PWD=secret";

class SqlServerDataSourceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (const std::string missing = OdbcDriverMissing(OdbcDriver::FreeTds); !missing.empty())
            GTEST_SKIP() << missing;
        ConfigureOdbc();
        static const bool added = [] {
            return static_cast<bool>(std::ofstream(OdbcIniFile(), std::ios::app) << kSqlServerDsn);
        }();
        ASSERT_TRUE(added);
    }
};

// Faults: the driver's records lost, cut to the first or replaced by a
// message of our own, a connection failure given another HRESULT than the
// other providers', a connection attempt that hangs.
TEST_F(SqlServerDataSourceTest, WithoutAServerTheConnectionFailsWithTheDriversOwnMessage)
{
    const auto provider = valmorin::ado::FindProvider(u"ODBC");
    ASSERT_TRUE(provider);
    const auto started = std::chrono::steady_clock::now();
    try {
        provider->Connect(valmorin::ado::ConnectionString(valmorin::text::Widen(kSqlServerConnection)), u"", u"", 30);
        FAIL() << "a connection to a server that is not there succeeded";
    } catch (const valmorin::ado::ProviderFailure& failure) {
        ASSERT_EQ(failure.errors.size(), 2u);
        // FreeTDS's own account first (08S01, the link), then the connection's (08001).
        EXPECT_EQ(failure.errors[0].sqlState, u"08S01");
        EXPECT_EQ(failure.errors[1].sqlState, u"08001");
        for (const valmorin::ado::ProviderError& error : failure.errors) {
            EXPECT_EQ(error.number, MakeHResult(0x80004005));
            EXPECT_EQ(error.source, u"ODBC");
            EXPECT_EQ(error.description.rfind(u"[FreeTDS][SQL Server]Unable to connect", 0), 0u)
                << valmorin::text::Utf16ToUtf8(error.description);
        }
    }
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(15));
}

// Faults: the data-source entry's connection string not reaching the
// provider whole (the DSN, the user and the password are the driver's).
TEST_F(SqlServerDataSourceTest, TheDataSourceEntryLeadsTheCommandToTheSameFailure)
{
    const ProcessResult set = RunProcess({VALMORIN_CLI, "datasource", "set", "NK", kSqlServerConnection});
    ASSERT_EQ(set.exitCode, 0) << set.err;
    const ProcessResult call = RunProcess({VALMORIN_CLI, "translate", "Currencies", "EUR"});
    EXPECT_EQ(call.exitCode, 2);
    EXPECT_NE(call.err.find("0x80004005 ODBC:"), std::string::npos) << call.err;
    EXPECT_NE(call.err.find("FreeTDS"), std::string::npos) << call.err;
    RunProcess({VALMORIN_CLI, "datasource", "remove", "NK"});
}

// Faults: init printing no schema or another DBMS's, or not making the
// tables through the driver, or making them again over an existing store.
TEST(OdbcInit, PrintsTheSchemaOfTheDbmsTheDriverNamesAndCreatesTheStoreOnce)
{
    if (const std::string missing = OdbcDriverMissing(OdbcDriver::Sqlite); !missing.empty()) GTEST_SKIP() << missing;
    const TempDir dir;
    const std::string connection = valmorin::text::Utf16ToUtf8(OdbcSqliteConnectionString(dir / "store.db"));
    const ProcessResult first = RunProcess({VALMORIN_CLI, "init", "--connection", connection});
    ASSERT_EQ(first.exitCode, 0) << first.err;
    EXPECT_NE(first.out.find("CREATE TABLE QM_VALMOR"), std::string::npos) << first.out;
    EXPECT_NE(first.out.find("created the store on SQLite"), std::string::npos) << first.out;
    EXPECT_EQ(QueryColumn(dir / "store.db", "SELECT COUNT(*) FROM sqlite_schema WHERE type = 'table' AND name IN "
                                            "('QM_TABLES', 'QM_DICO', 'QM_VALMOR')"),
              std::vector<std::u16string>{u"3"});
    const ProcessResult again = RunProcess({VALMORIN_CLI, "init", "--connection", connection});
    EXPECT_EQ(again.exitCode, 0) << again.err;
    EXPECT_NE(again.out.find("already exists; nothing was changed"), std::string::npos) << again.out;
}

} // namespace
