// A read store beside the write store: PostgreSQL standbys streaming from
// the primary. Lookups go to a standby when it has replayed what they must
// see: a position the caller was given with a write (X-Valmorin-Position:
// the primary's WAL position once the write committed, in bytes), waited
// for a while; without one, a standby whose lag behind the primary is
// within a bound. Otherwise the primary answers.
//
// The standby is one server, picked from the read connection's hosts (the
// first in recovery) and named alone in the connection the lookups'
// objects open: the position it was asked for is the position of the
// server that answers.
#pragma once

#include "platform/ado/ado.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

struct ReplicationOptions {
    std::u16string write, read;               // connection strings
    std::uint64_t mostLag = 1 << 20;          // bytes of WAL a standby may be behind, without a position
    std::chrono::milliseconds mostWait{1000}; // for a standby to replay a position
};

class Replication {
public:
    explicit Replication(ReplicationOptions options);
    ~Replication();
    Replication(const Replication&) = delete;
    Replication& operator=(const Replication&) = delete;

    // The primary's position now, at or past every write committed before;
    // none when the primary cannot be asked.
    std::optional<std::uint64_t> PrimaryPosition();
    // The same, asked again for up to `within` while no primary answers: a
    // write committed just before a failover is answered with the position
    // of the primary that follows, at or past it, once that one is up.
    std::optional<std::uint64_t> PrimaryPositionWithin(std::chrono::milliseconds within);
    // The connection of the standby that may answer a lookup carrying the
    // position (none: the lag bound decides); none when the primary must,
    // and then the process's lookup caches have heard of every change
    // committed before the call, or serve nothing until they have.
    std::optional<std::u16string> StandbyFor(std::optional<std::uint64_t> position);
    // How far the standby was behind at the last measure, unless it is
    // older than a second; none without a standby.
    std::optional<std::uint64_t> Lag() const;

private:
    using Clock = std::chrono::steady_clock;
    struct Link {
        std::mutex mutex;
        CComPtr<_Connection> connection;
        std::u16string on; // the connection string it was opened with
    };
    // The text of a one-value statement's answer, on the link (opened on
    // the connection string when closed); none when it fails, and the link
    // is closed then.
    static std::optional<std::u16string> Ask(Link& link, const std::u16string& connection, const char16_t* statement);
    std::optional<std::uint64_t> Replayed(const std::u16string& standby);
    std::optional<std::u16string> StandbyReached(std::optional<std::uint64_t> position, Clock::time_point deadline);
    // The first candidate in recovery, or none.
    std::optional<std::u16string> PickStandby();
    void Watch();

    const ReplicationOptions m_options;
    std::vector<std::u16string> m_candidates; // each host of the read connection, named alone
    Link m_primary, m_standbyLink;

    mutable std::mutex m_mutex;
    std::condition_variable m_stopping; // wakes the watcher: a stop, or a lookup waiting
    std::condition_variable m_measures; // a new measure
    bool m_stop = false;
    int m_waiting = 0;                       // lookups waiting for a position
    std::optional<std::u16string> m_standby; // the one picked
    std::optional<std::uint64_t> m_replayed, m_primaryAt, m_lag;
    Clock::time_point m_measured{};
    std::thread m_watcher;
};
