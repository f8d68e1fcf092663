#include "server/operations.h"

#include "server/call.h"
#include "server/refusal.h"

#include "platform/text/utf.h"
#include "platform/win32/perf_counters.h"

#include <cstdio>

namespace {

constexpr std::string_view kPaths[] = {"/healthz", "/readyz", "/metrics"};

// What the component and the server count, and the names the metrics give
// it.
struct ComponentCounter {
    std::string_view counter, metric, help;
};
constexpr ComponentCounter kComponentCounters[] = {
    {"lookups", "valmorin_lookups_total",
     "Lookups asked of the component (translate and its reverse and default forms)."},
    {"lookup cache hits", "valmorin_lookup_cache_hits_total", "Lookups the cache answered."},
    {"lookup cache misses", "valmorin_lookup_cache_misses_total",
     "Lookups the cache did not answer (every one while it is off)."},
    {"store errors", "valmorin_store_errors_total",
     "Calls that failed for the store: out of reach, a statement refused, or the link lost."},
    {"store reconnects", "valmorin_store_reconnects_total", "Connections opened again after a link was lost."},
    {"connections refused", "valmorin_http_connections_refused_total",
     "Connections to the public address refused at once (answered 503, or closed where TLS was expected): the "
     "server held as many as it serves, none of them waiting for its client."},
    {"connections closed for room", "valmorin_http_connections_closed_for_room_total",
     "Connections waiting for their client (idle, or slow with a head) closed to make room for a new one."},
};

// A label's value as the format quotes it.
std::string LabelValue(std::string_view text)
{
    std::string quoted;
    for (const char c : text) {
        if (c == '\\' || c == '"') quoted += '\\';
        quoted += c == '\n' ? std::string("\\n") : std::string(1, c);
    }
    return quoted;
}

std::string Number(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.17g", value);
    return text;
}

void Family(std::string& text, std::string_view name, std::string_view type, std::string_view help)
{
    text.append("# HELP ").append(name).append(" ").append(help).append("\n");
    text.append("# TYPE ").append(name).append(" ").append(type).append("\n");
}

// The request's method as a text that outlives it; a method no route
// takes is "other", whatever a caller sent.
std::string_view KnownMethod(const std::string& method)
{
    static constexpr std::string_view kMethods[] = {"GET", "HEAD", "POST", "PUT", "PATCH", "DELETE", "OPTIONS"};
    for (const std::string_view known : kMethods)
        if (method == known) return known;
    return "other";
}

void AnswerText(Exchange& exchange, int status, const std::string& text, const char* type = "text/plain; charset=utf-8")
{
    exchange.response.status = status;
    exchange.response.set_content(text, type);
}

} // namespace

std::string_view OperationsPathLabel(const std::string& path)
{
    for (const std::string_view known : kPaths)
        if (path == known) return known;
    return {};
}

bool IsOperationsPath(const std::string& path) { return !OperationsPathLabel(path).empty(); }

void RequestMetrics::Count(std::string_view method, std::string_view route, int status,
                           std::chrono::duration<double> took)
{
    const double seconds = took.count();
    std::size_t bucket = 0;
    while (bucket < kBounds.size() && seconds > kBounds[bucket]) ++bucket;
    const std::lock_guard lock(m_mutex);
    ++m_answers[{method, route, status}];
    ++m_buckets[bucket];
    m_seconds += seconds;
    ++m_count;
}

std::string RequestMetrics::Text() const
{
    std::string text;
    const std::lock_guard lock(m_mutex);
    Family(text, "valmorin_http_requests_total", "counter", "Requests answered, by method, route and status.");
    for (const auto& [key, count] : m_answers) {
        const auto& [method, route, status] = key;
        text += "valmorin_http_requests_total{method=\"" + LabelValue(method) + "\",route=\"" + LabelValue(route) +
                "\",status=\"" + std::to_string(status) + "\"} " + std::to_string(count) + "\n";
    }
    Family(text, "valmorin_http_request_duration_seconds", "histogram",
           "Time from a request's arrival to its answer, in seconds.");
    std::uint64_t upTo = 0;
    for (std::size_t i = 0; i <= kBounds.size(); ++i) {
        upTo += m_buckets[i];
        const std::string bound = i < kBounds.size() ? Number(kBounds[i]) : "+Inf";
        text += "valmorin_http_request_duration_seconds_bucket{le=\"" + bound + "\"} " + std::to_string(upTo) + "\n";
    }
    text += "valmorin_http_request_duration_seconds_sum " + Number(m_seconds) + "\n";
    text += "valmorin_http_request_duration_seconds_count " + std::to_string(m_count) + "\n";
    return text;
}

void StoreWatcher::Start()
{
    const std::lock_guard lock(m_mutex);
    if (m_thread.joinable() || m_stopping) return;
    m_thread = std::thread([this] { Watch(); });
}

StoreWatcher::~StoreWatcher()
{
    if (m_thread.joinable()) m_thread.join();
}

bool StoreWatcher::Stop(std::chrono::seconds grace)
{
    std::unique_lock lock(m_mutex);
    m_stopping = true;
    m_changed.notify_all();
    if (!m_thread.joinable()) return true;
    if (!m_changed.wait_for(lock, grace, [&] { return m_stopped; })) return false;
    lock.unlock();
    if (m_thread.joinable()) m_thread.join();
    return true;
}

bool StoreWatcher::Ready() const
{
    // A reading a second late is one the store has not answered yet.
    constexpr auto kPatience = std::chrono::seconds(2);
    const std::lock_guard lock(m_mutex);
    return m_answered && m_readAt && Clock::now() - *m_readAt < kPatience;
}

std::optional<std::int64_t> StoreWatcher::Pending() const
{
    const std::lock_guard lock(m_mutex);
    return m_answered ? m_pending : std::nullopt;
}

// Any statement on the store's own tables: reaching the store is not
// enough, it must be one the component can work with.
void StoreWatcher::Watch()
{
    constexpr auto kPeriod = std::chrono::seconds(1);
    const CComBSTR tables(u"QM_TABLES"), pending(u"pending");
    std::unique_lock lock(m_mutex);
    while (!m_stopping) {
        lock.unlock();
        bool answered = false;
        std::optional<std::int64_t> waiting;
        try {
            IValmorin3& component = m_components.ForThisThread(false);
            LONG found = 0;
            answered = SUCCEEDED(component.TableExists(tables.get(), &found));
            CComBSTR list;
            if (answered && SUCCEEDED(component.ChangeSetList(pending.get(), &list)))
                waiting =
                    static_cast<std::int64_t>(Json::parse(valmorin::text::Utf16ToUtf8(list.view())).at("list").size());
        } catch (...) {
            answered = false; // no object could be made, or its answer was not JSON
        }
        lock.lock();
        m_answered = answered;
        m_readAt = Clock::now();
        m_pending = waiting;
        m_changed.wait_for(lock, kPeriod, [&] { return m_stopping; });
    }
    m_stopped = true;
    m_changed.notify_all();
}

void Operations::Answer(Exchange& exchange)
{
    if (exchange.request.method != "GET") {
        exchange.response.set_header("Allow", "GET, HEAD");
        return AnswerError(exchange.response, 405, HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED),
                           "the route does not take " + exchange.request.method);
    }
    const std::string_view path = OperationsPathLabel(exchange.request.path);
    if (path == "/healthz") return AnswerText(exchange, 200, "ok\n");
    m_watcher.Start();
    if (path == "/readyz")
        return Ready() ? AnswerText(exchange, 200, "ready\n") : AnswerText(exchange, 503, "not ready\n");
    AnswerText(exchange, 200, MetricsText(), "text/plain; version=0.0.4; charset=utf-8");
}

void Operations::Count(const Exchange& exchange)
{
    m_requests.Count(KnownMethod(exchange.request.method), exchange.route.empty() ? "none" : exchange.route,
                     exchange.response.status, std::chrono::steady_clock::now() - exchange.start);
}

// A standby measured too long ago (out of reach, none in recovery) lags
// by no known amount: past any bound.
bool Operations::Ready() const
{
    if (!m_watcher.Ready()) return false;
    if (!m_readyLag || !m_replication) return true;
    const std::optional<std::uint64_t> lag = m_replication->Lag();
    return lag && *lag <= *m_readyLag;
}

std::string Operations::MetricsText() const
{
    std::string text = m_requests.Text();
    for (const ComponentCounter& counter : kComponentCounters) {
        Family(text, counter.metric, "counter", counter.help);
        text.append(counter.metric)
            .append(" ")
            .append(std::to_string(PerfCounterNamed(counter.counter).Value()))
            .append("\n");
    }
    if (m_replication) {
        Family(text, "valmorin_replication_lag_bytes", "gauge",
               "How far the read store's standby was behind the primary at its last measure, in bytes of WAL.");
        if (const std::optional<std::uint64_t> lag = m_replication->Lag())
            text += "valmorin_replication_lag_bytes " + std::to_string(*lag) + "\n";
    }
    // A store that keeps no history has no change sets: the metric is left out.
    if (const std::optional<std::int64_t> pending = m_watcher.Pending()) {
        Family(text, "valmorin_change_sets_pending", "gauge", "Change sets awaiting another user's approval.");
        text += "valmorin_change_sets_pending " + std::to_string(*pending) + "\n";
    }
    return text;
}
