// The history and change sets over HTTP, on a real server over real
// stores: each write's revision, the history's routes, answers as of a
// point, approval refused without accounts, direct writes refused on a
// table that needs approval, and alice's proposals approved by bob.
#include "support/serve_fixture.h"

#include <httplib.h>

#include <gtest/gtest.h>

#include <string>

namespace {

const std::string kJson = "application/json";

class ServeHistoryTest : public ServeTest {
protected:
    // Table T (k -> v) with the row a -> 1.
    static void TableWithARow(httplib::Client& client)
    {
        ASSERT_EQ(
            client.Post("/api/tables", R"({"name":"T","columns":[{"name":"k","input":true},{"name":"v"}]})", kJson)
                ->status,
            201);
        ASSERT_EQ(client.Post("/api/tables/T/rows", R"({"input":"a","output":"1"})", kJson)->status, 201);
    }
    // What another program does to a table's approval, straight in the store.
    void SetApprovalInTheStore(const std::string& table, bool required) const
    {
        m_store->Run(
            required ? "INSERT INTO QM_APPROVAL (ID_TABLE) SELECT ID_TABLE FROM QM_TABLES WHERE NOM = '" + table + "'"
                     : "DELETE FROM QM_APPROVAL WHERE ID_TABLE = (SELECT ID_TABLE FROM QM_TABLES WHERE NOM = '" +
                           table + "')");
    }
};

long long RevisionOf(const httplib::Result& answer)
{
    if (!answer || !answer->has_header("X-Valmorin-Revision")) return -1;
    return std::stoll(answer->get_header_value("X-Valmorin-Revision"));
}

std::string Revision(httplib::Client& client) { return Body(client.Get("/api/revision"))["revision"]; }

// Faults caught: a write answered without X-Valmorin-Revision, or with the
// revision read before the write (the previous one); the history route
// dropping its input filter, offset or limit; as_of ignored (today's
// answer given for an earlier point), or a point not made yet answered.
TEST_P(ServeHistoryTest, WritesAnswerWithTheirRevisionAndTheHistoryAnswersAsOfIt)
{
    ServeProcess server = Serve();
    httplib::Client client("127.0.0.1", server.port());
    const auto created =
        client.Post("/api/tables", R"({"name":"T","columns":[{"name":"k","input":true},{"name":"v"}]})", kJson);
    const auto added = client.Post("/api/tables/T/rows", R"({"input":"a","output":"1"})", kJson);
    const auto other = client.Post("/api/tables/T/rows", R"({"input":"b","output":"x"})", kJson);
    const auto changed = client.Put("/api/tables/T/rows/a", R"({"output":"2"})", kJson);
    ASSERT_GT(RevisionOf(created), 0);
    EXPECT_GT(RevisionOf(added), RevisionOf(created));
    EXPECT_GT(RevisionOf(other), RevisionOf(added));
    EXPECT_GT(RevisionOf(changed), RevisionOf(other));
    EXPECT_EQ(Revision(client), std::to_string(RevisionOf(changed)));
    const auto deleted = client.Delete("/api/tables/T/rows/b");
    EXPECT_EQ(deleted->status, 204);
    EXPECT_GT(RevisionOf(deleted), RevisionOf(changed));

    const std::string asOf = "/api/translate/T/a?as_of=";
    EXPECT_EQ(Body(client.Get(asOf + std::to_string(RevisionOf(added))))["output"], "1");
    EXPECT_EQ(Body(client.Get(asOf + std::to_string(RevisionOf(changed))))["output"], "2");
    EXPECT_EQ(Body(client.Get(asOf + "2999-01-01T00:00:00Z"))["output"], "2");
    EXPECT_EQ(client.Get(asOf + std::to_string(RevisionOf(deleted) + 1000))->status, 400) << "not made yet";
    EXPECT_EQ(client.Get(asOf + "yesterday")->status, 400);

    const Json row = Body(client.Get("/api/tables/T/history?input=a"));
    ASSERT_EQ(row["total"], 2) << row;
    EXPECT_EQ(row["list"][0]["before"], "1");
    EXPECT_EQ(row["list"][0]["after"], "2");
    EXPECT_EQ(row["list"][0]["revision"], std::to_string(RevisionOf(changed)));
    EXPECT_TRUE(row["list"][1]["before"].is_null()) << "a row added had nothing before";
    const Json page = Body(client.Get("/api/tables/T/history?offset=1&limit=2"));
    EXPECT_EQ(page["list"].size(), 2u);
    EXPECT_EQ(page["list"][0]["revision"], std::to_string(RevisionOf(changed)));
    EXPECT_GT(page["total"].get<int>(), row["total"].get<int>()) << "the table's history holds every row's";
}

// Faults caught: a server without accounts that takes proposals nobody
// else could approve, or sets approval; a refusal that does not say that
// approval needs --users; a refused call that writes all the same.
TEST_P(ServeHistoryTest, WithoutUsersApprovalIsRefusedSayingItNeedsUsers)
{
    ServeProcess server = Serve();
    httplib::Client client("127.0.0.1", server.port());
    TableWithARow(client);
    const std::string before = Revision(client);
    const std::pair<std::string, std::string> calls[] = {
        {"/api/changesets", R"({"table":"T","changes":[{"op":"put","input":"b","output":"2"}]})"},
        {"/api/changesets/1/approve", ""},
        {"/api/changesets/1/reject", R"({"reason":"no"})"},
        {"/api/revisions/1/revert", ""},
    };
    for (const auto& [path, body] : calls) {
        const auto refused = client.Post(path, body, kJson);
        EXPECT_EQ(refused->status, 409) << path;
        EXPECT_NE(refused->body.find("--users"), std::string::npos) << path << ": " << refused->body;
    }
    const auto approval = client.Put("/api/tables/T/approval", R"({"required":true})", kJson);
    EXPECT_EQ(approval->status, 409);
    EXPECT_NE(approval->body.find("--users"), std::string::npos) << approval->body;
    EXPECT_EQ(Revision(client), before);
}

// Faults caught: any one of the direct writes (a row's create, change,
// deletion or confirmation; a table's change, deletion or confirmation)
// let through on a table that needs approval, or refused without saying
// how to propose instead; approval read from another table, or from the
// table's first approval event instead of its last; the approval read
// from the history of the name, which follows a table renamed away and
// lends its approval to the table made under its old name.
TEST_P(ServeHistoryTest, ADirectWriteToATableThatNeedsApprovalIsRefused)
{
    const std::string accounts = Accounts(m_home, {{"alice", "wonder land"}, {"bob", "builder"}});
    ServeProcess server = Serve({"--users", accounts});
    httplib::Client alice("127.0.0.1", server.port()), bob("127.0.0.1", server.port());
    alice.set_basic_auth("alice", "wonder land");
    bob.set_basic_auth("bob", "builder");
    TableWithARow(alice);
    ASSERT_EQ(
        alice.Post("/api/tables", R"({"name":"U","columns":[{"name":"k","input":true},{"name":"v"}]})", kJson)->status,
        201);
    SetApprovalInTheStore("T", true);

    const auto refusedAll = [&](const char* why, const char* kept) {
        SCOPED_TRACE(why);
        const httplib::Result answers[] = {
            alice.Post("/api/tables/T/rows", R"({"input":"b","output":"2"})", kJson),
            alice.Put("/api/tables/T/rows/a", R"({"output":"2"})", kJson),
            alice.Delete("/api/tables/T/rows/a"),
            bob.Post("/api/tables/T/rows/a/confirm", "", kJson),
            alice.Patch("/api/tables/T", R"({"description":"changed"})", kJson),
            bob.Post("/api/tables/T/confirm", "", kJson),
            alice.Delete("/api/tables/T"),
        };
        for (const httplib::Result& answer : answers) {
            ASSERT_TRUE(answer);
            EXPECT_EQ(answer->status, 409) << answer->body;
            EXPECT_NE(answer->body.find("POST /api/changesets"), std::string::npos) << answer->body;
        }
        EXPECT_EQ(Body(alice.Get("/api/translate/T/a"))["output"], kept);
    };
    refusedAll("approval set", "1");
    EXPECT_EQ(alice.Post("/api/tables/U/rows", R"({"input":"b","output":"2"})", kJson)->status, 201)
        << "U needs no approval";

    SetApprovalInTheStore("T", false);
    EXPECT_EQ(alice.Put("/api/tables/T/rows/a", R"({"output":"2"})", kJson)->status, 200) << "approval lifted";
    SetApprovalInTheStore("T", true);
    refusedAll("approval set again", "2");

    // The approval is the table's, not its name's.
    m_store->Run("UPDATE QM_TABLES SET NOM = 'Old' WHERE NOM = 'T'");
    ASSERT_EQ(
        alice.Post("/api/tables", R"({"name":"T","columns":[{"name":"k","input":true},{"name":"v"}]})", kJson)->status,
        201);
    EXPECT_EQ(alice.Post("/api/tables/T/rows", R"({"input":"a","output":"new"})", kJson)->status, 201)
        << "a table made under a name whose former bearer needs approval";
    EXPECT_EQ(alice.Post("/api/tables/Old/rows", R"({"input":"b","output":"2"})", kJson)->status, 409)
        << "a table that needs approval, renamed";
}

// An import into a table that needs approval is read by the server to be
// proposed: what the component's import would refuse is refused before
// anything is proposed. Faults caught: a column the table lacks dropped
// (its values lost once approved); a file that names an INPUT twice
// proposed as whichever came last; a column left out of the header
// proposed empty; fields, fields per record and records held past the
// limits the import keeps (a stranger's upload taking the server's
// memory); a malformed file proposed up to its
// fault; a record longer than the header, its extra field dropped; an
// upload read whole however many or however large the changes it would
// propose, or refused for the records it holds rather than the changes it
// makes (a table larger
// than a change set could never be re-imported); an upload the table
// holds already answered with the component's refusal of an empty set; a
// proposal made on a server without accounts.
TEST_P(ServeHistoryTest, AnImportIntoATableThatNeedsApprovalIsCheckedBeforeItIsProposed)
{
    const std::string accounts = Accounts(m_home, {{"alice", "wonder land"}});
    ServeProcess server = Serve({"--users", accounts});
    httplib::Client alice("127.0.0.1", server.port());
    alice.set_basic_auth("alice", "wonder land");
    TableWithARow(alice);
    SetApprovalInTheStore("T", true);
    std::string manyFields;
    for (int i = 0; i < 5000; ++i) manyFields += "a" + std::to_string(i) + ",";
    const std::pair<std::string, std::string> refused[] = {
        {"k,w\r\nc,1\r\n", "which the table does not have"},
        {"k\r\nc\r\n", "lacks the table's column"},
        {"k,v\r\nc,\"" + std::string((1 << 20) + 1, 'x') + "\"\r\n", "record 2 of the upload has a field longer than"},
        {manyFields + "\r\n", "record 1 of the upload has more than 4096 fields"},
        {"k,v\r\nc,1\r\nc,2\r\n", "twice"},
        {"k,v\r\nc,\"1\r\n", "not well-formed"},
        {"", "no header"},
        {"k,v\r\nc,1,extra\r\n", "3 fields, the header 2"},
    };
    for (const auto& [file, named] : refused) {
        const auto answer = alice.Put("/api/tables/T/csv?mode=merge", file, "text/csv");
        ASSERT_TRUE(answer) << file.substr(0, 40) << ": " << httplib::to_string(answer.error());
        EXPECT_EQ(answer->status, 400) << file.substr(0, 40);
        EXPECT_NE(answer->body.find(named), std::string::npos) << answer->body.substr(0, 300);
    }
    EXPECT_EQ(alice.Get("/api/translate/T/c")->status, 404);

    std::string many = "k,v\r\n";
    for (int i = 0; i <= 50000; ++i) many += "r" + std::to_string(i) + ",x\r\n";
    const auto tooMany = alice.Put("/api/tables/T/csv?mode=merge", many, "text/csv");
    EXPECT_EQ(tooMany->status, 413) << tooMany->body;
    std::string tooLarge = "k,v\r\n";
    for (int i = 0; i < 20; ++i) tooLarge += "b" + std::to_string(i) + "," + std::string((1 << 20) - 16, 'x') + "\r\n";
    const auto bulky = alice.Put("/api/tables/T/csv?mode=merge", tooLarge, "text/csv");
    EXPECT_EQ(bulky->status, 413) << bulky->body.substr(0, 300);
    EXPECT_NE(bulky->body.find("bytes of changes"), std::string::npos) << bulky->body.substr(0, 300);
    EXPECT_TRUE(Body(alice.Get("/api/changesets?state=pending"))["list"].empty());
    const auto same = alice.Put("/api/tables/T/csv?mode=merge", "k,v\r\na,1\r\n", "text/csv");
    EXPECT_EQ(same->status, 200) << "an upload the table holds already, proposed as an empty change set";
    EXPECT_TRUE(Body(same)["changeset"].is_null()) << same->body;

    // A table larger than a change set, re-imported with one row changed.
    m_store->Run("WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < 50000) INSERT INTO "
                 "QM_VALMOR (ID_TABLE, INPUT, OUTPUT) SELECT t.ID_TABLE, 'r' || n.i, 'x' FROM n, QM_TABLES t WHERE "
                 "t.NOM = 'T';");
    const std::string oneChanged = many.substr(0, many.size() - 3) + "y\r\n";
    const auto large = alice.Put("/api/tables/T/csv?mode=merge", oneChanged, "text/csv");
    ASSERT_TRUE(large) << httplib::to_string(large.error());
    ASSERT_EQ(large->status, 201) << large->body;
    EXPECT_EQ(Body(large)["changed"], 1) << large->body;
    EXPECT_EQ(Body(large)["unchanged"], 50000) << large->body;

    ServeProcess alone = Serve();
    httplib::Client anyone("127.0.0.1", alone.port());
    const auto withoutUsers = anyone.Put("/api/tables/T/csv?mode=merge", "k,v\r\nc,1\r\n", "text/csv");
    EXPECT_EQ(withoutUsers->status, 409);
    EXPECT_NE(withoutUsers->body.find("--users"), std::string::npos) << withoutUsers->body;
}

// The whole workflow between two accounts; needs the component's change
// sets. Faults caught: a proposal applied before its approval; the
// proposer approving their own change set; an approval answered without
// the revision it made, or recorded without its approver; a CSV import
// into a table that needs approval applied at once instead of proposed;
// a rejected change set applied; a replacing import's proposal that keeps
// the rows the file lacks, or reads the file's columns by place instead of
// by the header; a revert that does not restore the answers; approval
// turned off by one user alone; an id no change set has answered as a
// malformed request (400) instead of a missing one (404), or a long one
// quoted back whole.
TEST_P(ServeHistoryTest, AliceProposesAndBobApproves)
{
    const std::string accounts = Accounts(m_home, {{"alice", "wonder land"}, {"bob", "builder"}});
    ServeProcess server = Serve({"--users", accounts});
    httplib::Client alice("127.0.0.1", server.port()), bob("127.0.0.1", server.port());
    alice.set_basic_auth("alice", "wonder land");
    bob.set_basic_auth("bob", "builder");
    TableWithARow(alice);
    const auto approval = alice.Put("/api/tables/T/approval", R"({"required":true})", kJson);
    ASSERT_EQ(approval->status, 200) << approval->body;
    EXPECT_EQ(Body(approval)["revision"], approval->get_header_value("X-Valmorin-Revision"));
    EXPECT_TRUE(Body(alice.Get("/api/tables/T/history"))["list"][0]["kind"] == "approval");

    const auto proposed =
        alice.Post("/api/changesets", R"({"table":"T","changes":[{"op":"put","input":"a","output":"2"}]})", kJson);
    ASSERT_EQ(proposed->status, 201) << proposed->body;
    const std::string changeSet = proposed->get_header_value("Location");
    EXPECT_EQ(Body(alice.Get("/api/translate/T/a"))["output"], "1") << "applied before its approval";
    EXPECT_EQ(Body(bob.Get("/api/changesets?state=pending"))["list"].size(), 1u);
    EXPECT_EQ(alice.Post(changeSet + "/approve", "", kJson)->status, 403) << "approved by its proposer";
    EXPECT_EQ(bob.Get("/api/changesets/999")->status, 404);
    const auto longId = bob.Get("/api/changesets/" + std::string(20000, 'Z'));
    EXPECT_EQ(longId->status, 404);
    EXPECT_LT(longId->body.size(), 256u) << "a stranger's path segment quoted back whole";
    EXPECT_EQ(bob.Post("/api/changesets/999/approve", "", kJson)->status, 404);
    EXPECT_EQ(bob.Post("/api/changesets/999/reject", R"({"reason":"no"})", kJson)->status, 404);

    const auto approved = bob.Post(changeSet + "/approve", "", kJson);
    ASSERT_EQ(approved->status, 200) << approved->body;
    EXPECT_EQ(Body(approved)["revision"], approved->get_header_value("X-Valmorin-Revision"));
    EXPECT_EQ(Body(alice.Get("/api/translate/T/a"))["output"], "2");
    const Json event = Body(alice.Get("/api/tables/T/history?input=a"))["list"][0];
    EXPECT_EQ(event["user"], "alice");
    EXPECT_EQ(event["approver"], "bob");
    EXPECT_TRUE(Body(bob.Get("/api/changesets?state=pending"))["list"].empty());

    const auto imported = alice.Put("/api/tables/T/csv?mode=merge", "k,v\r\nc,3\r\na,2\r\n", "text/csv");
    ASSERT_EQ(imported->status, 201) << imported->body;
    EXPECT_EQ(Body(imported)["added"], 1);
    EXPECT_EQ(Body(imported)["unchanged"], 1);
    EXPECT_EQ(alice.Get("/api/translate/T/c")->status, 404) << "imported before its approval";
    const std::string importSet = imported->get_header_value("Location");
    EXPECT_EQ(bob.Post(importSet + "/reject", R"({"reason":"not this quarter"})", kJson)->status, 200);
    EXPECT_EQ(bob.Post(importSet + "/approve", "", kJson)->status, 409) << "rejected, then approved";
    EXPECT_EQ(alice.Get("/api/translate/T/c")->status, 404);

    const auto revert =
        alice.Post("/api/revisions/" + approved->get_header_value("X-Valmorin-Revision") + "/revert", "", kJson);
    ASSERT_EQ(revert->status, 201) << revert->body;
    ASSERT_EQ(bob.Post(revert->get_header_value("Location") + "/approve", "", kJson)->status, 200);
    EXPECT_EQ(Body(alice.Get("/api/translate/T/a"))["output"], "1") << "the revert restored nothing";

    // The header in another order than the columns'.
    const auto replaced = alice.Put("/api/tables/T/csv?mode=replace", "v,k\r\n3,c\r\n", "text/csv");
    ASSERT_EQ(replaced->status, 201) << replaced->body;
    EXPECT_EQ(Body(replaced)["deleted"], 1);
    ASSERT_EQ(bob.Post(replaced->get_header_value("Location") + "/approve", "", kJson)->status, 200);
    EXPECT_EQ(alice.Get("/api/translate/T/a")->status, 404) << "the replacement kept a row the file lacks";
    EXPECT_EQ(Body(alice.Get("/api/translate/T/c"))["output"], "3");

    const auto off = alice.Put("/api/tables/T/approval", R"({"required":false})", kJson);
    ASSERT_EQ(off->status, 202) << off->body;
    EXPECT_EQ(alice.Put("/api/tables/T/rows/c", R"({"output":"4"})", kJson)->status, 409) << "off by one user alone";
    ASSERT_EQ(bob.Post(off->get_header_value("Location") + "/approve", "", kJson)->status, 200);
    EXPECT_EQ(alice.Put("/api/tables/T/rows/c", R"({"output":"4"})", kJson)->status, 200);
}

INSTANTIATE_TEST_SUITE_P(Stores, ServeHistoryTest, ::testing::Values(StoreKind::Sqlite, StoreKind::PostgreSql),
                         StoreKindName);

} // namespace
