// The watch of a PostgreSQL store: a connection of its own LISTENs on the
// channel the store's triggers notify at every committed change, with the
// changed table's name ("T:<name>"), or "*" for a change that names none.
// A thread waits on it; each notification moves `fills`, then reports the
// table (or, for "*", moves `entries`). While the connection is down the
// watch vouches for nothing; each time it is up again `entries` moves, as
// changes may have been missed in between.
#include "platform/ado/postgresql/connect.h"

#include "platform/ado/ado.h"
#include "platform/ado/provider.h"
#include "platform/posix/unique_fd.h"
#include "platform/text/utf.h"

#include <atomic>
#include <thread>

#include <poll.h>
#include <sys/eventfd.h>

namespace valmorin::ado::postgresql {

namespace {

constexpr const char* kListen = "LISTEN valmorin_changes";
constexpr int kReconnectMs = 1000;
// A link that stays silent this long is asked whether it is still there.
constexpr int kProbeMs = 2000;

class NotificationWatch final : public StoreWatch {
public:
    NotificationWatch(ConnectParameters parameters, TableChanged changed)
        : m_parameters(std::move(parameters)), m_changed(std::move(changed)),
          m_wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)), m_thread([this] { Run(); })
    {}
    ~NotificationWatch() override
    {
        m_stopping.store(true);
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = ::write(m_wake.get(), &one, sizeof one);
        m_thread.join();
    }

    // The link is asked before and after the counters are read: counters
    // read while it went down are not vouched for.
    bool Read(StoreVersion& version) const override
    {
        if (!m_listening.load(std::memory_order_acquire)) return false;
        version.entries = m_entries.load(std::memory_order_acquire);
        version.fills = m_fills.load(std::memory_order_acquire);
        return m_listening.load(std::memory_order_acquire);
    }

private:
    void Run()
    {
        while (!m_stopping.load()) {
            Connection connection = Listen();
            if (!connection) {
                Wait(-1, kReconnectMs);
                continue;
            }
            MoveEntries(); // what was kept before may have missed changes
            m_listening.store(true, std::memory_order_release);
            Serve(connection.get());
            m_listening.store(false, std::memory_order_release);
            MoveEntries();
        }
    }

    Connection Listen() const
    {
        try {
            Connection connection = OpenConnection(m_parameters);
            const Result result(PQexec(connection.get(), kListen));
            if (PQresultStatus(result.get()) != PGRES_COMMAND_OK) return nullptr;
            return connection;
        } catch (const ProviderFailure&) {
            return nullptr;
        }
    }

    // Until the link fails or the watch stops.
    void Serve(PGconn* connection)
    {
        while (!m_stopping.load()) {
            const int ready = Wait(PQsocket(connection), kProbeMs);
            if (ready < 0) return;
            if (ready == 0 && !Probe(connection)) return;
            if (ready > 0 && !PQconsumeInput(connection)) return;
            Deliver(connection);
            if (PQstatus(connection) != CONNECTION_OK) return;
        }
    }

    static bool Probe(PGconn* connection)
    {
        const Result result(PQexec(connection, "SELECT 1"));
        return PQresultStatus(result.get()) == PGRES_TUPLES_OK;
    }

    void Deliver(PGconn* connection)
    {
        while (PGnotify* raw = PQnotifies(connection)) {
            const std::unique_ptr<PGnotify, decltype(&PQfreemem)> notification(raw, PQfreemem);
            m_fills.fetch_add(1, std::memory_order_acq_rel);
            const std::string_view payload(notification->extra ? notification->extra : "");
            const std::optional<std::u16string> table =
                payload.starts_with("T:") ? text::Utf8ToUtf16(payload.substr(2)) : std::nullopt;
            if (table && m_changed)
                m_changed(*table);
            else
                MoveEntries();
        }
    }

    void MoveEntries()
    {
        m_fills.fetch_add(1, std::memory_order_acq_rel);
        m_entries.fetch_add(1, std::memory_order_acq_rel);
    }

    // 1 when fd is readable, 0 after timeoutMs, -1 when the watch stops;
    // fd -1 waits for the stop alone.
    int Wait(int fd, int timeoutMs) const
    {
        pollfd fds[2] = {{m_wake.get(), POLLIN, 0}, {fd, POLLIN, 0}};
        const int count = poll(fds, fd < 0 ? 1 : 2, timeoutMs);
        if (m_stopping.load() || (fds[0].revents & POLLIN)) return -1;
        if (count <= 0) return 0;
        return (fds[1].revents & (POLLIN | POLLERR | POLLHUP)) ? 1 : 0;
    }

    const ConnectParameters m_parameters;
    const TableChanged m_changed;
    std::atomic<bool> m_stopping{false};
    std::atomic<bool> m_listening{false};
    std::atomic<std::uint64_t> m_entries{0};
    std::atomic<std::uint64_t> m_fills{0};
    UniqueFd m_wake;
    std::thread m_thread; // started last, once the members it uses are set
};

} // namespace

std::unique_ptr<StoreWatch> WatchNotifications(ConnectParameters parameters, TableChanged changed)
{
    return std::make_unique<NotificationWatch>(std::move(parameters), std::move(changed));
}

} // namespace valmorin::ado::postgresql
