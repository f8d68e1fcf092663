#include "server/replication.h"

#include "platform/ado/connection_string.h"
#include "platform/ado/store_watch.h"
#include "platform/text/ascii.h"
#include "platform/text/utf.h"
#include "valmorin/com/runtime.h"

namespace {

// How often the standby's lag is measured, and how old a measure may be.
constexpr auto kMeasureEvery = std::chrono::milliseconds(100);
constexpr auto kMeasureLife = std::chrono::seconds(1);
// How often the standby is measured while lookups wait for a position.
constexpr auto kPollEvery = std::chrono::milliseconds(5);
// How long a primary that cannot be asked is left before it is asked again.
constexpr auto kAskAgainAfter = std::chrono::milliseconds(100);

std::vector<std::u16string> Items(const std::u16string& list)
{
    std::vector<std::u16string> items;
    for (std::size_t from = 0; from <= list.size();) {
        const std::size_t comma = std::min(list.find(u',', from), list.size());
        items.push_back(list.substr(from, comma - from));
        from = comma + 1;
    }
    return items;
}

// Each host of the connection, named alone with its port: libpq would take
// any of them at each connection, and the lookups must be answered by the
// server whose position was asked.
std::vector<std::u16string> EachHost(const std::u16string& connection)
{
    const valmorin::ado::ConnectionString given(connection);
    const std::vector<std::u16string> hosts = Items(given.Get(u"Host"));
    const std::vector<std::u16string> ports =
        given.Get(u"Port").empty() ? std::vector<std::u16string>{} : Items(given.Get(u"Port"));
    std::vector<std::u16string> each;
    for (std::size_t i = 0; i < hosts.size(); ++i) {
        valmorin::ado::ConnectionString one = given.With(u"Host", hosts[i]).With(u"Target Session Attrs", u"any");
        if (!ports.empty()) one = one.With(u"Port", ports.size() == hosts.size() ? ports[i] : ports.front());
        each.push_back(std::move(one).Text());
    }
    return each;
}

std::optional<std::uint64_t> Bytes(const std::optional<std::u16string>& text)
{
    return text ? valmorin::text::DecimalNumber(valmorin::text::Utf16ToUtf8(*text)) : std::nullopt;
}

} // namespace

Replication::Replication(ReplicationOptions options)
    : m_options(std::move(options)), m_candidates(EachHost(m_options.read)), m_watcher([this] { Watch(); })
{}

Replication::~Replication()
{
    {
        const std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    m_stopping.notify_all();
    m_measures.notify_all();
    m_watcher.join();
}

std::optional<std::u16string> Replication::Ask(Link& link, const std::u16string& connection, const char16_t* statement)
{
    const std::lock_guard lock(link.mutex);
    LONG state = adStateClosed;
    if (link.on != connection || !link.connection || FAILED(link.connection->get_State(&state)) ||
        state != adStateOpen) {
        link.connection = nullptr;
        link.on = connection;
        CComPtr<_Connection> made;
        if (FAILED(CoCreateInstance(CLSID_Connection, nullptr, CLSCTX_ALL, _Connection::iid,
                                    reinterpret_cast<void**>(&made))) ||
            FAILED(made->Open(CComBSTR(connection).get(), nullptr, nullptr, adConnectUnspecified)))
            return std::nullopt;
        link.connection = std::move(made);
    }
    CComPtr<_Recordset> answer;
    VARIANT_BOOL empty = VARIANT_TRUE;
    CComVariant value;
    if (FAILED(CoCreateInstance(CLSID_Recordset, nullptr, CLSCTX_ALL, _Recordset::iid,
                                reinterpret_cast<void**>(&answer))) ||
        FAILED(answer->put_CursorLocation(adUseClient)) ||
        FAILED(answer->Open(CComVariant(std::u16string_view(statement)), CComVariant(link.connection.get()),
                            adOpenForwardOnly, adLockReadOnly, adOptionUnspecified)) ||
        FAILED(answer->get_EOF(&empty)) || empty != VARIANT_FALSE ||
        FAILED(answer->get_Collect(CComVariant(LONG{0}), &value)) || value.vt != VT_BSTR) {
        link.connection = nullptr;
        return std::nullopt;
    }
    return std::u16string(value.bstrVal, SysStringLen(value.bstrVal));
}

// Asked again once on a new link when the first one failed: a failover
// since the last write left the link on the old primary.
std::optional<std::uint64_t> Replication::PrimaryPosition()
{
    constexpr const char16_t* kPosition = u"SELECT pg_wal_lsn_diff(pg_current_wal_lsn(), '0/0')::bigint::text";
    if (const std::optional<std::uint64_t> position = Bytes(Ask(m_primary, m_options.write, kPosition)))
        return position;
    return Bytes(Ask(m_primary, m_options.write, kPosition));
}

std::optional<std::uint64_t> Replication::PrimaryPositionWithin(std::chrono::milliseconds within)
{
    const Clock::time_point deadline = Clock::now() + within;
    for (;;) {
        if (const std::optional<std::uint64_t> position = PrimaryPosition()) return position;
        if (Clock::now() >= deadline) return std::nullopt;
        std::unique_lock lock(m_mutex);
        if (m_stopping.wait_for(lock, kAskAgainAfter, [this] { return m_stop; })) return std::nullopt;
    }
}

// Null from a server that is no standby (promoted since it was picked).
std::optional<std::uint64_t> Replication::Replayed(const std::u16string& standby)
{
    return Bytes(Ask(m_standbyLink, standby,
                     u"SELECT CASE WHEN pg_is_in_recovery() THEN "
                     u"pg_wal_lsn_diff(pg_last_wal_replay_lsn(), '0/0')::bigint::text END"));
}

// A standby of this primary only: one of another cluster (a copy, a
// mistaken host) may be in recovery at any position, and its rows are
// not the primary's.
std::optional<std::u16string> Replication::PickStandby()
{
    constexpr const char16_t* kSystem = u"SELECT system_identifier::text FROM pg_control_system()";
    const std::optional<std::u16string> primary = Ask(m_primary, m_options.write, kSystem);
    if (!primary) return std::nullopt;
    for (const std::u16string& candidate : m_candidates)
        if (Replayed(candidate) && Ask(m_standbyLink, candidate, kSystem) == primary) return candidate;
    return std::nullopt;
}

// One wait in all, for the standby and then for the caches.
std::optional<std::u16string> Replication::StandbyFor(std::optional<std::uint64_t> position)
{
    const Clock::time_point deadline = Clock::now() + m_options.mostWait;
    std::optional<std::u16string> standby = StandbyReached(position, deadline);
    // The primary answers with the lookup caches of this process, which
    // hear of other servers' writes a notification's time later: they must
    // have heard of the one the caller saw answered.
    if (position && !standby) valmorin::ado::CatchUpWatches(deadline);
    return standby;
}

// Waits on the watcher's measures, never on a link: a standby that hangs
// holds up its watcher, whose measures then grow old, and no lookup.
std::optional<std::u16string> Replication::StandbyReached(std::optional<std::uint64_t> position,
                                                          Clock::time_point deadline)
{
    // Farther ahead of the primary's last measure than any write since.
    constexpr std::uint64_t kMostAhead = std::uint64_t{64} << 20;
    std::unique_lock lock(m_mutex);
    const auto fresh = [&] { return m_standby && Clock::now() - m_measured < kMeasureLife; };
    if (!fresh()) return std::nullopt;
    if (!position) return m_lag && *m_lag <= m_options.mostLag ? m_standby : std::nullopt;
    if (m_primaryAt && *position > *m_primaryAt + kMostAhead) return std::nullopt;
    const auto reached = [&] { return fresh() && m_replayed && *m_replayed >= *position; };
    ++m_waiting;
    m_stopping.notify_all();
    m_measures.wait_until(lock, deadline, [&] { return m_stop || reached(); });
    --m_waiting;
    return reached() ? m_standby : std::nullopt;
}

std::optional<std::uint64_t> Replication::Lag() const
{
    const std::lock_guard lock(m_mutex);
    return Clock::now() - m_measured < kMeasureLife ? m_lag : std::nullopt;
}

// The standby's replay is read before the primary's position: a lag
// measured so is never less than the true one.
void Replication::Watch()
{
    std::unique_lock lock(m_mutex);
    while (!m_stop) {
        std::optional<std::u16string> standby = m_standby;
        lock.unlock();
        if (!standby) standby = PickStandby();
        const std::optional<std::uint64_t> replayed = standby ? Replayed(*standby) : std::nullopt;
        const std::optional<std::uint64_t> primary = replayed ? PrimaryPosition() : std::nullopt;
        lock.lock();
        m_standby = replayed ? standby : std::nullopt;
        m_replayed = replayed;
        m_primaryAt = primary;
        m_lag = replayed && primary ? std::optional(*primary > *replayed ? *primary - *replayed : 0) : std::nullopt;
        m_measured = Clock::now();
        m_measures.notify_all();
        // Lookups waiting for a position are answered as soon as it is replayed.
        if (m_waiting > 0)
            m_stopping.wait_for(lock, kPollEvery, [&] { return m_stop; });
        else
            m_stopping.wait_for(lock, kMeasureEvery, [&] { return m_stop || m_waiting > 0; });
    }
}
