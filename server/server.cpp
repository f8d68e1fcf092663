#include "server/server.h"

#include "server/authentication.h"
#include "server/call.h"
#include "server/console.h"
#include "server/http_engine.h"
#include "server/operations.h"
#include "server/refusal.h"
#include "server/replication.h"
#include "server/router.h"
#include "server/server_log.h"
#include "server/temporary_file.h"
#include "server/thread_components.h"

#include "platform/datasource/catalogue.h"
#include "platform/text/ascii.h"
#include "platform/text/utf.h"

#include <httplib.h>

#include <charconv>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <iterator>
#include <mutex>
#include <stdexcept>

#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

// A login's body: a name and a password, never more.
constexpr std::size_t kMostSessionBody = 4 << 10;
// How long a stop waits for the requests in flight.
constexpr std::chrono::seconds kStopGrace{30};
// How long a stop waits for its last lines to reach standard error.
constexpr std::chrono::seconds kLogDrain{2};
// How long a write that succeeded waits for a primary to tell its position
// (a failover leaves none for a few seconds) before it is answered without.
constexpr std::chrono::seconds kPositionWait{5};

// The access log, on standard error: a line for each answer. Lines are
// written a few at a time, at most a sweep of the engine late, since a
// write for each answer costs about as much as the answer.
class AccessLog {
public:
    void Add(const Exchange& exchange)
    {
        std::string line = LineOf(exchange);
        const std::lock_guard lock(m_mutex);
        m_kept += line;
        if (m_kept.size() >= kMostKept) WriteOut();
    }
    void Flush()
    {
        const std::lock_guard lock(m_mutex);
        WriteOut();
    }

private:
    static constexpr std::size_t kMostKept = 16 << 10;

    static std::string LineOf(const Exchange& exchange)
    {
        const auto took = std::chrono::duration<double, std::milli>(Clock::now() - exchange.start).count();
        const httplib::Request& request = exchange.request;
        std::string line;
        line.reserve(128);
        line += UtcSecond(std::time(nullptr));
        for (const std::string_view field : {std::string_view(request.remote_addr), std::string_view(exchange.user),
                                             std::string_view(request.method), LoggedPath(request.target)}) {
            // A field the request left empty (its head refused before it was
            // read) is shown as one, so that every line has the same fields.
            line += ' ';
            if (field.empty())
                line += '-';
            else
                AppendPrintable(line, field);
        }
        char figures[64] = " ";
        char* end = std::to_chars(figures + 1, std::end(figures), exchange.response.status).ptr;
        *end++ = ' ';
        end = std::to_chars(end, std::end(figures) - 3, took, std::chars_format::fixed, 1).ptr;
        return line.append(figures, end).append("ms\n");
    }

    // The target as the log shows it: its path. A query or a fragment may
    // hold a token, and a target that is no path (an absolute URL) may hold
    // a password: not shown.
    static std::string_view LoggedPath(const std::string& target)
    {
        if (!target.starts_with('/')) return {};
        return std::string_view(target).substr(0, target.find_first_of("?#"));
    }

    // The second's text, made once per second per thread: a busy server
    // writes thousands of lines in each.
    static std::string_view UtcSecond(std::time_t now)
    {
        thread_local std::time_t shown = -1;
        thread_local char text[32];
        if (now != shown) {
            std::tm utc{};
            ::gmtime_r(&now, &utc);
            std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
            shown = now;
        }
        return text;
    }
    void WriteOut()
    {
        if (m_kept.empty()) return;
        WriteLog(std::move(m_kept));
        m_kept.clear();
    }

    std::mutex m_mutex;
    std::string m_kept;
};

// SQLite maps a WAL store's index (its -shm file); another program that
// cuts it short ends any process that reads it. The server cannot go on,
// but says why, for the operator and the supervisor that restarts it.
void SayWhyAndEnd(int)
{
    static constexpr char kWhy[] = "valmorin serve: a file the server maps was cut short by another program "
                                   "(SIGBUS; the store's -shm file truncated?); stopping\n";
    [[maybe_unused]] const ssize_t said = ::write(STDERR_FILENO, kWhy, sizeof kWhy - 1);
    ::_exit(70);
}

// An address as a URL names it: an IPv6 address in brackets.
std::string UrlHost(const std::string& host) { return host.find(':') == std::string::npos ? host : "[" + host + "]"; }

// Where a write is in the store, and where a lookup must be answered from.
constexpr char kPositionHeader[] = "X-Valmorin-Position";

bool IsApi(const std::string& path) { return path.starts_with("/api/") || path == "/api"; }

// What a browser must not do with any answer: run or frame it elsewhere,
// guess its type, keep it, or tell another site where it came from.
std::vector<std::pair<std::string, std::string>> SecurityHeaders()
{
    return {{"Content-Security-Policy",
             "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; "
             "connect-src 'self'; form-action 'self'; base-uri 'none'; frame-ancestors 'none'"},
            {"X-Frame-Options", "DENY"},
            {"X-Content-Type-Options", "nosniff"},
            {"Referrer-Policy", "no-referrer"},
            {"Cache-Control", "no-store"}};
}

class Server final : public HttpHandler {
public:
    Server(const ServerOptions& options, const ServerNeeds& needs)
        : m_options(options), m_authentication(options),
          m_neverWaiting(needs.neverWaitingConnection(options.connection)),
          m_components(needs.makeComponent, options.connection, m_neverWaiting.value_or(u""))
    {
        if (!m_options.readConnection.empty())
            m_replication.emplace(ReplicationOptions{m_options.connection, m_options.readConnection, m_options.readLag,
                                                     m_options.readWait});
        if (!m_options.connection.empty())
            valmorin::datasource::SetProcessDataSource(valmorin::datasource::kDefaultDataSourceName,
                                                       m_options.connection);
        // A file grown past the size limit an operator set (ulimit -f,
        // LimitFSIZE=) fails its write, like a full disk, instead of ending
        // the server.
        std::signal(SIGXFSZ, SIG_IGN);
        // Nor does a reader of standard error that went away (a pipe to
        // logger or tee restarted): the log's writes fail, the server goes on.
        std::signal(SIGPIPE, SIG_IGN);
        std::signal(SIGBUS, SayWhyAndEnd);
        RequireTemporaryFolderOfOurOwn();
        if (const int removed = RemoveStaleTemporaryFiles())
            WriteLog("valmorin serve: removed " + std::to_string(removed) +
                     " file(s) left by a server that was killed\n");
        EngineOptions engine;
        engine.host = m_options.host;
        engine.port = m_options.port;
        engine.certificate = m_options.certificate;
        engine.key = m_options.key;
        engine.workers = m_options.threads;
        engine.headerTimeout = m_options.headerTimeout;
        engine.innerHost = m_options.metricsHost;
        engine.innerPort = m_options.metricsPort;
        engine.everyAnswer = SecurityHeaders();
        // Said over TLS only: a browser must not take it from a plain answer.
        engine.everySecureAnswer = {{"Strict-Transport-Security", "max-age=31536000"}};
        m_engine.emplace(engine, *this);
        m_authentication.AllowHost(m_engine->address());
        if (!m_options.metricsHost.empty()) m_authentication.AllowHost(m_engine->innerAddress());
    }

    int Run()
    {
        const bool tls = !m_options.certificate.empty();
        WriteLog("valmorin serve: listening on " + std::string(tls ? "https://" : "http://") + UrlHost(m_options.host) +
                 ":" + std::to_string(m_engine->port()) +
                 (m_authentication.accounts()
                      ? ""
                      : " (loopback clients only, acting as " + m_authentication.login() + ")") +
                 "\n");
        if (!m_options.metricsHost.empty())
            WriteLog("valmorin serve: metrics on http://" + UrlHost(m_options.metricsHost) + ":" +
                     std::to_string(m_engine->innerPort()) + "/metrics\n");
        const bool whole = m_engine->Run(kStopGrace);
        if (!whole || !m_operations.Stop(kStopGrace)) {
            // The threads still in the component's calls are not waited for.
            const std::string after = " after " + std::to_string(kStopGrace.count()) + " s ";
            WriteLog("valmorin serve: stopped; " +
                     (whole ? "the store's readiness check, still waiting" + after + "was cut short"
                            : "requests still unanswered" + after + "were cut short") +
                     "\n");
            DrainLog(kLogDrain);
            std::_Exit(1);
        }
        WriteLog("valmorin serve: stopped\n");
        // A standard error nobody reads keeps what is left.
        DrainLog(kLogDrain);
        return 0;
    }

    // A lookup is answered on the I/O thread when it waits on nothing: the
    // store an SQLite file, whose lock it never waits for, and no password
    // to hash (none asked, a session's cookie, or Basic credentials
    // accepted a moment ago).
    bool AnswersAtOnce(Exchange& exchange) override
    {
        const httplib::Request& request = exchange.request;
        if (exchange.inner || IsOperationsPath(request.path)) return !m_authentication.HashesPassword(request);
        if (!m_neverWaiting) return false;
        const Route* route = RouteOf(exchange);
        return route != nullptr && route->oneLookup && !m_authentication.HashesPassword(request);
    }

    // Everything that can be decided without the body: a stranger's body
    // is never read.
    bool Admit(Exchange& exchange) override
    {
        const httplib::Request& request = exchange.request;
        if (!m_authentication.AdmitRequest(exchange)) return false;
        if (exchange.inner || IsOperationsPath(request.path)) return AdmitOperations(exchange);
        if (!IsApi(request.path)) {
            exchange.route = "console";
            return true;
        }
        const Route* route = RouteOf(exchange);
        if (route != nullptr) exchange.route = route->path;
        if (!m_authentication.AdmitCaller(exchange, route)) return false;
        // The routes open to anyone change no store: the other changes wait
        // their turns on the writers' thread.
        exchange.writes = ChangesState(request.method) && (route == nullptr || route->access == Access::Callers);
        ExpectBody(exchange, route == nullptr ? Body::Json : route->body);
        return true;
    }

    // HEAD is answered as GET, the engine sending no body.
    void Answer(Exchange& exchange) override
    {
        httplib::Request& request = exchange.request;
        const bool head = request.method == "HEAD";
        if (head) request.method = "GET";
        if (exchange.inner || IsOperationsPath(request.path)) {
            m_operations.Answer(exchange);
        } else if (IsApi(request.path)) {
            Call call{exchange, {}, valmorin::text::Widen(exchange.user), m_components, m_authentication};
            if (ChooseReadStore(call)) m_router.Answer(call);
            TellPosition(exchange);
        } else {
            AnswerConsole(request, exchange.response);
        }
        if (head) request.method = "HEAD";
    }

    void Finish(Exchange& exchange) override
    {
        m_operations.Count(exchange);
        m_log.Add(exchange);
    }

    void Flush() override { m_log.Flush(); }

private:
    static const Route* RouteOf(Exchange& exchange)
    {
        if (!exchange.routeFound) exchange.routeFound = FindRoute(exchange.request.method, exchange.request.target);
        return *exchange.routeFound;
    }

    // A lookup a standby may answer goes to one that has replayed the
    // position it carries, or that is near enough without one. False when
    // the response is the refusal of a position no server gave.
    bool ChooseReadStore(Call& call)
    {
        if (!m_replication || !StandbyMayAnswer(call.request().method, call.exchange.route)) return true;
        std::optional<std::uint64_t> position;
        if (call.request().get_header_value_count(kPositionHeader) > 1) {
            AnswerError(call.response(), 400, E_INVALIDARG, std::string(kPositionHeader) + " is given more than once");
            return false;
        }
        if (call.request().has_header(kPositionHeader)) {
            position = valmorin::text::DecimalNumber(call.request().get_header_value(kPositionHeader));
            if (!position) {
                AnswerError(call.response(), 400, E_INVALIDARG,
                            std::string(kPositionHeader) + " is not a position a write was answered with");
                return false;
            }
        }
        call.readFrom = m_replication->StandbyFor(position);
        return true;
    }

    // Every write answered with success says where it is in the store, for
    // the lookups that must see it.
    void TellPosition(Exchange& exchange)
    {
        if (!m_replication || !exchange.writes || exchange.response.status >= 300) return;
        if (const std::optional<std::uint64_t> position = m_replication->PrimaryPositionWithin(kPositionWait))
            exchange.response.set_header(kPositionHeader, std::to_string(*position));
    }

    // The operators' paths ask nobody who they are, but /metrics shows how
    // the server is used: with accounts, to one of them, unless it is asked
    // at the inner address. That address answers nothing else.
    bool AdmitOperations(Exchange& exchange)
    {
        exchange.route = OperationsPathLabel(exchange.request.path);
        exchange.bodyLimit = 0;
        if (exchange.route.empty()) {
            AnswerError(exchange.response, 404, kNotFound, "this address serves /metrics, /healthz and /readyz only");
            return false;
        }
        return exchange.route != "/metrics" || exchange.inner || m_authentication.AdmitCaller(exchange, nullptr);
    }

    // The body's limit, and the file that takes an upload.
    void ExpectBody(Exchange& exchange, Body body) const
    {
        switch (body) {
        case Body::Json: exchange.bodyLimit = kMostJsonBody; break;
        case Body::Login: exchange.bodyLimit = kMostSessionBody; break;
        case Body::None: exchange.bodyLimit = 0; break;
        case Body::Csv:
            exchange.bodyLimit = m_options.csvLimit;
            exchange.upload.emplace();
            break;
        }
    }

    const ServerOptions m_options;
    Authentication m_authentication;
    // Set when lookups may be answered on the I/O threads.
    const std::optional<std::u16string> m_neverWaiting;
    ThreadComponents m_components;
    std::optional<Replication> m_replication;
    Router m_router;
    Operations m_operations{m_components, m_replication, m_options.readyLag};
    AccessLog m_log;
    std::optional<HttpEngine> m_engine;
};

} // namespace

int RunServer(const ServerOptions& options, const ServerNeeds& needs)
{
    try {
        Server server(options, needs);
        return server.Run();
    } catch (const std::runtime_error& e) {
        WriteLog("valmorin serve: " + std::string(e.what()) + "\n");
        DrainLog(kLogDrain);
        return 2;
    }
}
