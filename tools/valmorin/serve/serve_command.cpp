#include "serve/serve_command.h"

#include "batch_line.h"
#include "serve/api.h"
#include "serve/console.h"
#include "serve/sessions.h"
#include "serve/users.h"

#include "platform/datasource/catalogue.h"
#include "platform/text/utf.h"
#include "platform/win32/security.h"

#include <httplib.h>
#include <nlohmann/json.hpp>
#include <openssl/evp.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <ctime>
#include <iostream>
#include <memory>
#include <mutex>
#include <thread>

#include <unistd.h>

namespace {

using Json = nlohmann::json;
using Clock = std::chrono::steady_clock;

constexpr const char* kCookie = "valmorin_session";
constexpr const char* kUsage =
    "usage: valmorin serve [--listen <address>:<port>] [--connection <cs>] [--users <htpasswd file>]\n"
    "                      [--tls-cert <pem> --tls-key <pem>] [--csv-limit <MiB>] [--threads <n>]";

struct Options {
    std::string host = "127.0.0.1";
    int port = 8470;
    std::u16string connection;
    std::string users, certificate, key;
    std::size_t csvLimit = std::size_t{256} << 20;
    unsigned threads = 8;
    unsigned maxConnections = 64;
};

[[noreturn]] void Usage(const std::string& why) { throw UsageError{why + "\n" + kUsage}; }

unsigned long Positive(const std::string& text, const std::string& option)
{
    try {
        std::size_t used = 0;
        const unsigned long value = std::stoul(text, &used);
        if (used == text.size() && value > 0 && value < (1ul << 20)) return value;
    } catch (const std::exception&) {
    }
    Usage(option + " takes a positive number, not '" + text + "'");
}

Options ReadOptions(const std::vector<std::string>& args)
{
    Options options;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& option = args[i];
        if (i + 1 == args.size()) Usage(option + " needs a value");
        const std::string& value = args[++i];
        if (option == "--listen") {
            const std::size_t colon = value.rfind(':');
            if (colon == std::string::npos) Usage("--listen takes <address>:<port>");
            options.host = value.substr(0, colon);
            if (options.host.size() > 2 && options.host.front() == '[')
                options.host = options.host.substr(1, options.host.size() - 2);
            const std::string port = value.substr(colon + 1);
            options.port = port == "0" ? 0 : static_cast<int>(Positive(port, "--listen's port"));
            if (options.port > 65535) Usage("--listen's port is at most 65535");
        } else if (option == "--connection") {
            options.connection = Wide(value, "the connection string");
        } else if (option == "--users") {
            options.users = value;
        } else if (option == "--tls-cert") {
            options.certificate = value;
        } else if (option == "--tls-key") {
            options.key = value;
        } else if (option == "--csv-limit") {
            options.csvLimit = Positive(value, "--csv-limit") << 20;
        } else if (option == "--threads") {
            options.threads = static_cast<unsigned>(Positive(value, "--threads"));
        } else {
            Usage("unknown option " + option);
        }
    }
    if (options.certificate.empty() != options.key.empty()) Usage("--tls-cert and --tls-key go together");
    return options;
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

// What the access log says of a request, gathered on the worker thread
// that answers it.
struct RequestNotes {
    Clock::time_point start;
    std::string user = "-";
};

thread_local RequestNotes t_notes;

// A printable rendering of a path for the log: control and non-ASCII bytes
// escaped, so that a request cannot forge log lines, and cut short, so that
// a client cannot fill the log with one request.
std::string Printable(const std::string& text)
{
    constexpr std::size_t kLongest = 256;
    std::string out;
    for (const unsigned char c : std::string_view(text).substr(0, kLongest)) {
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            out += static_cast<char>(c);
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
            out += escaped;
        }
    }
    if (text.size() > kLongest) out += "...";
    return out;
}

void LogRequest(const httplib::Request& request, const httplib::Response& response)
{
    const auto took = std::chrono::duration<double, std::milli>(Clock::now() - t_notes.start).count();
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    ::gmtime_r(&now, &utc);
    char when[32];
    std::strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%SZ", &utc);
    char line[96];
    std::snprintf(line, sizeof line, " %d %.1fms", response.status, took);
    const std::string path = request.target.substr(0, request.target.find('?'));
    std::cerr << (std::string(when) + " " + Printable(request.remote_addr) + " " + Printable(t_notes.user) + " " +
                  Printable(request.method) + " " + Printable(path) + line + "\n")
              << std::flush;
}

// A task queue that counts the connections being served: a connection
// beyond the cap is answered 503 and closed.
class CountingQueue final : public httplib::TaskQueue {
public:
    CountingQueue(std::size_t threads, std::atomic<unsigned>& open) : m_pool(threads), m_open(open) {}
    void enqueue(std::function<void()> task) override
    {
        ++m_open;
        m_pool.enqueue([this, task = std::move(task)] {
            task();
            --m_open;
        });
    }
    void shutdown() override { m_pool.shutdown(); }

private:
    httplib::ThreadPool m_pool;
    std::atomic<unsigned>& m_open;
};

// Basic credentials, decoded by OpenSSL; empty when they are not base64.
std::string Base64Decoded(const std::string& text)
{
    if (text.empty() || text.size() % 4 != 0) return {};
    std::string bytes(text.size() / 4 * 3, '\0');
    const int length =
        EVP_DecodeBlock(reinterpret_cast<unsigned char*>(bytes.data()),
                        reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
    if (length < 0) return {};
    // EVP_DecodeBlock counts the bytes the padding stands in for.
    const std::size_t padding = text.ends_with("==") ? 2 : text.ends_with('=') ? 1 : 0;
    bytes.resize(static_cast<std::size_t>(length) - padding);
    return bytes;
}

std::string CookieValue(const httplib::Request& request, const std::string& name)
{
    const std::string cookies = request.get_header_value("Cookie");
    for (std::size_t from = 0; from < cookies.size();) {
        const std::size_t end = std::min(cookies.find(';', from), cookies.size());
        std::string pair = cookies.substr(from, end - from);
        from = end + 1;
        pair.erase(0, pair.find_first_not_of(' '));
        if (pair.starts_with(name + "=")) return pair.substr(name.size() + 1);
    }
    return {};
}

bool ChangesState(const std::string& method) { return method != "GET" && method != "HEAD" && method != "OPTIONS"; }

class Server {
public:
    explicit Server(Options options)
        : m_options(std::move(options)), m_tls(!m_options.certificate.empty()), m_login(LoginName())
    {
        if (!m_options.users.empty()) m_users.emplace(m_options.users);
        if (!IsLoopback(m_options.host) && !m_tls)
            throw std::runtime_error("serving " + m_options.host +
                                     " without TLS is refused: give --tls-cert and --tls-key, or listen on loopback");
        if (!m_options.connection.empty()) {
            valmorin::datasource::SetProcessDataSource(valmorin::datasource::kDefaultDataSourceName,
                                                       m_options.connection);
            UseConnection(m_options.connection);
        }
        if (m_tls) {
            m_http = std::make_unique<httplib::SSLServer>(m_options.certificate.c_str(), m_options.key.c_str());
            if (!static_cast<httplib::SSLServer&>(*m_http).is_valid())
                throw std::runtime_error("the certificate " + m_options.certificate + " or its key " + m_options.key +
                                         " cannot be used");
        } else {
            m_http = std::make_unique<httplib::Server>();
        }
        Configure();
    }

    int Run()
    {
        const int port = m_options.port == 0
                             ? m_http->bind_to_any_port(m_options.host)
                             : (m_http->bind_to_port(m_options.host, m_options.port) ? m_options.port : -1);
        if (port < 0)
            throw std::runtime_error("cannot listen on " + m_options.host + ":" + std::to_string(m_options.port));
        std::cerr << "valmorin serve: listening on " << (m_tls ? "https://" : "http://") << m_options.host << ":"
                  << port << (m_users ? "" : " (loopback clients only, acting as " + m_login + ")") << std::endl;
        StopOnSignals();
        m_http->listen_after_bind();
        std::cerr << "valmorin serve: stopped" << std::endl;
        return 0;
    }

private:
    void Configure()
    {
        httplib::Server& http = *m_http;
        http.new_task_queue = [this] { return new CountingQueue(m_options.threads, m_open); };
        http.set_payload_max_length(m_options.csvLimit);
        http.set_read_timeout(std::chrono::seconds(10));
        http.set_write_timeout(std::chrono::seconds(10));
        http.set_keep_alive_timeout(5);
        http.set_keep_alive_max_count(10000);
        http.set_tcp_nodelay(true);
        // Whatever a response carries, no page may run a script it did not
        // load from here, be framed, or be read as another type.
        http.set_default_headers(
            {{"Content-Security-Policy", "default-src 'none'; script-src 'self'; style-src 'self'; "
                                         "img-src 'self'; connect-src 'self'; form-action 'self'; "
                                         "base-uri 'none'; frame-ancestors 'none'"},
             {"X-Frame-Options", "DENY"},
             {"X-Content-Type-Options", "nosniff"},
             {"Referrer-Policy", "no-referrer"},
             {"Cache-Control", "no-store"}});
        http.set_pre_routing_handler([this](const httplib::Request&, httplib::Response& response) {
            t_notes = {Clock::now(), "-"};
            AnsweredEmptyOnPurpose() = false;
            if (m_open.load() <= m_options.maxConnections) return httplib::Server::HandlerResponse::Unhandled;
            response.set_header("Connection", "close");
            AnswerError(response, 503, 0x8007000E, "the server is serving all the connections it takes; try again");
            return httplib::Server::HandlerResponse::Handled;
        });
        http.set_logger(LogRequest);
        http.set_exception_handler([](const httplib::Request&, httplib::Response& response, std::exception_ptr) {
            AnswerError(response, 500, 0x8000FFFF, "the server failed to answer");
        });
        http.set_error_handler([](const httplib::Request&, httplib::Response& response) {
            if (!response.body.empty() || AnsweredEmptyOnPurpose()) return;
            if (response.status == 413)
                AnswerError(response, 413, 0x80070057, "the body is larger than the server takes");
            else
                AnswerError(response, response.status, 0x80004005, "the request cannot be answered");
        });
        const auto handle = [this](const httplib::Request& request, httplib::Response& response) {
            Answer(request, response, request.body);
        };
        http.Get(R"([\s\S]*)", handle);
        http.Delete(R"([\s\S]*)", handle);
        http.Post(R"([\s\S]*)", handle);
        http.Put(R"([\s\S]*)", handle);
        http.Patch(R"([\s\S]*)", handle);
    }

    // The request's body must be of the route's kind: a form or plain text,
    // which any web page may send elsewhere, never changes anything.
    bool RightContentType(const httplib::Request& request)
    {
        if (!ChangesState(request.method)) return true;
        const std::string type = request.get_header_value("Content-Type");
        const std::string wanted = TakesCsv(request.method, request.target) ? "text/csv" : "application/json";
        if (request.body.empty() && request.method == "DELETE") return true;
        return type.substr(0, type.find(';')) == wanted;
    }

    void Answer(const httplib::Request& request, httplib::Response& response, const std::string& body)
    {
        if (!request.path.starts_with("/api/") && request.path != "/api") return AnswerConsole(request, response);
        if (!RightContentType(request)) {
            AnswerError(response, 415, 0x80070057,
                        std::string("a ") + request.method + " to this route carries " +
                            (TakesCsv(request.method, request.target) ? "text/csv" : "application/json"));
            return;
        }
        if (!TakesCsv(request.method, request.target) && body.size() > kMostJsonBody) {
            AnswerError(response, 413, 0x80070057, "the body is larger than 1 MiB");
            return;
        }
        if (request.path == "/api/session") return AnswerSession(request, response);
        if (request.path == "/api/openapi.json" && request.method == "GET") {
            response.set_content(OpenApiDescription(), "application/json; charset=utf-8");
            return;
        }
        bool withCookie = false;
        const std::optional<std::string> user = Authenticate(request, response, withCookie);
        if (!user) return;
        t_notes.user = *user;
        ApiRequest api{request, response, valmorin::text::Widen(*user), body};
        if (!HandleApi(api)) AnswerError(response, 404, 0x80070002, "no such route");
    }

    // The console's pages are public: what they show comes from the API,
    // which asks who is there.
    static void AnswerConsole(const httplib::Request& request, httplib::Response& response)
    {
        const ConsoleFile* file = FindConsoleFile(request.path);
        if (file == nullptr) return AnswerError(response, 404, 0x80070002, "no such page");
        if (request.method != "GET" && request.method != "HEAD")
            return AnswerError(response, 405, 0x80070032, "the console's pages take GET");
        response.set_content(file->content.data(), file->content.size(), std::string(file->type));
    }

    // Who the request comes from, or nothing when it was answered already
    // (401, 403 or 429).
    std::optional<std::string> Authenticate(const httplib::Request& request, httplib::Response& response,
                                            bool& withCookie)
    {
        if (!m_users) {
            if (IsLoopback(request.remote_addr)) return m_login;
            AnswerError(response, 403, 0x80070005, "without --users the server answers loopback clients only");
            return std::nullopt;
        }
        const std::string authorization = request.get_header_value("Authorization");
        if (authorization.starts_with("Basic ")) {
            const std::string credentials = Base64Decoded(authorization.substr(6));
            const std::size_t colon = credentials.find(':');
            if (colon != std::string::npos &&
                CheckPassword(request, response, credentials.substr(0, colon), credentials.substr(colon + 1)))
                return credentials.substr(0, colon);
            return std::nullopt;
        }
        const std::string token = CookieValue(request, kCookie);
        if (const std::optional<Session> session = token.empty() ? std::nullopt : m_sessions.Find(token)) {
            withCookie = true;
            if (ChangesState(request.method) && request.get_header_value("X-CSRF-Token") != session->csrf) {
                AnswerError(response, 403, 0x80070005, "a change made with a session cookie carries X-CSRF-Token");
                return std::nullopt;
            }
            return session->user;
        }
        if (request.get_header_value("X-Valmorin-Console") != "1")
            response.set_header("WWW-Authenticate", "Basic realm=\"valmorin\", charset=\"UTF-8\"");
        AnswerError(response, 401, 0x80070005, "log in (POST /api/session) or give Basic credentials");
        return std::nullopt;
    }

    bool CheckPassword(const httplib::Request& request, httplib::Response& response, const std::string& user,
                       const std::string& password)
    {
        if (m_throttle.Refused(request.remote_addr)) {
            AnswerError(response, 429, 0x80070005, "too many failed logins from this address; wait a minute");
            return false;
        }
        if (m_users->Verify(user, password)) {
            m_throttle.Succeeded(request.remote_addr);
            return true;
        }
        m_throttle.Failed(request.remote_addr);
        AnswerError(response, 401, 0x80070005, "the user name or the password is wrong");
        return false;
    }

    // GET: who the session is, and its CSRF token; POST {"user","password"}:
    // logs in and sets the cookie; DELETE: logs out.
    void AnswerSession(const httplib::Request& request, httplib::Response& response)
    {
        const auto answer = [&](int status, const Json& body) {
            response.status = status;
            response.set_content(body.dump(-1, ' ', false, Json::error_handler_t::replace),
                                 "application/json; charset=utf-8");
        };
        if (!m_users) {
            if (!IsLoopback(request.remote_addr))
                return AnswerError(response, 403, 0x80070005,
                                   "without --users the server answers loopback clients only");
            t_notes.user = m_login;
            return answer(200, Json{{"user", m_login}, {"csrf", ""}, {"accounts", false}});
        }
        const std::string token = CookieValue(request, kCookie);
        if (request.method == "GET") {
            const std::optional<Session> session = token.empty() ? std::nullopt : m_sessions.Find(token);
            if (!session) return AnswerError(response, 401, 0x80070005, "no session");
            t_notes.user = session->user;
            return answer(200, Json{{"user", session->user}, {"csrf", session->csrf}, {"accounts", true}});
        }
        if (request.method == "DELETE") {
            const std::optional<Session> session = token.empty() ? std::nullopt : m_sessions.Find(token);
            if (session && request.get_header_value("X-CSRF-Token") != session->csrf)
                return AnswerError(response, 403, 0x80070005, "logging out carries X-CSRF-Token");
            m_sessions.Close(token);
            response.set_header("Set-Cookie", std::string(kCookie) + "=; Path=/; Max-Age=0; HttpOnly; SameSite=Strict" +
                                                  (m_tls ? "; Secure" : ""));
            response.status = 204;
            return;
        }
        if (request.method != "POST")
            return AnswerError(response, 405, 0x80070032, "the session takes GET, POST, DELETE");
        Json body;
        try {
            body = Json::parse(request.body);
        } catch (const Json::parse_error&) {
            return AnswerError(response, 400, 0x80070057, "the body is not valid JSON");
        }
        if (!body.is_object() || body.size() != 2 || !body.contains("user") || !body["user"].is_string() ||
            !body.contains("password") || !body["password"].is_string())
            return AnswerError(response, 400, 0x80070057, "log in with {\"user\": text, \"password\": text}");
        const std::string user = body["user"].get<std::string>();
        if (!CheckPassword(request, response, user, body["password"].get<std::string>())) return;
        const std::string opened = m_sessions.Open(user);
        const std::optional<Session> session = m_sessions.Find(opened);
        t_notes.user = user;
        response.set_header("Set-Cookie", std::string(kCookie) + "=" + opened + "; Path=/; Max-Age=" +
                                              std::to_string(std::chrono::seconds(Sessions::kLifetime).count()) +
                                              "; HttpOnly; SameSite=Strict" + (m_tls ? "; Secure" : ""));
        answer(200, Json{{"user", user}, {"csrf", session->csrf}, {"accounts", true}});
    }

    // SIGTERM and SIGINT stop the server: it closes its socket, the
    // requests in flight finish, then listen returns.
    void StopOnSignals()
    {
        sigset_t signals;
        sigemptyset(&signals);
        sigaddset(&signals, SIGTERM);
        sigaddset(&signals, SIGINT);
        pthread_sigmask(SIG_BLOCK, &signals, nullptr);
        std::thread([this, signals] {
            int received = 0;
            sigwait(&signals, &received);
            std::cerr << "valmorin serve: stopping (signal " << received << ")" << std::endl;
            m_http->stop();
        }).detach();
    }

    Options m_options;
    bool m_tls;
    std::string m_login;
    std::optional<UserFile> m_users;
    LoginThrottle m_throttle;
    Sessions m_sessions;
    std::atomic<unsigned> m_open{0};
    std::unique_ptr<httplib::Server> m_http;
};

} // namespace

int RunServeCommand(const std::vector<std::string>& args)
{
    try {
        Server server(ReadOptions(args));
        return server.Run();
    } catch (const std::runtime_error& e) {
        std::cerr << "valmorin serve: " << e.what() << std::endl;
        return 2;
    }
}
