// The lookup cache: answers from memory that are never older than the last
// commit a caller could have seen (SQLite, any process), or than the
// notification of a change (PostgreSQL); and, whatever happens to the
// store, the same answers as a lookup without it.
#include "service/lookup_cache.h"
#include "support/admin.h"
#include "support/component.h"
#include "support/odbc_store.h"
#include "support/own_registry.h"
#include "support/private_postgres.h"

#include "platform/text/utf.h"

#include <gtest/gtest.h>

#include <sqlite3.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <random>
#include <thread>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
using valmorin::text::Utf16ToUtf8;

struct Lookup {
    HRESULT hr;
    std::u16string text;
    bool operator==(const Lookup&) const = default;
};

void PrintTo(const Lookup& lookup, std::ostream* out)
{
    *out << std::hex << lookup.hr << " \"" << Utf16ToUtf8(lookup.text) << "\"";
}

Lookup Translate(const CComPtr<IValmorin>& component, const Arg& table, const Arg& value)
{
    BstrResult text;
    const HRESULT hr = component->translate(table, value, &text);
    return {hr, text.text()};
}

// Objects made after the registry asks for a cache of `entries`, on a
// store in WAL mode (as shared stores are).
class CachedLookupTest : public ::testing::TestWithParam<StoreKind> {
protected:
    void SetUp() override
    {
        SKIP_WITHOUT_STORE(GetParam());
        m_registry.emplace();
        m_store.emplace(GetParam());
        if (sqlite()) m_store->Run("PRAGMA journal_mode = WAL;");
        m_store->Run("INSERT INTO QM_TABLES (ID_TABLE, NB_COLS, NOM) VALUES (1, 2, 'T');"
                     "INSERT INTO QM_VALMOR (ID_TABLE, INPUT, OUTPUT) VALUES (1, 'a', '1'), (1, 'b', '2');");
    }
    bool sqlite() const { return GetParam() == StoreKind::Sqlite; }
    static void AskForEntries(DWORD entries) { OwnRegistry::Set(u"LookupCache", entries); }
    CComPtr<IValmorin> Component(DWORD entries)
    {
        AskForEntries(entries);
        return NewComponent(&*m_store);
    }
    // The cache the objects on the store share; null when they have none.
    LookupCache* Cache() const { return ExistingLookupCache(m_store->connectionString(), u""); }
    // PostgreSQL's cache trusts nothing until its connection listens.
    void WaitUntilTrusted() const
    {
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (!Cache()->Begin().trusted && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(5ms);
        ASSERT_TRUE(Cache()->Begin().trusted);
    }
    std::string Connection() const { return Utf16ToUtf8(m_store->connectionString()); }

    std::optional<OwnRegistry> m_registry;
    std::optional<TestStore> m_store;
};

// A writer process changes the store; on SQLite the very next lookup sees
// it, on PostgreSQL once the change's notification arrived.
// Faults caught: an answer kept across a commit of another process (for
// each kind of write, a direct change by another program included); a miss
// kept across the insert that fills it.
TEST_P(CachedLookupTest, EveryKindOfWriteByAnotherProcessReachesTheNextLookups)
{
    const CComPtr<IValmorin> cached = Component(64);
    ASSERT_NE(Cache(), nullptr);
    WaitUntilTrusted();
    EXPECT_EQ(Translate(cached, u"T", u"a"), (Lookup{S_OK, u"1"}));
    EXPECT_EQ(Translate(cached, u"T", u"new"), (Lookup{S_OK, u""})); // a miss, kept too
    EXPECT_EQ(Cache()->size(), 2u);
    Conversation writer({VALMORIN_CLI, "--connection", Connection(), "--batch"});
    auto sees = [&](const std::u16string& table, const std::u16string& value, const std::u16string& expected) {
        const auto deadline = std::chrono::steady_clock::now() + (sqlite() ? 0s : 10s);
        Lookup now = Translate(cached, Arg(table), Arg(value));
        while (now.text != expected && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(1ms);
            now = Translate(cached, Arg(table), Arg(value));
        }
        return now;
    };
    const struct {
        std::string call;
        std::u16string table, value, expected;
    } writes[] = {
        {"transadd\tT\tnew\tv", u"T", u"new", u"v"},
        {"transdel\tT\tnew", u"T", u"new", u""},
        {"CorrespondanceUpdate\tu\tT\ta\ta\tone", u"T", u"a", u"one"},
        {"TableUpdate\tu\tT\tT2\t--null\t\t\t\t\t", u"T", u"a", u""},
        {"TableUpdate\tu\tT2\tT\t--null\t\t\t\t\t", u"T", u"a", u"one"},
        {"TableDelete\tT", u"T", u"b", u""},
    };
    for (const auto& write : writes) {
        SCOPED_TRACE(write.call);
        EXPECT_EQ(Translate(cached, Arg(write.table), Arg(write.value)).hr, S_OK); // kept before the write
        writer.Send(write.call + "\n");
        ASSERT_TRUE(writer.ReadLine(20s).value_or("").starts_with("OK")) << write.call;
        EXPECT_EQ(sees(write.table, write.value, write.expected), (Lookup{S_OK, write.expected}));
    }
    m_store->Run("INSERT INTO QM_TABLES (ID_TABLE, NB_COLS, NOM) VALUES (7, 2, 'T');"
                 "INSERT INTO QM_VALMOR (ID_TABLE, INPUT, OUTPUT) VALUES (7, 'a', 'direct');");
    EXPECT_EQ(sees(u"T", u"a", u"direct"), (Lookup{S_OK, u"direct"}));
    if (sqlite()) { // a notification still on its way may empty PostgreSQL's
        EXPECT_GT(Cache()->size(), 0u);
    }
}

// Objects of one process change a row while other objects of the process
// look it up all the while. Each of the writer's lookups until its next
// write gives what it just wrote, also before the notification arrives.
// Fault caught: an answer read from the store before the process's own
// write, kept in memory after it (where only the store's version, which on
// PostgreSQL moves with the notification, would tell it is old). A reader
// keeps such an answer only when its Keep falls between the write and the
// notification: the writer looks up again and again over that time, so
// that a kept answer is met rather than just missed.
TEST_P(CachedLookupTest, AProcesssOwnWriteIsSeenByItsNextLookupWhateverItsOtherThreadsRead)
{
    const CComPtr<IValmorin> writer = Component(64);
    WaitUntilTrusted();
    std::atomic<bool> reading{true};
    std::vector<std::thread> readers;
    for (int t = 0; t < 2; ++t)
        readers.emplace_back([&] {
            const CComPtr<IValmorin> reader = NewComponent(&*m_store);
            while (reading) Translate(reader, u"T", u"a");
        });
    int stale = 0;
    for (int i = 0; i < 1000; ++i) {
        const std::u16string value = u"v" + valmorin::text::Widen(std::to_string(i));
        ASSERT_EQ(writer->CorrespondanceUpdate(CComBSTR(u"u").get(), Arg(u"T"), Arg(u"a"), Arg(u"a"), Arg(value)),
                  S_OK);
        for (int look = 0; look < 8; ++look)
            if (Translate(writer, u"T", u"a").text != value) ++stale;
    }
    reading = false;
    for (std::thread& reader : readers) reader.join();
    EXPECT_EQ(stale, 0) << "lookups right after the process's own write that gave an older value";
}

// Faults caught: the bound not held; a recently used entry dropped before
// an older one; a Debug object answered from memory.
TEST_P(CachedLookupTest, TheBoundHoldsTheLeastRecentlyUsedGoFirstAndDebugBypasses)
{
    const CComPtr<IValmorin> cached = Component(1);
    ASSERT_NE(Cache(), nullptr);
    WaitUntilTrusted();
    OwnRegistry::Set(u"Debug", u"y");
    const CComPtr<IValmorin> debugging = Component(8);
    OwnRegistry::Set(u"Debug", u"n");
    EXPECT_EQ(Cache()->capacity(), 1u) << "the first object on the store sets the bound";
    EXPECT_EQ(Translate(debugging, u"T", u"a"), (Lookup{S_OK, u"1"}));
    EXPECT_EQ(Cache()->size(), 0u) << "Debug keeps nothing";
    EXPECT_EQ(Translate(cached, u"T", u"a"), (Lookup{S_OK, u"1"}));
    EXPECT_EQ(Translate(cached, u"T", u"b"), (Lookup{S_OK, u"2"}));
    EXPECT_EQ(Cache()->size(), 1u);
    bool found = false;
    BSTR text = nullptr;
    const LookupCache::Ticket ticket = Cache()->Begin();
    ASSERT_TRUE(Cache()->Find(ticket, LookupCache::Kind::Forward, u"T", u"b", found, text));
    SysFreeString(text);
    EXPECT_FALSE(Cache()->Find(ticket, LookupCache::Kind::Forward, u"T", u"a", found, text));
}

// The order of a larger cache: within its bound, the least recently used
// entry goes first.
TEST(LookupCache, TheLeastRecentlyUsedGoesFirst)
{
    class FixedVersion final : public valmorin::ado::StoreWatch {
        bool Read(valmorin::ado::StoreVersion& version) const override
        {
            version = {1, 1};
            return true;
        }
    };
    LookupCache cache(100); // one shard
    cache.Watch(std::make_unique<FixedVersion>());
    const LookupCache::Ticket ticket = cache.Begin();
    for (int i = 0; i < 100; ++i)
        cache.Keep(ticket, LookupCache::Kind::Forward, u"T", valmorin::text::Widen(std::to_string(i)), true, u"x");
    bool found = false;
    BSTR text = nullptr;
    ASSERT_TRUE(cache.Find(ticket, LookupCache::Kind::Forward, u"T", u"0", found, text)); // 0 is used again
    SysFreeString(text);
    cache.Keep(ticket, LookupCache::Kind::Forward, u"T", u"100", true, u"x");
    EXPECT_EQ(cache.size(), 100u);
    EXPECT_TRUE(cache.Find(ticket, LookupCache::Kind::Forward, u"T", u"0", found, text));
    SysFreeString(text);
    EXPECT_FALSE(cache.Find(ticket, LookupCache::Kind::Forward, u"T", u"1", found, text));
    EXPECT_FALSE(cache.Find(ticket, LookupCache::Kind::Reverse, u"T", u"2", found, text)) << "another kind";
    cache.DropTable(u"T");
    EXPECT_EQ(cache.size(), 0u);
}

// The property: a cached object and one without a cache, side by side,
// give the same answer (or the same failure) to every lookup, whatever
// changes the store between them: writes of either object, writes of
// another connection, checkpoints that start the WAL over, keys that
// differ only after a NUL or by case, apostrophes, an object moved to
// another store and back. Steps and seed: VALMORIN_PROPERTY_STEPS,
// VALMORIN_PROPERTY_SEED.
// Faults caught: a cache that answers for a statement it does not equal
// (translate's refusal of an apostrophe answered from translateDefault's
// entry, a key cut elsewhere than the statement cuts it, an entry of one
// store answered on another), or an answer kept across a change.
TEST_P(CachedLookupTest, TheCacheGivesWhatTheStoreGives)
{
    const CComPtr<IValmorin> cached = Component(16);
    const CComPtr<IValmorin> plain = Component(0);
    WaitUntilTrusted();
    CComPtr<IValmorin2> cached2, plain2;
    ASSERT_EQ(cached.QueryInterface(cached2), S_OK);
    ASSERT_EQ(plain.QueryInterface(plain2), S_OK);
    ASSERT_NE(Cache(), nullptr);
    TestStore other(GetParam());
    if (sqlite()) other.Run("PRAGMA journal_mode = WAL;");
    other.Run("INSERT INTO QM_TABLES (ID_TABLE, NB_COLS, NOM) VALUES (1, 2, 'T');"
              "INSERT INTO QM_VALMOR (ID_TABLE, INPUT, OUTPUT) VALUES (1, 'a', 'elsewhere');");

    const std::u16string tables[] = {u"T", u"U", u"t", u"O'T"};
    const std::u16string values[] = {u"a",
                                     u"b",
                                     u"A",
                                     u"a ",
                                     u"",
                                     u"O'Brien",
                                     u"\u00e9\U0001F600",
                                     std::u16string(u"a\0b", 3),
                                     std::u16string(120, u'x')};
    const std::u16string outputs[] = {u"1", u"2", u"", u"x|y", u"O'K"};
    const char* steps = std::getenv("VALMORIN_PROPERTY_STEPS");
    const char* seed = std::getenv("VALMORIN_PROPERTY_SEED");
    std::mt19937 random(seed ? static_cast<unsigned>(std::atoi(seed)) : 20261206u);
    auto pick = [&](const auto& items) -> const auto& { return items[random() % std::size(items)]; };
    auto bstr = [](const std::u16string& text) { return CComBSTR(std::u16string_view(text)); };
    bool elsewhere = false;
    const int count = steps ? std::atoi(steps) : 1500;
    for (int step = 0; step < count; ++step) {
        SCOPED_TRACE("step " + std::to_string(step));
        const CComBSTR table = bstr(pick(tables)), value = bstr(pick(values)), output = bstr(pick(outputs));
        IValmorin* writer = random() % 2 ? cached.get() : plain.get();
        LONG done = 0;
        switch (random() % 16) {
        case 0: writer->transadd(table.get(), value.get(), output.get(), &done); break;
        case 1: writer->transdel(table.get(), value.get(), &done); break;
        case 2: writer->CorrespondanceCreate(CComBSTR(u"u").get(), table.get(), value.get(), output.get()); break;
        case 3:
            writer->CorrespondanceUpdate(CComBSTR(u"u").get(), table.get(), value.get(), value.get(), output.get());
            break;
        case 4: writer->TableDelete(table.get()); break;
        case 5:
            writer->TableUpdate(CComBSTR(u"u").get(), table.get(), bstr(pick(tables)).get(), nullptr, nullptr, nullptr,
                                nullptr, nullptr, nullptr);
            break;
        case 6:
            if (!sqlite()) break; // another connection's change reaches PostgreSQL's cache in bounded time only
            m_store->Run("UPDATE QM_VALMOR SET OUTPUT = OUTPUT || 'z' WHERE INPUT = 'a';");
            break;
        case 7:
            if (sqlite()) m_store->Run("PRAGMA wal_checkpoint(TRUNCATE);");
            break;
        case 8: {
            // Both objects move together, so that their answers stay comparable.
            elsewhere = !elsewhere;
            const CComBSTR to((elsewhere ? other : *m_store).connectionString());
            ASSERT_EQ(cached->Open(to.get()), S_OK);
            ASSERT_EQ(plain->Open(to.get()), S_OK);
            break;
        }
        default: {
            BstrResult mine, theirs;
            HRESULT hr1 = S_OK, hr2 = S_OK;
            switch (random() % 3) {
            case 0:
                hr1 = cached->translate(table.get(), value.get(), &mine);
                hr2 = plain->translate(table.get(), value.get(), &theirs);
                break;
            case 1:
                hr1 = cached2->translateDefault(table.get(), value.get(), output.get(), &mine);
                hr2 = plain2->translateDefault(table.get(), value.get(), output.get(), &theirs);
                break;
            default:
                hr1 = cached2->translateReverse(table.get(), output.get(), &mine);
                hr2 = plain2->translateReverse(table.get(), output.get(), &theirs);
                break;
            }
            ASSERT_EQ((Lookup{hr1, mine.text()}), (Lookup{hr2, theirs.text()}))
                << Utf16ToUtf8(table.view()) << " / " << Utf16ToUtf8(value.view()) << " / "
                << Utf16ToUtf8(output.view());
        }
        }
    }
    EXPECT_GT(Cache()->size(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Stores, CachedLookupTest, ::testing::Values(StoreKind::Sqlite, StoreKind::PostgreSql),
                         StoreKindName);

// No cache where the version cannot be read: a SQLite store that is not
// in WAL mode, a store reached through ODBC.
TEST(LookupCacheStores, RollbackJournalsAndOdbcRunUncached)
{
    TempDir folder;
    const std::filesystem::path file = folder / "rollback.db";
    CreateWalStore(file);
    CreateSqliteFile(file, "PRAGMA journal_mode = DELETE;");
    EXPECT_EQ(SharedLookupCache(SqliteConnectionString(file), u"", u"", 10), nullptr);
    const std::filesystem::path wal = folder / "wal.db";
    CreateWalStore(wal);
    EXPECT_NE(SharedLookupCache(SqliteConnectionString(wal), u"", u"", 10), nullptr);
    EXPECT_EQ(SharedLookupCache(OdbcSqliteConnectionString(wal), u"", u"", 10), nullptr);
}

// 10,000 alternations: another process commits a new OUTPUT, then the
// cached lookup must return it; every 1,000 commits the writer starts the
// WAL over, which sets its frame count back. A second key, read once per
// thousand at the same point of each, is kept across the restarts.
// Faults caught: a version read from the frame count alone (it repeats
// after a WAL restart); a version read from anything not written at commit.
TEST(LookupCacheFreshness, TenThousandAlternationsWithAnotherProcessAreNeverStale)
{
    TempDir folder;
    const std::filesystem::path file = folder / "alternations.db";
    CreateWalStore(file, "INSERT INTO QM_TABLES (ID_TABLE, NB_COLS, NOM) VALUES (1, 2, 'T');"
                         "INSERT INTO QM_VALMOR (ID_TABLE, INPUT, OUTPUT) VALUES (1, 'k', '0'), (1, 'j', '0');");
    const OwnRegistry registry;
    OwnRegistry::Set(u"LookupCache", 100);
    const CComPtr<IValmorin> component = NewComponent();
    ASSERT_EQ(component->Open(CComBSTR(SqliteConnectionString(file)).get()), S_OK);

    int toWriter[2], toReader[2];
    ASSERT_EQ(::pipe(toWriter), 0);
    ASSERT_EQ(::pipe(toReader), 0);
    constexpr int kAlternations = 10000;
    const pid_t child = ::fork();
    if (child == 0) { // the writer: its own connection, in a process of its own
        sqlite3* db = nullptr;
        if (sqlite3_open(file.c_str(), &db) != SQLITE_OK) ::_exit(1);
        sqlite3_exec(db, "PRAGMA synchronous = OFF", nullptr, nullptr, nullptr);
        char token = 0;
        for (int i = 1; i <= kAlternations && ::read(toWriter[0], &token, 1) == 1; ++i) {
            const std::string sql = "UPDATE QM_VALMOR SET OUTPUT = '" + std::to_string(i) + "'";
            if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) ::_exit(2);
            if (i % 1000 == 0) sqlite3_exec(db, "PRAGMA wal_checkpoint(TRUNCATE)", nullptr, nullptr, nullptr);
            if (::write(toReader[1], &token, 1) != 1) ::_exit(3);
        }
        sqlite3_close(db);
        ::_exit(0);
    }
    ::close(toWriter[0]);
    ::close(toReader[1]);
    int stale = 0;
    for (int i = 1; i <= kAlternations; ++i) {
        EXPECT_EQ(Translate(component, u"T", u"k").text, valmorin::text::Widen(std::to_string(i - 1)));
        char token = 'w';
        ASSERT_EQ(::write(toWriter[1], &token, 1), 1);
        ASSERT_EQ(::read(toReader[0], &token, 1), 1);
        const std::u16string now = valmorin::text::Widen(std::to_string(i));
        if (Translate(component, u"T", u"k").text != now) ++stale;
        if (i % 1000 == 500 && Translate(component, u"T", u"j").text != now) ++stale;
    }
    ::close(toWriter[1]);
    ::close(toReader[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(stale, 0) << "lookups that missed the commit before them";
    EXPECT_NE(ExistingLookupCache(SqliteConnectionString(file), u""), nullptr);
}

// While the cache's own connection to PostgreSQL is down, nothing is
// served from memory: the lookup goes to the store (and fails with it);
// once the server is back, a change made meanwhile is seen.
// Fault caught: answers trusted while the notifications cannot arrive.
TEST(LookupCacheFreshness, ALostListenerIsNeverTrusted)
{
    if (const std::string unavailable = PrivatePostgres::Unavailable(); !unavailable.empty())
        GTEST_SKIP() << unavailable;
    const PrivatePostgres server("INSERT INTO QM_TABLES (ID_TABLE, NB_COLS, NOM) VALUES (1, 2, 'T');"
                                 "INSERT INTO QM_VALMOR (ID_TABLE, INPUT, OUTPUT) VALUES (1, 'a', 'before');");
    const OwnRegistry registry;
    OwnRegistry::Set(u"LookupCache", 100);
    const CComPtr<IValmorin> component = NewComponent();
    const std::u16string connection = valmorin::text::Widen(server.connectionString());
    ASSERT_EQ(component->Open(CComBSTR(connection).get()), S_OK);
    LookupCache* cache = ExistingLookupCache(connection, u"");
    ASSERT_NE(cache, nullptr);
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!cache->Begin().trusted && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(5ms);
    EXPECT_EQ(Translate(component, u"T", u"a"), (Lookup{S_OK, u"before"}));
    EXPECT_EQ(cache->size(), 1u);

    server.Stop();
    EXPECT_TRUE(FAILED(Translate(component, u"T", u"a").hr)) << "answered from memory with the server down";
    server.Start();
    server.Run("UPDATE QM_VALMOR SET OUTPUT = 'after' WHERE INPUT = 'a'");
    // The object's own link was lost with the server; it is opened again.
    ASSERT_EQ(component->Open(CComBSTR(connection).get()), S_OK);
    EXPECT_EQ(Translate(component, u"T", u"a"), (Lookup{S_OK, u"after"}));
}

} // namespace
