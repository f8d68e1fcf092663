// Who calls, and what they may do. Every request must name a host the
// server answers for, and a change must come from none of another
// origin's pages (its Origin, and a body of the route's own type, which
// no other site's form can send). Callers of the API say who they are:
// without an account file, loopback clients act as the account that runs
// the server; with one, Basic credentials or a session's cookie, a change
// made with the cookie carrying the session's CSRF token. Password checks
// are throttled per address and account, and take turns.
#pragma once

#include "server/http_engine.h"
#include "server/router.h"
#include "server/server.h"
#include "server/sessions.h"
#include "server/users.h"

#include <httplib.h>

#include <optional>
#include <semaphore>
#include <set>
#include <string>

// Anything but GET, HEAD and OPTIONS.
bool ChangesState(const std::string& method);
bool IsLoopback(const std::string& address);

class Authentication {
public:
    // Reads the account file the options name; throws std::runtime_error
    // for a file it refuses, and for a server that would take credentials
    // in clear from beyond this machine.
    explicit Authentication(const ServerOptions& options);

    // A name the server is also reached by: the address it listens on, as
    // the name given resolved.
    void AllowHost(const std::string& host);

    // From a request's head, first: the client a trusted proxy names (400
    // when it names none), the host it names (421) and, for a change, the
    // page behind it (403). False when the response is the
    // refusal.
    bool AdmitRequest(Exchange& exchange) const;
    // Who makes the request of the route (none when no route takes it),
    // into exchange.user, and that a change's body is of the route's type.
    // False when the response is the refusal (401, 403, 415, 429, 503).
    bool AdmitCaller(Exchange& exchange, const Route* route);
    // Whether admitting the request would hash a password.
    bool HashesPassword(const httplib::Request& request) const;

    // Whether the server has accounts; without, the account it acts as.
    bool accounts() const { return m_users.has_value(); }
    const std::string& login() const { return m_login; }
    // A login's check: false when the response is the refusal (401, 429,
    // 503); its answer is held (exchange.notBefore) as long as the dearest
    // check takes.
    bool CheckPassword(Exchange& exchange, const std::string& user, const std::string& password);
    Sessions& sessions() { return m_sessions; }
    // The token of the request's session cookie; empty when it carries none,
    // or more than one.
    std::string SessionToken(const httplib::Request& request) const;
    // The Set-Cookie values that give a browser its session, and take it back.
    std::string SessionCookie(const std::string& token) const;
    std::string EndedSessionCookie() const;

private:
    std::optional<std::string> Authenticate(Exchange& exchange);
    bool HostAllowed(const httplib::Request& request, bool inner) const;
    // A request from a proxy the operator trusts is the client's it names:
    // its address becomes the request's. False when the name is no address.
    bool TakeForwardedClient(httplib::Request& request) const;
    std::string CookieName() const;

    std::string m_host, m_innerHost;
    std::set<std::string> m_proxies;
    std::set<std::string> m_allowedHosts;
    bool m_tls;
    std::string m_login;
    std::optional<UserFile> m_users;
    // Passwords hashed at once: the rest of the workers stay free for the
    // requests that hash none, whatever number of guessers come.
    std::counting_semaphore<> m_hashing;
    LoginThrottle m_throttle;
    Sessions m_sessions;
};
