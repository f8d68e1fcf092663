#include "server/server.h"

#include "server/api.h"
#include "server/console.h"
#include "server/http_engine.h"
#include "server/server_log.h"
#include "server/sessions.h"
#include "server/temporary_file.h"
#include "server/users.h"

#include "platform/datasource/catalogue.h"
#include "platform/text/utf.h"
#include "platform/win32/errors.h"
#include "platform/win32/security.h"

#include <httplib.h>
#include <nlohmann/json.hpp>
#include <openssl/evp.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <semaphore>
#include <utility>
#include <set>

#include <arpa/inet.h>
#include <fcntl.h>
#include <unistd.h>

namespace {

using Json = nlohmann::json;
using Clock = std::chrono::steady_clock;

// A login's body: a name and a password, never more.
constexpr std::size_t kMostSessionBody = 4 << 10;
// How long a stop waits for the requests in flight.
constexpr std::chrono::seconds kStopGrace{30};
// How long a stop waits for its last lines to reach standard error.
constexpr std::chrono::seconds kLogDrain{2};

std::string Lowercase(std::string text)
{
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

bool IsLoopback(const std::string& address)
{
    return address.starts_with("127.") || address == "::1" || address.starts_with("::ffff:127.") ||
           address == "localhost";
}

std::string LoginName()
{
    char16_t name[257];
    DWORD size = 257;
    return GetUserNameW(name, &size) ? valmorin::text::Utf16ToUtf8(name) : "unknown";
}

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
        const std::time_t now = std::time(nullptr);
        std::tm utc{};
        ::gmtime_r(&now, &utc);
        char when[32];
        std::strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%SZ", &utc);
        char line[96];
        std::snprintf(line, sizeof line, " %d %.1fms", exchange.response.status, took);
        const httplib::Request& request = exchange.request;
        const std::string path = request.target.substr(0, request.target.find('?'));
        return std::string(when) + " " + Printable(request.remote_addr) + " " + Printable(exchange.user) + " " +
               Printable(request.method) + " " + Printable(path) + line + "\n";
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

// Basic credentials, decoded by OpenSSL; nothing unless they are base64 as
// it writes it (OpenSSL's decoder passes over blanks and odd padding).
std::optional<std::string> Base64Decoded(const std::string& text)
{
    if (text.empty() || text.size() % 4 != 0) return std::nullopt;
    std::string bytes(text.size() / 4 * 3, '\0');
    const int length =
        EVP_DecodeBlock(reinterpret_cast<unsigned char*>(bytes.data()),
                        reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
    // EVP_DecodeBlock counts the bytes the padding stands in for.
    const std::size_t padding = text.ends_with("==") ? 2 : text.ends_with('=') ? 1 : 0;
    if (length < static_cast<int>(padding)) return std::nullopt;
    bytes.resize(static_cast<std::size_t>(length) - padding);
    std::string again(4 * bytes.size() / 3 + 4, '\0');
    again.resize(static_cast<std::size_t>(EVP_EncodeBlock(reinterpret_cast<unsigned char*>(again.data()),
                                                          reinterpret_cast<const unsigned char*>(bytes.data()),
                                                          static_cast<int>(bytes.size()))));
    if (again != text) return std::nullopt;
    return bytes;
}

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

// One of the password checks that may run at once, while held.
class HashTurn {
public:
    static std::optional<HashTurn> Take(std::counting_semaphore<>& turns)
    {
        if (!turns.try_acquire()) return std::nullopt;
        return std::optional<HashTurn>(std::in_place, turns);
    }
    explicit HashTurn(std::counting_semaphore<>& turns) : m_turns(&turns) {}
    HashTurn(HashTurn&& other) noexcept : m_turns(std::exchange(other.m_turns, nullptr)) {}
    HashTurn& operator=(HashTurn&&) = delete;
    ~HashTurn()
    {
        if (m_turns) m_turns->release();
    }

private:
    std::counting_semaphore<>* m_turns;
};

struct BasicCredentials {
    bool wellFormed = false; // base64 of name:password
    std::string user, password;
};

// The request's Basic credentials, when it names that scheme (whose name
// is case-insensitive, RFC 9110).
std::optional<BasicCredentials> BasicCredentialsOf(const httplib::Request& request)
{
    const std::string authorization = request.get_header_value("Authorization");
    if (Lowercase(authorization.substr(0, 6)) != "basic ") return std::nullopt;
    const std::optional<std::string> decoded = Base64Decoded(authorization.substr(6));
    const std::size_t colon = decoded ? decoded->find(':') : std::string::npos;
    if (colon == std::string::npos) return BasicCredentials{};
    return BasicCredentials{true, decoded->substr(0, colon), decoded->substr(colon + 1)};
}

// The host of a Host header or of an Origin's authority: "[::1]:8470" is
// "::1", "Example.org:443" is "example.org".
std::string HostName(const std::string& authority)
{
    if (authority.starts_with('[')) return Lowercase(authority.substr(1, authority.find(']') - 1));
    const std::size_t colon = authority.find(':');
    return Lowercase(colon != std::string::npos && authority.find(':', colon + 1) == std::string::npos
                         ? authority.substr(0, colon)
                         : authority);
}

bool IsAddress(const std::string& host)
{
    unsigned char bytes[16];
    return ::inet_pton(AF_INET, host.c_str(), bytes) == 1 || ::inet_pton(AF_INET6, host.c_str(), bytes) == 1;
}

bool IsAnyAddress(const std::string& host) { return host == "0.0.0.0" || host == "::"; }

// The cookie's value; none when the request carries it twice, as when a
// neighbouring site set one of the same name for a wider domain: which one
// is this server's cannot be told.
std::string CookieValue(const httplib::Request& request, const std::string& name)
{
    const std::string cookies = request.get_header_value("Cookie");
    std::optional<std::string> value;
    for (std::size_t from = 0; from < cookies.size();) {
        const std::size_t end = std::min(cookies.find(';', from), cookies.size());
        std::string pair = cookies.substr(from, end - from);
        from = end + 1;
        pair.erase(0, pair.find_first_not_of(' '));
        if (!pair.starts_with(name + "=")) continue;
        if (value) return {};
        value = pair.substr(name.size() + 1);
    }
    return value.value_or("");
}

bool ChangesState(const std::string& method) { return method != "GET" && method != "HEAD" && method != "OPTIONS"; }

bool IsApi(const std::string& path) { return path.starts_with("/api/") || path == "/api"; }

bool CarriesBody(const httplib::Request& request)
{
    return request.has_header("Transfer-Encoding") ||
           (request.has_header("Content-Length") && request.get_header_value("Content-Length") != "0");
}

// Whatever a response carries, no page may run a script it did not load
// from here, be framed, or be read as another type.
const httplib::Headers& SecurityHeaders()
{
    static const httplib::Headers headers = {
        {"Content-Security-Policy", "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; "
                                    "connect-src 'self'; form-action 'self'; base-uri 'none'; frame-ancestors 'none'"},
        {"X-Frame-Options", "DENY"},
        {"X-Content-Type-Options", "nosniff"},
        {"Referrer-Policy", "no-referrer"},
        {"Cache-Control", "no-store"}};
    return headers;
}

bool Refuse(httplib::Response& response, int status, const std::string& message)
{
    AnswerError(response, status, status == 400 || status == 413 || status == 415 ? E_INVALIDARG : E_ACCESSDENIED,
                message);
    return false;
}

class Server final : public HttpHandler {
public:
    Server(const ServerOptions& options, const ServerNeeds& needs)
        : m_options(options), m_tls(!m_options.certificate.empty()), m_login(LoginName())
    {
        if (!m_options.users.empty()) m_users.emplace(m_options.users);
        if (!IsLoopback(m_options.host) && !m_tls)
            throw std::runtime_error("serving " + m_options.host +
                                     " without TLS is refused: give --tls-cert and --tls-key, or listen on loopback");
        if (!m_options.connection.empty())
            valmorin::datasource::SetProcessDataSource(valmorin::datasource::kDefaultDataSourceName,
                                                       m_options.connection);
        const std::optional<std::u16string> neverWaiting = needs.neverWaitingConnection(m_options.connection);
        m_answersAtOnce = neverWaiting.has_value();
        UseConnections(needs.makeComponent, m_options.connection, neverWaiting.value_or(u""));
        std::set<std::string> allowed = {"localhost", Lowercase(m_options.host)};
        for (const std::string& host : m_options.allowedHosts) allowed.insert(Lowercase(host));
        m_options.allowedHosts = std::move(allowed);
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
        m_engine.emplace(EngineOptions{m_options.host, m_options.port, m_options.certificate, m_options.key,
                                       m_options.threads, m_options.headerTimeout},
                         *this);
        m_options.allowedHosts.insert(m_engine->address());
    }

    int Run()
    {
        WriteLog("valmorin serve: listening on " + std::string(m_tls ? "https://" : "http://") + m_options.host + ":" +
                 std::to_string(m_engine->port()) +
                 (m_users ? "" : " (loopback clients only, acting as " + m_login + ")") + "\n");
        if (!m_engine->Run(kStopGrace)) {
            // The workers still in the component's calls are not waited for.
            WriteLog("valmorin serve: stopped; requests still unanswered after " + std::to_string(kStopGrace.count()) +
                     " s were cut short\n");
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
    bool AnswersAtOnce(const Exchange& exchange) override
    {
        const httplib::Request& request = exchange.request;
        return m_answersAtOnce && AsksOneLookup(request.method, request.target) && !HashesPassword(request);
    }

    // Everything that can be decided without the body: a stranger's body
    // is never read.
    bool Admit(Exchange& exchange) override
    {
        httplib::Request& request = exchange.request;
        httplib::Response& response = exchange.response;
        if (!HostAllowed(request))
            return Refuse(response, 421, "this server does not answer for the host the request names");
        if (ChangesState(request.method) && !OriginMatches(request))
            return Refuse(response, 403, "a change from a page of another origin is refused");
        if (!IsApi(request.path)) return true;
        if (request.path == "/api/session") {
            exchange.bodyLimit = kMostSessionBody;
            return RightContentType(request) || RefuseContentType(request, response);
        }
        if (request.path == "/api/openapi.json" && !ChangesState(request.method)) return true;
        const std::optional<std::string> user = Authenticate(exchange);
        if (!user) return false;
        exchange.user = *user;
        exchange.writes = ChangesState(request.method);
        if (!RightContentType(request)) return RefuseContentType(request, response);
        if (TakesCsv(request.method, request.target)) {
            exchange.bodyLimit = m_options.csvLimit;
            exchange.upload.emplace();
        } else {
            exchange.bodyLimit = kMostJsonBody;
        }
        return true;
    }

    // HEAD is answered as GET, the engine sending no body.
    void Answer(Exchange& exchange) override
    {
        httplib::Request& request = exchange.request;
        const bool head = request.method == "HEAD";
        if (head) request.method = "GET";
        Route(exchange);
        if (head) request.method = "HEAD";
    }

    void Finish(Exchange& exchange) override
    {
        for (const auto& [name, value] : SecurityHeaders())
            if (!exchange.response.has_header(name)) exchange.response.set_header(name, value);
        if (m_tls) exchange.response.set_header("Strict-Transport-Security", "max-age=31536000");
        m_log.Add(exchange);
    }

    void Flush() override { m_log.Flush(); }

private:
    void Route(Exchange& exchange)
    {
        const httplib::Request& request = exchange.request;
        httplib::Response& response = exchange.response;
        if (!IsApi(request.path)) return AnswerConsole(request, response);
        if (request.path == "/api/session") return AnswerSession(exchange);
        if (request.path == "/api/openapi.json" && request.method == "GET")
            return response.set_content(OpenApiDescription(), "application/json; charset=utf-8");
        ApiRequest api{request,
                       response,
                       valmorin::text::Widen(exchange.user),
                       exchange.upload ? &*exchange.upload : nullptr,
                       exchange.download,
                       exchange.atOnce};
        if (!HandleApi(api)) AnswerError(response, 404, HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), "no such route");
        exchange.handOver = exchange.atOnce && api.storeLocked;
    }

    // A page elsewhere that reaches this server under its own name (DNS
    // rebinding) names that host: only the names this server goes by are
    // answered. Any address names a server listening on all of them.
    bool HostAllowed(const httplib::Request& request) const
    {
        if (request.get_header_value_count("Host") != 1) return false;
        const std::string host = HostName(request.get_header_value("Host"));
        return m_options.allowedHosts.count(host) > 0 || (IsAnyAddress(m_options.host) && IsAddress(host));
    }

    // A browser names the page behind a change; clients that are no
    // browser name none.
    static bool OriginMatches(const httplib::Request& request)
    {
        if (!request.has_header("Origin")) return true;
        if (request.get_header_value_count("Origin") != 1) return false; // which one would a check believe?
        const std::string origin = request.get_header_value("Origin");
        const std::size_t scheme = origin.find("://");
        return scheme != std::string::npos &&
               Lowercase(origin.substr(scheme + 3)) == Lowercase(request.get_header_value("Host"));
    }

    // The request's body must be of the route's kind: a form or plain text,
    // which any web page may send elsewhere, never changes anything.
    static bool RightContentType(const httplib::Request& request)
    {
        if (!ChangesState(request.method) || (request.method == "DELETE" && !CarriesBody(request))) return true;
        const std::string type = request.get_header_value("Content-Type");
        const std::string wanted = TakesCsv(request.method, request.target) ? "text/csv" : "application/json";
        return type.substr(0, type.find(';')) == wanted;
    }

    static bool RefuseContentType(const httplib::Request& request, httplib::Response& response)
    {
        return Refuse(response, 415,
                      std::string("a ") + request.method + " to this route carries " +
                          (TakesCsv(request.method, request.target) ? "text/csv" : "application/json"));
    }

    // The console's pages are public: what they show comes from the API,
    // which asks who is there.
    static void AnswerConsole(const httplib::Request& request, httplib::Response& response)
    {
        const ConsoleFile* file = FindConsoleFile(request.path);
        if (file == nullptr)
            return AnswerError(response, 404, HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), "no such page");
        if (request.method != "GET")
            return AnswerError(response, 405, HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED), "the console's pages take GET");
        response.set_content(file->content.data(), file->content.size(), std::string(file->type));
    }

    // Who the request comes from, or nothing when it was answered already
    // (401, 403 or 429).
    std::optional<std::string> Authenticate(Exchange& exchange)
    {
        const httplib::Request& request = exchange.request;
        httplib::Response& response = exchange.response;
        if (!m_users) {
            if (IsLoopback(request.remote_addr)) return m_login;
            Refuse(response, 403, "without --users the server answers loopback clients only");
            return std::nullopt;
        }
        if (const std::optional<BasicCredentials> basic = BasicCredentialsOf(request)) {
            if (!basic->wellFormed) {
                Refuse(response, 401, "Basic credentials are base64 of name:password");
                return std::nullopt;
            }
            if (CheckPassword(exchange, basic->user, basic->password)) return basic->user;
            return std::nullopt;
        }
        const std::string token = CookieValue(request, CookieName());
        if (const std::optional<Session> session = token.empty() ? std::nullopt : m_sessions.Find(token)) {
            if (ChangesState(request.method) && request.get_header_value("X-CSRF-Token") != session->csrf) {
                Refuse(response, 403, "a change made with a session cookie carries X-CSRF-Token");
                return std::nullopt;
            }
            return session->user;
        }
        if (request.get_header_value("X-Valmorin-Console") != "1")
            response.set_header("WWW-Authenticate", "Basic realm=\"valmorin\", charset=\"UTF-8\"");
        Refuse(response, 401, "log in (POST /api/session) or give Basic credentials");
        return std::nullopt;
    }

    // Under TLS the name asks browsers to take the cookie only from this
    // host, over TLS, for every path: a neighbouring site cannot set one.
    std::string CookieName() const { return m_tls ? "__Host-valmorin_session" : "valmorin_session"; }

    // Whether admitting the request would hash a password.
    bool HashesPassword(const httplib::Request& request) const
    {
        if (!m_users) return false;
        const std::optional<BasicCredentials> basic = BasicCredentialsOf(request);
        return basic && basic->wellFormed && !m_users->Remembered(basic->user, basic->password);
    }

    bool CheckPassword(Exchange& exchange, const std::string& user, const std::string& password)
    {
        const std::string& address = exchange.request.remote_addr;
        const Clock::time_point now = Clock::now();
        // A locked address is refused before anything is compared, the
        // password accepted a moment ago too: a lock that compared guesses
        // with it would tell a guesser which guess is right.
        if (m_throttle.Locked(address, now)) {
            exchange.response.set_header("Retry-After", "60");
            return Refuse(exchange.response, 429, "too many failed logins from this address; wait a minute");
        }
        // A password accepted a moment ago is its owner's, who is not made
        // to wait for a guesser's turns.
        if (!m_users->Remembered(user, password)) {
            const LoginThrottle::Turn turn = m_throttle.Attempt(user, address, now);
            if (turn.refused) {
                exchange.response.set_header("Retry-After", "1");
                return Refuse(exchange.response, 429, "logins for this account take turns; try again in a second");
            }
            exchange.notBefore = turn.notBefore;
            const std::optional<HashTurn> hashing = HashTurn::Take(m_hashing);
            if (!hashing) {
                exchange.response.set_header("Retry-After", "1");
                return Refuse(exchange.response, 503,
                              "the server is checking as many passwords as it takes; "
                              "try again in a second");
            }
            const bool verified = m_users->Verify(user, password);
            exchange.notBefore = std::max(exchange.notBefore, now + m_users->dearestCheck());
            if (!verified) {
                m_throttle.Failed(address, user, std::max(now, turn.notBefore));
                return Refuse(exchange.response, 401, "the user name or the password is wrong");
            }
        }
        m_throttle.Succeeded(address, user, now);
        return true;
    }

    // GET: who the session is, and its CSRF token; POST {"user","password"}:
    // logs in and sets the cookie; DELETE: logs out.
    void AnswerSession(Exchange& exchange)
    {
        const httplib::Request& request = exchange.request;
        httplib::Response& response = exchange.response;
        const auto answer = [&](int status, const Json& body) {
            response.status = status;
            response.set_content(body.dump(-1, ' ', false, Json::error_handler_t::replace),
                                 "application/json; charset=utf-8");
        };
        if (!m_users) {
            if (!IsLoopback(request.remote_addr))
                return AnswerError(response, 403, E_ACCESSDENIED,
                                   "without --users the server answers loopback clients only");
            exchange.user = m_login;
            return answer(200, Json{{"user", m_login}, {"csrf", ""}, {"accounts", false}});
        }
        const std::string token = CookieValue(request, CookieName());
        if (request.method == "GET") {
            const std::optional<Session> session = token.empty() ? std::nullopt : m_sessions.Find(token);
            if (!session) return AnswerError(response, 401, E_ACCESSDENIED, "no session");
            exchange.user = session->user;
            return answer(200, Json{{"user", session->user}, {"csrf", session->csrf}, {"accounts", true}});
        }
        if (request.method == "DELETE") {
            const std::optional<Session> session = token.empty() ? std::nullopt : m_sessions.Find(token);
            if (session && request.get_header_value("X-CSRF-Token") != session->csrf)
                return AnswerError(response, 403, E_ACCESSDENIED, "logging out carries X-CSRF-Token");
            m_sessions.Close(token);
            response.set_header("Set-Cookie", CookieName() + "=; Path=/; Max-Age=0; HttpOnly; SameSite=Strict" +
                                                  (m_tls ? "; Secure" : ""));
            response.status = 204;
            return;
        }
        if (request.method != "POST")
            return AnswerError(response, 405, HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED),
                               "the session takes GET, POST, DELETE");
        Json body;
        try {
            body = Json::parse(request.body);
        } catch (const Json::exception&) {
            return AnswerError(response, 400, E_INVALIDARG, "the body is not valid JSON");
        }
        if (!body.is_object() || body.size() != 2 || !body.contains("user") || !body["user"].is_string() ||
            !body.contains("password") || !body["password"].is_string())
            return AnswerError(response, 400, E_INVALIDARG, "log in with {\"user\": text, \"password\": text}");
        const std::string user = body["user"].get<std::string>();
        if (!CheckPassword(exchange, user, body["password"].get<std::string>())) return;
        const std::string opened = m_sessions.Open(user);
        const std::optional<Session> session = m_sessions.Find(opened);
        exchange.user = user;
        response.set_header("Set-Cookie", CookieName() + "=" + opened + "; Path=/; Max-Age=" +
                                              std::to_string(std::chrono::seconds(Sessions::kLifetime).count()) +
                                              "; HttpOnly; SameSite=Strict" + (m_tls ? "; Secure" : ""));
        answer(200, Json{{"user", user}, {"csrf", session->csrf}, {"accounts", true}});
    }

    ServerOptions m_options;
    bool m_tls;
    bool m_answersAtOnce = false; // lookups answered on the I/O threads
    std::string m_login;
    std::optional<UserFile> m_users;
    // Passwords hashed at once: the rest of the workers stay free for the
    // requests that hash none, whatever number of guessers come.
    std::counting_semaphore<> m_hashing{std::max<std::ptrdiff_t>(1, m_options.threads / 2)};
    LoginThrottle m_throttle;
    Sessions m_sessions;
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
