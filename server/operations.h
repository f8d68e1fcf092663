// What operators and their tools ask of a running server, outside the API:
// /healthz (the process answers), /readyz (the store answers) and
// /metrics (Prometheus's text format). What they show is counted here:
// each answer by its route and status, with its time; the component counts
// its lookups, its cache's hits and misses and its store's failures in the
// process's performance counters.
#pragma once

#include "server/http_engine.h"
#include "server/thread_components.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
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

// A reading of the store that many requests may ask for at once: taken by
// one of them at a time, at most once a period, the others given the last
// one. A reading under way for longer than its patience is not waited
// for: whoever asks meanwhile is told the store is not answering.
class StoreReading {
public:
    explicit StoreReading(std::chrono::milliseconds period, std::chrono::milliseconds patience)
        : m_period(period), m_patience(patience)
    {}
    // The last value read, taken again with read when it is older than a
    // period; none when the store did not answer.
    template <typename Read>
    std::optional<std::int64_t> Value(Read&& read);

private:
    using Clock = std::chrono::steady_clock;
    const std::chrono::milliseconds m_period, m_patience;
    std::mutex m_mutex;
    std::optional<std::int64_t> m_value;
    std::optional<Clock::time_point> m_taken, m_taking;
};

class Operations {
public:
    explicit Operations(ThreadComponents& components) : m_components(components) {}

    // Answers a GET (or HEAD) of one of the operators' paths; anything
    // else is refused (405).
    void Answer(Exchange& exchange);
    void Count(const Exchange& exchange);

private:
    bool StoreAnswers();
    std::string MetricsText();

    ThreadComponents& m_components;
    RequestMetrics m_requests;
    StoreReading m_reachable{std::chrono::seconds(1), std::chrono::seconds(2)};
    StoreReading m_pending{std::chrono::seconds(5), std::chrono::seconds(2)};
};

template <typename Read>
std::optional<std::int64_t> StoreReading::Value(Read&& read)
{
    const Clock::time_point now = Clock::now();
    {
        const std::lock_guard lock(m_mutex);
        if (m_taking) return now - *m_taking > m_patience ? std::nullopt : m_value;
        if (m_taken && now - *m_taken < m_period) return m_value;
        m_taking = now;
    }
    std::optional<std::int64_t> value;
    try {
        value = read();
    } catch (...) {
        value.reset();
    }
    const std::lock_guard lock(m_mutex);
    m_taking.reset();
    m_taken = Clock::now();
    m_value = value;
    return value;
}
