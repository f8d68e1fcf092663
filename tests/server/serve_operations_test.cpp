// What operators' tools ask of a running server: /healthz, /readyz and
// /metrics, read with Debian's Prometheus client as Prometheus reads them.
#include "support/private_postgres.h"
#include "support/process.h"
#include "support/serve_fixture.h"
#include "support/serve_process.h"

#include <httplib.h>

#include <gtest/gtest.h>

#include <chrono>
#include <set>
#include <thread>
#include <vector>

namespace {

// The samples of a text in Prometheus's exposition format, as its own
// parser reads them: each sample's name and labels (a JSON object) with
// its value. The parser refuses a text that breaks the format.
Json Samples(const std::string& text)
{
    static constexpr char kParse[] = R"(
import json, sys
from prometheus_client.parser import text_string_to_metric_families
samples = []
for family in text_string_to_metric_families(sys.stdin.read()):
    for sample in family.samples:
        samples.append({"name": sample.name, "labels": sample.labels, "value": sample.value, "type": family.type})
print(json.dumps(samples))
)";
    const ProcessResult parsed = RunProcess({"/usr/bin/python3", "-c", kParse}, text);
    EXPECT_EQ(parsed.exitCode, 0) << parsed.err << "\n" << text;
    return parsed.exitCode == 0 ? Json::parse(parsed.out) : Json::array();
}

// The value of the sample of that name whose labels include those given;
// -1 when there is none.
double Sample(const Json& samples, const std::string& name, const Json& labels = Json::object())
{
    for (const Json& sample : samples) {
        if (sample["name"] != name) continue;
        bool matches = true;
        for (const auto& [label, value] : labels.items())
            matches = matches && sample["labels"].value(label, "") == value;
        if (matches) return sample["value"].get<double>();
    }
    return -1;
}

using ServeOperationsTest = ServeTest;

// Faults caught: /metrics shown to a stranger when the server has accounts;
// the inner address answering the API (its callers are asked nobody's
// name there) or refusing /metrics; /healthz or /readyz asking for an
// account (a load balancer has none) or saying more than whether the
// process and the store answer; a change taken on an operators' path.
TEST_P(ServeOperationsTest, OperatorsPathsAskNobodyButMetricsNeedsAnAccountOrTheInnerAddress)
{
    const std::string users = Accounts(m_home, {{"alice", "alice-password"}});
    const ServeProcess server = Serve({"--users", users, "--metrics-listen", "127.0.0.1:0"});
    httplib::Client client("127.0.0.1", server.port());
    const auto healthy = client.Get("/healthz");
    ASSERT_TRUE(healthy);
    EXPECT_EQ(healthy->status, 200);
    EXPECT_EQ(healthy->body, "ok\n");
    for (int wait = 0; wait < 100 && client.Get("/readyz")->status != 200; ++wait)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const auto ready = client.Get("/readyz");
    ASSERT_TRUE(ready);
    EXPECT_EQ(ready->status, 200) << "the store's first reading should be made within 5 s";
    EXPECT_EQ(ready->body, "ready\n");
    EXPECT_EQ(client.Get("/metrics")->status, 401);
    EXPECT_EQ(client.Post("/healthz", "", "application/json")->status, 405);

    client.set_basic_auth("alice", "alice-password");
    const auto shown = client.Get("/metrics");
    ASSERT_TRUE(shown);
    EXPECT_EQ(shown->status, 200);
    EXPECT_EQ(shown->get_header_value("Content-Type"), "text/plain; version=0.0.4; charset=utf-8");

    httplib::Client inner("127.0.0.1", server.metricsPort());
    const auto scraped = inner.Get("/metrics");
    ASSERT_TRUE(scraped);
    EXPECT_EQ(scraped->status, 200);
    EXPECT_GE(Sample(Samples(scraped->body), "valmorin_http_requests_total",
                     {{"method", "GET"}, {"route", "/healthz"}, {"status", "200"}}),
              1);
    EXPECT_EQ(inner.Get("/readyz")->status, 200);
    for (const char* path : {"/api/tables", "/", "/index.html", "/api/session"}) {
        const auto refused = inner.Get(path);
        ASSERT_TRUE(refused) << path;
        EXPECT_EQ(refused->status, 404) << path << ": " << refused->body;
    }
    inner.set_basic_auth("alice", "alice-password");
    EXPECT_EQ(CreateTable(inner), 404);
}

// Faults caught: a count kept for the wrong route or status, or from the
// caller's bytes (a path or method of a stranger's own making as a label:
// memory without bound, and a label that points into a request long gone,
// which reads as whatever came after it); buckets that do not add up to the count; the
// component's counters not reaching the server (a copy of the counter in
// each library); pending change sets not counted.
TEST_P(ServeOperationsTest, MetricsCountWhatTheServerAnswered)
{
    const std::string users = Accounts(m_home, {{"alice", "alice-password"}});
    const ServeProcess server = Serve({"--users", users});
    httplib::Client client("127.0.0.1", server.port());
    client.set_basic_auth("alice", "alice-password");
    ASSERT_EQ(CreateTable(client), 201);
    ASSERT_EQ(client.Post("/api/tables/T/rows", R"({"input":"k","output":"v"})", "application/json")->status, 201);
    for (int i = 0; i < 5; ++i) ASSERT_EQ(client.Get("/api/translate/T/k")->status, 200);
    for (int i = 0; i < 3; ++i) ASSERT_EQ(client.Get("/api/translate/T/missing")->status, 404);
    for (int i = 0; i < 20; ++i) {
        const std::string stranger = "/api/no-such-route-" + std::to_string(i);
        ASSERT_EQ(client.Get(stranger)->status, 404);
        httplib::Request odd;
        odd.method = "BREW" + std::to_string(i);
        odd.path = "/api/tables";
        ASSERT_TRUE(client.send(odd));
    }
    ASSERT_EQ(client.Put("/api/tables/T/approval", R"({"required":true})", "application/json")->status, 200);
    ASSERT_EQ(client
                  .Post("/api/changesets", R"({"table":"T","changes":[{"op":"put","input":"k","output":"w"}]})",
                        "application/json")
                  ->status,
              201);

    // The change sets are counted once a second.
    Json samples;
    for (int wait = 0; wait < 50 && Sample(samples, "valmorin_change_sets_pending") != 1; ++wait) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const auto scraped = client.Get("/metrics");
        ASSERT_TRUE(scraped);
        ASSERT_EQ(scraped->status, 200);
        samples = Samples(scraped->body);
    }
    const std::string translate = "/api/translate/{name}/{input}";
    EXPECT_EQ(Sample(samples, "valmorin_http_requests_total", {{"route", translate}, {"status", "200"}}), 5);
    EXPECT_EQ(Sample(samples, "valmorin_http_requests_total", {{"route", translate}, {"status", "404"}}), 3);
    EXPECT_EQ(Sample(samples, "valmorin_http_requests_total", {{"route", "none"}, {"status", "404"}}), 20);
    double answered = 0;
    double others = 0;
    const std::set<std::string> known = {"GET", "HEAD", "POST", "PUT", "PATCH", "DELETE", "OPTIONS", "other"};
    for (const Json& sample : samples)
        if (sample["name"] == "valmorin_http_requests_total") {
            answered += sample["value"].get<double>();
            const std::string method = sample["labels"]["method"].get<std::string>();
            EXPECT_TRUE(known.contains(method)) << "a stranger's method became a label: " << method;
            if (method == "other") others += sample["value"].get<double>();
            EXPECT_EQ(sample["labels"]["route"].get<std::string>().find("no-such"), std::string::npos);
        }
    EXPECT_EQ(others, 20) << "the strangers' methods were not counted as one";
    EXPECT_EQ(Sample(samples, "valmorin_http_request_duration_seconds_count"), answered);
    EXPECT_EQ(Sample(samples, "valmorin_http_request_duration_seconds_bucket", {{"le", "+Inf"}}), answered);
    EXPECT_GE(Sample(samples, "valmorin_lookups_total"), 8);
    EXPECT_EQ(Sample(samples, "valmorin_store_errors_total"), 0);
    EXPECT_EQ(Sample(samples, "valmorin_change_sets_pending"), 1);
}

// Faults caught: /readyz that answers "ready" from the process alone (a
// load balancer keeps sending to a server whose store is gone), or that
// waits on the store for every probe; the store's failures not counted.
TEST_P(ServeOperationsTest, AServerWhoseStoreIsOutOfReachIsNotReady)
{
    if (GetParam() != StoreKind::PostgreSql) GTEST_SKIP() << "a store of the network's";
    const ServeProcess server({"--connection", "Provider=PostgreSQL;Host=127.0.0.1;Port=1;Database=qms"},
                              Environment());
    httplib::Client client("127.0.0.1", server.port());
    EXPECT_EQ(client.Get("/healthz")->status, 200);
    const auto ready = client.Get("/readyz");
    ASSERT_TRUE(ready);
    EXPECT_EQ(ready->status, 503);
    EXPECT_EQ(ready->body, "not ready\n");
    EXPECT_EQ(client.Get("/api/tables")->status, 503);
    EXPECT_GE(Sample(Samples(client.Get("/metrics")->body), "valmorin_store_errors_total"), 1);
}

// Fault caught: a link lost and opened again that is not counted, or
// counted as an error of every later call.
TEST_P(ServeOperationsTest, AReconnectIsCounted)
{
    if (GetParam() != StoreKind::PostgreSql) GTEST_SKIP() << "only a link can be lost";
    const ServeProcess server = Serve({"--threads", "1"});
    httplib::Client client("127.0.0.1", server.port());
    ASSERT_EQ(client.Get("/api/tables")->status, 200);
    m_store->Column("SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE datname = current_database() AND "
                    "pid <> pg_backend_pid()");
    int answered = 0;
    for (int attempt = 0; attempt < 4 && answered != 200; ++attempt) answered = client.Get("/api/tables")->status;
    ASSERT_EQ(answered, 200);
    const Json samples = Samples(client.Get("/metrics")->body);
    EXPECT_GE(Sample(samples, "valmorin_store_reconnects_total"), 1);
    const double errors = Sample(samples, "valmorin_store_errors_total");
    for (int i = 0; i < 3; ++i) ASSERT_EQ(client.Get("/api/tables")->status, 200);
    EXPECT_EQ(Sample(Samples(client.Get("/metrics")->body), "valmorin_store_errors_total"), errors);
}

// Faults caught: /readyz that reads the store on the request's own thread,
// so that a store that hangs holds every probe, and with the workers held
// by calls to it, /healthz too (a liveness check would then restart a
// server whose store merely hangs); an old reading taken for a fresh one.
TEST_P(ServeOperationsTest, AStoreThatHangsHoldsUpNoProbe)
{
    if (GetParam() != StoreKind::PostgreSql) GTEST_SKIP() << "a store of the network's";
    if (const std::string unavailable = PrivatePostgres::Unavailable(); !unavailable.empty())
        GTEST_SKIP() << unavailable;
    const PrivatePostgres database;
    const ServeProcess server(
        {"--threads", "2", "--connection", database.connectionString(), "--metrics-listen", "127.0.0.1:0"},
        Environment());
    httplib::Client probe("127.0.0.1", server.port());
    probe.set_read_timeout(std::chrono::seconds(2));
    const auto ready = [&] {
        const auto answer = probe.Get("/readyz");
        return answer ? answer->status : 0;
    };
    for (int wait = 0; wait < 100 && ready() != 200; ++wait) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_EQ(ready(), 200);

    struct Paused {
        const PrivatePostgres& database;
        ~Paused() { database.Pause(false); }
    } paused{database};
    database.Pause(true);
    std::vector<std::thread> held;
    for (int call = 0; call < 2; ++call)
        held.emplace_back([&] {
            httplib::Client caller("127.0.0.1", server.port());
            caller.set_read_timeout(std::chrono::seconds(60));
            caller.Get("/api/tables");
        });
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    const auto healthy = probe.Get("/healthz");
    ASSERT_TRUE(healthy) << "/healthz waited on the store";
    EXPECT_EQ(healthy->status, 200);
    EXPECT_EQ(ready(), 503) << "a reading the store has not answered for 2 s is not ready";
    httplib::Client inner("127.0.0.1", server.metricsPort());
    inner.set_read_timeout(std::chrono::seconds(2));
    const auto scraped = inner.Get("/metrics");
    ASSERT_TRUE(scraped) << "/metrics waited on the store";
    EXPECT_GE(Sample(Samples(scraped->body), "valmorin_lookups_total"), 0);

    database.Pause(false);
    for (std::thread& call : held) call.join();
    for (int wait = 0; wait < 100 && ready() != 200; ++wait) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(ready(), 200);
}

INSTANTIATE_TEST_SUITE_P(Stores, ServeOperationsTest, ::testing::Values(StoreKind::Sqlite, StoreKind::PostgreSql),
                         StoreKindName);

} // namespace
