// The watch of a PostgreSQL store: a connection of its own LISTENs on the
// channel the store's triggers notify at every committed change, with the
// changed table's name ("T:<name>"), or "*" for a change that names none.
// A thread waits on it; each notification moves `fills`, then reports the
// table (or, for "*", moves `entries`).
//
// Notifications prove nothing by their silence: a backend that hangs, a
// link that drops packets, a table swapped in without the triggers, or a
// trigger disabled all look like a quiet store. So the watch vouches for
// the store only until a bound after its last proof: a probe, sent every
// third of the bound, that comes back over the same link (behind every
// notification committed before it) and finds the three tables as they
// were, with their change triggers in place and enabled. Every wait on the
// link has a time-out. Whenever the watch vouches again after a gap,
// `entries` moves, as changes may have gone unannounced in between.
//
// A catch-up sends a probe at once: once one sent after it was asked has
// come back, every change committed before has been heard. One that does
// not come back by the caller's deadline stops the watch vouching until a
// probe sent later does.
#include "platform/ado/postgresql/connect.h"

#include "platform/ado/ado.h"
#include "platform/ado/provider.h"
#include "platform/posix/unique_fd.h"
#include "platform/text/utf.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>

#include <poll.h>
#include <sys/eventfd.h>

namespace valmorin::ado::postgresql {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr const char* kListen = "LISTEN valmorin_changes";
// What a probe reads of the catalogue, in one statement:
// - the three tables: their identity and columns;
// - what announces their changes: every trigger on them (name, state,
//   events, function) and every function of the announcing family (its
//   schema, body and settings), wherever it stands;
// - how many of the change triggers the schema gives them (four each)
//   would fire now;
// - what would let a change go unannounced: a table inheriting from one of
//   them (its rows are read, its writes fire none of their triggers), or a
//   pg_notify of anyone's own.
constexpr const char* kProbe =
    "WITH t AS (SELECT c.oid, c.relname FROM pg_catalog.pg_class c WHERE c.oid IN "
    "(pg_catalog.to_regclass('qm_tables'), pg_catalog.to_regclass('qm_dico'), pg_catalog.to_regclass('qm_valmor'))) "
    "SELECT COALESCE((SELECT pg_catalog.string_agg(t.oid::text || ' ' || t.relname || '(' || "
    "(SELECT pg_catalog.string_agg(a.attname || ' ' || a.atttypid::text, ',' ORDER BY a.attnum) "
    "FROM pg_catalog.pg_attribute a WHERE a.attrelid = t.oid AND a.attnum > 0 AND NOT a.attisdropped) || ')', ';' "
    "ORDER BY t.relname) FROM t), ''), "
    "COALESCE((SELECT pg_catalog.string_agg(t.relname || '.' || g.tgname || ' ' || g.tgenabled::text || ' ' || "
    "g.tgtype::text || ' ' || g.tgfoid::regprocedure::text, ';' ORDER BY t.relname, g.tgname) "
    "FROM pg_catalog.pg_trigger g JOIN t ON g.tgrelid = t.oid WHERE NOT g.tgisinternal), '') || '|' || "
    "COALESCE((SELECT pg_catalog.string_agg(p.pronamespace::regnamespace::text || '.' || p.proname || ' ' || "
    "pg_catalog.md5(p.prosrc) || ' ' || COALESCE(pg_catalog.array_to_string(p.proconfig, ','), ''), ';' "
    "ORDER BY p.pronamespace, p.proname) FROM pg_catalog.pg_proc p WHERE p.proname LIKE 'qm\\_notify\\_%'), ''), "
    "(SELECT pg_catalog.count(*) FROM pg_catalog.pg_trigger g JOIN t ON g.tgrelid = t.oid "
    "WHERE g.tgname LIKE 'qm\\_%\\_notify\\_%' AND g.tgenabled IN ('O', 'A')), "
    "(SELECT pg_catalog.count(*) FROM pg_catalog.pg_inherits i JOIN t ON i.inhparent = t.oid) + "
    "(SELECT pg_catalog.count(*) FROM pg_catalog.pg_proc p WHERE p.proname = 'pg_notify' AND "
    "p.pronamespace <> 'pg_catalog'::regnamespace)";
constexpr long kTriggersExpected = 12;
constexpr auto kReconnectPause = 1s;
// libpq's connect_timeout counts whole seconds, and takes 2 as its least.
constexpr int kLeastConnectSeconds = 2;

std::int64_t Ticks(Clock::time_point when) { return when.time_since_epoch().count(); }

// What a probe found.
struct Proof {
    std::string tables;
    std::string announcers;
    long triggers = 0;
    long hazards = 0;
};

class NotificationWatch final : public StoreWatch {
public:
    NotificationWatch(ConnectParameters parameters, WatchOptions options)
        : m_parameters(WithWatchSettings(std::move(parameters), options.linkBound)), m_options(std::move(options)),
          m_wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)), m_thread([this] { Run(); })
    {}
    ~NotificationWatch() override
    {
        m_stopping.store(true);
        WakeTheThread();
        m_thread.join();
    }

    // Trust is asked before and after the counters are read: counters read
    // while it lapsed are not vouched for.
    bool Read(StoreVersion& version) const override
    {
        if (!Trusted()) return false;
        version.entries = m_entries.load(std::memory_order_acquire);
        version.fills = m_fills.load(std::memory_order_acquire);
        return Trusted();
    }

    // Trust that merely ran out while a probe is on its way is waited for:
    // that probe was sent before the call, and must not vouch after it.
    bool CatchUp(Clock::time_point deadline) override
    {
        std::unique_lock lock(m_catchUp);
        const std::uint64_t asked = m_asked.fetch_add(1) + 1;
        WakeTheThread();
        const bool heard = m_caughtUp.wait_until(lock, deadline, [&] {
            return m_heard >= asked || m_trustedUntil.load(std::memory_order_acquire) == 0;
        }) && m_heard >= asked;
        if (heard) return true;
        m_vouchFrom = std::max(m_vouchFrom, asked);
        m_trustedUntil.store(0, std::memory_order_release);
        return false;
    }

private:
    static ConnectParameters WithWatchSettings(ConnectParameters parameters, std::chrono::milliseconds bound)
    {
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(bound).count() + 1;
        parameters.keywords.emplace_back("connect_timeout");
        parameters.values.push_back(std::to_string(std::max<long long>(kLeastConnectSeconds, seconds)));
        // Named apart from the sessions, so that an operator can tell it.
        parameters.keywords.emplace_back("application_name");
        parameters.values.emplace_back("valmorin watch");
        return parameters;
    }

    bool Trusted() const { return Ticks(Clock::now()) < m_trustedUntil.load(std::memory_order_acquire); }

    void Run()
    {
        while (!m_stopping.load()) {
            Connection connection = Connect();
            if (!connection) {
                Distrust("the store cannot be reached to hear of its changes");
                Wait(-1, kReconnectPause);
                continue;
            }
            const std::string why = Serve(connection.get());
            Distrust(why);
            // A store that refuses the watch (a standby cannot LISTEN) is
            // asked again a second later, not at once for ever.
            Wait(-1, kReconnectPause);
        }
    }

    Connection Connect() const
    {
        try {
            return OpenConnection(m_parameters);
        } catch (const ProviderFailure&) {
            return nullptr;
        }
    }

    // Until the link fails or the watch stops; says why it ended.
    std::string Serve(PGconn* connection)
    {
        // A store may answer LISTEN with an error (a standby cannot listen):
        // then nothing it does is ever announced here.
        const Result listening =
            PQsetnonblocking(connection, 1) == 0 ? Ask(connection, kListen, Clock::now() + Bound()) : nullptr;
        if (!listening || PQresultStatus(listening.get()) != PGRES_COMMAND_OK)
            return "the store did not take the watch's LISTEN";
        std::optional<std::string> tables; // as the first probe of this link found them
        while (!m_stopping.load()) {
            const Clock::time_point sent = Clock::now();
            m_probedFor = m_asked.load(); // read before the probe is sent
            std::optional<Proof> proof = Probe(connection, sent + Bound());
            if (m_stopping.load()) break;
            if (!proof) return "the store's link did not answer within the bound";
            if (tables && *tables != proof->tables) MoveEntries(); // a table swapped or re-columned
            tables = proof->tables;
            if (const char* doubt = Doubt(*proof))
                Distrust(doubt);
            else
                Vouch(sent + Bound(), m_probedFor);
            if (!Listen(connection, sent + Bound() / 3)) return "the store's link was lost";
        }
        return "the watch stopped";
    }

    // Why the store's changes may go unannounced; null when nothing says so.
    // What announces them is held to what the watch first found: a trigger
    // or a function replaced, added or moved since is not trusted.
    const char* Doubt(const Proof& proof)
    {
        if (!m_announcers) m_announcers = proof.announcers;
        if (proof.triggers != kTriggersExpected)
            return "the change triggers of the store's tables are missing or disabled";
        if (proof.announcers != *m_announcers)
            return "the triggers or functions that announce the store's changes were changed";
        if (proof.hazards != 0)
            return "a table inherits from the store's tables, or a pg_notify of someone's own stands in the catalogue";
        return nullptr;
    }

    // Takes notifications until the time given, or until a catch-up is
    // asked; false when the link failed.
    bool Listen(PGconn* connection, Clock::time_point until)
    {
        for (;;) {
            const auto left = until - Clock::now();
            if (left <= Clock::duration::zero() || m_stopping.load() || m_asked.load() != m_probedFor) return true;
            const int ready = Wait(PQsocket(connection), std::chrono::ceil<std::chrono::milliseconds>(left));
            if (ready < 0) return true;
            if (ready > 0 && !PQconsumeInput(connection)) return false;
            Deliver(connection);
            if (PQstatus(connection) != CONNECTION_OK) return false;
        }
    }

    std::optional<Proof> Probe(PGconn* connection, Clock::time_point deadline)
    {
        Result result = Ask(connection, kProbe, deadline);
        if (!result || PQresultStatus(result.get()) != PGRES_TUPLES_OK || PQntuples(result.get()) != 1 ||
            PQnfields(result.get()) != 4)
            return std::nullopt;
        return Proof{PQgetvalue(result.get(), 0, 0), PQgetvalue(result.get(), 0, 1),
                     std::atol(PQgetvalue(result.get(), 0, 2)), std::atol(PQgetvalue(result.get(), 0, 3))};
    }

    // Sends a statement and takes its result by the deadline, delivering the
    // notifications that come before it; null when the link failed, the
    // deadline passed or the watch stops.
    Result Ask(PGconn* connection, const char* statement, Clock::time_point deadline)
    {
        if (!PQsendQuery(connection, statement) || !Flush(connection, deadline)) return nullptr;
        Result last;
        for (;;) {
            while (!PQisBusy(connection)) {
                Result next(PQgetResult(connection));
                if (!next) {
                    Deliver(connection);
                    return last;
                }
                last = std::move(next);
            }
            const auto left = deadline - Clock::now();
            if (left <= Clock::duration::zero()) return nullptr;
            const int ready = Wait(PQsocket(connection), std::chrono::ceil<std::chrono::milliseconds>(left));
            if (ready < 0 || (ready > 0 && !PQconsumeInput(connection))) return nullptr;
            Deliver(connection);
        }
    }

    bool Flush(PGconn* connection, Clock::time_point deadline) const
    {
        for (;;) {
            const int left = PQflush(connection);
            if (left == 0) return true;
            if (left < 0 || Clock::now() >= deadline) return false;
            pollfd fd{PQsocket(connection), POLLOUT, 0};
            const auto wait = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
            if (::poll(&fd, 1, static_cast<int>(wait.count())) <= 0) return false;
        }
    }

    void Deliver(PGconn* connection)
    {
        while (PGnotify* raw = PQnotifies(connection)) {
            const std::unique_ptr<PGnotify, decltype(&PQfreemem)> notification(raw, PQfreemem);
            m_fills.fetch_add(1, std::memory_order_acq_rel);
            const std::string_view payload(notification->extra ? notification->extra : "");
            const std::optional<std::u16string> table =
                payload.starts_with("T:") ? text::Utf8ToUtf16(payload.substr(2)) : std::nullopt;
            if (table && m_options.changed)
                m_options.changed(*table);
            else
                MoveEntries();
        }
    }

    // By a probe sent once `asked` catch-ups had been asked.
    void Vouch(Clock::time_point until, std::uint64_t asked)
    {
        {
            const std::lock_guard lock(m_catchUp);
            if (asked < m_vouchFrom) return;               // a catch-up asked after it was sent failed
            if (m_state != State::Vouching) MoveEntries(); // what was kept before the gap may have missed changes
            m_trustedUntil.store(Ticks(until), std::memory_order_release);
            m_heard = std::max(m_heard, asked);
        }
        m_caughtUp.notify_all();
        if (m_state != State::Vouching) {
            if (m_state == State::Distrusting && m_options.trust)
                m_options.trust(true, "the store's changes are heard again");
            m_state = State::Vouching;
        }
    }

    void Distrust(std::string_view why)
    {
        {
            const std::lock_guard lock(m_catchUp);
            m_trustedUntil.store(0, std::memory_order_release);
        }
        m_caughtUp.notify_all(); // catch-ups waiting have nothing to wait for
        MoveEntries();
        if (m_state == State::Distrusting || m_stopping.load()) return;
        m_state = State::Distrusting;
        if (m_options.trust) m_options.trust(false, why);
    }

    void MoveEntries()
    {
        m_fills.fetch_add(1, std::memory_order_acq_rel);
        m_entries.fetch_add(1, std::memory_order_acq_rel);
    }

    Clock::duration Bound() const { return m_options.linkBound; }

    void WakeTheThread() const
    {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = ::write(m_wake.get(), &one, sizeof one);
    }

    // 1 when fd is readable, 0 after the time-out or a catch-up asked, -1
    // when the watch stops; fd -1 waits for the stop alone.
    int Wait(int fd, std::chrono::milliseconds timeout) const
    {
        pollfd fds[2] = {{m_wake.get(), POLLIN, 0}, {fd, POLLIN, 0}};
        const int count = ::poll(fds, fd < 0 ? 1 : 2, static_cast<int>(timeout.count()));
        if (m_stopping.load()) return -1;
        if (fds[0].revents & POLLIN) {
            std::uint64_t wakes = 0;
            [[maybe_unused]] const ssize_t read = ::read(m_wake.get(), &wakes, sizeof wakes);
        }
        if (count <= 0) return 0;
        return (fds[1].revents & (POLLIN | POLLERR | POLLHUP)) ? 1 : 0;
    }

    const ConnectParameters m_parameters;
    const WatchOptions m_options;
    std::atomic<bool> m_stopping{false};
    std::atomic<std::int64_t> m_trustedUntil{0};
    std::atomic<std::uint64_t> m_entries{0};
    std::atomic<std::uint64_t> m_fills{0};
    std::mutex m_catchUp;
    std::condition_variable m_caughtUp;
    std::atomic<std::uint64_t> m_asked{0};   // catch-ups asked, moved under m_catchUp
    std::uint64_t m_heard = 0;               // catch-ups answered by a probe that vouched
    std::uint64_t m_vouchFrom = 0;           // a probe sent before this many were asked may not vouch
    std::uint64_t m_probedFor = 0;           // the watch thread's own: asked when the last probe was sent
    std::optional<std::string> m_announcers; // the watch thread's own
    enum class State { Starting, Vouching, Distrusting };
    State m_state = State::Starting; // the watch thread's own
    UniqueFd m_wake;
    std::thread m_thread; // started last, once the members it uses are set
};

} // namespace

std::unique_ptr<StoreWatch> WatchNotifications(ConnectParameters parameters, WatchOptions options)
{
    return std::make_unique<NotificationWatch>(std::move(parameters), std::move(options));
}

} // namespace valmorin::ado::postgresql
