#include "platform/text/utf.h"
#include "qmt/db/ado_connection.h"
#include "qmt/diag/exception.h"
#include "support/datasource_folders.h"
#include "support/memory_log.h"
#include "support/odbc_store.h"
#include "support/process.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <future>
#include <sstream>

#include <sys/stat.h>
#include <unistd.h>

namespace {

class DataSourceCommandTest : public ::testing::Test {
protected:
    // Until the command line routes "datasource", there is nothing to test.
    void SetUp() override {}
    ProcessResult Run(std::vector<std::string> args) const
    {
        args.insert(args.begin(), {VALMORIN_CLI, "datasource"});
        return RunProcess(args, "", m_folders.environment());
    }
    static unsigned ModeOf(const std::filesystem::path& file)
    {
        struct stat status {};
        return ::stat(file.c_str(), &status) == 0 ? status.st_mode & 07777 : 0;
    }

    DataSourceFolders m_folders;
    std::string m_user = m_folders.userFile().string();
    std::string m_machine = m_folders.machineFile().string();
};

TEST_F(DataSourceCommandTest, SetShowListAndRemove)
{
    const std::string secret = "Provider=SQLite;Data Source=/q.db;Password=\"se;cret\"";
    EXPECT_EQ(Run({"set", "NK", secret, "--schema", "QMS"}).exitCode, 0);
    EXPECT_EQ(Run({"set", "Sales", "Provider=OraOLEDB.Oracle;User ID=S; pwd = tiger", "--machine"}).exitCode, 0);
    EXPECT_EQ(ModeOf(m_folders.userFile()), 0600u);
    EXPECT_EQ(ModeOf(m_folders.machineFile()), 0600u);

    EXPECT_EQ(Run({"show", "nk"}).out, "# user\t" + m_user +
                                           "\n[NK]\n"
                                           "ConnectionString = Provider=SQLite;Data Source=/q.db;Password=********\n"
                                           "Schema = QMS\n");
    EXPECT_EQ(Run({"show", "Sales"}).out, "# machine\t" + m_machine +
                                              "\n[Sales]\n"
                                              "ConnectionString = Provider=OraOLEDB.Oracle;User ID=S; pwd =********\n");
    EXPECT_EQ(Run({"list"}).out, "NK\tuser\t" + m_user + "\nSales\tmachine\t" + m_machine + "\n");

    // a file an administrator opened to a group stays so
    ::chmod(m_folders.machineFile().c_str(), 0640);
    EXPECT_EQ(Run({"set", "Sales@bob", "Provider=SQLite;Data Source=/b.db", "--machine"}).exitCode, 0);
    EXPECT_EQ(ModeOf(m_folders.machineFile()), 0640u);
    EXPECT_EQ(Run({"show", "Sales@BOB"}).out,
              "# machine\t" + m_machine + "\n[Sales@bob]\nConnectionString = Provider=SQLite;Data Source=/b.db\n");

    EXPECT_EQ(Run({"remove", "NK"}).exitCode, 0);
    EXPECT_EQ(Run({"remove", "NK"}).exitCode, 1);
    const std::string store = m_folders.defaultStore().string();
    EXPECT_EQ(Run({"show", "NK"}).out,
              "# default\n[NK]\nConnectionString = Provider=SQLite;Data Source=" + store + "\n");
}

// Fault caught: root run with a user's environment (sudo -E) creates, and
// then answers from, that user's store, or init and the catalogue choose
// different files.
TEST_F(DataSourceCommandTest, TheSystemAccountsDefaultStoreIsTheMachines)
{
    if (::geteuid() != 0) GTEST_SKIP() << "only root is the system account";
    const std::filesystem::path machineStore =
        std::filesystem::path(std::getenv("PELKOR_ROOT")) / "var/lib/Pelkor/QMS/valmorin.db";
    const ProcessResult init = RunProcess({VALMORIN_CLI, "init"}, "", m_folders.environment());
    EXPECT_EQ(init.exitCode, 0) << init.err;
    EXPECT_TRUE(std::filesystem::exists(machineStore));
    EXPECT_FALSE(std::filesystem::exists(m_folders.dataFolder()));
    EXPECT_EQ(Run({"show", "NK"}).out,
              "# default\n[NK]\nConnectionString = Provider=SQLite;Data Source=" + machineStore.string() + "\n");
}

TEST_F(DataSourceCommandTest, RefusedFileIsNeitherUsedNorChanged)
{
    DataSourceFolders::Write(m_folders.userFile(), "[NK]\nConnectionString = x\n", 0660);
    const ProcessResult listed = Run({"list"});
    EXPECT_EQ(listed.exitCode, 2);
    EXPECT_EQ(listed.err,
              "valmorin: datasource: " + m_user + ": writable by others than its owner (mode 0660): not trusted\n");
    EXPECT_EQ(Run({"set", "NK", "Provider=SQLite;Data Source=/y.db"}).exitCode, 2);
    std::ostringstream kept;
    kept << std::ifstream(m_folders.userFile()).rdbuf();
    EXPECT_EQ(kept.str(), "[NK]\nConnectionString = x\n");
}

TEST_F(DataSourceCommandTest, ConcurrentWritersKeepEachOthersChanges)
{
    std::vector<std::future<int>> writers;
    for (int i = 0; i < 6; ++i)
        writers.push_back(std::async(std::launch::async, [this, i] {
            const std::string connection = valmorin::text::Utf16ToUtf8(SqliteConnectionString("/" + std::to_string(i)));
            return Run({"set", "DS" + std::to_string(i), connection}).exitCode;
        }));
    for (auto& writer : writers) EXPECT_EQ(writer.get(), 0);
    const std::string listed = Run({"list"}).out;
    for (int i = 0; i < 6; ++i)
        EXPECT_NE(listed.find("DS" + std::to_string(i) + "\tuser"), std::string::npos) << listed;
}

TEST_F(DataSourceCommandTest, ArgumentsThatMakeNoCommandWriteNothing)
{
    const std::vector<std::vector<std::string>> wrong = {
        {}, {"set", "NK"}, {"show", "NK", "--machine"}, {"remove", "@a"}, {"set", "N[K]", "x"}, {"set", "NK", "a\nb"}};
    for (const std::vector<std::string>& args : wrong) EXPECT_EQ(Run(args).exitCode, 64);
    EXPECT_FALSE(std::filesystem::exists(m_folders.userFile()));
}

// Fault caught: the command printing the connection string as stored.
TEST(DataSourceMaskingTest, ShowPrintsNoPassword)
{
    const DataSourceFolders folders;
    DataSourceFolders::Write(folders.userFile(), "[NK]\nConnectionString = Provider=X;Password={hun;ter2}\n");
    const ProcessResult shown = RunProcess({VALMORIN_CLI, "datasource", "show", "NK"}, "", folders.environment());
    EXPECT_EQ(shown.exitCode, 0) << shown.err;
    EXPECT_EQ(shown.out.find("hun"), std::string::npos) << shown.out;
    EXPECT_EQ(shown.out.find("ter2"), std::string::npos) << shown.out;
}

// A driver that quotes the connection string back (all the rest of it,
// after a brace it could not close) shows no password in the error, and
// the log of the failed open shows none either.
// Fault caught: the driver manager's "Can't open lib '...;PWD=...'" passed
// on as it came, and the connection string logged whole.
TEST(ConnectionStringTest, NoPasswordInTheMessagesOfAFailedConnection)
{
    if (const std::string missing = OdbcDriverMissing(OdbcDriver::Sqlite); !missing.empty()) GTEST_SKIP() << missing;
    const MemoryLog log;
    qmt::CAdoConnection connection;
    std::u16string description;
    try {
        connection.open(u"Provider=ODBC;Driver={Valmorin SQLite3;Database=/nowhere.db;PWD=topsecret", u"", u"");
        ADD_FAILURE() << "the connection opened";
    } catch (const qmt::CException& e) {
        description = e.description;
    }
    EXPECT_NE(description.find(u"Can't open lib"), std::u16string::npos) << valmorin::text::Utf16ToUtf8(description);
    EXPECT_EQ(description.find(u"topsecret"), std::u16string::npos) << valmorin::text::Utf16ToUtf8(description);
    for (const LogRecord& record : log.records())
        EXPECT_EQ(record.message.find(u"topsecret"), std::u16string::npos)
            << valmorin::text::Utf16ToUtf8(record.message);

    const ProcessResult command = RunProcess(
        {VALMORIN_CLI, "--connection", "Provider=ODBC;Driver={Valmorin SQLite3;PWD=topsecret", "translate", "T", "k"});
    EXPECT_EQ(command.exitCode, 2);
    EXPECT_EQ(command.err.find("topsecret"), std::string::npos) << command.err;
}

} // namespace
