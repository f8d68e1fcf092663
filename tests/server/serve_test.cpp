// valmorin serve over real sockets: the API's routes on SQLite and
// PostgreSQL, who may act and how, the four-eyes rule, bad input, TLS, and
// a stop with requests in flight.
#include "support/private_postgres.h"
#include "support/process.h"
#include "support/serve_fixture.h"
#include "support/serve_process.h"
#include "support/store.h"
#include "support/temp_dir.h"

#include "platform/posix/unique_fd.h"
#include "platform/text/utf.h"

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <csignal>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <regex>
#include <thread>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const httplib::Headers kJson = {{"Content-Type", "application/json"}};

// Faults caught: a route that calls the wrong method or drops an argument;
// an absent translation answered 200 or with a body; a page, CSV or table
// read that is not JSON (or CSV) as documented.
TEST_P(ServeTest, EachRouteAnswersAsItsMethodDoes)
{
    ServeProcess server = Serve();
    httplib::Client client("127.0.0.1", server.port());
    const auto created = client.Post(
        "/api/tables",
        R"({"name":"Pays","description":"ISO 3166","columns":[{"name":"code","input":true},{"name":"nom"}]})",
        "application/json");
    ASSERT_TRUE(created) << httplib::to_string(created.error());
    EXPECT_EQ(created->status, 201) << created->body;
    EXPECT_EQ(Body(created)["description"], "ISO 3166");
    EXPECT_EQ(client.Post("/api/tables", R"({"name":"Pays"})", "application/json")->status, 409);

    EXPECT_EQ(client.Post("/api/tables/Pays/rows", R"({"input":"FR","output":"France"})", "application/json")->status,
              201);
    EXPECT_EQ(client.Post("/api/tables/Pays/rows", R"({"input":"FR","output":"again"})", "application/json")->status,
              409);
    EXPECT_EQ(
        client
            .Post("/api/tables/Pays/rows", R"({"input":"O'Brien","output":"apostrophes carried"})", "application/json")
            ->status,
        201);
    EXPECT_EQ(Body(client.Get("/api/translate/Pays/FR")), (Json{{"output", "France"}}));
    EXPECT_EQ(Body(client.Get("/api/translate/Pays/O%27Brien")), (Json{{"output", "apostrophes carried"}}));
    const auto absent = client.Get("/api/translate/Pays/XX");
    EXPECT_EQ(absent->status, 404);
    EXPECT_EQ(absent->body, "");
    EXPECT_EQ(
        client.Put("/api/tables/Pays/rows/FR", R"({"output":"République française"})", "application/json")->status,
        200);
    EXPECT_EQ(Body(client.Get("/api/translate/Pays/FR"))["output"], "République française");
    EXPECT_EQ(client.Put("/api/tables/Pays/rows/ZZ", R"({"output":"x"})", "application/json")->status, 404);

    const Json page = Body(client.Get("/api/tables/Pays/rows?contains=fran&offset=0&limit=1"));
    EXPECT_EQ(page["total"], 1);
    EXPECT_EQ(page.at("list").at(0).at("input"), "FR");
    const Json table = Body(client.Get("/api/tables/Pays"));
    EXPECT_EQ(table["columns"],
              Json::parse(R"([{"id":1,"name":"code","input":true},{"id":2,"name":"nom","input":false}])"));
    EXPECT_EQ(table["rows"], 2);
    EXPECT_EQ(client.Get("/api/tables/Nowhere")->status, 404);

    const auto changed = client.Patch(
        "/api/tables/Pays", R"({"name":"Countries","add":[{"name":"capital"}],"rename":[{"id":2,"name":"name"}]})",
        "application/json");
    EXPECT_EQ(changed->status, 200) << changed->body;
    EXPECT_EQ(Body(client.Get("/api/tables/Countries"))["columns"].size(), 3u);
    EXPECT_EQ(Body(client.Post("/api/identifiers/Invoices", "", "application/json"))["number"], 1);
    EXPECT_EQ(Body(client.Post("/api/identifiers/Invoices", "", "application/json"))["number"], 2);
    EXPECT_EQ(Body(client.Post("/api/identifiers/Orders?daily=1", "", "application/json"))["number"], 1);

    const auto exported = client.Get("/api/tables/Countries/csv");
    EXPECT_EQ(exported->get_header_value("Content-Type"), "text/csv; charset=utf-8");
    EXPECT_EQ(exported->body, "code,name,capital\r\nFR,République française,\r\nO'Brien,apostrophes carried,\r\n");
    const auto imported =
        client.Put("/api/tables/Countries/csv?mode=replace", "code,name,capital\nDE,Deutschland,Berlin\n", "text/csv");
    EXPECT_EQ(imported->status, 200) << imported->body;
    EXPECT_EQ(Body(imported)["deleted"], 2);
    EXPECT_EQ(Body(client.Get("/api/tables/Countries/rows"))["total"], 1);
    EXPECT_EQ(client.Delete("/api/tables/Countries/rows/DE")->status, 204);
    EXPECT_EQ(client.Delete("/api/tables/Countries")->status, 204);
    EXPECT_EQ(client.Delete("/api/tables/Countries")->status, 404);
    EXPECT_EQ(Body(client.Get("/api/tables"))["list"][0]["name"], "GenerationNumbers"); // the counters' table
    const Json description = Body(client.Get("/api/openapi.json"));
    EXPECT_EQ(description["openapi"], "3.0.3");
    EXPECT_TRUE(description["paths"].contains("/api/tables/{name}/rows/{input}/confirm"));
}

// Faults caught: a malformed request that reaches the store or half-writes;
// a refusal without a fitting status and message; stored hostile texts
// that break the JSON of a listing; a daily flag other than 0 or 1 taken
// for 0 (a running number drawn instead); a number past a double's range
// answered as the server's own failure; a refusal that tells the client
// the server's temporary files; a 405 that quotes a 10 KB method back.
TEST_P(ServeTest, BadInputIsRefusedWithItsStatusAndNothingIsWritten)
{
    ServeProcess server = Serve();
    httplib::Client client("127.0.0.1", server.port());
    ASSERT_EQ(CreateTable(client), 201);
    const std::string big(1100 * 1024, ' ');
    const std::string longMethod(10000, 'X');
    const struct {
        const char* method;
        std::string path, body, type;
        int status;
    } cases[] = {
        {"POST", "/api/tables", R"({"name":)", "application/json", 400},
        {"POST", "/api/tables", R"(["T2"])", "application/json", 400},
        {"POST", "/api/tables", R"({"name":7})", "application/json", 400},
        {"POST", "/api/tables", R"({"name":"T2","owner":"x"})", "application/json", 400},
        {"POST", "/api/tables", R"({"name":"T2","columns":[{"name":"a\u00a8b"}]})", "application/json", 400},
        {"POST", "/api/tables", R"({"name":"T2","columns":[{"name":"k","input":"yes"}]})", "application/json", 400},
        {"POST", "/api/tables", R"({"name":"T2"})", "text/plain", 415},
        {"POST", "/api/tables", R"({"name":"T2","description":")" + big + R"("})", "application/json", 413},
        {"POST", "/api/tables/T/rows", R"({"input":"a"})", "application/json", 400},
        {"POST", "/api/tables/T/rows", "{\"input\":\"a\xff\",\"output\":\"b\"}", "application/json", 400},
        {"POST", "/api/tables/Nope/rows", R"({"input":"a","output":"b"})", "application/json", 404},
        {"GET", "/api/tables/%G1", "", "", 400},
        {"GET", "/api/tables/%FF", "", "", 400},
        {"GET", "/api/tables/T/rows?offset=-1", "", "", 400},
        {"GET", "/api/nothing/here", "", "", 404},
        {"DELETE", "/api/tables/T/rows", "", "", 405},
        {"PUT", "/api/tables/T/rows", "x", "text/plain", 405},
        {longMethod.c_str(), "/api/tables/T/rows", "", "", 405},
        {"POST", "/api/nothing/here", "x", "text/plain", 404},
        {"PUT", "/index.html", "", "", 405},
        {"PATCH", "/api/tables/T", R"({"delete":["one"]})", "application/json", 400},
        {"PUT", "/api/tables/T/csv", "k,v\n1,a\n1,b\n", "text/csv", 400},
        {"POST", "/api/identifiers/it's", "", "application/json", 400},
        {"POST", "/api/identifiers/a%0Ab", "", "application/json", 400},
        {"POST", "/api/identifiers/N?daily=2", "", "application/json", 400},
        {"POST", "/api/identifiers/N?daily=yes", "", "application/json", 400},
        {"PATCH", "/api/tables/T", R"({"description":1e999999})", "application/json", 400},
        {"PUT", "/api/tables/T/csv", "k,w\n1,a\n", "text/csv", 400},
        {"POST", "/api/tables", R"({"name":"T\u0007"})", "application/json", 400},
        {"PATCH", "/api/tables/T", R"({"name":"T\r\nX"})", "application/json", 400},
        {"PATCH", "/api/tables/T", R"({"add":[{"name":"c\u001b[31m"}]})", "application/json", 400},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.method).substr(0, 20) + " " + c.path + " " + c.body.substr(0, 60));
        httplib::Request request;
        request.method = c.method;
        request.path = c.path;
        request.body = c.body;
        if (!c.type.empty()) request.set_header("Content-Type", c.type);
        const auto result = client.send(request);
        ASSERT_TRUE(result);
        EXPECT_EQ(result->status, c.status) << result->body;
        // A 405 says which methods the route takes (HTTP requires it).
        if (c.status == 405) {
            EXPECT_EQ(result->get_header_value("Allow"), c.path == "/index.html" ? "GET, HEAD" : "GET, HEAD, POST");
            EXPECT_LT(result->body.size(), 256u) << "a stranger's method quoted back whole";
        }
        const Json error = Body(result);
        EXPECT_TRUE(error.contains("error") && error["error"]["message"].is_string()) << result->body;
        EXPECT_EQ(result->body.find("valmorin-serve-"), std::string::npos) << result->body;
    }
    EXPECT_EQ(Body(client.Get("/api/tables"))["list"].size(), 1u) << "a refused request wrote something";
    EXPECT_EQ(Body(client.Get("/api/tables/T/rows"))["total"], 0);

    std::string hostile = "q\"b\\s/<script>alert(1)</script>\xE2\x80\xA8";
    for (char c = 1; c < 0x20; ++c) hostile += c;
    ASSERT_EQ(
        client.Post("/api/tables/T/rows", Json{{"input", hostile}, {"output", hostile}}.dump(), "application/json")
            ->status,
        201);
    const Json rows = Body(client.Get("/api/tables/T/rows"));
    EXPECT_EQ(rows.at("list").at(0).at("output"), hostile);

    const std::string markup = "<img src=x onerror=alert(1)> \"quoted\" it's";
    ASSERT_EQ(client.Post("/api/tables", Json{{"name", markup}}.dump(), "application/json")->status, 201);
    EXPECT_EQ(Body(client.Get("/api/tables/" + httplib::detail::encode_query_param(markup))).at("name"), markup);
}

// Two servers on one store, their clients racing: creators of the same
// rows, then updaters against deleters. Faults caught: a row created twice
// or lost, a row left behind by a delete answered as done, or a race
// answered as the server's failure.
TEST_P(ServeTest, TwoServersRacingKeepEveryRowOnce)
{
    ServeProcess first = Serve(), second = Serve();
    const auto race = [&](int threads, const std::function<int(httplib::Client&, int thread, int key)>& request) {
        std::map<int, int> statuses;
        std::mutex mutex;
        std::vector<std::thread> running;
        for (int thread = 0; thread < threads; ++thread)
            running.emplace_back([&, thread] {
                httplib::Client client("127.0.0.1", (thread % 2 ? second : first).port());
                for (int key = 0; key < 100; ++key) {
                    const int status = request(client, thread, key);
                    const std::lock_guard lock(mutex);
                    ++statuses[status];
                }
            });
        for (std::thread& thread : running) thread.join();
        return statuses;
    };
    httplib::Client client("127.0.0.1", first.port());
    ASSERT_EQ(CreateTable(client), 201);
    const auto created = race(4, [](httplib::Client& c, int thread, int key) {
        const auto made =
            c.Post("/api/tables/T/rows",
                   Json{{"input", "k" + std::to_string(key)}, {"output", "t" + std::to_string(thread)}}.dump(),
                   "application/json");
        return made ? made->status : -1;
    });
    EXPECT_EQ(created, (std::map<int, int>{{201, 100}, {409, 300}}));
    EXPECT_EQ(Body(client.Get("/api/tables/T/rows?limit=0"))["total"], 100);

    const auto changed = race(4, [](httplib::Client& c, int thread, int key) {
        const std::string path = "/api/tables/T/rows/k" + std::to_string(key);
        const auto done = thread < 2 ? c.Put(path, R"({"output":"changed"})", "application/json") : c.Delete(path);
        return done ? done->status : -1;
    });
    // The component's writes do not say how many rows they touched, so two
    // servers' deletes of one row may both answer 204 (and an update that
    // overlaps a delete 200): as if they had run one after the other. What
    // must hold is the store's state, and that no race is a failure.
    int answered = 0;
    for (const auto& [status, count] : changed) {
        EXPECT_TRUE(status == 200 || status == 204 || status == 404) << count << " requests answered " << status;
        answered += count;
    }
    EXPECT_EQ(answered, 400);
    EXPECT_GE(changed.count(204) ? changed.at(204) : 0, 100) << "a row that was not deleted";
    EXPECT_EQ(Body(client.Get("/api/tables/T/rows?limit=0"))["total"], 0);
    EXPECT_EQ(m_store->Column("SELECT COUNT(*) FROM QM_VALMOR"), std::vector<std::u16string>{u"0"});
}

// Faults caught: a change made in another name than the caller's; the
// last changer allowed to confirm; a confirmation that does not move the
// four-eyes turn.
TEST_P(ServeTest, AccountsActInTheirOwnNamesAndFourEyesHold)
{
    const std::string accounts = Accounts(m_home, {{"alice", "wonder land"}, {"bob", "builder"}});
    ServeProcess server = Serve({"--users", accounts});
    httplib::Client alice("127.0.0.1", server.port()), bob("127.0.0.1", server.port());
    alice.set_basic_auth("alice", "wonder land");
    bob.set_basic_auth("bob", "builder");
    ASSERT_EQ(CreateTable(alice), 201);
    ASSERT_EQ(alice.Post("/api/tables/T/rows", R"({"input":"a","output":"1"})", "application/json")->status, 201);
    EXPECT_EQ(Body(alice.Get("/api/tables/T/rows"))["list"][0]["lastactionuser"], "alice");
    EXPECT_EQ(alice.Post("/api/tables/T/rows/a/confirm", "", "application/json")->status, 409);
    EXPECT_EQ(bob.Post("/api/tables/T/rows/a/confirm", R"({"output":"2"})", "application/json")->status, 409)
        << "confirmed what bob was not shown";
    EXPECT_EQ(bob.Post("/api/tables/T/rows/a/confirm", R"({"output":"1"})", "application/json")->status, 200);
    EXPECT_EQ(bob.Post("/api/tables/T/rows/a/confirm", "", "application/json")->status, 409);
    EXPECT_EQ(alice.Post("/api/tables/T/rows/a/confirm", "", "application/json")->status, 200);
    EXPECT_EQ(alice.Post("/api/tables/T/confirm", "", "application/json")->status, 409);
    EXPECT_EQ(bob.Post("/api/tables/T/confirm", "", "application/json")->status, 200);
    EXPECT_EQ(Body(bob.Get("/api/tables/T"))["lastactionuser"], "bob");
    EXPECT_EQ(Body(bob.Get("/api/translate/T/a"))["output"], "1") << "a confirmation changed the value";
}

INSTANTIATE_TEST_SUITE_P(Stores, ServeTest, ::testing::Values(StoreKind::Sqlite, StoreKind::PostgreSql), StoreKindName);

class ServeAccessTest : public ServeTest {};

// Faults caught: a wrong password let in; no throttle on guessing; a
// cookie session that needs no CSRF token for changes, or whose cookie
// lacks HttpOnly or SameSite; a log line that shows a password or cookie.
TEST_P(ServeAccessTest, BasicCookiesCsrfAndTheThrottle)
{
    const std::string accounts = Accounts(m_home, {{"alice", "secret-pass"}});
    ServeProcess server = Serve({"--users", accounts});
    httplib::Client anonymous("127.0.0.1", server.port());
    EXPECT_EQ(anonymous.Get("/api/tables")->status, 401);
    EXPECT_TRUE(anonymous.Get("/api/tables")->has_header("WWW-Authenticate"));

    const auto login =
        anonymous.Post("/api/session", R"({"user":"alice","password":"secret-pass"})", "application/json");
    ASSERT_EQ(login->status, 200);
    const std::string cookie = login->get_header_value("Set-Cookie");
    EXPECT_NE(cookie.find("HttpOnly"), std::string::npos);
    EXPECT_NE(cookie.find("SameSite=Strict"), std::string::npos);
    EXPECT_NE(cookie.find("Max-Age="), std::string::npos);
    const std::string session = cookie.substr(0, cookie.find(';'));
    const std::string csrf = Body(login)["csrf"];
    httplib::Headers withCookie = {{"Cookie", session}};
    EXPECT_EQ(anonymous.Get("/api/tables", withCookie)->status, 200);
    // A second cookie of the name, as a neighbouring site can set: which
    // one is the server's cannot be told, and neither is taken.
    EXPECT_EQ(anonymous.Get("/api/tables", {{"Cookie", "valmorin_session=forged; " + session}})->status, 401);
    EXPECT_EQ(anonymous.Get("/api/tables", {{"Cookie", session + "; valmorin_session=forged"}})->status, 401);
    const std::string table = R"({"name":"T","columns":[{"name":"k","input":true},{"name":"v"}]})";
    EXPECT_EQ(anonymous.Post("/api/tables", withCookie, table, "application/json")->status, 403);
    withCookie.emplace("X-CSRF-Token", csrf);
    EXPECT_EQ(anonymous.Post("/api/tables", withCookie, table, "application/json")->status, 201);
    EXPECT_EQ(Body(anonymous.Get("/api/session", withCookie))["user"], "alice");
    EXPECT_EQ(anonymous.Delete("/api/session", withCookie)->status, 204);
    EXPECT_EQ(anonymous.Get("/api/tables", withCookie)->status, 401);

    httplib::Client guesser("127.0.0.1", server.port());
    guesser.set_basic_auth("alice", "wrong");
    for (int i = 0; i < 5; ++i) EXPECT_EQ(guesser.Get("/api/tables")->status, 401);
    EXPECT_EQ(guesser.Get("/api/tables")->status, 429);
    guesser.set_basic_auth("alice", "secret-pass");
    EXPECT_EQ(guesser.Get("/api/tables")->status, 429) << "the throttle lets the right password through at once";

    server.Stop();
    const std::string log = server.log();
    EXPECT_EQ(log.find("secret-pass"), std::string::npos);
    EXPECT_EQ(log.find(session.substr(session.find('=') + 1)), std::string::npos);
    EXPECT_NE(log.find(" alice POST /api/tables 201 "), std::string::npos) << log;
}

// Faults caught: behind a proxy every client one address, so that one
// stranger's guesses lock every account out; X-Forwarded-For taken from a
// client that is no trusted proxy (a client then picks its own address, and
// with it loopback rights), or its own field taken instead of the one the
// proxy appended last; a name that is no address taken for one.
TEST_P(ServeAccessTest, ClientsBehindATrustedProxyAreTheAddressesItNames)
{
    const std::string accounts = Accounts(m_home, {{"alice", "secret-pass"}});
    ServeProcess proxied = Serve({"--users", accounts, "--trusted-proxy", "127.0.0.1"});
    httplib::Client client("127.0.0.1", proxied.port());
    const auto from = [](const char* address) { return httplib::Headers{{"X-Forwarded-For", address}}; };
    client.set_basic_auth("mallory", "guess");
    int guessed = 0;
    for (int guess = 0; guess < 20 && guessed != 429; ++guess)
        guessed = client.Get("/api/tables", from("203.0.113.5"))->status;
    ASSERT_EQ(guessed, 429) << "the guesser's address was never locked";
    client.set_basic_auth("alice", "secret-pass");
    EXPECT_EQ(client.Get("/api/tables", from("203.0.113.6"))->status, 200);
    EXPECT_EQ(client.Get("/api/tables", from("203.0.113.6, 203.0.113.5"))->status, 429);
    EXPECT_EQ(
        client.Get("/api/tables", {{"X-Forwarded-For", "203.0.113.6"}, {"X-Forwarded-For", "203.0.113.5"}})->status,
        429);
    EXPECT_EQ(client.Get("/api/tables", from("203.0.113.5, 203.0.113.6"))->status, 200);
    EXPECT_EQ(client.Get("/api/tables", from("not-an-address"))->status, 400);
    proxied.Stop();
    // A line for each answer: when, who, what, its status and how long it took.
    EXPECT_TRUE(std::regex_search(
        proxied.log(),
        std::regex(R"((^|\n)\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ 203\.0\.113\.6 alice GET /api/tables 200 \d+\.\dms\n)")))
        << proxied.log();

    // Without accounts only loopback clients are served: those the proxy
    // names from beyond are not, and a field from anyone else is no proxy's.
    ServeProcess open = Serve({"--trusted-proxy", "127.0.0.1"});
    httplib::Client opened("127.0.0.1", open.port());
    EXPECT_EQ(opened.Get("/api/tables", from("203.0.113.5"))->status, 403);
    EXPECT_EQ(opened.Get("/api/tables", from("127.0.0.1"))->status, 200);
    EXPECT_EQ(opened.Get("/api/tables")->status, 200) << "the proxy's own request";
    ServeProcess untrusting = Serve({"--trusted-proxy", "192.0.2.1"});
    EXPECT_EQ(httplib::Client("127.0.0.1", untrusting.port()).Get("/api/tables", from("203.0.113.5"))->status, 200);
}

// Faults caught: a server listening beyond loopback in clear; TLS that
// does not serve, or a session cookie without Secure under it.
TEST_P(ServeAccessTest, TlsAndWhereTheServerListens)
{
    const auto [status, said] = ServeRefusal({"--listen", "0.0.0.0:0"});
    EXPECT_EQ(status, 2);
    EXPECT_NE(said.find("without TLS is refused"), std::string::npos) << said;

    const std::string key = (m_home / "key.pem").string(), certificate = (m_home / "cert.pem").string();
    const ProcessResult made =
        RunProcess({"/usr/bin/openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=localhost",
                    "-addext", "subjectAltName=IP:127.0.0.1", "-days", "1", "-keyout", key, "-out", certificate});
    ASSERT_EQ(made.exitCode, 0) << made.err;
    const std::string accounts = Accounts(m_home, {{"alice", "pw"}});
    ServeProcess server = Serve({"--users", accounts, "--tls-cert", certificate, "--tls-key", key});
    httplib::SSLClient client("127.0.0.1", server.port());
    client.set_ca_cert_path(certificate.c_str());
    client.enable_server_certificate_verification(true);
    client.set_basic_auth("alice", "pw");
    const auto listed = client.Get("/api/tables");
    ASSERT_TRUE(listed) << httplib::to_string(listed.error());
    EXPECT_EQ(listed->status, 200);
    const auto login = client.Post("/api/session", R"({"user":"alice","password":"pw"})", "application/json");
    EXPECT_NE(login->get_header_value("Set-Cookie").find("; Secure"), std::string::npos);
    EXPECT_TRUE(login->get_header_value("Set-Cookie").starts_with("__Host-valmorin_session="))
        << "a cookie a neighbouring site can overwrite";
    httplib::Client clear("127.0.0.1", server.port());
    EXPECT_FALSE(clear.Get("/api/tables")) << "answered in clear on the TLS port";
}

// A hangup (the terminal or ssh session the server ran in closed) stops it
// as a SIGTERM does, with its exit status, not as a killed process.
// Fault caught: SIGHUP left to its default, which ends the server at once:
// requests in flight cut, the log's last lines lost.
TEST_P(ServeAccessTest, AHangupStopsTheServerCleanly)
{
    ServeProcess server = Serve();
    ASSERT_EQ(::kill(server.pid(), SIGHUP), 0);
    EXPECT_EQ(server.Stop(), 0);
}

// An import in flight at a stop is answered: done whole (it ended before
// the stop reached it) or cancelled and rolled back (503, retry later).
// Fault caught: a stop that cuts the requests in flight without an answer,
// or leaves a half-imported table.
TEST_P(ServeAccessTest, AStopLetsTheRequestsInFlightFinish)
{
    ServeProcess server = Serve();
    std::string csv = "k,v\n";
    for (int i = 0; i < 60000; ++i) csv += "key" + std::to_string(i) + ",value\n";
    int status = 0;
    std::thread upload([&] {
        httplib::Client client("127.0.0.1", server.port());
        client.set_read_timeout(60);
        const auto result = client.Put("/api/tables/Big/csv", csv, "text/csv");
        status = result ? result->status : -1;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(server.Stop(), 0);
    upload.join();
    ASSERT_TRUE(status == 200 || status == 503) << status;
    EXPECT_EQ(m_store->Column("SELECT COUNT(*) FROM QM_VALMOR"),
              std::vector<std::u16string>{status == 200 ? u"60000" : u"0"});
}

// Fault caught: HEAD refused, or answered with the body GET would carry.
TEST_P(ServeAccessTest, HeadIsAnsweredAsGetWithoutItsBody)
{
    ServeProcess server = Serve();
    httplib::Client client("127.0.0.1", server.port());
    ASSERT_EQ(CreateTable(client), 201);
    const auto got = client.Get("/api/tables/T");
    const auto head = client.Head("/api/tables/T");
    ASSERT_TRUE(head);
    EXPECT_EQ(head->status, 200);
    EXPECT_EQ(head->body, "");
    EXPECT_EQ(head->get_header_value("Content-Length"), std::to_string(got->body.size()));
    EXPECT_EQ(client.Head("/")->status, 200) << "the console's page";
}

// Fault caught: a server that finds the component by its registration
// only, failing every request (0x800401F3) where the command itself works.
TEST_P(ServeAccessTest, AnUnregisteredBuildServes)
{
    const TempDir emptyRegistry;
    std::map<std::string, std::string> environment = Environment();
    environment["PELKOR_REGISTRY_DIR"] = emptyRegistry.path().string();
    const ServeProcess server({"--connection", valmorin::text::Utf16ToUtf8(m_store->connectionString())}, environment);
    httplib::Client client("127.0.0.1", server.port());
    const auto listed = client.Get("/api/tables");
    ASSERT_TRUE(listed);
    EXPECT_EQ(listed->status, 200) << listed->body;
}

// Faults caught: uploads and exports a killed server left in the temporary
// folder kept for ever (also when its process id lives on in another
// process); a link in such a folder followed when it is removed; a running
// server's folder, or a file that only looks like one, removed; the
// server's temporary path told to a client; uploads and exports made where
// other accounts can read them.
TEST_P(ServeAccessTest, UploadsLeftByAKilledServerAreRemovedAtStart)
{
    const TempDir temporary;
    const pid_t gone = ::fork();
    if (gone == 0) ::_exit(0);
    ::waitpid(gone, nullptr, 0);
    const auto leave = [&](const std::string& name) {
        std::ofstream(temporary / name) << "k,v\n";
        return temporary / name;
    };
    const auto stale = leave("valmorin-serve-" + std::to_string(gone) + "-abcdef");
    const auto reused = leave("valmorin-serve-" + std::to_string(::getppid()) + "-ghijkl");
    const auto running = leave("valmorin-serve-" + std::to_string(::getpid()) + "-abcdef");
    // A server at work holds its upload locked.
    const UniqueFd held(::open(running.c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_EQ(::flock(held.get(), LOCK_EX | LOCK_NB), 0);
    const auto lookalike = leave("valmorin-serve-notes.txt");
    const std::filesystem::path staleFolder = temporary / ("valmorin-serve-" + std::to_string(gone) + "-zzzzzz");
    std::filesystem::create_directory(staleFolder);
    std::ofstream(staleFolder / "file-abcdef") << "an export's rows\n";
    const std::filesystem::path outside = leave("someone-elses.csv");
    std::filesystem::create_symlink(outside, staleFolder / "file-linked");
    std::map<std::string, std::string> environment = Environment();
    environment["TMPDIR"] = temporary.path().string();
    const ServeProcess server({"--connection", valmorin::text::Utf16ToUtf8(m_store->connectionString())}, environment);
    EXPECT_FALSE(std::filesystem::exists(stale));
    EXPECT_FALSE(std::filesystem::exists(reused)) << "a live process of the same id kept a file nobody holds";
    EXPECT_TRUE(std::filesystem::exists(running));
    EXPECT_TRUE(std::filesystem::exists(lookalike));
    EXPECT_FALSE(std::filesystem::exists(staleFolder));
    EXPECT_TRUE(std::filesystem::exists(outside)) << "a link in a left folder was followed";

    httplib::Client client("127.0.0.1", server.port());
    ASSERT_EQ(CreateTable(client), 201);
    const auto refused = client.Put("/api/tables/T/csv", "k,w\n1,a\n", "text/csv");
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->status, 400);
    EXPECT_EQ(refused->body.find(temporary.path().string()), std::string::npos) << refused->body;
    EXPECT_NE(refused->body.find("upload"), std::string::npos) << refused->body;
    // The upload's file goes with its exchange, once the answer is sent.
    const std::filesystem::path own = temporary / ("valmorin-serve-" + std::to_string(server.pid()));
    std::filesystem::path folder;
    for (const auto& entry : std::filesystem::directory_iterator(temporary.path()))
        if (entry.path().string().starts_with(own.string() + "-")) folder = entry.path();
    ASSERT_FALSE(folder.empty()) << "the server made no folder of its own";
    struct stat status {};
    ASSERT_EQ(::lstat(folder.c_str(), &status), 0);
    EXPECT_TRUE(S_ISDIR(status.st_mode));
    EXPECT_EQ(status.st_mode & 07777, 0700u);
    const auto files = [&] { return std::distance(std::filesystem::directory_iterator(folder), {}); };
    for (const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
         files() != 0 && std::chrono::steady_clock::now() < deadline;)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(files(), 0) << "the upload's file outlived its request";
}

// Faults caught: a store out of reach answered as the caller's mistake or
// the server's own failure, so a client cannot tell to retry later; why it
// is out of reach (its host, its port, its file) told to the client.
TEST_P(ServeAccessTest, AStoreOutOfReachIsServiceUnavailable)
{
    const ServeProcess server({"--connection", "Provider=PostgreSQL;Server=127.0.0.1;Port=1;Database=qms"},
                              Environment());
    httplib::Client client("127.0.0.1", server.port());
    const auto listed = client.Get("/api/tables");
    ASSERT_TRUE(listed);
    EXPECT_EQ(listed->status, 503) << listed->body;
    EXPECT_TRUE(Body(listed).at("error").at("message").is_string());
    EXPECT_EQ(listed->body.find("Port"), std::string::npos) << "a stranger is told where the store is";
    EXPECT_EQ(listed->body.find("127.0.0.1"), std::string::npos) << "a stranger is told where the store is";
}

// A server whose store link goes away (the database server restarts, or an
// administrator ends its sessions): the request in flight may fail with
// 503; the next ones are answered, and a counter is drawn once, not twice.
//
// Fault caught: a server that keeps dead sessions in its workers' objects,
// answering 503 until it is restarted itself.
class ServeHostTest : public ServeTest {
protected:
    static void ExpectTheServerRecovers(httplib::Client& client)
    {
        for (int request = 0; request < 4; ++request) { // one per worker that held a session, at most
            const auto drawn = client.Post("/api/identifiers/N", "", "application/json");
            ASSERT_TRUE(drawn);
            if (drawn->status == 200) {
                EXPECT_EQ(Body(drawn)["number"], 2);
                EXPECT_EQ(Body(client.Get("/api/translate/T/k")), (Json{{"output", "v"}}));
                return;
            }
            EXPECT_EQ(drawn->status, 503) << drawn->body;
        }
        ADD_FAILURE() << "the server did not recover";
    }
    static void Prepare(httplib::Client& client)
    {
        ASSERT_EQ(CreateTable(client), 201);
        ASSERT_EQ(client.Post("/api/tables/T/rows", R"({"input":"k","output":"v"})", "application/json")->status, 201);
        ASSERT_EQ(Body(client.Post("/api/identifiers/N", "", "application/json"))["number"], 1);
    }
};

TEST_P(ServeHostTest, AServerOutlivesTheEndOfItsStoreSessions)
{
    ServeProcess server = Serve({"--threads", "1"});
    httplib::Client client("127.0.0.1", server.port());
    Prepare(client);
    m_store->Column("SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE datname = current_database() AND "
                    "pid <> pg_backend_pid()");
    ExpectTheServerRecovers(client);
}

TEST_P(ServeHostTest, AServerOutlivesARestartOfTheDatabaseServer)
{
    if (const std::string unavailable = PrivatePostgres::Unavailable(); !unavailable.empty())
        GTEST_SKIP() << unavailable;
    const PrivatePostgres database;
    const ServeProcess server({"--threads", "1", "--connection", database.connectionString()}, Environment());
    httplib::Client client("127.0.0.1", server.port());
    Prepare(client);
    database.Restart();
    ExpectTheServerRecovers(client);
}

INSTANTIATE_TEST_SUITE_P(Stores, ServeHostTest, ::testing::Values(StoreKind::PostgreSql), StoreKindName);

INSTANTIATE_TEST_SUITE_P(Stores, ServeAccessTest, ::testing::Values(StoreKind::Sqlite), StoreKindName);

} // namespace
