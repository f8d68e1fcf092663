// The API's routes: each method and path, as docs/openapi.json documents
// it, and the handler that answers it (server/route_<resource>.cpp), with what its
// request may carry and who may make it.
#pragma once

#include <mutex>
#include <span>
#include <string>
#include <string_view>

struct Call;

enum class Access {
    Callers, // those who say who they are (credentials, a session, or loopback without accounts)
    Anyone,  // answered before anyone is asked who they are
};

enum class Body {
    Json,  // a JSON object of at most kMostJsonBody
    Csv,   // text/csv, kept in a file as it arrives, up to the server's --csv-limit
    Login, // a name and a password: a small JSON object
    None,
};

struct Route {
    std::string_view method;
    std::string_view path; // "/api/tables/{name}": each {parameter} is one segment
    void (*answer)(Call&);
    Access access = Access::Callers;
    Body body = Body::Json;
    // A read of a single row, which holds nothing long: answered where it
    // arrives when the store is a file of this machine.
    bool oneLookup = false;
    // A lookup or listing a standby of the read store may answer.
    bool standby = false;
};

// The most a JSON body may hold.
constexpr std::size_t kMostJsonBody = 1 << 20;

std::span<const Route> Routes();

// The route that takes the method (HEAD as GET) and the request target; none
// when no route does, or when the target is no path the router reads.
const Route* FindRoute(std::string_view method, const std::string& target);

// Whether the route of that method and path reads what a standby may answer.
bool StandbyMayAnswer(std::string_view method, std::string_view routePath);

class Router {
public:
    // Answers a request under /api/ by its route: 404 when no route has
    // its path, 405 when none of those that do takes its method; a
    // Refusal thrown on the way is the answer.
    void Answer(Call& call);

private:
    void AnswerInTurn(const Route& route, Call& call);

    std::mutex m_turn;
};
