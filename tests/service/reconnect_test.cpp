// A long-running host (here `valmorin --batch`, kept waiting between lines)
// whose database link goes away: the server restarts, or its session is
// ended by an administrator. The call in flight may fail; the next one
// connects again and answers. Nothing is retried behind the caller's back.
// A link the server closed while the host sat idle costs no call at all.
//
// Faults caught: a provider that keeps a dead session as open, so that every
// later call answers "no connection to the server" until the host restarts;
// one that notices a link closed between calls only by failing the next
// call (after a failover, each idle object of a server failed a request).
#include "platform/ado/connection_string.h"
#include "platform/text/utf.h"
#include "support/component.h"
#include "support/pg_relay.h"
#include "support/private_postgres.h"
#include "support/store.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

namespace {

using namespace std::chrono_literals;
using Rows = std::vector<std::u16string>;

class Host {
public:
    explicit Host(const std::string& connection) : m_batch({VALMORIN_CLI, "--connection", connection, "--batch"}) {}

    std::string Call(const std::string& line)
    {
        m_batch.Send(line + "\n");
        return m_batch.ReadLine(30s).value_or("<no answer>");
    }

private:
    Conversation m_batch;
};

// The counter's next number, after the call in flight failed: a number
// drawn once, not twice (no silent retry) and not lost.
void ExpectTheHostRecovers(Host& host, const std::string& drawnBefore)
{
    const std::string inFlight = host.Call("transIdent\tN");
    if (inFlight.starts_with("OK\t")) {
        EXPECT_EQ(inFlight, "OK\t" + std::to_string(std::stoi(drawnBefore) + 1));
        return;
    }
    EXPECT_TRUE(inFlight.starts_with("ERROR\t")) << inFlight;
    EXPECT_EQ(host.Call("transIdent\tN"), "OK\t" + std::to_string(std::stoi(drawnBefore) + 1));
    EXPECT_EQ(host.Call("translate\tT\tk"), "OK\tv");
}

TEST(ReconnectTest, AHostOutlivesARestartOfItsServer)
{
    if (const std::string unavailable = PrivatePostgres::Unavailable(); !unavailable.empty())
        GTEST_SKIP() << unavailable;
    const PrivatePostgres server;
    Host host(server.connectionString());
    ASSERT_EQ(host.Call("transadd\tT\tk\tv"), "OK\t1");
    ASSERT_EQ(host.Call("transIdent\tN"), "OK\t1");
    server.Restart();
    ExpectTheHostRecovers(host, "1");
}

// Ends every session on the store's database but the store's own.
void EndTheOtherSessions(const TestStore& store)
{
    const std::vector<std::u16string> ended = store.Column(
        "SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE datname = current_database() AND pid <> "
        "pg_backend_pid()");
    ASSERT_EQ(ended, std::vector<std::u16string>{u"t"});
}

// The server's goodbye and the end of its stream arriving apart, as across
// a network: the goodbye alone tells the host, between calls, that its link
// is gone. Fault caught: a look between calls that read what had arrived
// without taking it as messages, and so saw the link closed only once its
// end had come too (a call failed now and then after a session was ended).
TEST(ReconnectTest, AGoodbyeAheadOfTheLinksEndCostsNoCall)
{
    SKIP_WITHOUT_STORE(StoreKind::PostgreSql);
    const TestStore store(StoreKind::PostgreSql);
    const TempDir folder;
    const valmorin::ado::ConnectionString direct(store.connectionString());
    PgRelay relay(folder.path(), valmorin::text::Utf16ToUtf8(direct.Get(u"Host")),
                  valmorin::text::Utf16ToUtf8(direct.Get(u"Port")));
    relay.HoldEnds();
    Host host(valmorin::text::Utf16ToUtf8(direct.With(u"Host", valmorin::text::Widen(folder.path().string())).Text()));
    ASSERT_EQ(host.Call("transadd\tT\tk\tv"), "OK\t1");
    ASSERT_EQ(host.Call("transIdent\tN"), "OK\t1");
    ASSERT_NO_FATAL_FAILURE(EndTheOtherSessions(store));
    for (int wait = 0; wait < 500 && relay.EndsHeld() == 0; ++wait) std::this_thread::sleep_for(10ms);
    ASSERT_EQ(relay.EndsHeld(), 1);
    EXPECT_EQ(host.Call("transIdent\tN"), "OK\t2");
    EXPECT_EQ(host.Call("translate\tT\tk"), "OK\tv");
}

class EndedSessionTest : public ::testing::TestWithParam<StoreKind> {};

TEST_P(EndedSessionTest, AHostOutlivesTheEndOfItsSession)
{
    SKIP_WITHOUT_STORE(GetParam());
    const TestStore store(GetParam());
    Host host(valmorin::text::Utf16ToUtf8(store.connectionString()));
    ASSERT_EQ(host.Call("transadd\tT\tk\tv"), "OK\t1");
    ASSERT_EQ(host.Call("transIdent\tN"), "OK\t1");
    ASSERT_NO_FATAL_FAILURE(EndTheOtherSessions(store));
    if (GetParam() != StoreKind::PostgreSql) return ExpectTheHostRecovers(host, "1");
    // Once the ended session's process is gone, its socket is closed.
    for (int wait = 0; wait < 500 && store.Column("SELECT count(*) FROM pg_stat_activity WHERE datname = "
                                                  "current_database() AND pid <> pg_backend_pid()") != Rows{u"0"};
         ++wait)
        std::this_thread::sleep_for(10ms);
    EXPECT_EQ(host.Call("transIdent\tN"), "OK\t2");
    EXPECT_EQ(host.Call("translate\tT\tk"), "OK\tv");
}

// The store's file renamed over while an object has it open, as an
// operator puts a restored copy in place: the object opens the store it
// was given again and reads the file now there. Fault caught: an object
// Open-ed on a store of its caller's naming that, once its link is lost,
// opens the data source NK instead (the server's objects reading a
// standby then read the primary, or the embedded default store).
TEST(ReconnectTest, AnOpenedStoreRenamedOverIsOpenedAgainNotNK)
{
    const TestStore store;
    store.Run("INSERT INTO QM_TABLES (ID_TABLE, NB_COLS, NOM) VALUES (1, 2, 'T');"
              "INSERT INTO QM_VALMOR (ID_TABLE, INPUT, OUTPUT) VALUES (1, 'k', 'old');");
    const CComPtr<IValmorin> component = NewComponent(&store);
    const auto translate = [&] {
        BstrResult answer;
        const HRESULT hr = component->translate(CComBSTR(u"T").get(), CComBSTR(u"k").get(), &answer);
        return SUCCEEDED(hr) ? answer.text() : u"<failed>";
    };
    ASSERT_EQ(translate(), u"old");
    const std::filesystem::path restored = store.file().parent_path() / "restored.db";
    ASSERT_EQ(SqliteShell(store.file(), "VACUUM INTO '" + restored.string() + "'").exitCode, 0);
    ASSERT_EQ(SqliteShell(restored, "UPDATE QM_VALMOR SET OUTPUT = 'restored'").exitCode, 0);
    // As a careful operator does: the log of the file replaced emptied first,
    // so that none of its pages is read into the new one.
    ASSERT_EQ(SqliteShell(store.file(), "PRAGMA wal_checkpoint(TRUNCATE)").exitCode, 0);
    std::filesystem::rename(restored, store.file());
    std::u16string answer;
    for (const auto deadline = std::chrono::steady_clock::now() + 15s; std::chrono::steady_clock::now() < deadline;
         std::this_thread::sleep_for(100ms)) {
        answer = translate();
        if (answer == u"restored") break;
        EXPECT_TRUE(answer == u"old" || answer == u"<failed>") << valmorin::text::Utf16ToUtf8(answer);
    }
    EXPECT_EQ(answer, u"restored");
}

INSTANTIATE_TEST_SUITE_P(Stores, EndedSessionTest, ::testing::Values(StoreKind::PostgreSql, StoreKind::OdbcPostgreSql),
                         StoreKindName);

} // namespace
