// What operators and their tools ask of a running server, outside the API:
// /healthz (the process answers), /readyz (the store answers, and with a
// bound on it, the read store's standby lags within it) and
// /metrics (Prometheus's text format). What they show is counted here:
// each answer by its route and status, with its time; the component counts
// its lookups, its cache's hits and misses and its store's failures in the
// process's performance counters.
#pragma once

#include "server/http_engine.h"
#include "server/replication.h"
#include "server/thread_components.h"

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <tuple>

// Whether the path is one of the operators' own.
bool IsOperationsPath(const std::string& path);
// Its label in the metrics ("/healthz"); empty when it is none of them.
std::string_view OperationsPathLabel(const std::string& path);

// The answers given, by method, route and status, and how long they took.
class RequestMetrics {
public:
    // The route is its path as the router spells it, or a word of the
    // server's own ("console", "none"): never the caller's bytes.
    void Count(std::string_view method, std::string_view route, int status, std::chrono::duration<double> took);
    // The metrics' text, in Prometheus's exposition format.
    std::string Text() const;

private:
    static constexpr std::array<double, 14> kBounds = {0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05,
                                                       0.1,    0.25,  0.5,    1,     2.5,  5,     10};
    mutable std::mutex m_mutex;
    std::map<std::tuple<std::string_view, std::string_view, int>, std::uint64_t> m_answers;
    std::array<std::uint64_t, kBounds.size() + 1> m_buckets{}; // each counts the answers up to its bound only
    double m_seconds = 0;
    std::uint64_t m_count = 0;
};

// The store as a thread of its own reads it, once a second from the first
// time an operator asks (a server nobody probes keeps no connection open
// for it): whether it answers, and how many change sets wait. The operators' paths answer from
// the last reading and never wait on the store themselves: a store whose
// link hangs holds up this thread only, and its reading grows old.
class StoreWatcher {
public:
    explicit StoreWatcher(ThreadComponents& components) : m_components(components) {}
    // Joins the thread: Stop must have ended it.
    ~StoreWatcher();
    StoreWatcher(const StoreWatcher&) = delete;
    StoreWatcher& operator=(const StoreWatcher&) = delete;

    // Whether the last reading found the store answering, and is recent.
    bool Ready() const;
    // The change sets waiting, as last read; none for a store that keeps no
    // history, or that did not answer.
    std::optional<std::int64_t> Pending() const;
    // Begins the readings, unless they have begun or stopped.
    void Start();
    // Stops the readings; false when the one under way did not end within
    // the time given (a store that hangs): the process must then end
    // without waiting for it.
    bool Stop(std::chrono::seconds grace);

private:
    using Clock = std::chrono::steady_clock;
    void Watch();

    ThreadComponents& m_components;
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_stopping = false, m_stopped = false;
    bool m_answered = false;
    std::optional<Clock::time_point> m_readAt;
    std::optional<std::int64_t> m_pending;
    std::thread m_thread;
};

class Operations {
public:
    Operations(ThreadComponents& components, const std::optional<Replication>& replication,
               std::optional<std::uint64_t> readyLag)
        : m_watcher(components), m_replication(replication), m_readyLag(readyLag)
    {}

    // Answers a GET (or HEAD) of one of the operators' paths, without
    // waiting on anything; anything else is refused (405).
    void Answer(Exchange& exchange);
    void Count(const Exchange& exchange);
    bool Stop(std::chrono::seconds grace) { return m_watcher.Stop(grace); }

private:
    std::string MetricsText() const;
    bool Ready() const;

    RequestMetrics m_requests;
    StoreWatcher m_watcher;
    const std::optional<Replication>& m_replication;
    const std::optional<std::uint64_t> m_readyLag;
};
