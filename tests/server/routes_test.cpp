// The router's routes against docs/openapi.json, the description clients
// read and the server serves: the same routes on both sides, and each
// documented route, called as a client properly calls it, answering a real
// server's real socket with the success its description promises.
#include "server/authentication.h"
#include "server/router.h"

#include "support/serve_fixture.h"

#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

using RouteKey = std::pair<std::string, std::string>; // method, path as documented

std::string Text(const RouteKey& key) { return key.first + " " + key.second; }

// The routes whose success depends on whether the table needs approval.
const std::set<RouteKey> kSeveralSuccesses = {{"PUT", "/api/tables/{name}/csv"},
                                              {"PUT", "/api/tables/{name}/approval"}};

// A documented success: its status and the Content-Type it documents
// (empty when none is).
using Successes = std::map<int, std::string>;

// Each documented route's successes: its 2xx answers. A route documents
// more than one only when the state of the table decides between them (an
// import into a table that needs approval is proposed instead).
std::map<RouteKey, Successes> DocumentedSuccesses()
{
    static const std::set<std::string> kMethods = {"get", "put", "post", "delete", "patch", "head", "options"};
    std::ifstream file(std::string(VALMORIN_SOURCE_DIR) + "/docs/openapi.json");
    const Json description = Json::parse(file);
    std::map<RouteKey, Successes> documented;
    for (const auto& [path, operations] : description.at("paths").items())
        for (const auto& [method, operation] : operations.items()) {
            if (!kMethods.count(method)) continue; // the parameters the operations share
            std::string upper = method;
            for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            const RouteKey key{upper, path};
            for (const auto& [status, answer] : operation.at("responses").items()) {
                if (!status.starts_with('2')) continue;
                std::string type;
                if (answer.contains("content") && answer["content"].size() == 1) type = answer["content"].begin().key();
                documented[key][std::stoi(status)] = type;
            }
            EXPECT_EQ(documented[key].size() > 1, kSeveralSuccesses.count(key) > 0)
                << Text(key) << " documents one success, no more, unless the state of its table decides";
        }
    return documented;
}

// Faults caught: a route added to the router without its description; a
// documented route that the router lost, or spells otherwise (its method,
// a parameter's name or place); a route listed twice, the second never
// reached.
TEST(RoutesTest, TheRouterHasTheDocumentedRoutesAndNoOthers)
{
    const std::map<RouteKey, Successes> documented = DocumentedSuccesses();
    std::set<RouteKey> routed;
    for (const Route& route : Routes()) {
        const RouteKey key{std::string(route.method), std::string(route.path)};
        EXPECT_TRUE(routed.insert(key).second) << Text(key) << " is routed twice";
        EXPECT_TRUE(documented.count(key)) << Text(key) << " is routed but not documented in docs/openapi.json";
    }
    for (const auto& [key, success] : documented)
        EXPECT_TRUE(routed.count(key)) << Text(key) << " is documented but no route of the router's";
}

// A documented route called as a client properly calls it, in an order in
// which each call finds what it needs: the table before its rows, a change
// of alice's before bob confirms it, the login before the session's calls,
// a proposal before its decision. In a target, {changeset} is the change
// set the last proposal's Location named, {revision} the last write's
// X-Valmorin-Revision.
struct ProperCall {
    enum Caller { Anonymous, Alice, Bob, AlicesSession };
    RouteKey route;
    std::string target;
    Caller caller;
    std::string body = "";
    std::string type = "application/json";
    int status = 0; // the success expected, for a route that documents several
};

const std::vector<ProperCall>& ProperCalls()
{
    using C = ProperCall;
    static const std::vector<ProperCall> calls = {
        {{"POST", "/api/session"}, "/api/session", C::Anonymous, R"({"user":"alice","password":"wonder land"})"},
        {{"GET", "/api/session"}, "/api/session", C::AlicesSession},
        {{"GET", "/api/openapi.json"}, "/api/openapi.json", C::Anonymous},
        {{"POST", "/api/tables"},
         "/api/tables",
         C::Alice,
         R"({"name":"T","columns":[{"name":"k","input":true},{"name":"v"}]})"},
        {{"GET", "/api/tables"}, "/api/tables", C::Alice},
        {{"GET", "/api/tables/{name}"}, "/api/tables/T", C::Alice},
        {{"PATCH", "/api/tables/{name}"}, "/api/tables/T", C::Alice, R"({"description":"keys and values"})"},
        {{"POST", "/api/tables/{name}/confirm"}, "/api/tables/T/confirm", C::Bob},
        {{"POST", "/api/tables/{name}/rows"}, "/api/tables/T/rows", C::Alice, R"({"input":"a","output":"1"})"},
        {{"GET", "/api/tables/{name}/rows"}, "/api/tables/T/rows?contains=a&offset=0&limit=10", C::Alice},
        {{"PUT", "/api/tables/{name}/rows/{input}"}, "/api/tables/T/rows/a", C::Alice, R"({"output":"2"})"},
        {{"POST", "/api/tables/{name}/rows/{input}/confirm"},
         "/api/tables/T/rows/a/confirm",
         C::Bob,
         R"({"output":"2"})"},
        {{"GET", "/api/translate/{name}/{input}"}, "/api/translate/T/a", C::Alice},
        {{"POST", "/api/identifiers/{name}"}, "/api/identifiers/Invoices?daily=1", C::Alice},
        {{"GET", "/api/tables/{name}/csv"}, "/api/tables/T/csv", C::Alice},
        {{"PUT", "/api/tables/{name}/csv"},
         "/api/tables/T/csv?mode=replace",
         C::Alice,
         "k,v\r\nb,3\r\n",
         "text/csv",
         200},
        {{"GET", "/api/revision"}, "/api/revision", C::Alice},
        {{"GET", "/api/tables/{name}/history"}, "/api/tables/T/history?input=b&offset=0&limit=10", C::Alice},
        {{"PUT", "/api/tables/{name}/approval"},
         "/api/tables/T/approval",
         C::Alice,
         R"({"required":true})",
         "application/json",
         200},
        {{"PUT", "/api/tables/{name}/csv"},
         "/api/tables/T/csv?mode=merge",
         C::Alice,
         "k,v\r\nc,4\r\n",
         "text/csv",
         201},
        {{"POST", "/api/changesets/{id}/reject"}, "/api/changesets/{changeset}/reject", C::Bob, R"({"reason":"no"})"},
        {{"POST", "/api/changesets"},
         "/api/changesets",
         C::Alice,
         R"({"table":"T","changes":[{"op":"put","input":"d","output":"5"}]})"},
        {{"GET", "/api/changesets"}, "/api/changesets?state=pending", C::Bob},
        {{"GET", "/api/changesets/{id}"}, "/api/changesets/{changeset}", C::Bob},
        {{"POST", "/api/changesets/{id}/approve"}, "/api/changesets/{changeset}/approve", C::Bob},
        {{"POST", "/api/revisions/{n}/revert"}, "/api/revisions/{revision}/revert", C::Alice},
        {{"PUT", "/api/tables/{name}/approval"},
         "/api/tables/T/approval",
         C::Alice,
         R"({"required":false})",
         "application/json",
         202},
        {{"POST", "/api/changesets/{id}/approve"}, "/api/changesets/{changeset}/approve", C::Bob},
        {{"DELETE", "/api/tables/{name}/rows/{input}"}, "/api/tables/T/rows/b", C::Alice},
        {{"DELETE", "/api/tables/{name}"}, "/api/tables/T", C::Alice},
        {{"DELETE", "/api/session"}, "/api/session", C::AlicesSession},
    };
    return calls;
}

// What a browser sends with each call of its session, from its login's
// answer: the cookie, and the token its changes carry.
httplib::Headers SessionOf(const httplib::Response& login)
{
    const std::string cookie = login.get_header_value("Set-Cookie");
    return {{"Cookie", cookie.substr(0, cookie.find(';'))},
            {"X-CSRF-Token", Json::parse(login.body).value("csrf", "")}};
}

class DocumentedRoutesTest : public ServeTest {};

// Faults caught: a route that answers its success with another status
// than its description promises (200 for a creation, a body where 204 says
// none), or with another type of body; a description changed without the
// route, or the route without it; a documented route that fails when
// called as documented; a write that answers without its revision.
TEST_P(DocumentedRoutesTest, EachAnswersItsDocumentedSuccessWhenCalledProperly)
{
    const std::map<RouteKey, Successes> documented = DocumentedSuccesses();
    const std::string accounts = Accounts(m_home, {{"alice", "wonder land"}, {"bob", "builder"}});
    ServeProcess server = Serve({"--users", accounts});
    httplib::Client client("127.0.0.1", server.port());
    httplib::Headers session;
    std::set<std::pair<RouteKey, int>> called;
    std::map<std::string, std::string> named = {{"{changeset}", ""}, {"{revision}", ""}};
    for (const ProperCall& call : ProperCalls()) {
        SCOPED_TRACE(Text(call.route) + " as " + call.target);
        httplib::Request request;
        request.method = call.route.first;
        request.path = call.target;
        for (const auto& [placeholder, value] : named)
            if (const std::size_t at = request.path.find(placeholder); at != std::string::npos)
                request.path.replace(at, placeholder.size(), value);
        request.body = call.body;
        if (request.method != "GET" && request.method != "DELETE") request.set_header("Content-Type", call.type);
        if (call.caller == ProperCall::Alice)
            request.headers.insert(httplib::make_basic_authentication_header("alice", "wonder land"));
        if (call.caller == ProperCall::Bob)
            request.headers.insert(httplib::make_basic_authentication_header("bob", "builder"));
        if (call.caller == ProperCall::AlicesSession) request.headers.insert(session.begin(), session.end());
        const httplib::Result answer = client.send(request);
        ASSERT_TRUE(answer) << httplib::to_string(answer.error());
        if (call.route == RouteKey{"POST", "/api/session"} && answer->status == 200) session = SessionOf(*answer);
        const std::string location = answer->get_header_value("Location");
        if (location.starts_with("/api/changesets/")) named["{changeset}"] = location.substr(16);
        if (answer->has_header("X-Valmorin-Revision"))
            named["{revision}"] = answer->get_header_value("X-Valmorin-Revision");

        const auto found = documented.find(call.route);
        ASSERT_NE(found, documented.end()) << "the test calls a route docs/openapi.json does not document";
        const int expected = call.status != 0 ? call.status : found->second.begin()->first;
        ASSERT_TRUE(found->second.count(expected)) << expected << " is not a documented success of the route";
        called.insert({call.route, expected});
        EXPECT_EQ(answer->status, expected) << answer->body;
        const std::string type = answer->get_header_value("Content-Type");
        if (!found->second.at(expected).empty()) {
            EXPECT_EQ(type.substr(0, type.find(';')), found->second.at(expected));
        }
        if (expected == 204) {
            EXPECT_EQ(answer->body, "");
        }
        if (ChangesState(request.method) && call.route.second != "/api/session") {
            EXPECT_TRUE(answer->has_header("X-Valmorin-Revision")) << "a write answers with its revision";
        }
    }
    for (const auto& [route, successes] : documented)
        for (const auto& [status, type] : successes)
            EXPECT_TRUE(called.count({route, status}))
                << Text(route) << " documents " << status << " but this test has no proper call that answers it";
}

// A path with an empty segment names no route, and is not read as the
// route its other segments would make.
// Fault caught: empty segments dropped, so that PUT .../rows//confirm
// rewrites the row whose input is "confirm".
TEST_P(DocumentedRoutesTest, APathWithAnEmptySegmentNamesNoRoute)
{
    ServeProcess server = Serve({});
    httplib::Client client("127.0.0.1", server.port());
    const std::string json = "application/json";
    ASSERT_EQ(
        client.Post("/api/tables", R"({"name":"T","columns":[{"name":"k","input":true},{"name":"v"}]})", json)->status,
        201);
    ASSERT_EQ(client.Post("/api/tables/T/rows", R"({"input":"confirm","output":"kept"})", json)->status, 201);
    for (const char* path :
         {"/api/tables/T/rows//confirm", "/api//tables/T/rows/confirm", "/api/tables/T/rows/confirm/"})
        EXPECT_EQ(client.Put(path, R"({"output":"changed"})", json)->status, 404) << path;
    const httplib::Result kept = client.Get("/api/translate/T/confirm");
    ASSERT_TRUE(kept);
    EXPECT_NE(kept->body.find("kept"), std::string::npos) << kept->body;
}

// A path is read as its decoded text: the routes' words as well as their
// parameters, and neither when a segment is no text. Faults caught: words
// compared with the segments as sent, so that an escaped letter names no
// route; a segment's bytes not checked as UTF-8, or a decoded NUL let
// through to the store.
TEST_P(DocumentedRoutesTest, APathIsReadAsItsDecodedText)
{
    ServeProcess server = Serve({});
    httplib::Client client("127.0.0.1", server.port());
    const std::string json = "application/json";
    ASSERT_EQ(
        client.Post("/api/tables", R"({"name":"T\u00e9","columns":[{"name":"k","input":true},{"name":"v"}]})", json)
            ->status,
        201);
    ASSERT_EQ(client.Post("/api/tables/T%C3%A9/rows", R"({"input":"\u00e9t\u00e9","output":"summer"})", json)->status,
              201);
    ASSERT_EQ(client.Post("/api/tables/T%C3%A9/rows", R"({"input":"a/b","output":"slash"})", json)->status, 201);
    for (const auto& [path, output] : {std::pair{"/api/translate/T%C3%A9/%C3%A9t%C3%A9", "summer"},
                                       {"/%61pi/%74ranslate/T%c3%a9/%C3%A9t%C3%A9", "summer"},
                                       {"/api/translate/T%C3%A9/a%2Fb", "slash"}}) {
        const httplib::Result answer = client.Get(path);
        ASSERT_TRUE(answer) << path;
        EXPECT_EQ(answer->status, 200) << path;
        EXPECT_EQ(answer->body, std::string(R"({"output":")") + output + "\"}") << path;
    }
    const httplib::Result twice = client.Get("/%2561pi/translate/T%C3%A9/%C3%A9t%C3%A9");
    ASSERT_TRUE(twice);
    EXPECT_EQ(twice->status, 404) << "a segment decoded twice";
    for (const char* path : {"/api/translate/T%C3%A9/%C3%28", "/api/translate/T%C3%A9/%ED%A0%80",
                             "/api/translate/T%C3%A9/a%00", "/api/translate/T%C3%A9/%4", "/api/%FFtranslate/T/k"}) {
        const httplib::Result answer = client.Get(path);
        ASSERT_TRUE(answer) << path;
        EXPECT_EQ(answer->status, 400) << path << " " << answer->body;
    }
}

INSTANTIATE_TEST_SUITE_P(Stores, DocumentedRoutesTest, ::testing::Values(StoreKind::Sqlite), StoreKindName);

} // namespace
