#include "server/http_engine.h"
#include "server/server_log.h"

#include "server/refusal.h"

#include "platform/win32/perf_counters.h"
#include "platform/win32/sysinfo.h"
#include "valmorin/com/errorinfo.h"
#include "valmorin/com/runtime.h"

#include <utility> // before Asio 1.74, whose awaitable.hpp uses std::exchange without it

#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>

#include <algorithm>
#include <array>
#include <cctype>
#include <condition_variable>
#include <functional>
#include <limits>
#include <list>
#include <mutex>
#include <set>
#include <sstream>
#include <type_traits>
#include <thread>
#include <vector>

#include <sys/resource.h>

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace ssl = asio::ssl;
using tcp = asio::ip::tcp;
using asio::awaitable;
using asio::use_awaitable;
using Clock = std::chrono::steady_clock;
using Parser = http::request_parser<http::buffer_body>;

// Far above what a deployment of the server sees, far below what memory
// allows: an open connection costs a descriptor and a few KiB.
constexpr std::size_t kMostConnections = 10'000;
// TLS handshakes in progress: each holds OpenSSL's state for the client.
constexpr std::size_t kMostHandshakes = 2'000;
// Descriptors kept for what is not a connection: stores, files, logs, and
// the operators' connections.
constexpr rlim_t kReservedDescriptors = 64;
// Connections to the operators' address (metrics, health checks) per I/O
// thread, counted apart: strangers who hold every public connection do not
// shut out the checks that would show it.
constexpr std::size_t kMostInnerConnections = 4;
constexpr rlim_t kDescriptorsPerConnection = 3;
constexpr std::size_t kMostHeaderBytes = 32 << 10;
constexpr std::ptrdiff_t kMostHeaderFields = 100;
constexpr std::size_t kReadChunk = 64 << 10;
constexpr auto kWriteTimeout = std::chrono::seconds(10);
// An answer larger than this waits for a slow reader in a file, not in
// memory.
constexpr std::size_t kMostHeldAnswer = 1 << 20;
// A body slower than this on average, past the head's own deadline, is
// given up.
constexpr std::size_t kSlowestBodyBytesPerSecond = 64 << 10;
// What is read and dropped of a body left unread before the connection
// closes, so that the client reads the answer rather than a reset.
constexpr std::size_t kMostDrainedBytes = 1 << 20;
constexpr auto kDrainTime = std::chrono::seconds(2);
// How often the deadlines of waiting connections are checked, and what the
// handler keeps is written out: how late a deadline may be enforced.
constexpr auto kSweepInterval = std::chrono::milliseconds(100);
// How often, at most, the log says that connections were refused.
constexpr auto kRefusalReportInterval = std::chrono::seconds(10);
constexpr auto kLongestAtOnce = std::chrono::milliseconds(50);
constexpr auto kWorkersOnlyFor = std::chrono::seconds(10);
constexpr long kInvalidArgument = E_INVALIDARG;
constexpr long kStopping = RPC_E_CALL_CANCELED;

// An operation's error returned in error rather than thrown.
auto NoThrow(beast::error_code& error) { return asio::redirect_error(use_awaitable, error); }

// The connections of one I/O thread that wait on their client (a TLS
// handshake, a request's head, the next request of a kept-alive
// connection), each until its deadline: when room is needed, the one that
// waited longest is closed, so that clients that send slowly or nothing
// never keep a new one out; a sweep closes those past their deadline (a
// timer of each connection's own would be set again for every request).
// Touched by its I/O thread only.
class Lineup {
public:
    explicit Lineup(std::size_t most = std::numeric_limits<std::size_t>::max()) : m_most(most) {}

    class Place {
    public:
        Place(Lineup& lineup, beast::tcp_stream& stream, Clock::time_point deadline)
            : m_lineup(lineup), m_stream(stream), m_deadline(deadline)
        {
            lineup.Join(*this);
        }
        ~Place() { m_lineup.Leave(*this); }
        Place(const Place&) = delete;
        Place& operator=(const Place&) = delete;

        void Until(Clock::time_point deadline) { m_deadline = deadline; }

    private:
        friend class Lineup;
        Lineup& m_lineup;
        beast::tcp_stream& m_stream;
        Clock::time_point m_deadline;
        std::list<Place*>::iterator m_at;
        bool m_listed = false;
    };

    // False when no connection waits.
    bool CloseOldest()
    {
        if (m_places.empty()) return false;
        Close(*m_places.front());
        return true;
    }
    void CloseExpired(Clock::time_point now)
    {
        for (auto it = m_places.begin(); it != m_places.end();) {
            Place& place = **it++;
            if (place.m_deadline <= now) Close(place);
        }
    }
    void CloseAll()
    {
        while (CloseOldest()) {
        }
    }
    // Ends what each connection waits for, leaving it open to be answered.
    void CancelAll()
    {
        while (!m_places.empty()) {
            Place& place = *m_places.front();
            Drop(place);
            place.m_stream.cancel();
        }
    }

private:
    void Join(Place& place)
    {
        if (m_places.size() >= m_most) CloseOldest();
        place.m_at = m_places.insert(m_places.end(), &place);
        place.m_listed = true;
    }
    void Leave(Place& place)
    {
        if (place.m_listed) Drop(place);
    }
    void Drop(Place& place)
    {
        m_places.erase(place.m_at);
        place.m_listed = false;
    }
    void Close(Place& place)
    {
        Drop(place);
        place.m_stream.close();
    }

    std::size_t m_most;
    std::list<Place*> m_places;
};

struct IoThread {
    explicit IoThread(std::size_t mostHandshakes) : handshakes(mostHandshakes) {}
    asio::io_context context{1};
    asio::executor_work_guard<asio::io_context::executor_type> work = asio::make_work_guard(context);
    Lineup waiting;
    // The operators' connections wait apart: room for a stranger's is never
    // made by closing one of theirs.
    Lineup innerWaiting;
    Lineup handshakes;
    Lineup reading; // connections whose body is read: closed at a stop
    std::size_t open = 0;      // on the public address
    std::size_t innerOpen = 0; // on the operators'
    // Requests are not answered on this thread until then, after one that
    // was took long (its store was held by another process, say).
    Clock::time_point workersOnlyUntil{};
};

// The soft limit of open descriptors raised to the hard one; the
// connections that leave room for the rest. A connection may hold three:
// its socket, and an upload's file or an export's file and the descriptor
// it is sent through.
std::size_t MostConnections()
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
        ::getrlimit(RLIMIT_NOFILE, &limit);
    }
    const rlim_t usable =
        limit.rlim_cur > 2 * kReservedDescriptors ? limit.rlim_cur - kReservedDescriptors : limit.rlim_cur / 2;
    return std::min<std::size_t>(kMostConnections, static_cast<std::size_t>(usable / kDescriptorsPerConnection));
}

// One I/O thread per core, four at most: they answer lookups themselves,
// the workers take the rest. On two cores, two answered a sixth more
// lookups than one, beside the clients on the same cores.
std::vector<std::unique_ptr<IoThread>> MakeIoThreads()
{
    const std::size_t count = std::clamp(std::thread::hardware_concurrency(), 1u, 4u);
    std::vector<std::unique_ptr<IoThread>> threads;
    for (std::size_t i = 0; i < count; ++i) threads.push_back(std::make_unique<IoThread>(kMostHandshakes / count));
    return threads;
}

std::optional<ssl::context> MakeTls(const EngineOptions& options)
{
    if (options.certificate.empty()) return std::nullopt;
    ssl::context tls(ssl::context::tls_server);
    tls.set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 | ssl::context::no_sslv3 |
                    ssl::context::no_tlsv1 | ssl::context::no_tlsv1_1 | ssl::context::single_dh_use);
    try {
        tls.use_certificate_chain_file(options.certificate);
        tls.use_private_key_file(options.key, ssl::context::pem);
    } catch (const boost::system::system_error&) {
        throw std::runtime_error("the certificate " + options.certificate + " or its key " + options.key +
                                 " cannot be used");
    }
    return tls;
}

std::string RemoteAddress(const tcp::socket& socket)
{
    beast::error_code ignored;
    const asio::ip::address address = socket.remote_endpoint(ignored).address();
    return address.to_string();
}

void FillRequest(const http::request<http::buffer_body>& head, const std::string& remote, httplib::Request& request)
{
    request.method = std::string(head.method_string());
    request.target = std::string(head.target());
    request.version = head.version() == 10 ? "HTTP/1.0" : "HTTP/1.1";
    const std::size_t question = request.target.find('?');
    request.path = httplib::detail::decode_url(request.target.substr(0, question), false);
    if (question != std::string::npos)
        httplib::detail::parse_query_text(request.target.substr(question + 1), request.params);
    for (const auto& field : head)
        request.headers.emplace(std::string(field.name_string()), std::string(field.value()));
    request.remote_addr = remote;
}

// What makes a query mean one thing here and another to a proxy in front:
// a parameter's value holding an = of its own (the query reader keeps only
// what follows the last one, so "as_of=x=1" asked for revision 1); a value
// with no name (the reader takes the value for the name); a name given
// twice (the reader answers with the first, others with the last).
std::optional<std::string> QueryFault(std::string_view query)
{
    std::set<std::string> names;
    for (std::size_t from = 0; from < query.size();) {
        const std::size_t end = std::min(query.find('&', from), query.size());
        const std::string_view parameter = query.substr(from, end - from);
        from = end + 1;
        if (parameter.empty()) continue;
        if (std::count(parameter.begin(), parameter.end(), '=') > 1)
            return "a query parameter holds more than one =: escape it as %3D";
        const std::string_view name = parameter.substr(0, parameter.find('='));
        if (name.empty()) return "a query parameter has a value but no name";
        if (!names.insert(httplib::detail::decode_url(std::string(name), true)).second)
            return "the query names a parameter more than once";
    }
    return std::nullopt;
}

// What makes a head unfit to be answered, though the parser took it: too
// many fields, or a body whose length two parts of a chain could read two
// ways (request smuggling).
std::optional<std::pair<int, std::string>> HeadFault(const Parser& parser)
{
    const auto& head = parser.get();
    if (std::distance(head.begin(), head.end()) > kMostHeaderFields)
        return std::pair{431, "the request carries more than " + std::to_string(kMostHeaderFields) + " header fields"};
    if (head.count(http::field::content_length) > 1) return std::pair{400, "the request carries two Content-Length"};
    if (head.count(http::field::transfer_encoding) > 0 &&
        (head.count(http::field::content_length) > 0 || !parser.chunked()))
        return std::pair{400, "a Transfer-Encoding is chunked alone, never with a Content-Length"};
    if (head.count(http::field::host) > 1) return std::pair{400, "the request carries two Host"};
    // What a proxy in front may read otherwise than this server does:
    // a length that is not one number, a coding beside chunked.
    const beast::string_view length = head[http::field::content_length];
    if (!std::all_of(length.begin(), length.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::pair{400, "the Content-Length is not one number"};
    if (head.count(http::field::transfer_encoding) > 0 &&
        !beast::iequals(head[http::field::transfer_encoding], "chunked"))
        return std::pair{501, "no Transfer-Encoding but chunked is understood"};
    const beast::string_view expect = head[http::field::expect];
    if (!expect.empty() && !beast::iequals(expect, "100-continue"))
        return std::pair{417, "no expectation but 100-continue is met"};
    const std::string_view target(head.target().data(), head.target().size());
    if (!target.starts_with('/')) return std::pair{400, "the request's target is not a path"};
    if (!EscapesAreWellFormed(target))
        return std::pair{400, "the request's target holds a % that is not followed by two hexadecimal digits"};
    // A client never sends a fragment: one here would be read as part of the
    // path or query by this server, and dropped by a proxy in front.
    if (target.find('#') != std::string_view::npos)
        return std::pair{400, "the request's target holds a #: a fragment is not sent"};
    const std::size_t question = std::min(target.find('?'), target.size());
    if (const std::optional<std::string> fault = QueryFault(target.substr(std::min(question + 1, target.size()))))
        return std::pair{400, *fault};
    return std::nullopt;
}

bool IsParseError(const beast::error_code& error)
{
    return error.category() == http::make_error_code(http::error::bad_version).category() &&
           error != http::error::end_of_stream && error != http::error::partial_message;
}

// Late: not whole by its deadline; Lost: the client went away first.
enum class BodyRead { Whole, TooLarge, Unkept, Malformed, Late, Lost, Stopped };

bool Keep(Exchange& exchange, std::string_view bytes)
{
    if (exchange.upload) return exchange.upload->Write(bytes);
    exchange.request.body.append(bytes);
    return true;
}

} // namespace

bool EscapesAreWellFormed(std::string_view text)
{
    for (std::size_t i = text.find('%'); i != std::string_view::npos; i = text.find('%', i + 1))
        if (i + 2 >= text.size() || !std::isxdigit(static_cast<unsigned char>(text[i + 1])) ||
            !std::isxdigit(static_cast<unsigned char>(text[i + 2])))
            return false;
    return true;
}

// The workers' component calls in flight, which a stop cancels: an import
// under way is rolled back rather than waited for.
class CallsInFlight {
public:
    class Call {
    public:
        explicit Call(CallsInFlight& calls) : m_calls(calls)
        {
            CoEnableCallCancellation(nullptr);
            const std::lock_guard lock(m_calls.m_mutex);
            m_calls.m_threads.insert(GetCurrentThreadId());
            // A call that begins after the stop (a write that waited its
            // turn behind an import) begins cancelled: it is answered as
            // the stop's, and nothing of it is kept.
            if (m_calls.m_stopped) CoCancelCall(GetCurrentThreadId(), 0);
        }
        ~Call()
        {
            {
                const std::lock_guard lock(m_calls.m_mutex);
                m_calls.m_threads.erase(GetCurrentThreadId());
            }
            CoDisableCallCancellation(nullptr);
        }
        Call(const Call&) = delete;
        Call& operator=(const Call&) = delete;

    private:
        CallsInFlight& m_calls;
    };

    void CancelAll()
    {
        const std::lock_guard lock(m_mutex);
        m_stopped = true;
        for (const DWORD thread : m_threads) CoCancelCall(thread, 0);
    }

private:
    std::mutex m_mutex;
    std::set<DWORD> m_threads;
    bool m_stopped = false;
};

class HttpEngine::Impl {
public:
    Impl(const EngineOptions& options, HttpHandler& handler)
        : m_options(options), m_handler(handler), m_io(MakeIoThreads()),
          m_mostPerThread(std::max<std::size_t>(1, MostConnections() / m_io.size())), m_tls(MakeTls(options)),
          m_workers(options.workers), m_acceptor(m_io.front()->context),
          // A hangup (the terminal or ssh session it ran in closed) stops
          // it as cleanly as an operator's SIGTERM: requests in flight are
          // answered and the log is written out.
          m_signals(m_io.front()->context, SIGTERM, SIGINT, SIGHUP)
    {
        Listen(m_acceptor, options.host, options.port);
        if (!options.innerHost.empty()) {
            m_inner.emplace(m_io.front()->context);
            Listen(*m_inner, options.innerHost, options.innerPort);
        }
    }

    int port() const { return m_acceptor.local_endpoint().port(); }
    std::string address() const { return m_acceptor.local_endpoint().address().to_string(); }
    int innerPort() const { return m_inner ? m_inner->local_endpoint().port() : 0; }
    std::string innerAddress() const { return m_inner ? m_inner->local_endpoint().address().to_string() : ""; }

    bool Run(std::chrono::seconds grace)
    {
        asio::co_spawn(m_io.front()->context, Accept(m_acceptor, false), asio::detached);
        if (m_inner) asio::co_spawn(m_io.front()->context, Accept(*m_inner, true), asio::detached);
        asio::co_spawn(m_io.front()->context, StopOnSignal(), asio::detached);
        for (const auto& io : m_io) asio::co_spawn(io->context, Sweep(*io), asio::detached);
        std::vector<std::thread> threads;
        for (const auto& io : m_io)
            threads.emplace_back([this, &io = *io] {
                io.context.run();
                const std::lock_guard lock(m_mutex);
                ++m_finished;
                m_changed.notify_all();
            });
        bool whole = false;
        {
            std::unique_lock lock(m_mutex);
            m_changed.wait(lock, [&] { return m_stopAt.has_value(); });
            whole = m_changed.wait_until(lock, *m_stopAt + grace, [&] { return m_finished == m_io.size(); });
        }
        if (!whole)
            for (const auto& io : m_io) io->context.stop();
        for (std::thread& thread : threads) thread.join();
        m_handler.Flush();
        return whole;
    }

private:
    void Listen(tcp::acceptor& acceptor, const std::string& host, int port)
    {
        beast::error_code error;
        tcp::resolver resolver(m_io.front()->context);
        const auto endpoints = resolver.resolve(host, std::to_string(port), error);
        if (!error && !endpoints.empty()) {
            const tcp::endpoint endpoint = *endpoints.begin();
            acceptor.open(endpoint.protocol(), error);
            if (!error) acceptor.set_option(asio::socket_base::reuse_address(true), error);
            if (!error) acceptor.bind(endpoint, error);
            if (!error) acceptor.listen(asio::socket_base::max_listen_connections, error);
        }
        if (error || endpoints.empty())
            throw std::runtime_error("cannot listen on " + host + ":" + std::to_string(port) +
                                     (error ? ": " + error.message() : ""));
    }

    // Each connection goes to the next I/O thread in turn.
    awaitable<void> Accept(tcp::acceptor& acceptor, bool inner)
    {
        for (std::size_t next = 0;; next = (next + 1) % m_io.size()) {
            IoThread& io = *m_io[next];
            beast::error_code error;
            tcp::socket socket = co_await acceptor.async_accept(io.context, NoThrow(error));
            if (!acceptor.is_open()) co_return;
            if (error) {
                // Out of descriptors (files the store opened, say): the
                // connection that waited longest for its client makes room,
                // or those that end do.
                if (CloseForRoom(m_io.front()->waiting)) continue;
                asio::steady_timer pause(acceptor.get_executor(), std::chrono::milliseconds(50));
                co_await pause.async_wait(NoThrow(error));
                continue;
            }
            asio::co_spawn(io.context, Serve(std::move(socket), io, inner), asio::detached);
        }
    }

    awaitable<void> Sweep(IoThread& io)
    {
        asio::steady_timer timer(io.context);
        // At a stop, on while connections finish: their log lines too.
        while (!m_stopping || io.open + io.innerOpen > 0) {
            timer.expires_after(kSweepInterval);
            beast::error_code ignored;
            co_await timer.async_wait(NoThrow(ignored));
            const Clock::time_point now = Clock::now();
            io.waiting.CloseExpired(now);
            io.innerWaiting.CloseExpired(now);
            m_handler.Flush();
            if (&io == m_io.front().get()) ReportRefusals(now);
        }
        if (&io == m_io.front().get()) ReportRefusals(Clock::now(), true); // those of the last moments too
    }

    awaitable<void> StopOnSignal()
    {
        beast::error_code error;
        const int received = co_await m_signals.async_wait(NoThrow(error));
        WriteLog("valmorin serve: stopping (signal " + std::to_string(received) + ")\n");
        m_stopping = true;
        m_calls.CancelAll();
        m_acceptor.close(error);
        if (m_inner) m_inner->close(error);
        for (const auto& io : m_io)
            asio::post(io->context, [&io = *io] {
                io.waiting.CloseAll();
                io.innerWaiting.CloseAll();
                io.reading.CancelAll();
                io.work.reset();
            });
        const std::lock_guard lock(m_mutex);
        m_stopAt = Clock::now();
        m_changed.notify_all();
    }

    awaitable<void> Serve(tcp::socket socket, IoThread& io, bool inner)
    {
        if (!Room(io, inner)) {
            if (!inner) m_refused.Increment();
            RefuseCheaply(socket, inner);
            co_return;
        }
        std::size_t& open = inner ? io.innerOpen : io.open;
        ++open;
        const std::unique_ptr<std::size_t, void (*)(std::size_t*)> counted(&open, [](std::size_t* held) { --*held; });
        beast::error_code ignored;
        socket.set_option(tcp::no_delay(true), ignored);
        socket.non_blocking(true, ignored); // answers are written at once where they can be
        const std::string remote = RemoteAddress(socket);
        const Clock::time_point deadline = Clock::now() + m_options.headerTimeout;
        try {
            if (m_tls && !inner) {
                beast::ssl_stream<beast::tcp_stream> stream(std::move(socket), *m_tls);
                if (co_await Handshake(stream, io, deadline)) co_await Exchanges(stream, io, remote, deadline, false);
            } else {
                beast::tcp_stream stream(std::move(socket));
                co_await Exchanges(stream, io, remote, deadline, inner);
            }
        } catch (const std::exception& e) {
            WriteLog("valmorin serve: a connection of " + remote + " failed: " + e.what() + "\n");
        }
    }

    // What /metrics counts, said in the log too, for the operator who reads
    // that: at most once per interval while refusals go on (one line per
    // refusal would let strangers fill the log), and once more at a stop.
    // Only the first I/O thread reports.
    void ReportRefusals(Clock::time_point now, bool atStop = false)
    {
        const std::uint64_t refused = m_refused.Value();
        if ((now < m_nextRefusalReport && !atStop) || refused == m_refusalsReported) return;
        WriteLog("valmorin serve: " + std::to_string(refused - m_refusalsReported) +
                 " connection(s) refused at once: the server held as many connections as it serves, none of them "
                 "waiting for its client\n");
        m_refusalsReported = refused;
        m_nextRefusalReport = now + kRefusalReportInterval;
    }

    // Whether a new connection may be served: past the cap of its address,
    // once the connection of the same address that waited longest for its
    // client is closed to make room (a silent one never holds an operator
    // out). Refusals on the operators' address are not counted: only those
    // of the public one tell of strangers.
    bool Room(IoThread& io, bool inner)
    {
        if (inner) return io.innerOpen < kMostInnerConnections || CloseForRoom(io.innerWaiting);
        return io.open < m_mostPerThread || CloseForRoom(io.waiting);
    }

    // The connection of the line that waited longest for its client closed,
    // and counted; false when none waits.
    bool CloseForRoom(Lineup& line)
    {
        if (!line.CloseOldest()) return false;
        m_closedForRoom.Increment();
        return true;
    }

    static Lineup& WaitingLine(IoThread& io, bool inner) { return inner ? io.innerWaiting : io.waiting; }

    // Past the cap, with no waiting connection to close for room: a
    // fixed answer written without waiting, then the connection closed (at
    // once where the client expects a TLS handshake first).
    void RefuseCheaply(tcp::socket& socket, bool inner) const
    {
        beast::error_code ignored;
        if (!m_tls || inner) {
            socket.non_blocking(true, ignored);
            socket.write_some(asio::buffer(m_busy), ignored);
        }
        socket.close(ignored);
    }

    // That answer, made once.
    std::string BusyAnswer() const
    {
        Exchange busy;
        AnswerError(busy.response, 503, E_OUTOFMEMORY, "the server is serving all the connections it takes; retry");
        busy.response.set_header("Retry-After", "1");
        http::response<http::string_body> response;
        Describe(response, busy, 11, false, false);
        response.body() = busy.response.body;
        response.prepare_payload();
        std::ostringstream text;
        text << response;
        return text.str();
    }

    awaitable<bool> Handshake(beast::ssl_stream<beast::tcp_stream>& stream, IoThread& io, Clock::time_point deadline)
    {
        beast::tcp_stream& lowest = beast::get_lowest_layer(stream);
        const Lineup::Place handshaking(io.handshakes, lowest, deadline), waiting(io.waiting, lowest, deadline);
        beast::error_code error;
        co_await stream.async_handshake(ssl::stream_base::server, NoThrow(error));
        co_return !error;
    }

    // The requests of a connection, answered in the order they came.
    template <class Stream>
    awaitable<void> Exchanges(Stream& stream, IoThread& io, const std::string& remote, Clock::time_point deadline,
                              bool inner)
    {
        beast::flat_buffer buffer(kMostHeaderBytes + kReadChunk);
        for (bool first = true; !m_stopping; first = false) {
            Parser parser;
            parser.header_limit(kMostHeaderBytes);
            // Decided from the head, once the request is admitted.
            parser.body_limit(std::numeric_limits<std::uint64_t>::max());
            const beast::error_code error = co_await ReadHead(stream, buffer, parser, io, first, deadline, inner);
            if (error && !IsParseError(error)) co_return;
            Exchange exchange;
            exchange.start = Clock::now();
            exchange.inner = inner;
            FillRequest(parser.get(), remote, exchange.request);
            if (const std::optional<std::pair<int, std::string>> fault = Fault(error, parser)) {
                AnswerError(exchange.response, fault->first, kInvalidArgument, fault->second);
                co_await Send(stream, exchange, parser, false);
                co_return;
            }
            if (!co_await AnswerOne(stream, buffer, parser, io, exchange)) co_return;
        }
    }

    static std::optional<std::pair<int, std::string>> Fault(const beast::error_code& error, const Parser& parser)
    {
        if (error == http::error::header_limit)
            return std::pair{431,
                             "the request's head is larger than " + std::to_string(kMostHeaderBytes >> 10) + " KiB"};
        if (error) return std::pair{400, "the request is not HTTP/1.1: " + error.message()};
        return HeadFault(parser);
    }

    // One request whose head was read: admitted or refused from it, its
    // body read, answered. False when the connection is to close.
    template <class Stream>
    awaitable<bool> AnswerOne(Stream& stream, beast::flat_buffer& buffer, Parser& parser, IoThread& io,
                              Exchange& exchange)
    {
        // A request without a body that reads is admitted and answered in
        // one turn of a worker, or of this thread when it waits on nothing.
        const bool bodiless = parser.is_done();
        bool answered = false;
        const std::function<bool()> admit = [&] {
            const bool admitted = m_handler.Admit(exchange);
            answered = admitted && bodiless && !exchange.writes;
            if (answered) m_handler.Answer(exchange);
            return admitted;
        };
        exchange.atOnce = bodiless && Clock::now() >= io.workersOnlyUntil && m_handler.AnswersAtOnce(exchange);
        const bool admitted =
            exchange.atOnce ? RunAtOnce(io, exchange, admit) : co_await OnWorker(m_workers, exchange, admit);
        if (exchange.handOver) {
            exchange.atOnce = false;
            exchange.response = {};
            answered = false;
        }
        if (!admitted) {
            co_await Refused(stream, io, exchange, parser);
            co_return false;
        }
        if (parser.content_length().value_or(0) > exchange.bodyLimit) {
            AnswerError(exchange.response, 413, kInvalidArgument, BodyTooLarge(exchange));
            co_await Refused(stream, io, exchange, parser);
            co_return false;
        }
        parser.body_limit(exchange.bodyLimit);
        const BodyRead read = bodiless ? BodyRead::Whole : co_await ReadBody(stream, buffer, parser, io, exchange);
        if (read == BodyRead::Lost || read == BodyRead::Late) {
            LogUnanswered(exchange, read == BodyRead::Late ? 408 : 400);
            co_return false;
        }
        if (read == BodyRead::Stopped) {
            AnswerError(exchange.response, 503, kStopping,
                        "the server is stopping: the body was not read whole; send it again");
            co_await Refused(stream, io, exchange, parser);
            co_return false;
        }
        if (read == BodyRead::TooLarge || read == BodyRead::Malformed) {
            AnswerError(exchange.response, read == BodyRead::TooLarge ? 413 : 400, kInvalidArgument,
                        read == BodyRead::TooLarge ? BodyTooLarge(exchange) : "the body's chunks are malformed");
            co_await Refused(stream, io, exchange, parser);
            co_return false;
        }
        if (!answered)
            co_await OnWorker(exchange.writes ? m_writers : m_workers, exchange, [&] {
                m_handler.Answer(exchange);
                return true;
            });
        // An upload cut short (a full disk) leaves the rest of its body unread.
        const bool keepAlive = read == BodyRead::Whole && parser.keep_alive() && !m_stopping;
        co_await HoldUntil(exchange.notBefore);
        co_return co_await Send(stream, exchange, parser, keepAlive) && keepAlive;
    }

    // A request whose body never came whole has nobody left to answer (a
    // stream past its deadline is closed): its line in the access log says
    // what became of it.
    void LogUnanswered(Exchange& exchange, int status)
    {
        exchange.response = httplib::Response();
        exchange.response.status = status;
        m_handler.Finish(exchange);
    }

    static std::string BodyTooLarge(const Exchange& exchange)
    {
        return "the body is larger than the " + std::to_string(exchange.bodyLimit) + " bytes this route takes";
    }

    // A request's head, whole within its deadline: the connection's own
    // for its first request; for the next, the idle time until its first
    // bytes, then the deadline from there.
    template <class Stream>
    awaitable<beast::error_code> ReadHead(Stream& stream, beast::flat_buffer& buffer, Parser& parser, IoThread& io,
                                          bool first, Clock::time_point deadline, bool inner)
    {
        const bool idle = !first && buffer.size() == 0;
        Lineup::Place waiting(WaitingLine(io, inner), beast::get_lowest_layer(stream),
                              first ? deadline
                                    : Clock::now() + (idle ? m_options.idleTimeout : m_options.headerTimeout));
        beast::error_code error;
        if (idle) {
            const std::size_t got = co_await stream.async_read_some(buffer.prepare(kReadChunk), NoThrow(error));
            buffer.commit(got);
            if (error) co_return error;
            waiting.Until(Clock::now() + m_options.headerTimeout);
        }
        if (!HeadParsedFrom(buffer, parser, error))
            co_await http::async_read_header(stream, buffer, parser, NoThrow(error));
        co_return error;
    }

    // The head parsed from the bytes read already, when they hold all of it
    // (a keep-alive client's request comes in one piece): no turn of the
    // loop for what is here. False, with nothing consumed, otherwise.
    static bool HeadParsedFrom(beast::flat_buffer& buffer, Parser& parser, beast::error_code& error)
    {
        if (buffer.size() == 0) return false;
        buffer.consume(parser.put(buffer.data(), error));
        if (error != http::error::need_more) return true;
        error = {};
        return false;
    }

    // The body into the request or its upload file, within the route's
    // limit (a chunked body's too) and a deadline that grows with it.
    template <class Stream>
    awaitable<BodyRead> ReadBody(Stream& stream, beast::flat_buffer& buffer, Parser& parser, IoThread& io,
                                 Exchange& exchange)
    {
        if (parser.is_done()) co_return BodyRead::Whole;
        if (m_stopping) co_return BodyRead::Stopped;
        beast::tcp_stream& lowest = beast::get_lowest_layer(stream);
        const Lineup::Place reading(io.reading, lowest, Clock::time_point::max());
        const Clock::time_point started = Clock::now();
        lowest.expires_at(started + m_options.headerTimeout);
        if (beast::iequals(parser.get()[http::field::expect], "100-continue")) {
            http::response<http::empty_body> carryOn{http::status::continue_, parser.get().version()};
            beast::error_code error;
            co_await http::async_write(stream, carryOn, NoThrow(error));
            if (error) co_return BodyRead::Lost;
        }
        std::vector<char> chunk(std::clamp<std::size_t>(exchange.bodyLimit, 1, kReadChunk));
        for (std::size_t received = 0; !parser.is_done();) {
            // A stop cancels the read under way; one that came as a part had
            // just arrived, with no read to cancel, is seen here.
            if (m_stopping) co_return BodyRead::Stopped;
            // Each part's deadline grows with what came before it, so that
            // a body (chunked ones too) that comes slower on average than
            // the slowest rate taken is given up early, whatever its limit.
            lowest.expires_at(started + m_options.headerTimeout +
                              std::chrono::seconds((received + chunk.size()) / kSlowestBodyBytesPerSecond));
            parser.get().body().data = chunk.data();
            parser.get().body().size = chunk.size();
            beast::error_code error;
            co_await http::async_read(stream, buffer, parser, NoThrow(error));
            if (error == http::error::need_buffer) error = {};
            const std::size_t got = chunk.size() - parser.get().body().size;
            received += got;
            if (got > 0 && !Keep(exchange, {chunk.data(), got})) co_return BodyRead::Unkept;
            if (error == http::error::body_limit) co_return BodyRead::TooLarge;
            if (error && m_stopping) co_return BodyRead::Stopped;
            if (error == beast::error::timeout) co_return BodyRead::Late;
            if (error) co_return IsParseError(error) ? BodyRead::Malformed : BodyRead::Lost;
        }
        lowest.expires_never(); // the sweep keeps the deadlines of what follows
        co_return BodyRead::Whole;
    }

    // An answer given before the body was read whole: sent, then what the
    // client still sends is read and dropped for a moment, up to a bound,
    // so that it reads the answer rather than a reset.
    template <class Stream>
    awaitable<void> Refused(Stream& stream, IoThread& io, Exchange& exchange, const Parser& parser)
    {
        co_await HoldUntil(exchange.notBefore);
        if (!co_await Send(stream, exchange, parser, false) || parser.is_done()) co_return;
        beast::tcp_stream& lowest = beast::get_lowest_layer(stream);
        const Lineup::Place waiting(WaitingLine(io, exchange.inner), lowest, Clock::now() + kDrainTime);
        beast::error_code error;
        lowest.socket().shutdown(tcp::socket::shutdown_send, error);
        std::array<char, 4096> dropped;
        for (std::size_t drained = 0; !error && drained < kMostDrainedBytes;)
            drained += co_await lowest.async_read_some(asio::buffer(dropped), NoThrow(error));
    }

    // The answer, in the request's HTTP version; a HEAD's without its body.
    template <class Stream>
    awaitable<bool> Send(Stream& stream, Exchange& exchange, const Parser& parser, bool keepAlive)
    {
        const bool head = parser.get().method() == http::verb::head;
        if (exchange.response.status < 0) exchange.response.status = 200; // as cpp-httplib's routes expect
        http::file_body::value_type file = AnswersFile(exchange);
        m_handler.Finish(exchange);
        if (file.is_open() && !head) co_return co_await SendFile(stream, exchange, parser, keepAlive, std::move(file));
        http::response<http::string_body> response;
        Describe(response, exchange, parser.get().version(), keepAlive, IsSecure<Stream>);
        const int status = exchange.response.status;
        if (status != 204 && status != 304)
            response.content_length(file.is_open() ? file.size() : exchange.response.body.size());
        if (!head) response.body() = std::move(exchange.response.body);
        http::response_serializer<http::string_body> serializer(response);
        if constexpr (std::is_same_v<Stream, beast::tcp_stream>)
            if (WrittenAtOnce(stream, serializer)) co_return true;
        co_return co_await WriteWithin(stream, serializer);
    }

    // The file the answer is sent from, opened before the answer is logged:
    // an export's, when it succeeded (a failed one's answer is its error),
    // or a large body's, put there so that a slow reader holds no memory.
    // Not open when the answer is its body.
    static http::file_body::value_type AnswersFile(Exchange& exchange)
    {
        http::file_body::value_type file;
        if (exchange.response.status != 200)
            exchange.download.reset();
        else if (!exchange.download && exchange.response.body.size() > kMostHeldAnswer)
            Spill(exchange);
        if (!exchange.download) return file;
        beast::error_code error;
        file.open(exchange.download->path().c_str(), beast::file_mode::scan, error);
        if (error) {
            exchange.download.reset();
            AnswerError(exchange.response, 500, E_FAIL, "the answer's file cannot be read: " + error.message());
        }
        return file;
    }

    // A large body into a file of the server's own; kept in memory when no
    // file takes it (a full disk).
    static void Spill(Exchange& exchange)
    {
        try {
            exchange.download.emplace();
        } catch (const std::runtime_error&) {
            return;
        }
        if (!exchange.download->Write(exchange.response.body)) {
            exchange.download.reset();
            return;
        }
        std::string().swap(exchange.response.body);
    }

    // As much of the answer as the socket takes without waiting, which is
    // all of it when the client reads: no timer set, no turn of the loop.
    template <class Serializer>
    static bool WrittenAtOnce(beast::tcp_stream& stream, Serializer& serializer)
    {
        beast::error_code error;
        while (!error && !serializer.is_done()) http::write_some(stream.socket(), serializer, error);
        return serializer.is_done();
    }

    // The rest of the answer, each part within the write deadline, so that
    // a slow reader that goes on reading is served whole and one that stops
    // is let go.
    template <class Stream, class Serializer>
    awaitable<bool> WriteWithin(Stream& stream, Serializer& serializer)
    {
        beast::tcp_stream& lowest = beast::get_lowest_layer(stream);
        beast::error_code error;
        while (!error && !serializer.is_done()) {
            lowest.expires_after(kWriteTimeout);
            co_await http::async_write_some(stream, serializer, NoThrow(error));
        }
        lowest.expires_never();
        co_return !error;
    }

    template <class Stream>
    static constexpr bool IsSecure = !std::is_same_v<Stream, beast::tcp_stream>;

    template <class Body>
    void Describe(http::response<Body>& response, const Exchange& exchange, unsigned version, bool keepAlive,
                  bool secure) const
    {
        response.version(version);
        response.result(static_cast<unsigned>(exchange.response.status));
        for (const auto& [name, value] : exchange.response.headers) response.insert(name, value);
        const auto addMissing = [&response](const auto& fields) {
            for (const auto& [name, value] : fields)
                if (response.find(name) == response.end()) response.insert(name, value);
        };
        addMissing(m_options.everyAnswer);
        if (secure) addMissing(m_options.everySecureAnswer);
        response.keep_alive(keepAlive);
    }

    // An answer whose body is a file, read as the client takes it.
    template <class Stream>
    awaitable<bool> SendFile(Stream& stream, Exchange& exchange, const Parser& parser, bool keepAlive,
                             http::file_body::value_type file)
    {
        http::response<http::file_body> response;
        Describe(response, exchange, parser.get().version(), keepAlive, IsSecure<Stream>);
        response.body() = std::move(file);
        response.prepare_payload();
        http::response_serializer<http::file_body> serializer(response);
        co_return co_await WriteWithin(stream, serializer);
    }

    awaitable<void> HoldUntil(Clock::time_point when)
    {
        if (when <= Clock::now()) co_return;
        asio::steady_timer timer(co_await asio::this_coro::executor, when);
        beast::error_code ignored;
        co_await timer.async_wait(NoThrow(ignored));
    }

    // Runs work on a worker, the connection's coroutine resuming on its I/O
    // thread once it is done; a failure of the server's own is answered
    // 500.
    awaitable<bool> OnWorker(asio::thread_pool& pool, Exchange& exchange, const std::function<bool()>& work)
    {
        bool result = false;
        co_await asio::async_initiate<decltype(use_awaitable), void()>(
            [this, &pool, &exchange, &work, &result](auto resume) {
                auto busy = asio::make_work_guard(asio::get_associated_executor(resume));
                asio::post(pool, [this, &exchange, &work, &result, resume = std::move(resume),
                                  busy = std::move(busy)]() mutable {
                    result = RunHere(exchange, work);
                    asio::post(busy.get_executor(), std::move(resume));
                });
            },
            use_awaitable);
        co_return result;
    }

    // On the I/O thread, which serves every other connection meanwhile: a
    // request that took long there sends the next ones to the workers for
    // a while.
    bool RunAtOnce(IoThread& io, Exchange& exchange, const std::function<bool()>& work)
    {
        const Clock::time_point started = Clock::now();
        const bool result = RunHere(exchange, work);
        if (Clock::now() - started > kLongestAtOnce) io.workersOnlyUntil = Clock::now() + kWorkersOnlyFor;
        return result;
    }

    bool RunHere(Exchange& exchange, const std::function<bool()>& work)
    {
        const CallsInFlight::Call call(m_calls);
        return RunGuarded(exchange, work);
    }

    static bool RunGuarded(Exchange& exchange, const std::function<bool()>& work)
    {
        try {
            return work();
        } catch (const std::exception& e) {
            exchange.response = httplib::Response();
            AnswerError(exchange.response, 500, E_UNEXPECTED, std::string("the server failed to answer: ") + e.what());
            return false;
        }
    }

    EngineOptions m_options;
    HttpHandler& m_handler;
    std::vector<std::unique_ptr<IoThread>> m_io;
    std::size_t m_mostPerThread;
    std::optional<ssl::context> m_tls;
    const std::string m_busy = BusyAnswer();
    PerfCounter& m_refused = PerfCounterNamed("connections refused");
    PerfCounter& m_closedForRoom = PerfCounterNamed("connections closed for room");
    std::uint64_t m_refusalsReported = 0; // by the first I/O thread alone
    Clock::time_point m_nextRefusalReport{};
    asio::thread_pool m_workers;
    asio::thread_pool m_writers{1};
    CallsInFlight m_calls;
    tcp::acceptor m_acceptor;
    std::optional<tcp::acceptor> m_inner;
    asio::signal_set m_signals;
    std::atomic<bool> m_stopping{false};
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::optional<Clock::time_point> m_stopAt;
    std::size_t m_finished = 0;
};

HttpEngine::HttpEngine(const EngineOptions& options, HttpHandler& handler)
    : m_impl(std::make_unique<Impl>(options, handler))
{}

HttpEngine::~HttpEngine() = default;

int HttpEngine::port() const { return m_impl->port(); }

std::string HttpEngine::address() const { return m_impl->address(); }

int HttpEngine::innerPort() const { return m_impl->innerPort(); }

std::string HttpEngine::innerAddress() const { return m_impl->innerAddress(); }

bool HttpEngine::Run(std::chrono::seconds stopGrace) { return m_impl->Run(stopGrace); }
