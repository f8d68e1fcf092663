#include "server/route_session.h"

#include "server/authentication.h"
#include "server/call.h"
#include "server/refusal.h"

#include "platform/text/json_nesting.h"

#include <optional>
#include <string>

namespace {

// Without accounts, a loopback client's session is the server's own
// account, whatever it asks of the route.
bool AnsweredWithoutAccounts(Call& call)
{
    const Authentication& authentication = call.authentication;
    if (authentication.accounts()) return false;
    if (!IsLoopback(call.request().remote_addr))
        Refuse(403, "without --users the server answers loopback clients only", E_ACCESSDENIED);
    call.exchange.user = authentication.login();
    AnswerJson(call, 200, Json{{"user", authentication.login()}, {"csrf", ""}, {"accounts", false}});
    return true;
}

std::optional<Session> SessionOf(const Call& call, const std::string& token)
{
    return token.empty() ? std::nullopt : call.authentication.sessions().Find(token);
}

} // namespace

void ShowSession(Call& call)
{
    if (AnsweredWithoutAccounts(call)) return;
    const std::optional<Session> session = SessionOf(call, call.authentication.SessionToken(call.request()));
    if (!session) Refuse(401, "no session", E_ACCESSDENIED);
    call.exchange.user = session->user;
    AnswerJson(call, 200, Json{{"user", session->user}, {"csrf", session->csrf}, {"accounts", true}});
}

void LogIn(Call& call)
{
    if (AnsweredWithoutAccounts(call)) return;
    Json body;
    try {
        body = valmorin::text::ParseJsonNestedAtMost<Json>(call.request().body);
    } catch (const std::exception&) { // a syntax error, or nesting no log-in has
        Refuse(400, "the body is not valid JSON");
    }
    if (!body.is_object() || body.size() != 2 || !body.contains("user") || !body["user"].is_string() ||
        !body.contains("password") || !body["password"].is_string())
        Refuse(400, "log in with {\"user\": text, \"password\": text}");
    const std::string user = body["user"].get<std::string>();
    if (!call.authentication.CheckPassword(call.exchange, user, body["password"].get<std::string>())) return;
    const std::string opened = call.authentication.sessions().Open(user);
    const std::optional<Session> session = SessionOf(call, opened);
    call.exchange.user = user;
    call.response().set_header("Set-Cookie", call.authentication.SessionCookie(opened));
    AnswerJson(call, 200, Json{{"user", user}, {"csrf", session->csrf}, {"accounts", true}});
}

void LogOut(Call& call)
{
    if (AnsweredWithoutAccounts(call)) return;
    const std::string token = call.authentication.SessionToken(call.request());
    const std::optional<Session> session = SessionOf(call, token);
    if (session && call.request().get_header_value("X-CSRF-Token") != session->csrf)
        Refuse(403, "logging out carries X-CSRF-Token", E_ACCESSDENIED);
    call.authentication.sessions().Close(token);
    call.response().set_header("Set-Cookie", call.authentication.EndedSessionCookie());
    NoContent(call);
}
