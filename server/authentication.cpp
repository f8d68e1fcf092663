#include "server/authentication.h"
#include "server/refusal.h"

#include "platform/text/utf.h"
#include "platform/win32/security.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <stdexcept>
#include <utility>

#include <arpa/inet.h>

namespace {

using Clock = std::chrono::steady_clock;

std::string Lowercase(std::string text)
{
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string LoginName()
{
    char16_t name[257];
    DWORD size = 257;
    return GetUserNameW(name, &size) ? valmorin::text::Utf16ToUtf8(name) : "unknown";
}

// Answers the refusal of a request's admission; false, as the admission is.
bool Refused(httplib::Response& response, int status, const std::string& message)
{
    AnswerError(response, status, status == 400 || status == 413 || status == 415 ? E_INVALIDARG : E_ACCESSDENIED,
                message);
    return false;
}

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

bool CarriesBody(const httplib::Request& request)
{
    return request.has_header("Transfer-Encoding") ||
           (request.has_header("Content-Length") && request.get_header_value("Content-Length") != "0");
}

// A browser names the page behind a change; clients that are no browser
// name none.
bool OriginMatches(const httplib::Request& request)
{
    if (!request.has_header("Origin")) return true;
    if (request.get_header_value_count("Origin") != 1) return false; // which one would a check believe?
    const std::string origin = request.get_header_value("Origin");
    const std::size_t scheme = origin.find("://");
    return scheme != std::string::npos &&
           Lowercase(origin.substr(scheme + 3)) == Lowercase(request.get_header_value("Host"));
}

// The type of body a change to the route carries: a form or plain text,
// which any web page may send elsewhere, never changes anything.
std::string WantedType(const Route& route) { return route.body == Body::Csv ? "text/csv" : "application/json"; }

bool RightContentType(const httplib::Request& request, const Route& route)
{
    if (!ChangesState(request.method) || (request.method == "DELETE" && !CarriesBody(request))) return true;
    // A media type is compared without regard to case, blanks before its
    // parameters left out.
    std::string type = request.get_header_value("Content-Type");
    type.erase(std::min(type.find(';'), type.size()));
    type.erase(std::min(type.find_last_not_of(" \t") + 1, type.size()));
    return Lowercase(type) == WantedType(route);
}

} // namespace

bool ChangesState(const std::string& method) { return method != "GET" && method != "HEAD" && method != "OPTIONS"; }

bool IsLoopback(const std::string& address)
{
    return address.starts_with("127.") || address == "::1" || address.starts_with("::ffff:127.") ||
           address == "localhost";
}

Authentication::Authentication(const ServerOptions& options)
    : m_host(options.host), m_innerHost(options.metricsHost), m_proxies(options.trustedProxies),
      m_tls(!options.certificate.empty()), m_login(LoginName()),
      m_hashing(std::max<std::ptrdiff_t>(1, options.threads / 2))
{
    if (!options.users.empty()) m_users.emplace(options.users);
    if (!IsLoopback(m_host) && !m_tls)
        throw std::runtime_error("serving " + m_host +
                                 " without TLS is refused: give --tls-cert and --tls-key, or listen on loopback");
    m_allowedHosts = {"localhost", Lowercase(m_host)};
    for (const std::string& host : options.allowedHosts) m_allowedHosts.insert(Lowercase(host));
}

void Authentication::AllowHost(const std::string& host) { m_allowedHosts.insert(host); }

bool Authentication::AdmitRequest(Exchange& exchange) const
{
    if (!TakeForwardedClient(exchange.request))
        return Refused(exchange.response, 400, "the proxy's X-Forwarded-For does not end with an address");
    const httplib::Request& request = exchange.request;
    // Two credentials: a proxy in front could believe the other one.
    if (request.get_header_value_count("Authorization") > 1)
        return Refused(exchange.response, 400, "the request carries Authorization more than once");
    if (!HostAllowed(request, exchange.inner))
        return Refused(exchange.response, 421, "this server does not answer for the host the request names");
    if (ChangesState(request.method) && !OriginMatches(request))
        return Refused(exchange.response, 403, "a change from a page of another origin is refused");
    return true;
}

bool Authentication::AdmitCaller(Exchange& exchange, const Route* route)
{
    const httplib::Request& request = exchange.request;
    if (route == nullptr || route->access == Access::Callers) {
        const std::optional<std::string> user = Authenticate(exchange);
        if (!user) return false;
        exchange.user = *user;
    }
    // A request no route takes is answered 404 or 405 whatever it carries.
    if (route != nullptr && !RightContentType(request, *route))
        return Refused(exchange.response, 415,
                       std::string("a ") + request.method + " to this route carries " + WantedType(*route));
    return true;
}

bool Authentication::HashesPassword(const httplib::Request& request) const
{
    if (!m_users) return false;
    const std::optional<BasicCredentials> basic = BasicCredentialsOf(request);
    return basic && basic->wellFormed && !m_users->Remembered(basic->user, basic->password);
}

bool Authentication::CheckPassword(Exchange& exchange, const std::string& user, const std::string& password)
{
    const std::string& address = exchange.request.remote_addr;
    const Clock::time_point now = Clock::now();
    // A locked address is refused before anything is compared, the
    // password accepted a moment ago too: a lock that compared guesses
    // with it would tell a guesser which guess is right.
    if (m_throttle.Locked(address, now)) {
        exchange.response.set_header("Retry-After", "60");
        return Refused(exchange.response, 429, "too many failed logins from this address; wait a minute");
    }
    // A password accepted a moment ago is its owner's, who is not made
    // to wait for a guesser's turns.
    if (!m_users->Remembered(user, password)) {
        const LoginThrottle::Turn turn = m_throttle.Attempt(user, address, now);
        if (turn.refused) {
            exchange.response.set_header("Retry-After", "1");
            return Refused(exchange.response, 429, "logins for this account take turns; try again in a second");
        }
        exchange.notBefore = turn.notBefore;
        const std::optional<HashTurn> hashing = HashTurn::Take(m_hashing);
        if (!hashing) {
            exchange.response.set_header("Retry-After", "1");
            return Refused(exchange.response, 503,
                           "the server is checking as many passwords as it takes; "
                           "try again in a second");
        }
        const bool verified = m_users->Verify(user, password);
        exchange.notBefore = std::max(exchange.notBefore, now + m_users->dearestCheck());
        if (!verified) {
            m_throttle.Failed(address, user, std::max(now, turn.notBefore));
            return Refused(exchange.response, 401, "the user name or the password is wrong");
        }
    }
    m_throttle.Succeeded(address, user, now);
    return true;
}

std::string Authentication::SessionToken(const httplib::Request& request) const
{
    return CookieValue(request, CookieName());
}

std::string Authentication::SessionCookie(const std::string& token) const
{
    return CookieName() + "=" + token +
           "; Path=/; Max-Age=" + std::to_string(std::chrono::seconds(Sessions::kLifetime).count()) +
           "; HttpOnly; SameSite=Strict" + (m_tls ? "; Secure" : "");
}

std::string Authentication::EndedSessionCookie() const
{
    return CookieName() + "=; Path=/; Max-Age=0; HttpOnly; SameSite=Strict" + (m_tls ? "; Secure" : "");
}

// Who the request comes from, or nothing when it was answered already
// (401, 403 or 429).
std::optional<std::string> Authentication::Authenticate(Exchange& exchange)
{
    const httplib::Request& request = exchange.request;
    httplib::Response& response = exchange.response;
    if (!m_users) {
        if (IsLoopback(request.remote_addr)) return m_login;
        Refused(response, 403, "without --users the server answers loopback clients only");
        return std::nullopt;
    }
    if (const std::optional<BasicCredentials> basic = BasicCredentialsOf(request)) {
        if (!basic->wellFormed) {
            Refused(response, 401, "Basic credentials are base64 of name:password");
            return std::nullopt;
        }
        if (CheckPassword(exchange, basic->user, basic->password)) return basic->user;
        return std::nullopt;
    }
    const std::string token = SessionToken(request);
    if (const std::optional<Session> session = token.empty() ? std::nullopt : m_sessions.Find(token)) {
        if (ChangesState(request.method) && request.get_header_value("X-CSRF-Token") != session->csrf) {
            Refused(response, 403, "a change made with a session cookie carries X-CSRF-Token");
            return std::nullopt;
        }
        return session->user;
    }
    if (request.get_header_value("X-Valmorin-Console") != "1")
        response.set_header("WWW-Authenticate", "Basic realm=\"valmorin\", charset=\"UTF-8\"");
    Refused(response, 401, "log in (POST /api/session) or give Basic credentials");
    return std::nullopt;
}

// A page elsewhere that reaches this server under its own name (DNS
// rebinding) names that host: only the names this server goes by are
// answered. Any address names a server listening on all of them.
// A proxy appends its own X-Forwarded-For field, after any the client sent:
// the last address of the last field is the one it took the request from.
bool Authentication::TakeForwardedClient(httplib::Request& request) const
{
    if (!m_proxies.contains(request.remote_addr)) return true;
    const auto [first, end] = request.headers.equal_range("X-Forwarded-For");
    if (first == end) return true; // the proxy's own request: its health check
    std::string client = std::prev(end)->second;
    client = client.substr(client.rfind(',') + 1);
    client.erase(0, client.find_first_not_of(" \t"));
    client.erase(client.find_last_not_of(" \t") + 1);
    if (!IsAddress(client)) return false;
    request.remote_addr = client;
    return true;
}

// An address listening on every interface answers for each of the
// machine's addresses.
bool Authentication::HostAllowed(const httplib::Request& request, bool inner) const
{
    if (request.get_header_value_count("Host") != 1) return false;
    const std::string host = HostName(request.get_header_value("Host"));
    return m_allowedHosts.count(host) > 0 || (IsAnyAddress(inner ? m_innerHost : m_host) && IsAddress(host));
}

// Under TLS the name asks browsers to take the cookie only from this host,
// over TLS, for every path: a neighbouring site cannot set one.
std::string Authentication::CookieName() const { return m_tls ? "__Host-valmorin_session" : "valmorin_session"; }
