// Change sets on every store: proposed by one user, approved by another,
// applied whole in the proposer's name or not at all; rejections; reverts;
// and the history pruned by valmorin history prune.
#include "support/admin.h"
#include "support/ado_connection.h"
#include "support/component.h"

#include "platform/text/json_nesting.h"
#include "platform/text/utf.h"

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace {

using Json = nlohmann::json;
using valmorin::text::Utf16ToUtf8;
using valmorin::text::Widen;

std::u16string ErrorDescription()
{
    CComPtr<IErrorInfo> info;
    CComBSTR text;
    if (GetErrorInfo(0, &info) == S_OK && info) info->GetDescription(&text);
    return std::u16string(text.view());
}

bool Mentions(const std::u16string& text, std::u16string_view part) { return text.find(part) != std::u16string::npos; }

class ChangeSetTest : public StoreTest {
protected:
    void SetUp() override
    {
        StoreTest::SetUp();
        if (IsSkipped()) return;
        ASSERT_EQ(m_component.QueryInterface(m_v3), S_OK);
        ASSERT_EQ(m_component->TableCreate(Arg(u"admin"), Arg(u"T"), Arg(u"d"), Arg(u"in\u00A8out"), Arg(u"1\u00A80")),
                  S_OK);
        Put(u"a", u"1");
        Put(u"b", u"2");
    }

    void Put(const std::u16string& input, const std::u16string& output)
    {
        ASSERT_EQ(m_component->CorrespondanceCreate(Arg(u"admin"), Arg(u"T"), Arg(input), Arg(output)), S_OK);
    }
    void Update(const std::u16string& input, const std::u16string& output)
    {
        ASSERT_EQ(m_component->CorrespondanceUpdate(Arg(u"admin"), Arg(u"T"), Arg(input), Arg(input), Arg(output)),
                  S_OK);
    }
    void RequireApproval()
    {
        BstrResult revision;
        ASSERT_EQ(m_v3->TableApprovalSet(Arg(u"admin"), Arg(u"T"), 1, &revision), S_OK)
            << Utf16ToUtf8(ErrorDescription());
        EXPECT_EQ(revision.text(), CurrentRevision());
        LONG required = 0;
        EXPECT_EQ(m_v3->TableApprovalRequired(Arg(u"T"), &required), S_OK);
        EXPECT_EQ(required, 1);
    }
    LONG Propose(const char16_t* user, const std::string& changes)
    {
        LONG id = 0;
        EXPECT_EQ(m_v3->ChangeSetPropose(Arg(user), Arg(Widen(changes)), &id), S_OK) << Utf16ToUtf8(ErrorDescription());
        return id;
    }
    HRESULT Approve(const char16_t* user, LONG id, std::u16string* revision = nullptr)
    {
        BstrResult made;
        const HRESULT hr = m_v3->ChangeSetApprove(Arg(user), id, &made);
        if (revision) *revision = made.text();
        return hr;
    }
    std::u16string Translate(const std::u16string& input)
    {
        BstrResult answer;
        EXPECT_TRUE(SUCCEEDED(m_component->translate(Arg(u"T"), Arg(input), &answer)));
        return answer.text();
    }
    std::u16string AsOf(const std::u16string& input, const std::u16string& point)
    {
        BstrResult answer;
        EXPECT_EQ(m_v3->translateAsOf(Arg(u"T"), Arg(input), Arg(point), &answer), S_OK)
            << Utf16ToUtf8(point) << ": " << Utf16ToUtf8(ErrorDescription());
        return answer.text();
    }
    Json Show(LONG id)
    {
        BstrResult shown;
        EXPECT_EQ(m_v3->ChangeSetShow(id, &shown), S_OK) << Utf16ToUtf8(ErrorDescription());
        return Json::parse(Utf16ToUtf8(shown.text()));
    }
    std::u16string CurrentRevision()
    {
        BstrResult revision;
        EXPECT_EQ(m_v3->Revision(&revision), S_OK);
        return revision.text();
    }
    Rows RevisionRow(const std::u16string& revision)
    {
        return m_store->Column("SELECT COALESCE(USER_CODE, '-') || '/' || COALESCE(APPROVER, '-') || '/' || "
                               "COALESCE(CAST(CHANGESET AS TEXT), '-') FROM QM_REVISIONS WHERE REVISION = " +
                               Utf16ToUtf8(revision));
    }
    static std::string Next(const std::u16string& revision)
    {
        return std::to_string(std::stoll(Utf16ToUtf8(revision)) + 1);
    }

    CComPtr<IValmorin3> m_v3;
};

constexpr const char* kRowChanges = R"({"table": "T", "changes": [{"op": "put", "input": "a", "output": "A"},
    {"op": "delete", "input": "b"}, {"op": "put", "input": "c", "output": "C"}]})";

// Faults caught: the proposer allowed to approve their own change set (or
// only when named alike in another case of the call, or in another letter
// case, fullwidth letters, an accent written apart, or with white space or
// an invisible mark added); a refused approval
// that wrote part of the set or opened its revision; a proposal in no
// one's name, or in a blank one, or a name holding an invisible mark, a
// control character or one that reorders text; a table whose changes need approval
// written by the proposal.
TEST_P(ChangeSetTest, TheProposerCannotApproveAndNothingIsWritten)
{
    RequireApproval();
    const LONG id = Propose(u"alice", kRowChanges);
    const LONG accented = Propose(u"\u00E9lodie", kRowChanges);
    EXPECT_EQ(Translate(u"a"), u"1") << "a change set that needs approval applied on proposal";
    const std::vector<std::u16string> before = StoreDump(*m_store);
    const std::u16string revision = CurrentRevision();

    EXPECT_EQ(Approve(u"alice", id), E_ACCESSDENIED);
    EXPECT_TRUE(Mentions(ErrorDescription(), u"alice")) << Utf16ToUtf8(ErrorDescription());
    EXPECT_EQ(StoreDump(*m_store), before);
    EXPECT_EQ(CurrentRevision(), revision);
    EXPECT_EQ(Show(id).at("state"), "pending");

    for (const char16_t* alike : {u"ALICE", u"Alice", u" alice", u"alice\t", u"alice\u200B", u"\uFEFFalice",
                                  u"ali\u00ADce", u"alice\u202E", u"\u00A0alice", u"alice\u034F", u"alice\uFE0F",
                                  u"ali\u3164ce", u"alice\U000E0020", u"\uFF41\uFF4C\uFF49\uFF43\uFF45"}) {
        const HRESULT hr = Approve(alike, id);
        EXPECT_TRUE(hr == E_ACCESSDENIED || hr == E_INVALIDARG) << Utf16ToUtf8(alike) << ": " << std::hex << hr;
    }
    EXPECT_EQ(Approve(u"\u00C9LODIE", accented), E_ACCESSDENIED) << "a proposer in other letters of a wider script";
    EXPECT_EQ(Approve(u"E\u0301lodie", accented), E_ACCESSDENIED) << "an accent written apart from its letter";
    EXPECT_EQ(StoreDump(*m_store), before);
    EXPECT_EQ(CurrentRevision(), revision);

    LONG none = 0;
    for (const char16_t* blank : {u"", u"   ", u"\u3000", u"\u200B", u"\u3164", u"\u115F\u034F"})
        EXPECT_EQ(m_v3->ChangeSetPropose(Arg(blank), Arg(Widen(kRowChanges)), &none), E_INVALIDARG)
            << Utf16ToUtf8(blank);
    EXPECT_EQ(Approve(u"", id), E_INVALIDARG);
    // Names that read as another's, told apart by nothing a reader sees.
    for (const char16_t* unshowable : {u"b\u200Bob", u"b\u202Eob", u"b\u0007ob"}) {
        EXPECT_EQ(m_v3->ChangeSetPropose(Arg(unshowable), Arg(Widen(kRowChanges)), &none), E_INVALIDARG)
            << Utf16ToUtf8(unshowable);
        EXPECT_EQ(Approve(unshowable, id), E_INVALIDARG) << Utf16ToUtf8(unshowable);
    }
    EXPECT_EQ(Approve(u"bob", id), S_OK) << Utf16ToUtf8(ErrorDescription());
}

// Faults caught: rows written in the approver's name (USER_CODE_LASTACTION
// must stay the proposer's); a revision that names no approver or change
// set, or a second revision for one approval; a put of an absent row that
// updates nothing; the values replaced read at approval instead of at
// proposal; a revision returned that is not the one made; a listing that
// counts a set's changes otherwise than reading it whole.
TEST_P(ChangeSetTest, AnApprovalAppliesTheWholeSetInTheProposersName)
{
    RequireApproval();
    const LONG id = Propose(u"alice", kRowChanges);
    const Json proposed = Show(id);
    ASSERT_EQ(proposed.at("changes").size(), 3u);
    EXPECT_EQ(proposed.at("changes")[0].at("replaces"), "1");
    EXPECT_EQ(proposed.at("changes")[1].at("replaces"), "2");
    EXPECT_TRUE(proposed.at("changes")[2].at("replaces").is_null());
    EXPECT_EQ(proposed.at("proposer"), "alice");
    // The listing counts the changes without reading them whole: the same
    // number as the whole read.
    BstrResult listed;
    ASSERT_EQ(m_v3->ChangeSetList(Arg(u"pending"), &listed), S_OK);
    EXPECT_EQ(Json::parse(Utf16ToUtf8(listed.text())).at("list").at(0).at("count"), proposed.at("changes").size());

    const std::u16string before = CurrentRevision();
    std::u16string revision;
    ASSERT_EQ(Approve(u"bob", id, &revision), S_OK) << Utf16ToUtf8(ErrorDescription());
    EXPECT_EQ(Utf16ToUtf8(revision), Next(before));
    EXPECT_EQ(CurrentRevision(), revision);
    EXPECT_EQ(RevisionRow(revision), Rows{u"alice/bob/" + Widen(std::to_string(id))});

    EXPECT_EQ(Translate(u"a"), u"A");
    EXPECT_EQ(Translate(u"b"), u"");
    EXPECT_EQ(Translate(u"c"), u"C");
    for (const char16_t* input : {u"a", u"c"}) {
        LONG last = 0;
        EXPECT_EQ(m_component->CorrespondanceFourEyesIsLastUser(Arg(u"alice"), Arg(u"T"), Arg(input), &last), S_OK);
        EXPECT_EQ(last, 1) << Utf16ToUtf8(input) << " not written in the proposer's name";
    }
    const Json applied = Show(id);
    EXPECT_EQ(applied.at("state"), "applied");
    EXPECT_EQ(applied.at("decider"), "bob");
    EXPECT_EQ(applied.at("revision"), Utf16ToUtf8(revision));
    EXPECT_EQ(applied.at("changes"), proposed.at("changes"));
    EXPECT_EQ(AsOf(u"a", before), u"1");
}

// Faults caught: a conflict checked against the values at approval (always
// equal) rather than those recorded at proposal; a refusal that names no
// row, or the rows that did not change; a set applied in part before the
// conflict was found; a refused approval that decided the set.
TEST_P(ChangeSetTest, AChangedRowRefusesTheApprovalNamingItAndWritesNothing)
{
    RequireApproval();
    const LONG id = Propose(u"alice", kRowChanges);
    Update(u"b", u"22");
    const std::vector<std::u16string> before = StoreDump(*m_store);
    const std::u16string revision = CurrentRevision();

    EXPECT_EQ(Approve(u"bob", id), DB_E_INTEGRITYVIOLATION);
    const std::u16string why = ErrorDescription();
    EXPECT_TRUE(Mentions(why, u"row \"b\"") && Mentions(why, u"\"22\"")) << Utf16ToUtf8(why);
    EXPECT_FALSE(Mentions(why, u"row \"a\"")) << Utf16ToUtf8(why);
    EXPECT_EQ(StoreDump(*m_store), before);
    EXPECT_EQ(CurrentRevision(), revision);
    EXPECT_EQ(Show(id).at("state"), "pending");
}

// A set's table changes are made as TableUpdate and TableDelete make
// them, and its rows then found under the table's new name.
//
// Faults caught: rows after a rename addressed by the old name (an insert
// through a name no table bears adds nothing, silently); table changes
// made in the approver's name; the approval turned off without another
// user's approval, or the set that turns it off applied at once.
TEST_P(ChangeSetTest, TableChangesApplyInOrderAndTurningApprovalOffNeedsApprovalToo)
{
    RequireApproval();
    const LONG id = Propose(u"alice", R"({"table": "T", "changes": [{"op": "rename", "name": "U"},
        {"op": "describe", "description": "renamed"}, {"op": "columns", "add": [{"name": "extra", "inout": 0}]},
        {"op": "put", "input": "e", "output": "E|x"}, {"op": "approval", "required": false}]})");
    ASSERT_EQ(Approve(u"bob", id), S_OK) << Utf16ToUtf8(ErrorDescription());
    LONG exists = 1, last = 0;
    EXPECT_EQ(m_component->TableExists(Arg(u"T"), &exists), S_OK);
    EXPECT_EQ(exists, 0);
    EXPECT_EQ(m_component->TableFourEyesIsLastUser(Arg(u"alice"), Arg(u"U"), &last), S_OK);
    EXPECT_EQ(last, 1) << "the table changed in another name than the proposer's";
    BstrResult description, columns, answer;
    EXPECT_EQ(m_component->TableDescription(Arg(u"U"), &description), S_OK);
    EXPECT_EQ(description.text(), u"renamed");
    EXPECT_EQ(m_component->TableColumns(Arg(u"U"), &columns), S_OK);
    EXPECT_TRUE(Mentions(columns.text(), u"extra")) << Utf16ToUtf8(columns.text());
    EXPECT_EQ(m_component->translate(Arg(u"U"), Arg(u"e"), &answer), S_OK);
    EXPECT_EQ(answer.text(), u"E|x");

    // Approval is off now: a proposal applies at once; turning it on
    // again is a proposal too, and applies at once.
    LONG required = 1;
    EXPECT_EQ(m_v3->TableApprovalRequired(Arg(u"U"), &required), S_OK);
    EXPECT_EQ(required, 0);
    EXPECT_EQ(m_v3->TableApprovalRequired(Arg(u"T"), &required), S_OK) << "no table bears the name";
    EXPECT_EQ(required, 0);
    const LONG direct = Propose(u"alice", R"({"table": "U", "changes": [{"op": "approval", "required": true}]})");
    EXPECT_EQ(Show(direct).at("state"), "applied");
    const LONG off = Propose(u"alice", R"({"table": "U", "changes": [{"op": "approval", "required": false}]})");
    EXPECT_EQ(Show(off).at("state"), "pending");
    const LONG drop = Propose(u"alice", R"({"table": "U", "changes": [{"op": "drop"}]})");
    ASSERT_EQ(Approve(u"bob", drop), S_OK) << Utf16ToUtf8(ErrorDescription());
    EXPECT_EQ(m_component->TableExists(Arg(u"U"), &exists), S_OK);
    EXPECT_EQ(exists, 0);
    EXPECT_EQ(Approve(u"bob", off), DB_E_INTEGRITYVIOLATION) << "a set approved on a table deleted since";
    EXPECT_TRUE(Mentions(ErrorDescription(), u"deleted")) << Utf16ToUtf8(ErrorDescription());
}

// Faults caught: a malformed set accepted and failing half-way at
// approval (an unknown op, a row named twice, whose value replaced is then
// ambiguous, a change after the table's deletion, a table that does not
// exist); a refusal that does not say which change; a text nested deep
// enough to take the stack when printed or dropped; a NUL let into a row
// no route could name again; a field misspelt and silently dropped from
// what is approved; a set too long for its approver to read, in changes
// or in characters.
TEST_P(ChangeSetTest, AMalformedSetIsRefusedWholeNamingItsChange)
{
    const std::string deep = R"({"table": "T", "changes": [{"op": "put", "input": "a", "output": )" +
                             std::string(200000, '[') + std::string(200000, ']') + "}]}";
    std::string tooMany = R"({"table": "T", "changes": [)";
    for (int i = 0; i <= 50000; ++i)
        tooMany += (i ? "," : "") + std::string(R"({"op": "delete", "input": "k)") + std::to_string(i) + R"("})";
    tooMany += "]}";
    const std::string tooLong = R"({"table": "T", "changes": [{"op": "put", "input": "a", "output": ")" +
                                std::string(std::size_t{32} << 20, 'x') + R"("}]})";
    const struct {
        const char* changes;
        std::u16string_view named;
    } cases[] = {
        {R"({"table": "T", "changes": [{"op": "put", "input": "a", "output": "x"}, {"op": "upsert", "input": "b"}]})",
         u"Change 2"},
        {R"({"table": "T", "changes": [{"op": "put", "input": "a", "output": "x"}, {"op": "delete", "input": "a"}]})",
         u"\"a\" a second time"},
        {R"({"table": "T", "changes": [{"op": "drop"}, {"op": "delete", "input": "a"}]})", u"deletion of the table"},
        {R"({"table": "T", "changes": [{"op": "put", "input": "a"}]})", u"\"output\""},
        {R"({"table": "Nope", "changes": [{"op": "delete", "input": "a"}]})", u"\"Nope\""},
        {R"({"table": "T", "changes": []})", u"at least one change"},
        {R"([1, 2])", u"not a JSON object"},
        {deep.c_str(), u"deeper than"},
        {R"({"table": "T", "changes": [{"op": "put", "input": "a\u0000b", "output": "x"}]})", u"NUL"},
        {R"({"table": "T", "changes": [{"op": "delete", "input": "a"}], "note": "x"})", u"\"note\""},
        {R"({"table": "T", "changes": [{"op": "put", "input": "a", "output": "x", "outptu": "y"}]})", u"\"outptu\""},
        {tooMany.c_str(), u"at most 50000"},
        {tooLong.c_str(), u"characters long; a change set holds at most 33554432"},
    };
    const std::vector<std::u16string> before = StoreDump(*m_store);
    for (const auto& c : cases) {
        LONG id = 7;
        EXPECT_EQ(m_v3->ChangeSetPropose(Arg(u"alice"), Arg(Widen(c.changes)), &id), E_INVALIDARG) << c.changes;
        EXPECT_EQ(id, 0);
        EXPECT_TRUE(Mentions(ErrorDescription(), c.named)) << c.changes << ": " << Utf16ToUtf8(ErrorDescription());
    }
    EXPECT_EQ(StoreDump(*m_store), before);
    EXPECT_EQ(m_store->Column("SELECT COUNT(*) FROM QM_CHANGESETS"), Rows{u"0"});
}

// Two approvers, each a process of its own, approve the same change sets
// at once. Each set deletes a row that is not there: applied twice, its
// values would not conflict, so only the decision taken once under the
// writers' lock keeps it to one revision.
//
// Faults caught: the pending state read outside the approval's transaction
// or before the writers' lock; the state set without requiring it pending.
TEST_P(ChangeSetTest, TwoApproversRacingInTwoProcessesApplyEachSetOnce)
{
    constexpr int kSets = 12;
    RequireApproval();
    std::string bob, carol;
    for (int i = 0; i < kSets; ++i) {
        const LONG id = Propose(u"alice", R"({"table": "T", "changes": [{"op": "delete", "input": "ghost)" +
                                              std::to_string(i) + "\"}]}");
        bob += "ChangeSetApprove\tbob\t" + std::to_string(id) + "\n";
        carol += "ChangeSetApprove\tcarol\t" + std::to_string(id) + "\n";
    }
    m_component.Release();
    const std::string connection = Utf16ToUtf8(m_store->connectionString());
    ProcessResult first, second;
    std::thread other([&] { second = RunProcess({VALMORIN_CLI, "--connection", connection, "--batch"}, carol); });
    first = RunProcess({VALMORIN_CLI, "--connection", connection, "--batch"}, bob);
    other.join();

    const auto answers = [](const std::string& out) {
        std::vector<std::string> lines;
        for (std::size_t from = 0, end; (end = out.find('\n', from)) != std::string::npos; from = end + 1)
            lines.push_back(out.substr(from, end - from));
        return lines;
    };
    const std::vector<std::string> byBob = answers(first.out), byCarol = answers(second.out);
    ASSERT_EQ(byBob.size(), static_cast<std::size_t>(kSets)) << first.err;
    ASSERT_EQ(byCarol.size(), static_cast<std::size_t>(kSets)) << second.err;
    for (int i = 0; i < kSets; ++i) {
        const bool bobApplied = byBob[i].starts_with("OK\t"), carolApplied = byCarol[i].starts_with("OK\t");
        EXPECT_NE(bobApplied, carolApplied) << "set " << i << ": " << byBob[i] << " | " << byCarol[i];
        EXPECT_NE((bobApplied ? byCarol : byBob)[i].find("already"), std::string::npos) << byBob[i] << byCarol[i];
    }
    EXPECT_EQ(m_store->Column("SELECT COUNT(*) FROM QM_REVISIONS WHERE CHANGESET IS NOT NULL"),
              Rows{Widen(std::to_string(kSets))});
    EXPECT_EQ(m_store->Column("SELECT COUNT(*) FROM QM_CHANGESETS WHERE STATE = 'applied'"),
              Rows{Widen(std::to_string(kSets))});
}

// Faults caught: a rejection that loses its reason or decider; a rejected
// set still approvable; the listing's state filter ignored.
TEST_P(ChangeSetTest, ARejectionIsKeptWithItsReasonAndEndsTheSet)
{
    RequireApproval();
    const LONG id = Propose(u"alice", kRowChanges);
    ASSERT_EQ(m_v3->ChangeSetReject(Arg(u"bob"), id, Arg(u"c is not ours")), S_OK) << Utf16ToUtf8(ErrorDescription());
    const Json rejected = Show(id);
    EXPECT_EQ(rejected.at("state"), "rejected");
    EXPECT_EQ(rejected.at("decider"), "bob");
    EXPECT_EQ(rejected.at("reason"), "c is not ours");
    EXPECT_EQ(Approve(u"carol", id), DB_E_INTEGRITYVIOLATION);
    EXPECT_EQ(Translate(u"a"), u"1");

    const auto listed = [&](const char16_t* state) {
        BstrResult list;
        EXPECT_EQ(m_v3->ChangeSetList(Arg(state), &list), S_OK);
        const Json parsed = Json::parse(Utf16ToUtf8(list.text()));
        std::vector<LONG> ids;
        for (const Json& item : parsed.at("list")) ids.push_back(item.at("id").get<LONG>());
        return ids;
    };
    const LONG pending =
        Propose(u"alice", R"({"table": "T", "changes": [{"op": "put", "input": "d", "output": "D"}]})");
    EXPECT_EQ(listed(u"rejected"), std::vector<LONG>{id});
    EXPECT_EQ(listed(u"pending"), std::vector<LONG>{pending});
    EXPECT_EQ(listed(u""), (std::vector<LONG>{pending, id}));
}

// A table deleted takes its pending change sets with it, and the next
// table created takes the deleted one's number: neither its history nor its
// approvals may then speak of the deleted table's.
//
// Faults caught: a pending set of the deleted table applied to the table
// that took its number; the deleted table's changes listed in the new
// table's history; a set left pending for ever; a set applied at once
// rejected by the deletion it applies.
TEST_P(ChangeSetTest, ADeletedTablesChangeSetsAndHistoryStayItsOwn)
{
    RequireApproval();
    const LONG id = Propose(u"alice", R"({"table": "T", "changes": [{"op": "put", "input": "z", "output": "Z"}]})");
    const Rows number = m_store->Column("SELECT ID_TABLE FROM QM_TABLES WHERE NOM = 'T'");
    ASSERT_EQ(m_component->TableDelete(Arg(u"T")), S_OK);
    ASSERT_EQ(m_component->TableCreate(Arg(u"admin"), Arg(u"W"), Arg(u"d"), Arg(u"in\u00A8out"), Arg(u"1\u00A80")),
              S_OK);
    ASSERT_EQ(m_store->Column("SELECT ID_TABLE FROM QM_TABLES WHERE NOM = 'W'"), number)
        << "the new table was meant to take the deleted one's number";

    const Json shown = Show(id);
    EXPECT_EQ(shown.at("state"), "rejected");
    EXPECT_EQ(Approve(u"bob", id), DB_E_INTEGRITYVIOLATION);
    EXPECT_EQ(m_store->Column("SELECT COUNT(*) FROM QM_VALMOR"), Rows{u"0"});

    BstrResult history;
    ASSERT_EQ(m_v3->History(Arg(u"W"), Arg(u""), 0, 0, &history), S_OK) << Utf16ToUtf8(ErrorDescription());
    const Json listed = Json::parse(Utf16ToUtf8(history.text()));
    for (const Json& change : listed.at("list")) EXPECT_EQ(change.at("table"), "W") << change.dump();
    EXPECT_EQ(listed.at("total"), listed.at("list").size());
    ASSERT_EQ(m_v3->History(Arg(u"T"), Arg(u"a"), 0, 0, &history), S_OK) << Utf16ToUtf8(ErrorDescription());
    EXPECT_EQ(Json::parse(Utf16ToUtf8(history.text())).at("total"), 2) << "a made, then deleted with T";

    ASSERT_EQ(m_component->TableCreate(Arg(u"admin"), Arg(u"V"), Arg(u"d"), Arg(u"in\u00A8out"), Arg(u"1\u00A80")),
              S_OK);
    const LONG atOnce = Propose(u"alice", R"({"table": "V", "changes": [{"op": "drop"}]})");
    EXPECT_EQ(Show(atOnce).at("state"), "applied") << "a set rejected by the deletion it applies";
    LONG exists = 1;
    EXPECT_EQ(m_component->TableExists(Arg(u"V"), &exists), S_OK);
    EXPECT_EQ(exists, 0);
}

// The change set rows are the store's: another program may write them.
//
// Faults caught: a stored text that is not JSON, or nests past the stack,
// taking the process down on show, list or approval; a stored change no
// proposal could hold (a field missing, a change after the table's
// deletion) applied in part, or failing with no word of what is wrong; one
// such row failing every listing, which counts the changes of each set.
TEST_P(ChangeSetTest, ChangesWrittenByAnotherProgramAreReadAsAStrangersText)
{
    RequireApproval();
    const LONG id = Propose(u"alice", kRowChanges);
    // Each stored text, and the count a listing shows of it: its elements,
    // as a whole read finds them, or null (-1) for no list.
    for (const auto& [stored, counted] : std::initializer_list<std::pair<std::string, int>>{
             {"not json", -1},
             {std::string(100000, '[') + std::string(100000, ']'), -1},
             {R"({"op": "put"})", -1},
             {"[1]", 1},
             {R"([{"op": "put", "input": "a", "replaces": "1"}])", 1},
             {R"([{"op": "put", "input": "a", "output": "x"}])", 1},
             {R"([{"op": "put", "input": "a", "output": "x", "replaces": "1"}, [{"op": "x"}], "y"])", 3},
             {R"([{"op": "drop", "replaces": "T"}, {"op": "put", "input": "a", "output": "x", "replaces": "1"}])",
              2}}) {
        m_store->Run("UPDATE QM_CHANGESETS SET CHANGES = '" + stored + "' WHERE ID = " + std::to_string(id));
        BstrResult shown;
        EXPECT_EQ(m_v3->ChangeSetShow(id, &shown), DB_E_INTEGRITYVIOLATION) << stored.substr(0, 20);
        EXPECT_TRUE(Mentions(ErrorDescription(), u"another program")) << Utf16ToUtf8(ErrorDescription());
        EXPECT_EQ(Approve(u"bob", id), DB_E_INTEGRITYVIOLATION);
        BstrResult listed;
        ASSERT_EQ(m_v3->ChangeSetList(Arg(u""), &listed), S_OK) << Utf16ToUtf8(ErrorDescription());
        const Json count = Json::parse(Utf16ToUtf8(listed.text())).at("list").at(0).at("count");
        EXPECT_EQ(count.is_null(), counted < 0) << stored.substr(0, 20) << ": " << count;
        if (counted >= 0) {
            EXPECT_EQ(count, counted) << stored;
        }
    }
    EXPECT_EQ(Translate(u"a"), u"1");
}

// On a table whose changes need no approval a proposal applies at once;
// its revert, too.
//
// Faults caught: the inverse built from the wrong end of the revision (its
// NEW values put back instead of its OLD ones); a row the revision created
// not deleted by the revert; as-of answers for the reverted revision lost
// or changed by the revert; a revert offered over a later change of the
// same row, or over a change of the table's columns.
TEST_P(ChangeSetTest, ARevertRestoresTheAnswersAndKeepsThoseAsOfTheRevertedPoints)
{
    const std::u16string before = CurrentRevision();
    const LONG id = Propose(u"alice", kRowChanges);
    const Json applied = Show(id);
    ASSERT_EQ(applied.at("state"), "applied");
    EXPECT_TRUE(applied.at("decider").is_null());
    const std::u16string changed = Widen(applied.at("revision").get<std::string>());
    EXPECT_EQ(Translate(u"a"), u"A");

    LONG revert = 0;
    ASSERT_EQ(m_v3->Revert(Arg(u"carol"), Arg(changed), &revert), S_OK) << Utf16ToUtf8(ErrorDescription());
    const Json inverse = Show(revert);
    EXPECT_EQ(inverse.at("state"), "applied");
    EXPECT_EQ(inverse.at("proposer"), "carol");
    EXPECT_EQ(Translate(u"a"), u"1");
    EXPECT_EQ(Translate(u"b"), u"2");
    LONG exists = 1;
    EXPECT_EQ(m_component->CorrespondanceExists(Arg(u"T"), Arg(u"c"), &exists), S_OK);
    EXPECT_EQ(exists, 0) << "the row the reverted revision created is still there";
    EXPECT_EQ(AsOf(u"a", changed), u"A");
    EXPECT_EQ(AsOf(u"c", changed), u"C");
    EXPECT_EQ(AsOf(u"a", before), u"1");

    // The revert's own revision changed a, b and c: reverting the first
    // revision again would undo it.
    EXPECT_EQ(m_v3->Revert(Arg(u"carol"), Arg(changed), &revert), DB_E_INTEGRITYVIOLATION);
    EXPECT_TRUE(Mentions(ErrorDescription(), u"row \"a\"")) << Utf16ToUtf8(ErrorDescription());

    Update(u"a", u"one");
    const std::u16string updated = CurrentRevision();
    ASSERT_EQ(m_component->TableUpdate(Arg(u"admin"), Arg(u"T"), Arg(u"T"), nullptr, Arg(u"extra"), Arg(u"0"), Arg(u""),
                                       Arg(u""), Arg(u"")),
              S_OK);
    EXPECT_EQ(m_v3->Revert(Arg(u"carol"), Arg(updated), &revert), DB_E_INTEGRITYVIOLATION);
    EXPECT_TRUE(Mentions(ErrorDescription(), u"columns")) << Utf16ToUtf8(ErrorDescription());
}

// Fault caught: a revert whose inverse no proposal could hold (a rename
// back to the empty name another program gave the table) stored anyway, so
// that every listing of change sets fails from then on.
TEST_P(ChangeSetTest, ARevertNoProposalCouldHoldIsRefusedAndTheListingsStayReadable)
{
    m_store->Run("UPDATE QM_TABLES SET NOM = '' WHERE NOM = 'T';");
    m_store->Run("UPDATE QM_TABLES SET NOM = 'T' WHERE NOM = '';");
    LONG revert = 0;
    EXPECT_EQ(m_v3->Revert(Arg(u"carol"), Arg(CurrentRevision()), &revert), E_INVALIDARG);
    EXPECT_TRUE(Mentions(ErrorDescription(), u"cannot be reverted by one change set: Change 1 of Changes renames "
                                             u"the table to an empty name"))
        << Utf16ToUtf8(ErrorDescription());
    BstrResult listed;
    EXPECT_EQ(m_v3->ChangeSetList(Arg(u""), &listed), S_OK) << Utf16ToUtf8(ErrorDescription());
    EXPECT_EQ(Translate(u"a"), u"1");
}

// Another program deletes the table from a snapshot older than a change
// set (PostgreSQL at REPEATABLE READ), so the deletion does not reject the
// set, and a new table takes the number. Fault caught: the set applied to
// the new table, which it was never about.
TEST_P(ChangeSetTest, ASetOutlivingItsTableIsNotAppliedToTheNextTableOfItsNumber)
{
    if (m_store->traits().dialect != Dialect::PostgreSql)
        GTEST_SKIP() << "SQLite gives no transaction a snapshot older than its lock";
    RequireApproval();
    AdoConnection other(m_store->connectionString());
    other.Execute(u"BEGIN ISOLATION LEVEL REPEATABLE READ");
    other.Execute(u"SELECT COUNT(*) FROM QM_CHANGESETS"); // takes the snapshot
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const LONG id = Propose(u"alice", R"({"table": "T", "changes": [{"op": "put", "input": "z", "output": "Z"}]})");
    for (const char16_t* owned : {u"QM_VALMOR", u"QM_DICO", u"QM_TABLES"})
        other.Execute(u"DELETE FROM " + std::u16string(owned) +
                      u" WHERE ID_TABLE = (SELECT ID_TABLE FROM QM_TABLES WHERE NOM = 'T')");
    other.Execute(u"COMMIT");
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_EQ(m_component->TableCreate(Arg(u"admin"), Arg(u"U"), Arg(u"d"), Arg(u"in\u00A8out"), Arg(u"1\u00A80")),
              S_OK);
    ASSERT_EQ(m_store->Column("SELECT COUNT(*) FROM QM_TABLES t JOIN QM_CHANGESETS c ON c.ID_TABLE = t.ID_TABLE WHERE "
                              "t.NOM = 'U' AND c.ID = " +
                              std::to_string(id)),
              Rows{u"1"})
        << "U took T's number";
    EXPECT_EQ(Approve(u"bob", id), DB_E_INTEGRITYVIOLATION);
    EXPECT_TRUE(Mentions(ErrorDescription(), u"was deleted since it was proposed")) << Utf16ToUtf8(ErrorDescription());
    EXPECT_EQ(m_store->Column("SELECT COUNT(*) FROM QM_VALMOR WHERE INPUT = 'z'"), Rows{u"0"});
}

// A revert on a table that needs approval is proposed, and applied once
// another user approves it.
//
// Faults caught: a revert applied without approval; its values replaced
// not those the revision left, so that the approval conflicts.
TEST_P(ChangeSetTest, ARevertOfATableThatNeedsApprovalWaitsForIt)
{
    Update(u"a", u"bad");
    const std::u16string bad = CurrentRevision();
    RequireApproval();
    LONG revert = 0;
    ASSERT_EQ(m_v3->Revert(Arg(u"alice"), Arg(bad), &revert), S_OK) << Utf16ToUtf8(ErrorDescription());
    EXPECT_EQ(Translate(u"a"), u"bad");
    ASSERT_EQ(Approve(u"bob", revert), S_OK) << Utf16ToUtf8(ErrorDescription());
    EXPECT_EQ(Translate(u"a"), u"1");
}

// valmorin history prune, run as the command it is.
//
// Faults caught: changes after the prune point deleted (answers as of it
// change); the start of the history not moved (earlier points answered from
// a history with holes); the revision before the time taken for the first
// one after it; a table's need for approval pruned with the older changes
// (direct writes would be let in); older changes of approval kept, told
// as the next table's once the number is taken again.
TEST_P(ChangeSetTest, APruneKeepsTheAnswersAsOfItsPointAndLaterAndRefusesEarlierOnes)
{
    RequireApproval();
    std::vector<std::u16string> points{CurrentRevision()};
    for (const char16_t* value : {u"v1", u"v2", u"v3", u"v4"}) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        Update(u"a", value);
        points.push_back(CurrentRevision());
    }
    std::vector<std::u16string> answers;
    for (const std::u16string& point : points) answers.push_back(AsOf(u"a", point));
    const std::u16string pruneAt = points[2];
    const std::u16string time =
        m_store->Column("SELECT TIME FROM QM_REVISIONS WHERE REVISION = " + Utf16ToUtf8(pruneAt)).at(0);

    m_component.Release();
    const ProcessResult pruned = RunProcess({VALMORIN_CLI, "history", "prune", "--before", Utf16ToUtf8(time),
                                             "--connection", Utf16ToUtf8(m_store->connectionString())});
    ASSERT_EQ(pruned.exitCode, 0) << pruned.out << pruned.err;
    m_component = NewComponent(&*m_store);
    ASSERT_EQ(m_component.QueryInterface(m_v3), S_OK);

    for (std::size_t i = 2; i < points.size(); ++i) EXPECT_EQ(AsOf(u"a", points[i]), answers[i]) << i;
    EXPECT_EQ(AsOf(u"a", time), answers[2]);
    for (std::size_t i = 0; i < 2; ++i) {
        BstrResult answer;
        EXPECT_EQ(m_v3->translateAsOf(Arg(u"T"), Arg(u"a"), Arg(points[i]), &answer), E_INVALIDARG) << i;
    }
    EXPECT_EQ(m_store->Column("SELECT COUNT(*) FROM QM_HISTORY WHERE REVISION <= " + Utf16ToUtf8(pruneAt)), Rows{u"0"});
    LONG required = 0;
    EXPECT_EQ(m_v3->TableApprovalRequired(Arg(u"T"), &required), S_OK);
    EXPECT_EQ(required, 1) << "the table's need for approval pruned with its history";

    const ProcessResult help = RunProcess({VALMORIN_CLI, "history", "prune", "--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.out.find("usage: valmorin history prune --before <time>"), std::string::npos) << help.out;
}

// The limit on strangers' JSON, at its edge. Faults caught: the parser's
// depth (that of the enclosing values) taken for the level of the value it
// opens, so that one level more than the limit is read; values and keys at
// the deepest level allowed refused with the containers past it.
TEST(JsonNesting, SixtyFourLevelsAreReadAndASixtyFifthIsRefused)
{
    const auto nested = [](int levels, const std::string& inside) {
        std::string text;
        for (int i = 1; i < levels; ++i) text += "[";
        text += "{\"k\": " + inside + "}";
        for (int i = 1; i < levels; ++i) text += "]";
        return text;
    };
    EXPECT_NO_THROW(valmorin::text::ParseJsonNestedAtMost<Json>(nested(64, "1")));
    EXPECT_NO_THROW(valmorin::text::ParseJsonNestedAtMost<Json>(nested(64, "\"text\"")));
    EXPECT_THROW(valmorin::text::ParseJsonNestedAtMost<Json>(nested(64, "[]")), valmorin::text::JsonTooDeep);
    EXPECT_THROW(valmorin::text::ParseJsonNestedAtMost<Json>(nested(65, "1")), valmorin::text::JsonTooDeep);
}

INSTANTIATE_TEST_SUITE_P(Stores, ChangeSetTest, VALMORIN_STORES);

} // namespace
