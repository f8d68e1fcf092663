// The lookup cache against what other processes and operators do to its
// store while a cached process reads: SQLite shells opening, writing,
// checkpointing in every mode, vacuuming and trying to leave WAL mode, the
// store's files replaced; on PostgreSQL, tables swapped in by rename,
// triggers disabled, schema changes and a listening backend that stops.
// The cached reader must neither crash nor answer with a value older than
// its store holds (on PostgreSQL: older than the cache's link bound).
//
// VALMORIN_HOSTILE_ROUNDS sets the rounds (the suite's default is short;
// scripts/bench runs the long form).
#include "service/lookup_cache.h"
#include "support/admin.h"
#include "support/component.h"
#include "support/own_registry.h"
#include "support/pg_relay.h"
#include "support/process.h"
#include "support/store.h"
#include "support/temp_dir.h"

#include "platform/ado/connection_string.h"
#include "platform/ado/store_watch.h"
#include "platform/text/utf.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
using valmorin::text::Utf16ToUtf8;

int Rounds(int suite)
{
    const char* rounds = std::getenv("VALMORIN_HOSTILE_ROUNDS");
    return rounds ? std::max(1, std::atoi(rounds)) : suite;
}

// A `valmorin --batch` process with the cache on: the reader whose answers
// are checked, in a process of its own so that a crash is counted.
class CachedReader {
public:
    explicit CachedReader(const std::string& connection)
        : m_batch({VALMORIN_CLI, "--connection", connection, "--batch"})
    {}
    // The answer line of one call; "<gone>" once the process is gone.
    std::string Call(const std::string& line)
    {
        try {
            m_batch.Send(line + "\n");
            if (std::optional<std::string> answer = m_batch.ReadLine(20s)) return *answer;
        } catch (const std::runtime_error&) {
        }
        m_gone = true;
        return "<gone>";
    }
    bool gone() const { return m_gone; }
    std::string Translate(const std::string& input) { return Call("translate\tT\t" + input); }
    int Finish() { return m_batch.Finish(); }

private:
    Conversation m_batch;
    bool m_gone = false;
};

// What other processes do to the store, at random, until told to stop:
// none of it changes what the store answers.
class Meddlers {
public:
    explicit Meddlers(std::filesystem::path file) : m_file(std::move(file)), m_thread([this] { Run(); }) {}
    ~Meddlers()
    {
        m_stop = true;
        m_thread.join();
    }
    int acts() const { return m_acts; }
    // Held while the store's files are replaced: a shell that opened the new
    // file beside the old WAL would apply the old WAL to it.
    std::mutex& pause() { return m_pause; }

private:
    void Run()
    {
        static const char* const kActs[] = {
            "SELECT COUNT(*) FROM QM_VALMOR;", // opens, reads, closes
            "PRAGMA wal_checkpoint(PASSIVE);",
            "PRAGMA wal_checkpoint(FULL);",
            "PRAGMA wal_checkpoint(RESTART);",
            "PRAGMA wal_checkpoint(TRUNCATE);",
            "VACUUM;",
            "PRAGMA journal_mode = DELETE;", // refused while others are connected
            "PRAGMA locking_mode = EXCLUSIVE; SELECT COUNT(*) FROM QM_TABLES;",
            "BEGIN; UPDATE QM_VALMOR SET OUTPUT = 'never' WHERE INPUT = 'k'; ROLLBACK;",
        };
        std::mt19937 random(7);
        while (!m_stop) {
            const std::lock_guard paused(m_pause);
            // Briefly: what the store refuses it refuses at once.
            SqliteShell(m_file, kActs[random() % std::size(kActs)], 50);
            ++m_acts;
        }
    }

    std::filesystem::path m_file;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_acts{0};
    std::mutex m_pause;
    std::thread m_thread;
};

// Each round another process commits a new OUTPUT with the sqlite3 shell;
// the reader must answer it at once, and again from memory. Every tenth
// round the store is replaced as an operator restores a copy (the new file
// renamed over it, its old WAL and index removed) and the reader opens it
// again: it must answer from the new file.
// Faults caught: the process's locks on the WAL-index dropped by a
// descriptor the watch closes (the next opener rebuilds the index under the
// mapping: SIGBUS, or a version seen before and a stale answer); a version
// that repeats after a checkpoint; a cache kept for a store whose file was
// replaced.
TEST(LookupCacheUnderHostileProcesses, SqliteReaderNeverCrashesNorAnswersStale)
{
    TempDir folder;
    const std::filesystem::path file = folder / "store.db";
    CreateWalStore(file, "INSERT INTO QM_TABLES (ID_TABLE, NB_COLS, NOM) VALUES (1, 2, 'T');"
                         "INSERT INTO QM_VALMOR (ID_TABLE, INPUT, OUTPUT) VALUES (1, 'k', '0'), (1, 'j', 'j');");
    const OwnRegistry registry;
    OwnRegistry::Set(u"LookupCache", 100);
    const std::string connection = Utf16ToUtf8(SqliteConnectionString(file));
    CachedReader reader(connection);
    ASSERT_EQ(reader.Translate("k"), "OK\t0");

    int stale = 0, replaced = 0, acts = 0;
    const int rounds = Rounds(300);
    {
        Meddlers meddlers(file);
        for (int round = 1; round <= rounds && !reader.gone(); ++round) {
            std::string now = std::to_string(round);
            if (round % 10 == 0) {
                const std::lock_guard paused(meddlers.pause());
                const std::filesystem::path copy = folder / "copy.db";
                ASSERT_EQ(SqliteShell(file, "VACUUM INTO '" + copy.string() + "'").exitCode, 0);
                now = "restored " + now;
                ASSERT_EQ(SqliteShell(copy, "UPDATE QM_VALMOR SET OUTPUT = '" + now + "' WHERE INPUT = 'k'").exitCode,
                          0);
                std::filesystem::rename(copy, file);
                std::filesystem::remove(file.string() + "-wal");
                std::filesystem::remove(file.string() + "-shm");
                ASSERT_EQ(SqliteShell(file, "PRAGMA journal_mode = WAL;").exitCode, 0);
                ASSERT_EQ(reader.Call("Open\t" + connection), "OK\t");
                ++replaced;
            } else {
                const ProcessResult wrote =
                    SqliteShell(file, "UPDATE QM_VALMOR SET OUTPUT = '" + now + "' WHERE INPUT = 'k'");
                ASSERT_EQ(wrote.exitCode, 0) << wrote.err;
            }
            for (int again = 0; again < 3; ++again)
                if (reader.Translate("k") != "OK\t" + now) ++stale;
            if (reader.Translate("j") != "OK\tj") ++stale;
        }
        acts = meddlers.acts();
    }
    EXPECT_EQ(reader.Translate("k").substr(0, 3), "OK\t");
    EXPECT_EQ(reader.Finish(), 0) << "the cached reader did not end well (128 + signal when it crashed)";
    EXPECT_EQ(stale, 0) << "answers older than the store, over " << rounds << " rounds, " << replaced
                        << " replacements and " << acts << " acts of other processes";
}

// A store replaced under a reader that keeps its connection (a server):
// once a second has passed, its answers are no longer served from memory.
// The lookups reach the connection, whose file is gone (a lost link), and
// the call after that reads the new file.
// Fault caught: a cache that vouches for the old files' version for as long
// as its objects live, answering what the store no longer holds.
TEST(LookupCacheUnderHostileProcesses, AStoreReplacedUnderAReaderIsNoLongerAnsweredFromMemory)
{
    TempDir folder;
    const std::filesystem::path file = folder / "store.db";
    CreateWalStore(file, "INSERT INTO QM_TABLES (ID_TABLE, NB_COLS, NOM) VALUES (1, 2, 'T');"
                         "INSERT INTO QM_VALMOR (ID_TABLE, INPUT, OUTPUT) VALUES (1, 'k', 'old');");
    const OwnRegistry registry;
    OwnRegistry::Set(u"LookupCache", 100);
    CachedReader reader(Utf16ToUtf8(SqliteConnectionString(file)));
    for (int i = 0; i < 3; ++i) ASSERT_EQ(reader.Translate("k"), "OK\told");

    const std::filesystem::path copy = folder / "copy.db";
    ASSERT_EQ(SqliteShell(file, "VACUUM INTO '" + copy.string() + "'").exitCode, 0);
    ASSERT_EQ(SqliteShell(copy, "PRAGMA journal_mode = WAL; UPDATE QM_VALMOR SET OUTPUT = 'new'").exitCode, 0);
    std::filesystem::rename(copy, file);
    std::this_thread::sleep_for(1200ms); // past the once-a-second look at the files

    std::vector<std::string> answers;
    for (int i = 0; i < 3; ++i) answers.push_back(reader.Translate("k"));
    EXPECT_EQ(std::count(answers.begin(), answers.end(), "OK\told"), 0) << answers[0] << " / " << answers[1];
    EXPECT_NE(answers[0].find("08S01"), std::string::npos) << answers[0];
    EXPECT_EQ(answers.back(), "OK\tnew");
    EXPECT_LT(reader.Finish(), 128) << "the reader did not end well";
}

// Changes one byte of the WAL-index header's second copy, in a process of
// its own (a descriptor of the "-shm" file closed in this one would drop
// this process's locks on it).
void ChangeSecondCopy(const std::filesystem::path& file, unsigned char mask)
{
    constexpr std::size_t kSecondCopyMaxFrame = 48 + 16;
    const pid_t child = ::fork();
    if (child == 0) {
        const int fd = ::open((file.string() + "-shm").c_str(), O_RDWR);
        void* header = fd < 0 ? MAP_FAILED : ::mmap(nullptr, 96, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (header == MAP_FAILED) ::_exit(1);
        static_cast<unsigned char*>(header)[kSecondCopyMaxFrame] ^= mask;
        ::munmap(header, 96);
        ::_exit(0);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_EQ(status, 0);
}

// A writer between the two copies of the header leaves them different:
// the version is then not vouched for, and nothing is served from memory.
// Fault caught: the header read once and trusted, without comparing the
// two copies meant to detect a torn read.
TEST(LookupCacheUnderHostileProcesses, AHeaderWhoseTwoCopiesDifferIsNotTrusted)
{
    TempDir folder;
    const std::filesystem::path file = folder / "store.db";
    CreateWalStore(file, "INSERT INTO QM_TABLES (ID_TABLE, NB_COLS, NOM) VALUES (1, 2, 'T');");
    const OwnRegistry registry;
    OwnRegistry::Set(u"LookupCache", 10);
    const CComPtr<IValmorin> component = NewComponent();
    ASSERT_EQ(component->Open(CComBSTR(SqliteConnectionString(file)).get()), S_OK);
    LookupCache* cache = ExistingLookupCache(SqliteConnectionString(file), u"");
    ASSERT_NE(cache, nullptr);
    ASSERT_TRUE(cache->Begin().trusted);
    ChangeSecondCopy(file, 0x01);
    EXPECT_FALSE(cache->Begin().trusted);
    ChangeSecondCopy(file, 0x01);
    EXPECT_TRUE(cache->Begin().trusted);
}

// An object asked to import its own store's files refuses them without
// opening them for reading: their descriptor's closing would drop the
// process's locks on them, and other processes would then take the store
// for unused (leave WAL mode, rebuild the index under the mapping).
// Fault caught: a file this process holds locks on opened and closed by
// the import.
TEST(LookupCacheUnderHostileProcesses, AStoresOwnFilesAreNeverReadAsAnImport)
{
    TempDir folder;
    const std::filesystem::path file = folder / "store.db";
    CreateWalStore(file);
    const OwnRegistry registry;
    OwnRegistry::Set(u"LookupCache", 10);
    const CComPtr<IValmorin> component = NewComponent();
    ASSERT_EQ(component->Open(CComBSTR(SqliteConnectionString(file)).get()), S_OK);
    CComPtr<IValmorin2> second;
    ASSERT_EQ(component.QueryInterface(second), S_OK);
    for (const std::string& own : {file.string(), file.string() + "-shm"}) {
        SCOPED_TRACE(own);
        BstrResult report;
        EXPECT_EQ(second->TableImport(Arg(u"u"), Arg(u"T"), Arg(valmorin::text::Widen(own)), 0, &report),
                  MakeHResult(0x80070020));
        EXPECT_NE(SqliteShell(file, "PRAGMA journal_mode = DELETE;", 50).exitCode, 0)
            << "another process left WAL mode: the process's locks were dropped";
    }
}

// The PostgreSQL cache, trusted within a bound of 300 ms: after each
// act, once the bound has passed, lookups must give what the store holds.
// Faults caught: a table swapped in by rename (no triggers) answered from
// memory for ever; a disabled trigger trusted; a listening backend that
// hangs trusted because a probe waits on it without a time-out.
class PostgresHostileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        SKIP_WITHOUT_STORE(StoreKind::PostgreSql);
        m_registry.emplace();
        OwnRegistry::Set(u"LookupCache", 100);
        OwnRegistry::Set(u"LookupCacheLinkBound", LinkBound());
        m_store.emplace(StoreKind::PostgreSql);
        m_store->Run("INSERT INTO QM_TABLES (ID_TABLE, NB_COLS, NOM) VALUES (1, 2, 'T');"
                     "INSERT INTO QM_VALMOR (ID_TABLE, INPUT, OUTPUT) VALUES (1, 'k', '0');");
        BeforeTheWatch();
        m_component = NewComponent(&*m_store);
        AwaitTrust(TrustedAtFirst() ? 10s : 1s);
        ASSERT_EQ(Cache()->Begin().trusted, TrustedAtFirst());
    }
    virtual void BeforeTheWatch() {}
    virtual bool TrustedAtFirst() const { return true; }
    virtual DWORD LinkBound() const { return 300; }
    LookupCache* Cache() const { return ExistingLookupCache(m_store->connectionString(), u""); }
    // Until the cache is trusted, at most `within`.
    void AwaitTrust(std::chrono::milliseconds within) const
    {
        for (const auto deadline = std::chrono::steady_clock::now() + within;
             !Cache()->Begin().trusted && std::chrono::steady_clock::now() < deadline;)
            std::this_thread::sleep_for(5ms);
    }
    std::u16string Translate()
    {
        BstrResult text;
        const HRESULT hr = m_component->translate(Arg(u"T"), Arg(u"k"), &text);
        return SUCCEEDED(hr) ? text.text() : u"<failed>";
    }
    // Reads twice (the second from memory where the cache holds it), waits
    // past the bound, and counts the answers that are not `now`.
    int StaleAfterTheBound(const std::u16string& now)
    {
        Translate();
        std::this_thread::sleep_for(std::chrono::milliseconds(LinkBound()) + 200ms);
        int stale = 0;
        for (int again = 0; again < 3; ++again)
            if (Translate() != now) ++stale;
        return stale;
    }
    void Update(const std::string& value, const std::string& around = "")
    {
        m_store->Run("BEGIN;" + around + "UPDATE QM_VALMOR SET OUTPUT = '" + value + "' WHERE INPUT = 'k'; COMMIT;");
    }
    // A backend stopped for as long as this lives, or until Resume: a
    // failed assertion never leaves it stopped, holding up the server's
    // shutdown.
    class StoppedBackend {
    public:
        explicit StoppedBackend(int pid) : m_pid(pid), m_stopped(::kill(pid, SIGSTOP) == 0) {}
        ~StoppedBackend() { Resume(); }
        StoppedBackend(const StoppedBackend&) = delete;
        StoppedBackend& operator=(const StoppedBackend&) = delete;
        bool stopped() const { return m_stopped; }
        // False when it could not be continued.
        bool Resume()
        {
            if (!m_stopped) return true;
            m_stopped = false;
            return ::kill(m_pid, SIGCONT) == 0;
        }

    private:
        int m_pid;
        bool m_stopped;
    };
    // The session the cache listens on, in this test's own database (tests
    // run beside it have theirs); a session it gave up ends once it runs
    // again.
    int WatchBackend() const
    {
        for (const auto deadline = std::chrono::steady_clock::now() + 10s; std::chrono::steady_clock::now() < deadline;
             std::this_thread::sleep_for(20ms)) {
            const auto pids =
                m_store->Column("SELECT pid FROM pg_stat_activity WHERE application_name = 'valmorin watch' AND "
                                "datname = current_database()");
            if (pids.size() == 1) return std::stoi(Utf16ToUtf8(pids[0]));
        }
        return 0;
    }

    std::optional<OwnRegistry> m_registry;
    std::optional<TestStore> m_store;
    CComPtr<IValmorin> m_component;
};

TEST_F(PostgresHostileTest, SwapsDisabledTriggersSchemaChangesAndAHungListenerNeverLeaveItStale)
{
    int stale = 0;
    const int rounds = Rounds(3);
    for (int round = 0; round < rounds; ++round) {
        const std::string r = std::to_string(round);
        Update("plain " + r);
        stale += StaleAfterTheBound(valmorin::text::Widen("plain " + r));

        // A copy of the table, changed, swapped in by rename in one
        // transaction: it carries no triggers.
        m_store->Run("BEGIN; CREATE TABLE QM_VALMOR_NEW (LIKE QM_VALMOR INCLUDING ALL);"
                     "INSERT INTO QM_VALMOR_NEW SELECT * FROM QM_VALMOR;"
                     "UPDATE QM_VALMOR_NEW SET OUTPUT = 'swapped " +
                     r +
                     "';"
                     "ALTER TABLE QM_VALMOR RENAME TO QM_VALMOR_OLD; ALTER TABLE QM_VALMOR_NEW RENAME TO QM_VALMOR;"
                     "COMMIT;");
        stale += StaleAfterTheBound(valmorin::text::Widen("swapped " + r));
        Update("after the swap " + r); // no trigger announces it
        stale += StaleAfterTheBound(valmorin::text::Widen("after the swap " + r));
        // The operator puts the original back, triggers and all.
        m_store->Run("BEGIN; DROP TABLE QM_VALMOR; ALTER TABLE QM_VALMOR_OLD RENAME TO QM_VALMOR; COMMIT;");
        stale += StaleAfterTheBound(valmorin::text::Widen("plain " + r));

        m_store->Run("ALTER TABLE QM_VALMOR DISABLE TRIGGER QM_VALMOR_NOTIFY_UPDATE;");
        Update("unannounced " + r);
        stale += StaleAfterTheBound(valmorin::text::Widen("unannounced " + r));
        m_store->Run("ALTER TABLE QM_VALMOR ENABLE TRIGGER QM_VALMOR_NOTIFY_UPDATE;");

        Update("re-columned " + r, "ALTER TABLE QM_VALMOR ADD COLUMN EXTRA" + r + " INTEGER;");
        stale += StaleAfterTheBound(valmorin::text::Widen("re-columned " + r));

        // The backend that listens stops; its notifications cannot arrive.
        const int backend = WatchBackend();
        ASSERT_GT(backend, 0) << "the watch's session is not to be found";
        StoppedBackend stopped(backend);
        ASSERT_TRUE(stopped.stopped());
        Update("while stopped " + r);
        stale += StaleAfterTheBound(valmorin::text::Widen("while stopped " + r));
        ASSERT_TRUE(stopped.Resume());
        Update("resumed " + r);
        stale += StaleAfterTheBound(valmorin::text::Widen("resumed " + r));
    }
    EXPECT_EQ(stale, 0) << "answers older than the bound allows";
}

// A copy of the table, changed and then given every trigger the table
// has, swapped in by rename in one transaction: nothing announces it, and
// the catalogue shows the same triggers, functions and columns as before,
// on another table. Fault caught: what was kept of the old table answered
// for the new one, since the probe found nothing it doubts.
TEST_F(PostgresHostileTest, ATableSwappedInWithItsTriggersIsReadAfresh)
{
    Update("before");
    EXPECT_EQ(StaleAfterTheBound(u"before"), 0);
    std::string swap = "BEGIN; CREATE TABLE QM_VALMOR_NEW (LIKE QM_VALMOR INCLUDING ALL);"
                       "INSERT INTO QM_VALMOR_NEW SELECT * FROM QM_VALMOR;"
                       "UPDATE QM_VALMOR_NEW SET OUTPUT = 'swapped';";
    for (const std::u16string& definition :
         m_store->Column("SELECT pg_catalog.pg_get_triggerdef(oid) FROM pg_catalog.pg_trigger WHERE tgrelid = "
                         "'qm_valmor'::regclass AND NOT tgisinternal")) {
        // "CREATE TRIGGER name ... ON schema.qm_valmor ...": the same on the copy.
        std::string text = Utf16ToUtf8(definition);
        const std::size_t on = text.find(" ON ");
        ASSERT_NE(on, std::string::npos) << text;
        text.replace(on + 4, text.find(' ', on + 4) - (on + 4), "qm_valmor_new");
        swap += text + ";";
    }
    m_store->Run(swap + "ALTER TABLE QM_VALMOR RENAME TO QM_VALMOR_OLD; ALTER TABLE QM_VALMOR_NEW RENAME TO QM_VALMOR;"
                        "COMMIT;");
    EXPECT_EQ(StaleAfterTheBound(u"swapped"), 0) << "the old table's answers outlived the swap";
    EXPECT_TRUE(Cache()->Begin().trusted) << "the copy carries every trigger: nothing to doubt";
}

// A host that promised a caller every change committed before (a lookup
// carrying the position of a write another server made) has the watches
// catch up before it looks up. Fault caught: a catch-up that returns while
// the listening backend hangs, and the cache, still within its bound,
// answers with what the write replaced.
// Probes of the catalogue a second apart: catch-ups come between them.
class PostgresCatchUpTest : public PostgresHostileTest {
protected:
    DWORD LinkBound() const override { return 3000; }
};

TEST_F(PostgresCatchUpTest, ACatchUpHearsEveryChangeCommittedBeforeOrStopsTheCache)
{
    for (int round = 0; round < 3; ++round) {
        const std::u16string r = valmorin::text::Widen(std::to_string(round));
        AwaitTrust(2s); // after a failed catch-up the next probe vouches again
        const int backend = WatchBackend();
        ASSERT_GT(backend, 0) << "the watch's session is not to be found";
        Update("heard " + Utf16ToUtf8(r));
        EXPECT_TRUE(valmorin::ado::CatchUpWatches(std::chrono::steady_clock::now() + 2s));
        EXPECT_EQ(Translate(), u"heard " + r);
        EXPECT_EQ(Translate(), u"heard " + r) << "from memory";

        StoppedBackend stopped(backend);
        ASSERT_TRUE(stopped.stopped());
        Update("unheard " + Utf16ToUtf8(r));
        EXPECT_FALSE(valmorin::ado::CatchUpWatches(std::chrono::steady_clock::now() + 50ms));
        EXPECT_EQ(Translate(), u"unheard " + r) << "the cache answered within its bound";
        ASSERT_TRUE(stopped.Resume());
    }
}

// The last probe answered vouches for the bound from when it was sent, not
// until the watch finds the next one unanswered (up to a third of the
// bound later). Fault caught: trust that lasts until the watch takes it
// back, so that past the bound the cache answers with what a change it
// could not hear of replaced.
TEST_F(PostgresCatchUpTest, TrustEndsWithTheBoundBeforeTheWatchNotices)
{
    int stale = 0;
    for (int round = 0; round < 2; ++round) {
        const std::string r = std::to_string(round);
        AwaitTrust(5s);
        const int backend = WatchBackend();
        ASSERT_GT(backend, 0) << "the watch's session is not to be found";
        Translate(); // kept
        StoppedBackend stopped(backend);
        ASSERT_TRUE(stopped.stopped());
        const auto stoppedAt = std::chrono::steady_clock::now();
        Update("unheard " + r);
        std::this_thread::sleep_until(stoppedAt + std::chrono::milliseconds(LinkBound()) + 100ms);
        if (Translate() != valmorin::text::Widen("unheard " + r)) ++stale;
        ASSERT_TRUE(stopped.Resume());
    }
    EXPECT_EQ(stale, 0) << "answers kept past the bound from the last probe answered";
}

// A catch-up asked while the watch's trust has run out and a probe is on
// its way (its answer slowed on the link) fails; that probe, sent before
// the catch-up, must not vouch once its answer comes, ahead of the
// notification of a change committed before the catch-up. Fault caught: a
// catch-up that gave up at once when trust had run out, leaving the late
// probe to vouch for an answer the change replaced.
TEST(LookupCacheCatchUp, AProbeSentBeforeAFailedCatchUpNeverVouchesAfterIt)
{
    SKIP_WITHOUT_STORE(StoreKind::PostgreSql);
    const OwnRegistry registry;
    OwnRegistry::Set(u"LookupCache", 100);
    OwnRegistry::Set(u"LookupCacheLinkBound", 3000); // a probe a second
    TestStore store(StoreKind::PostgreSql);
    store.Run("INSERT INTO QM_TABLES (ID_TABLE, NB_COLS, NOM) VALUES (1, 2, 'T');"
              "INSERT INTO QM_VALMOR (ID_TABLE, INPUT, OUTPUT) VALUES (1, 'k', 'old');");
    const TempDir folder;
    const valmorin::ado::ConnectionString direct(store.connectionString());
    PgRelay relay(folder.path(), Utf16ToUtf8(direct.Get(u"Host")), Utf16ToUtf8(direct.Get(u"Port")));
    const std::u16string relayed = direct.With(u"Host", valmorin::text::Widen(folder.path().string())).Text();
    const CComPtr<IValmorin> component = NewComponent();
    ASSERT_EQ(component->Open(CComBSTR(relayed).get()), S_OK);
    const auto translate = [&] {
        BstrResult text;
        return SUCCEEDED(component->translate(Arg(u"T"), Arg(u"k"), &text)) ? text.text() : u"<failed>";
    };
    ASSERT_EQ(translate(), u"old");
    for (const auto deadline = std::chrono::steady_clock::now() + 10s;
         !ExistingLookupCache(relayed, u"")->Begin().trusted && std::chrono::steady_clock::now() < deadline;)
        std::this_thread::sleep_for(5ms);
    ASSERT_EQ(translate(), u"old");

    // The probe before this one vouched until 2 s after this one went out.
    const auto sent = relay.Hold();
    std::this_thread::sleep_until(sent + 2100ms);
    const std::size_t answer = relay.Held();
    ASSERT_GT(answer, 0u) << "the probe's answer did not come";
    store.Run("UPDATE QM_VALMOR SET OUTPUT = 'new' WHERE INPUT = 'k'");
    EXPECT_FALSE(valmorin::ado::CatchUpWatches(std::chrono::steady_clock::now() + 100ms));
    relay.Release(answer);
    std::this_thread::sleep_for(50ms); // the watch takes the probe's answer
    EXPECT_EQ(translate(), u"new") << "the cache answered for a change its watch had not heard of";
    relay.Open();
}

// A trigger disabled since the last probe, and a change it did not
// announce: a catch-up must not vouch for the cache. Fault caught: a
// catch-up answered by a bare round trip on the listening link, which
// hears every notification sent but not that one was never sent.
TEST_F(PostgresCatchUpTest, ACatchUpFindsATriggerDisabledSinceTheLastProbe)
{
    for (int round = 0; round < 3; ++round) {
        const std::u16string r = valmorin::text::Widen(std::to_string(round));
        AwaitTrust(5s);
        Update("heard " + Utf16ToUtf8(r));
        ASSERT_TRUE(valmorin::ado::CatchUpWatches(std::chrono::steady_clock::now() + 2s));
        EXPECT_EQ(Translate(), u"heard " + r);
        Update("unannounced " + Utf16ToUtf8(r), "ALTER TABLE QM_VALMOR DISABLE TRIGGER QM_VALMOR_NOTIFY_UPDATE;");
        valmorin::ado::CatchUpWatches(std::chrono::steady_clock::now() + 2s);
        EXPECT_EQ(Translate(), u"unannounced " + r) << "the cache answered for a change nothing announced";
        m_store->Run("ALTER TABLE QM_VALMOR ENABLE TRIGGER QM_VALMOR_NOTIFY_UPDATE;");
    }
}

// A store whose change trigger was disabled before the watch first looked.
// Fault caught: what announces changes held to what the watch first found,
// with nothing telling that it already fell short.
class PostgresTriggerOffFromTheStart : public PostgresHostileTest {
protected:
    void BeforeTheWatch() override { m_store->Run("ALTER TABLE QM_VALMOR DISABLE TRIGGER QM_VALMOR_NOTIFY_UPDATE;"); }
    bool TrustedAtFirst() const override { return false; }
};

TEST_F(PostgresTriggerOffFromTheStart, ItIsNeverTrusted)
{
    for (int round = 0; round < 3; ++round) {
        const std::string value = "unannounced " + std::to_string(round);
        Update(value);
        EXPECT_EQ(StaleAfterTheBound(valmorin::text::Widen(value)), 0) << "answers older than the bound allows";
    }
    EXPECT_FALSE(Cache()->Begin().trusted);
}

} // namespace
