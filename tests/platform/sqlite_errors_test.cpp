// A store that another connection holds locked: the call must fail with the
// "gave up waiting" code (0x80040E31, DB_E_ABORTLIMITREACHED), which callers
// retry, not with the general failure they report and drop.
#include "platform/ado/ado.h"
#include "platform/ado/connection_string.h"
#include "valmorin/com/runtime.h"
#include "platform/text/utf.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <sqlite3.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <thread>

namespace {

constexpr HRESULT kGaveUpWaiting = static_cast<HRESULT>(0x80040E31);

// A second connection of the test's own, as another program would hold.
class Holder {
public:
    Holder(const std::filesystem::path& file, int flags)
    {
        if (sqlite3_open_v2(file.c_str(), &m_db, SQLITE_OPEN_READWRITE | flags, nullptr) != SQLITE_OK)
            ADD_FAILURE() << "cannot open " << file;
    }
    ~Holder() { sqlite3_close(m_db); }
    Holder(const Holder&) = delete;
    Holder& operator=(const Holder&) = delete;
    int Run(const char* sql) { return sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr); }

private:
    sqlite3* m_db = nullptr;
};

struct Outcome {
    HRESULT hr = S_OK;
    LONG number = 0; // the first provider error's
    std::u16string sqlState;
};

class SqliteErrorsTest : public ::testing::Test {
protected:
    void Prepare(const char* journal)
    {
        CreateSqliteFile(m_file, std::string("PRAGMA journal_mode = ") + journal +
                                     "; CREATE TABLE T (ID INTEGER); INSERT INTO T VALUES (1);");
    }
    // Through the ADO connection itself, so that the wait is one second
    // unless the connection string sets its own.
    // busyTimeout: the connection string's Busy Timeout, when given.
    CComPtr<_Connection> Connect(std::u16string_view busyTimeout = {}, LONG commandTimeout = 1,
                                 HRESULT opened = S_OK) const
    {
        CComPtr<_Connection> connection;
        EXPECT_EQ(CoCreateInstance(CLSID_Connection, nullptr, CLSCTX_ALL, _Connection::iid,
                                   reinterpret_cast<void**>(&connection)),
                  S_OK);
        EXPECT_EQ(connection->put_CommandTimeout(commandTimeout), S_OK);
        valmorin::ado::ConnectionString settings(SqliteConnectionString(m_file));
        if (!busyTimeout.empty()) settings = settings.With(u"Busy Timeout", busyTimeout);
        const std::u16string& cs = settings.Text();
        EXPECT_EQ(connection->Open(CComBSTR(cs).get(), nullptr, nullptr, -1), opened)
            << valmorin::text::Utf16ToUtf8(cs);
        return connection;
    }
    static Outcome Execute(_Connection* connection, const char16_t* sql)
    {
        Outcome outcome;
        CComVariant affected;
        outcome.hr = connection->Execute(CComBSTR(sql).get(), &affected, -1, nullptr);
        CComPtr<Errors> errors;
        LONG count = 0;
        if (FAILED(outcome.hr) && connection->get_Errors(&errors) == S_OK && errors->get_Count(&count) == S_OK &&
            count > 0) {
            CComPtr<Error> first;
            if (errors->get_Item(CComVariant(LONG{0}), &first) == S_OK) {
                first->get_Number(&outcome.number);
                CComBSTR state;
                first->get_SQLState(&state);
                outcome.sqlState = std::u16string(state.view());
            }
        }
        return outcome;
    }

    TempDir m_dir;
    std::filesystem::path m_file = m_dir / "store.db";
};

// Fault caught: SQLITE_BUSY mapped to E_FAIL (or to a command error).
TEST_F(SqliteErrorsTest, ABusyStoreGivesUpWaitingWithItsOwnCode)
{
    struct Case {
        const char* journal;
        const char* held; // what the other program keeps open
        const char16_t* statement;
    };
    const Case cases[] = {
        {"DELETE", "BEGIN EXCLUSIVE", u"SELECT COUNT(*) FROM T"},
        {"DELETE", "BEGIN IMMEDIATE", u"INSERT INTO T VALUES (2)"},
        {"WAL", "BEGIN IMMEDIATE", u"UPDATE T SET ID = 3"},
    };
    for (const Case& c : cases) {
        std::filesystem::remove(m_file);
        Prepare(c.journal);
        CComPtr<_Connection> connection = Connect();
        {
            Holder other(m_file, 0);
            ASSERT_EQ(other.Run(c.held), SQLITE_OK) << c.held;
            const Outcome busy = Execute(connection.get(), c.statement);
            EXPECT_EQ(busy.hr, kGaveUpWaiting) << c.journal << " " << c.held;
            EXPECT_EQ(busy.number, kGaveUpWaiting) << c.journal << " " << c.held;
            EXPECT_EQ(busy.sqlState, u"HYT00") << c.journal << " " << c.held;
        }
        // the lock gone, the same connection goes on
        EXPECT_EQ(Execute(connection.get(), c.statement).hr, S_OK) << c.journal << " " << c.held;
        connection->Close();
    }
}

// SQLITE_LOCKED comes from a conflict inside one shared cache, where no
// busy wait applies. Fault caught: SQLITE_LOCKED (or its extended forms)
// left out of the mapping.
TEST_F(SqliteErrorsTest, ALockedTableGivesUpWaitingWithTheSameCode)
{
    Prepare("DELETE");
    ASSERT_EQ(sqlite3_enable_shared_cache(1), SQLITE_OK);
    {
        CComPtr<_Connection> connection = Connect();
        Holder other(m_file, SQLITE_OPEN_SHAREDCACHE);
        ASSERT_EQ(other.Run("BEGIN; INSERT INTO T VALUES (5);"), SQLITE_OK);
        for (const char16_t* statement : {u"SELECT COUNT(*) FROM T", u"INSERT INTO T VALUES (6)"}) {
            const Outcome locked = Execute(connection.get(), statement);
            EXPECT_EQ(locked.hr, kGaveUpWaiting) << valmorin::text::Utf16ToUtf8(statement);
            EXPECT_EQ(locked.number, kGaveUpWaiting) << valmorin::text::Utf16ToUtf8(statement);
        }
        ASSERT_EQ(other.Run("COMMIT"), SQLITE_OK);
        EXPECT_EQ(Execute(connection.get(), u"INSERT INTO T VALUES (6)").hr, S_OK);
        connection->Close();
    }
    sqlite3_enable_shared_cache(0);
}

// A connection string's own wait for a lock outlasts the command time-out
// (none here: a command would wait for ever): at 0, a locked store fails at
// once instead of waiting for the lock's release, two seconds on. Faults
// caught: the key ignored (the statement waits and succeeds), a value
// that is no number of milliseconds taken as some wait.
TEST_F(SqliteErrorsTest, TheConnectionStringsBusyTimeoutSetsTheWait)
{
    Prepare("DELETE");
    CComPtr<_Connection> connection = Connect(u"0", 0);
    {
        Holder other(m_file, 0);
        ASSERT_EQ(other.Run("BEGIN EXCLUSIVE"), SQLITE_OK);
        std::thread release([&] {
            std::this_thread::sleep_for(std::chrono::seconds(2));
            other.Run("COMMIT");
        });
        const Outcome busy = Execute(connection.get(), u"SELECT COUNT(*) FROM T");
        release.join();
        EXPECT_EQ(busy.hr, kGaveUpWaiting);
        EXPECT_EQ(busy.sqlState, u"HYT00");
    }
    EXPECT_EQ(Execute(connection.get(), u"SELECT COUNT(*) FROM T").hr, S_OK);
    connection->Close();
    for (const char16_t* garbled : {u"-1", u"1e3", u"2147483648", u"ten", u" "})
        Connect(garbled, 1, static_cast<HRESULT>(0x80070057));
}

// Another process holds every read slot of the WAL-index, which SQLite
// retries, sleeping some ten seconds in all whatever the busy wait; a
// connection that never waits tries without sleeping. Faults caught: the
// protocol error it then gives mapped to the general failure, which
// callers report as the store's fault instead of a lock to try again; a
// connection that never waits sleeping through the retries (the test then
// outlasts the holder, which gives the slots back after five seconds).
TEST_F(SqliteErrorsTest, ReadSlotsHeldElsewhereGiveUpWaitingWithTheSameCode)
{
    Prepare("WAL");
    CComPtr<_Connection> connection = Connect(u"0");
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t holder = ::fork();
    if (holder == 0) {
        // The read slots are bytes 123 to 127 of the WAL-index.
        const int shm = ::open((m_file.string() + "-shm").c_str(), O_RDWR);
        struct flock slots {};
        slots.l_type = F_WRLCK;
        slots.l_whence = SEEK_SET;
        slots.l_start = 123;
        slots.l_len = 5;
        const char held = shm >= 0 && ::fcntl(shm, F_SETLK, &slots) == 0 ? 'y' : 'n';
        if (::write(ready[1], &held, 1) != 1) ::_exit(1);
        ::sleep(5);
        ::_exit(0);
    }
    char held = 'n';
    ASSERT_EQ(::read(ready[0], &held, 1), 1);
    ::close(ready[0]);
    ::close(ready[1]);
    const Outcome outcome = Execute(connection.get(), u"SELECT COUNT(*) FROM T");
    ::kill(holder, SIGKILL);
    ::waitpid(holder, nullptr, 0);
    ASSERT_EQ(held, 'y');
    EXPECT_EQ(outcome.hr, kGaveUpWaiting);
    EXPECT_EQ(outcome.sqlState, u"HYT00");
    connection->Close();
}

} // namespace
