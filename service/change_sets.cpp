// Change sets: changes to one table proposed in one user's name and applied
// whole once another user approves them (at once, on a table whose changes
// need no approval); reverts, which propose the inverse of a revision the
// same way; and the tables' approval itself.
//
// Each change keeps the value it replaces, read when it was proposed: an
// approval applies nothing when any of them changed since, so that no one
// approves a change over values they were never shown.
//
// Changes: {"table": name, "changes": [change, ...]}, applied in order:
//   {"op": "put", "input", "output"}   the row updated, or inserted
//   {"op": "delete", "input"}
//   {"op": "rename", "name"}           the rows after it find the new name
//   {"op": "describe", "description"}
//   {"op": "columns", "add": [{"name", "inout": 0|1}], "rename": [{"id",
//    "name"}], "delete": [id, ...]}    as TableUpdate takes them
//   {"op": "approval", "required": true|false}
//   {"op": "drop"}                     the table deleted; the last change
// Each INPUT once, each table change once. Shown, each change carries
// "replaces": the row's OUTPUT (null: no row), the table's name,
// description, columns ([{"id", "name", "inout"}]) or approval.
#include "platform/text/json_nesting.h"
#include "platform/text/marks.h"
#include "platform/text/utf.h"
#include "platform/win32/errors.h"
#include "service/call_frame.h"
#include "service/json_text.h"
#include "service/listing.h"
#include "service/rows.h"
#include "service/statement_texts.h"
#include "service/table_changes.h"
#include "service/table_columns.h"

#include <algorithm>
#include <map>
#include <set>

namespace {

using valmorin::text::Utf16ToUtf8;
using valmorin::text::Widen;

[[noreturn]] void Refuse(HRESULT hr, std::u16string text)
{
    throw qmt::CException(u"CValmorin", std::move(text), static_cast<DWORD>(hr));
}

std::u16string Quoted(std::u16string_view text) { return u"\"" + std::u16string(text) + u"\""; }

std::u16string WideText(const Json& text) { return Widen(text.get_ref<const std::string&>()); }

// A value as a message shows it: a text quoted, none for null.
std::u16string Shown(const Json& value)
{
    if (value.is_null()) return u"none";
    return value.is_string() ? Quoted(WideText(value)) : Widen(DumpJson(value));
}

// Change sets are proposed and decided by someone: the history names them,
// and a second user must approve. So a name must be one a reader can tell
// apart: nothing invisible in it, no white space around it.
std::u16string RequireUser(BSTR user)
{
    std::u16string name = ServiceText::FromBstr(user).str();
    if (std::all_of(name.begin(), name.end(), valmorin::text::Blank))
        Refuse(E_INVALIDARG, u"The argument User is empty: change sets are proposed and decided in a user's name.");
    if (valmorin::text::Blank(name.front()) || valmorin::text::Blank(name.back()))
        Refuse(E_INVALIDARG, u"The argument User " + Quoted(name) + u" begins or ends with white space.");
    if (std::any_of(name.begin(), name.end(), valmorin::text::Unshowable))
        Refuse(E_INVALIDARG, u"The argument User holds a control character, an invisible mark or one that "
                             u"reorders text.");
    if (valmorin::text::ReadingForm(name).empty())
        Refuse(E_INVALIDARG, u"The argument User is made of characters no reader sees.");
    return name;
}

// Users are told apart as people read their names: "Alice" is alice, and
// so is her name in fullwidth letters or with a mark no one sees.
bool SameUser(std::u16string_view a, std::u16string_view b)
{
    return valmorin::text::ReadingForm(a) == valmorin::text::ReadingForm(b);
}

// ---- What the store holds now ----

// A row's OUTPUT (a NULL one reads as the empty text, as translate answers
// it and the history records it); null when the INPUT has no row.
Json CurrentOutput(qmt::CAdoConnection& connection, LONG tableId, std::u16string_view input)
{
    Json output = nullptr;
    ForEachRow(connection, Sql<statements::kSelectCounter>(tableId, qmt::Doubled(input)),
               [&](const qmt::CAdoRecord& row) { output = JsonString(ReadText(row, 0)); });
    return output;
}

Json FirstField(qmt::CAdoConnection& connection, const qmt::AdoStatement& statement)
{
    Json value = nullptr;
    ForEachRow(connection, statement, [&](const qmt::CAdoRecord& row) { value = JsonTextOrNull(row, 0); });
    return value;
}

Json CurrentColumns(qmt::CAdoConnection& connection, LONG tableId)
{
    Json columns = Json::array();
    ForEachRow(connection, Sql<statements::kScanColumns>(tableId), [&](const qmt::CAdoRecord& row) {
        columns.push_back(
            {{"id", ReadNumber(row, 0)}, {"name", JsonString(ReadText(row, 2))}, {"inout", ReadNumber(row, 1)}});
    });
    return columns;
}

bool NeedsApproval(qmt::CAdoConnection& connection, LONG tableId)
{
    return QueryNumber(connection, Sql<statements::kTableNeedsApproval>(tableId)) > 0;
}

const std::string& OpOf(const Json& change) { return change.at("op").get_ref<const std::string&>(); }

// What the change replaces, as the store holds it now.
Json CurrentValue(qmt::CAdoConnection& connection, LONG tableId, const Json& change)
{
    const std::string& op = OpOf(change);
    if (op == "put" || op == "delete") return CurrentOutput(connection, tableId, WideText(change.at("input")));
    if (op == "rename" || op == "drop") return FirstField(connection, Sql<statements::kTableNameOf>(tableId));
    if (op == "describe") return FirstField(connection, Sql<statements::kTableDescriptionOf>(tableId));
    if (op == "columns") return CurrentColumns(connection, tableId);
    return NeedsApproval(connection, tableId);
}

// ---- A proposal, checked before the store is touched ----

// A change set is read whole by the one who approves it.
constexpr std::size_t kMostChanges = 50000;

// What a change may carry besides the fields its op takes: nothing in a
// proposal; in a stored change set, the value it replaces.
enum class Carried { Nothing, Replaced };

class ChangeReader {
public:
    explicit ChangeReader(Carried carried = Carried::Nothing) : m_carried(carried) {}

    // The changes of the request, each with the fields its op takes and
    // nothing else; refused whole at the first that is not one.
    Json Read(const Json& request)
    {
        static const Json kNone;
        const Json& changes = request.contains("changes") ? request.at("changes") : kNone;
        RequireListed(changes);
        for (const auto& [field, value] : request.items())
            if (field != "table" && field != "changes")
                Refuse(E_INVALIDARG, u"Changes has the field " + Quoted(Widen(field)) +
                                         u", which is none of \"table\" and \"changes\".");
        return CheckedEach(changes);
    }

    // The changes of a stored change set, as Read takes a request's.
    Json ReadChanges(const Json& changes)
    {
        RequireListed(changes);
        return CheckedEach(changes);
    }

private:
    static void RequireListed(const Json& changes)
    {
        if (!changes.is_array() || changes.empty())
            Refuse(E_INVALIDARG, u"Changes holds no list \"changes\" of at least one change.");
        if (changes.size() > kMostChanges)
            Refuse(E_INVALIDARG, u"Changes holds " + Widen(std::to_string(changes.size())) +
                                     u" changes; a change set holds at most " + Widen(std::to_string(kMostChanges)) +
                                     u", which its approver can still read: propose the rest apart.");
    }

    Json CheckedEach(const Json& changes)
    {
        Json checked = Json::array();
        for (const Json& change : changes) {
            ++m_position;
            if (m_dropped) Fail(u"follows the deletion of the table, which must be the last change");
            checked.push_back(Checked(change));
        }
        return checked;
    }

    [[noreturn]] void Fail(std::u16string_view why) const
    {
        Refuse(E_INVALIDARG, u"Change " + Decimal(m_position) + u" of Changes " + std::u16string(why) + u".");
    }

    // A NUL would end the text for whatever reads it as C text, and no row
    // holding one could be named again: refused as a direct write refuses it.
    std::string Text(const Json& change, const char* field) const
    {
        if (!change.contains(field) || !change.at(field).is_string()) Fail(u"lacks the text \"" + Widen(field) + u"\"");
        std::string text = change.at(field).get<std::string>();
        if (text.find('\0') != std::string::npos) Fail(u"holds a NUL character in \"" + Widen(field) + u"\"");
        return text;
    }

    LONG Number(const Json& item, const char* field) const
    {
        if (!item.contains(field) || !item.at(field).is_number_integer() || item.at(field).get<long long>() < 0 ||
            item.at(field).get<long long>() > INT32_MAX)
            Fail(u"lacks the number \"" + Widen(field) + u"\"");
        return item.at(field).get<LONG>();
    }

    const Json& List(const Json& change, const char* field) const
    {
        static const Json kNone = Json::array();
        if (!change.contains(field)) return kNone;
        if (!change.at(field).is_array()) Fail(u"holds a \"" + Widen(field) + u"\" that is not a list");
        return change.at(field);
    }

    // Each row once: the value it replaces is then the one before the set.
    std::string Input(const Json& change)
    {
        std::string input = Text(change, "input");
        if (!m_inputs.insert(input).second) Fail(u"names the INPUT " + Quoted(Widen(input)) + u" a second time");
        return input;
    }

    void Once(const std::string& op)
    {
        if (!m_tableOps.insert(op).second) Fail(u"is a second \"" + Widen(op) + u"\"");
    }

    Json Columns(const Json& change) const
    {
        Json add = Json::array(), rename = Json::array(), remove = Json::array();
        for (const Json& column : List(change, "add")) {
            const LONG inout = Number(column, "inout");
            if (inout > 1) Fail(u"adds a column whose inout is neither 1 (input) nor 0 (output)");
            add.push_back({{"name", Text(column, "name")}, {"inout", inout}});
        }
        for (const Json& column : List(change, "rename"))
            rename.push_back({{"id", Number(column, "id")}, {"name", Text(column, "name")}});
        for (const Json& id : List(change, "delete")) {
            if (!id.is_number_integer() || id.get<long long>() < 0 || id.get<long long>() > INT32_MAX)
                Fail(u"deletes a column by something other than its id");
            remove.push_back(id.get<LONG>());
        }
        if (add.empty() && rename.empty() && remove.empty()) Fail(u"changes no column");
        return {{"op", "columns"}, {"add", add}, {"rename", rename}, {"delete", remove}};
    }

    // The change as the set keeps it; a field its op does not take is
    // refused rather than dropped, so that nothing the proposer wrote is
    // silently left out of what is approved.
    Json Checked(const Json& change)
    {
        Json checked = CheckedFields(change);
        const bool replaced = m_carried == Carried::Replaced;
        for (const auto& [field, value] : change.items())
            if (!checked.contains(field) && !(replaced && field == "replaces"))
                Fail(u"has the field " + Quoted(Widen(field)) + u", which a " + Quoted(WideText(checked.at("op"))) +
                     u" change does not take");
        if (replaced && !change.contains("replaces")) Fail(u"lacks the value it replaces, \"replaces\"");
        return checked;
    }

    Json CheckedFields(const Json& change)
    {
        if (!change.is_object()) Fail(u"is not an object");
        const std::string op = Text(change, "op");
        if (op == "put") return {{"op", op}, {"input", Input(change)}, {"output", Text(change, "output")}};
        if (op == "delete") return {{"op", op}, {"input", Input(change)}};
        Once(op);
        if (op == "rename") {
            const std::string name = Text(change, "name");
            if (name.empty()) Fail(u"renames the table to an empty name");
            return {{"op", op}, {"name", name}};
        }
        if (op == "describe") return {{"op", op}, {"description", Text(change, "description")}};
        if (op == "columns") return Columns(change);
        if (op == "drop") {
            m_dropped = true;
            return {{"op", op}};
        }
        if (op == "approval") {
            if (!change.contains("required") || !change.at("required").is_boolean())
                Fail(u"lacks \"required\", true or false");
            return {{"op", op}, {"required", change.at("required").get<bool>()}};
        }
        Fail(u"has the op " + Quoted(Widen(op)) +
             u", which is none of put, delete, rename, describe, columns, drop and approval");
    }

    Carried m_carried;
    LONG m_position = 0;
    bool m_dropped = false;
    std::set<std::string> m_inputs, m_tableOps;
};

// A change set is read whole by its approver, and counted by every listing:
// its text is bounded as its number of changes is.
constexpr std::size_t kMostChangeSetCharacters = std::size_t{32} << 20;

Json ParseRequest(BSTR changes)
{
    if (TextOf(changes).size() > kMostChangeSetCharacters)
        Refuse(E_INVALIDARG, u"Changes is " + Widen(std::to_string(TextOf(changes).size())) +
                                 u" characters long; a change set holds at most " +
                                 Widen(std::to_string(kMostChangeSetCharacters)) +
                                 u", which its approver can still read: propose the rest apart.");
    Json request;
    try {
        request = valmorin::text::ParseJsonNestedAtMost<Json>(Utf16ToUtf8(TextOf(changes)));
    } catch (const valmorin::text::JsonTooDeep&) {
        Refuse(E_INVALIDARG, u"Changes nests deeper than " + Decimal(valmorin::text::kMaxJsonNesting) +
                                 u" levels; a change set is a list of flat changes.");
    } catch (const Json::exception&) {
        request = nullptr; // refused below with the shape it must have
    }
    if (!request.is_object() || !request.contains("table") || !request.at("table").is_string())
        Refuse(E_INVALIDARG, u"Changes is not a JSON object such as {\"table\": \"T\", \"changes\": [{\"op\": "
                             u"\"put\", \"input\": \"a\", \"output\": \"b\"}]}.");
    return request;
}

// The name a change set gives its table, empty when it keeps it.
std::u16string RenamedTo(const Json& changes)
{
    for (const Json& change : changes)
        if (OpOf(change) == "rename") return WideText(change.at("name"));
    return {};
}

// ---- Applying ----

ColumnLists ListsOf(const Json& change)
{
    ColumnLists lists;
    for (const Json& column : change.at("add")) {
        lists.addNames.push_back(WideText(column.at("name")));
        lists.addTypes.push_back(column.at("inout").get<LONG>() == 1 ? u"1" : u"0");
    }
    for (const Json& column : change.at("rename")) {
        lists.updIds.push_back(column.at("id").get<LONG>());
        lists.updNames.push_back(WideText(column.at("name")));
    }
    for (const Json& id : change.at("delete")) lists.delIds.push_back(id.get<LONG>());
    return lists;
}

void SetApproval(qmt::CAdoConnection& connection, std::u16string_view table, bool required)
{
    if (required)
        connection.execute(Sql<statements::kRequireApproval>(qmt::Doubled(table)), -1);
    else
        connection.execute(Sql<statements::kDropApproval>(qmt::Doubled(table)), -1);
}

// A put updates the row when there is one and inserts it otherwise; rows
// and table alike are changed in the proposer's name, with the statements
// and code paths of the methods that make each change directly.
void PutRow(qmt::CAdoConnection& connection, std::u16string_view user, LONG tableId, std::u16string_view table,
            const Json& change)
{
    const std::u16string input = WideText(change.at("input")), output = WideText(change.at("output"));
    const auto in = qmt::Doubled(input), out = qmt::Doubled(output), by = qmt::Doubled(user),
               named = qmt::Doubled(table);
    if (CurrentOutput(connection, tableId, input).is_null())
        connection.execute(Sql<statements::kInsertCorrespondence>(in, out, by, named), -1);
    else
        connection.execute(Sql<statements::kUpdateCorrespondence>(in, out, by, in, named), -1);
}

// table is the table's name as it stands; a rename changes it.
void ApplyChange(qmt::CAdoConnection& connection, std::u16string_view user, LONG tableId, std::u16string& table,
                 const Json& change)
{
    const std::string& op = OpOf(change);
    if (op == "put") {
        PutRow(connection, user, tableId, table, change);
    } else if (op == "delete") {
        connection.execute(
            Sql<statements::kDeleteCorrespondence>(qmt::Doubled(WideText(change.at("input"))), qmt::Doubled(table)),
            -1);
    } else if (op == "rename") {
        std::u16string name = WideText(change.at("name"));
        UpdateTable(connection, {user, table, name, std::nullopt, {}});
        table = std::move(name);
    } else if (op == "describe") {
        const std::u16string description = WideText(change.at("description"));
        UpdateTable(connection, {user, table, table, description, {}});
    } else if (op == "columns") {
        UpdateTable(connection, {user, table, table, std::nullopt, ListsOf(change)});
    } else if (op == "drop") {
        DeleteTable(connection, table);
    } else {
        SetApproval(connection, table, change.at("required").get<bool>());
    }
}

std::u16string RowOrTable(const Json& change)
{
    const std::string& op = OpOf(change);
    if (op == "put" || op == "delete") return u"row " + Quoted(WideText(change.at("input")));
    if (op == "rename" || op == "drop") return u"the table's name";
    if (op == "describe") return u"the table's description";
    if (op == "columns") return u"the table's columns";
    return u"whether the table needs approval";
}

[[noreturn]] void RefuseTableDeletedSince(LONG id, const std::u16string& table)
{
    Refuse(DB_E_INTEGRITYVIOLATION, u"Change set " + Decimal(id) + u" cannot be applied: its table " + Quoted(table) +
                                        u" was deleted since it was proposed.");
}

// Nothing is applied when anything the changes replace changed since they
// were proposed; the refusal names each.
void RefuseConflicts(qmt::CAdoConnection& connection, LONG id, LONG tableId, const std::u16string& table,
                     const Json& changes)
{
    if (FirstField(connection, Sql<statements::kTableNameOf>(tableId)).is_null()) RefuseTableDeletedSince(id, table);
    std::u16string conflicts;
    for (const Json& change : changes) {
        const Json now = CurrentValue(connection, tableId, change);
        if (now == change.at("replaces")) continue;
        conflicts += (conflicts.empty() ? u"" : u"; ") + RowOrTable(change) + u" (" + Shown(change.at("replaces")) +
                     u" when proposed, " + Shown(now) + u" now)";
    }
    if (!conflicts.empty())
        Refuse(DB_E_INTEGRITYVIOLATION, u"Change set " + Decimal(id) + u" on table " + Quoted(table) +
                                            u" was not applied: changed since it was proposed: " + conflicts +
                                            u". Nothing was written.");
}

std::u16string CurrentName(qmt::CAdoConnection& connection, LONG tableId)
{
    const Json name = FirstField(connection, Sql<statements::kTableNameOf>(tableId));
    return name.is_null() ? std::u16string() : WideText(name);
}

void MarkApplied(qmt::CAdoConnection& connection, std::u16string_view approver, LONG id)
{
    if (connection.execute(Sql<statements::kMarkApplied>(qmt::Doubled(approver), id), -1) != 1)
        Refuse(DB_E_INTEGRITYVIOLATION, u"Change set " + Decimal(id) + u" is no longer pending.");
}

void ApplyChanges(qmt::CAdoConnection& connection, std::u16string_view proposer, LONG id, LONG tableId,
                  const std::u16string& table, const Json& changes, std::u16string_view approver)
{
    RefuseConflicts(connection, id, tableId, table, changes);
    std::u16string name = CurrentName(connection, tableId);
    for (const Json& change : changes) ApplyChange(connection, proposer, tableId, name, change);
    MarkApplied(connection, approver, id);
}

// A change set as proposed: its table, and its changes with the values
// they replace.
struct ProposedSet {
    LONG tableId = 0;
    std::u16string table;
    Json changes;
};

// Records the change set inside the caller's transaction, and applies it
// there when its table's changes need no approval. Its id.
LONG Record(qmt::CAdoConnection& connection, std::u16string_view proposer, const ProposedSet& set)
{
    const std::u16string changes = Widen(DumpJson(set.changes));
    connection.execute(Sql<statements::kInsertChangeSet>(set.tableId, qmt::Doubled(set.table), qmt::Doubled(proposer),
                                                         qmt::Doubled(changes)),
                       -1);
    const LONG id = QueryNumber(connection, Sql<statements::kLastChangeSet>());
    if (!NeedsApproval(connection, set.tableId)) {
        connection.execute(Sql<statements::kNameAppliedChangeSet>(id), -1);
        ApplyChanges(connection, proposer, id, set.tableId, set.table, set.changes, u"");
    }
    return id;
}

// ---- Reading change sets ----

struct StoredChangeSet {
    LONG id = 0, tableId = 0;
    std::u16string table, state, proposer;
    Json changes;
    std::u16string reason, proposed;
};

// Each stored change is one a proposal could hold, with the value it
// replaces.
bool ProposableWithReplaced(const Json& changes)
{
    try {
        ChangeReader(Carried::Replaced).ReadChanges(changes);
        return true;
    } catch (const qmt::CException&) {
        return false;
    }
}

// The changes a change set row holds. Other programs may write that row, so
// its text is read as a stranger's would be.
Json StoredChanges(const qmt::CAdoRecord& row)
{
    Json changes;
    try {
        changes = valmorin::text::ParseJsonNestedAtMost<Json>(Utf16ToUtf8(ReadText(row, 5)));
    } catch (const std::exception&) { // a syntax error, or nesting no change set has
        changes = nullptr;
    }
    if (!ProposableWithReplaced(changes))
        Refuse(DB_E_INTEGRITYVIOLATION, u"The stored changes of change set " + Decimal(ReadNumber(row, 0)) +
                                            u" are not a list of changes a proposal holds; the row was written by "
                                            u"another program.");
    return changes;
}

// How many changes a stored change set holds, counted as its text is read
// and nothing of it kept: a listing shows no more. A row another program
// wrote that holds no list counts none (null) rather than failing every
// listing; showing or deciding it refuses it.
Json ChangeCount(const std::u16string& stored)
{
    if (stored.size() > kMostChangeSetCharacters) return nullptr; // no proposal holds it
    std::size_t count = 0;
    try {
        const Json top = Json::parse(
            Utf16ToUtf8(stored),
            [&](int depth, Json::parse_event_t event, const Json&) {
                valmorin::text::RefuseNestingPast<Json>(depth, event);
                const bool starts = event == Json::parse_event_t::object_start ||
                                    event == Json::parse_event_t::array_start || event == Json::parse_event_t::value;
                if (depth == 1 && starts) ++count;
                return depth == 0;
            },
            false);
        return top.is_array() ? Json(count) : Json(nullptr);
    } catch (const valmorin::text::JsonTooDeep&) {
        return nullptr;
    }
}

// An id no change set has is a missing thing, as a missing table or row
// is, not a malformed argument: the server answers it 404.
[[noreturn]] void RefuseUnknownChangeSet(LONG id)
{
    Refuse(HRESULT_FROM_WIN32(ERROR_NOT_FOUND), u"No change set has the id " + Decimal(id) + u".");
}

StoredChangeSet ReadChangeSet(qmt::CAdoConnection& connection, LONG id)
{
    StoredChangeSet set;
    ForEachRow(connection, Sql<statements::kChangeSet>(id), [&](const qmt::CAdoRecord& row) {
        set = {ReadNumber(row, 0), ReadNumber(row, 10), ReadText(row, 1), ReadText(row, 2),
               ReadText(row, 3),   StoredChanges(row),  ReadText(row, 9), ReadText(row, 4)};
    });
    if (set.id == 0) RefuseUnknownChangeSet(id);
    return set;
}

// Deleting a table rejects its pending change sets, but another program
// deleting it from a snapshot older than a set (PostgreSQL at REPEATABLE
// READ) does not see that set: its number may have been taken since by a
// new table, which the set was never about.
void RequireTableOfItsProposal(qmt::CAdoConnection& connection, const StoredChangeSet& set)
{
    if (QueryNumber(connection, Sql<statements::kTableMadeSince>(set.tableId, qmt::Doubled(set.proposed))) > 0)
        RefuseTableDeletedSince(set.id, set.table);
}

void RequirePending(const StoredChangeSet& set)
{
    if (set.state != u"pending")
        Refuse(DB_E_INTEGRITYVIOLATION, u"Change set " + Decimal(set.id) + u" is " + set.state +
                                            (set.reason.empty() ? u"" : u" (" + set.reason + u")") +
                                            u" already: it is decided once.");
}

// Fields: ID, NOM, STATE, PROPOSER, PROPOSED, CHANGES, DECIDER, DECIDED,
// REVISION, REASON.
Json ChangeSetJson(const qmt::CAdoRecord& row, bool withChanges)
{
    const std::u16string state = ReadText(row, 2);
    Json item = {{"id", ReadNumber(row, 0)},
                 {"table", JsonString(ReadText(row, 1))},
                 {"state", JsonString(state)},
                 {"proposer", JsonString(ReadText(row, 3))},
                 {"time", JsonString(ReadText(row, 4))}};
    if (withChanges)
        item["changes"] = StoredChanges(row);
    else
        item["count"] = ChangeCount(ReadText(row, 5));
    if (state == u"pending") return item;
    // Applied at once (no approval needed) names no decider.
    const std::u16string decider = ReadText(row, 6);
    item["decider"] = decider.empty() ? Json(nullptr) : Json(JsonString(decider));
    item["decided"] = JsonTextOrNull(row, 7);
    if (state == u"applied") item["revision"] = JsonTextOrNull(row, 8);
    if (state == u"rejected") item["reason"] = JsonTextOrNull(row, 9);
    return item;
}

CComBSTR OwnRevision(qmt::CAdoConnection& connection)
{
    CComBSTR revision;
    ForEachRow(connection, Sql<statements::kOwnRevision>(), [&](const qmt::CAdoRecord& row) { row.read(0, revision); });
    return revision;
}

// ---- Reverts ----

// The revision's changes are still kept, and it is made.
void RequireKept(qmt::CAdoConnection& connection, const std::u16string& revision)
{
    std::u16string oldest, current;
    ForEachRow(connection, Sql<statements::kHistoryBounds>(), [&](const qmt::CAdoRecord& row) {
        oldest = ReadText(row, 0);
        current = ReadText(row, 2);
    });
    if (!RevisionBefore(oldest, revision))
        Refuse(E_INVALIDARG, u"Revision " + revision + u" is older than the history keeps (the oldest point kept is " +
                                 u"revision " + oldest + u"): its changes are no longer known.");
    if (RevisionBefore(current, revision))
        Refuse(E_INVALIDARG, u"Revision " + revision + u" is not made yet; the current revision is " + current + u".");
}

std::u16string KeyNamed(std::u16string_view kind, std::u16string_view input)
{
    if (kind == u"row") return u"row " + Quoted(input);
    if (kind == u"column") return u"the table's columns";
    if (kind == u"table") return u"the table's name";
    if (kind == u"description") return u"the table's description";
    return u"whether the table needs approval";
}

// A revert undoes a change only while it is the last of its key, and
// while the table's columns are those its rows were written for.
void RefuseLaterChanges(qmt::CAdoConnection& connection, LONG tableId, const std::u16string& revision)
{
    std::u16string later;
    ForEachRow(connection,
               Sql<statements::kLaterChangesOfKeys>(tableId, qmt::Doubled(revision), qmt::Doubled(revision)),
               [&](const qmt::CAdoRecord& row) {
                   later += (later.empty() ? u"" : u"; ") + KeyNamed(ReadText(row, 0), ReadText(row, 1)) +
                            u" (by revision " + ReadText(row, 2) + u")";
               });
    if (!later.empty())
        Refuse(DB_E_INTEGRITYVIOLATION,
               u"Revision " + revision + u" cannot be reverted: later revisions changed " + later + u".");
}

// One key's change within the revision: what it was before the revision's
// first change of it, and after its last.
struct KeyChange {
    std::u16string kind, input;
    Json before, after;
};

std::vector<KeyChange> ChangesOf(qmt::CAdoConnection& connection, const std::u16string& revision, LONG& tableId)
{
    std::vector<KeyChange> keys;
    std::map<std::pair<std::u16string, std::u16string>, std::size_t> seen;
    ForEachRow(connection, Sql<statements::kRevisionChanges>(qmt::Doubled(revision)), [&](const qmt::CAdoRecord& row) {
        const std::u16string kind = ReadText(row, 0), input = ReadText(row, 2);
        const LONG table = ReadNumber(row, 1);
        if (tableId != 0 && table != tableId)
            Refuse(E_INVALIDARG,
                   u"Revision " + revision + u" changed more than one table; a change set holds the changes of one.");
        tableId = table;
        const Json before = JsonTextOrNull(row, 3), after = JsonTextOrNull(row, 4);
        if (kind == u"column")
            Refuse(E_INVALIDARG, u"Revision " + revision +
                                     u" changed the table's columns, which a revert does not undo: the rows were "
                                     u"rewritten for them.");
        if (kind == u"table" && (before.is_null() || after.is_null()))
            Refuse(E_INVALIDARG, u"Revision " + revision + (before.is_null() ? u" created" : u" deleted") +
                                     u" the table, which a revert does not undo.");
        const auto [at, added] = seen.try_emplace({kind, input}, keys.size());
        if (added) keys.push_back({kind, input, before, after});
        keys[at->second].after = after;
    });
    if (tableId == 0) Refuse(E_INVALIDARG, u"Revision " + revision + u" changed no table: there is nothing to revert.");
    return keys;
}

// The change that puts the key back as it was before the revision,
// replacing what the revision left.
Json Inverse(const KeyChange& key)
{
    if (key.kind == u"row") {
        const Json input = JsonString(key.input);
        if (key.before.is_null()) return {{"op", "delete"}, {"input", input}, {"replaces", key.after}};
        return {{"op", "put"}, {"input", input}, {"output", key.before}, {"replaces", key.after}};
    }
    if (key.kind == u"table") return {{"op", "rename"}, {"name", key.before}, {"replaces", key.after}};
    if (key.kind == u"description")
        return {
            {"op", "describe"}, {"description", key.before.is_null() ? Json("") : key.before}, {"replaces", key.after}};
    return {{"op", "approval"}, {"required", !key.before.is_null()}, {"replaces", !key.after.is_null()}};
}

// A revert is stored as a proposal is, and read back as one: an inverse no
// proposal could hold (more changes than a set holds, a rename back to an
// empty name another program gave) would leave a row every listing refuses.
void RequireProposable(const std::u16string& revision, const Json& changes)
{
    try {
        ChangeReader(Carried::Replaced).ReadChanges(changes);
    } catch (const qmt::CException& failure) {
        Refuse(E_INVALIDARG,
               u"Revision " + revision + u" cannot be reverted by one change set: " + failure.description);
    }
}

ProposedSet InverseOf(qmt::CAdoConnection& connection, const std::u16string& revision)
{
    RequireKept(connection, revision);
    ProposedSet set;
    const std::vector<KeyChange> keys = ChangesOf(connection, revision, set.tableId);
    RefuseLaterChanges(connection, set.tableId, revision);
    set.table = CurrentName(connection, set.tableId);
    if (set.table.empty())
        Refuse(DB_E_INTEGRITYVIOLATION, u"Revision " + revision + u" cannot be reverted: its table was deleted since.");
    set.changes = Json::array();
    for (const KeyChange& key : keys)
        if (key.before != key.after) set.changes.push_back(Inverse(key));
    if (set.changes.empty())
        Refuse(E_INVALIDARG, u"Revision " + revision + u" left everything as it was: there is nothing to revert.");
    RequireProposable(revision, set.changes);
    return set;
}

} // namespace

HRESULT CValmorin::TableApprovalSet(BSTR User, BSTR Name, LONG Required, BSTR* Revision)
{
    if (Revision == nullptr) return E_POINTER;
    return ServiceCallFrame({.text = Revision}, [&] {
        m_history.RefuseWithout();
        const std::u16string user = RequireUser(User);
        if (Required != 0 && Required != 1)
            Refuse(E_INVALIDARG, u"Required is 1 (changes need approval) or 0 (they apply directly), not " +
                                     Decimal(Required) + u".");
        const std::u16string_view name = TextOf(Name);
        WriteTransaction transaction(m_connection, m_history, user);
        if (LookupTableId(m_connection, qmt::Doubled(name)) == 0)
            Refuse(E_INVALIDARG, u"No table is named " + Quoted(name) + u".");
        SetApproval(m_connection, name, Required == 1);
        CComBSTR revision = OwnRevision(m_connection);
        transaction.commit();
        *Revision = revision.Detach();
        return S_OK;
    });
}

HRESULT CValmorin::TableApprovalRequired(BSTR Name, LONG* Required)
{
    if (Required == nullptr) return E_POINTER;
    *Required = 0;
    return ServiceCallFrame({.truth = Required}, [&] {
        m_history.RefuseWithout();
        const LONG tableId = LookupTableId(m_connection, qmt::Doubled(TextOf(Name)));
        *Required = tableId != 0 && NeedsApproval(m_connection, tableId) ? 1 : 0;
        return S_OK;
    });
}

HRESULT CValmorin::ChangeSetPropose(BSTR User, BSTR Changes, LONG* Id)
{
    if (Id == nullptr) return E_POINTER;
    *Id = 0;
    return ServiceCallFrame({.truth = Id}, [&] {
        m_history.RefuseWithout();
        const std::u16string user = RequireUser(User);
        const Json request = ParseRequest(Changes);
        ProposedSet set{0, WideText(request.at("table")), ChangeReader().Read(request)};
        const TablesChanging changing(*this, {set.table, RenamedTo(set.changes)});
        WriteTransaction transaction(m_connection, m_history, user);
        set.tableId = LookupTableId(m_connection, qmt::Doubled(set.table));
        if (set.tableId == 0) Refuse(E_INVALIDARG, u"No table is named " + Quoted(set.table) + u".");
        for (Json& change : set.changes) change["replaces"] = CurrentValue(m_connection, set.tableId, change);
        const LONG id = Record(m_connection, user, set);
        transaction.commit();
        *Id = id;
        return S_OK;
    });
}

HRESULT CValmorin::ChangeSetList(BSTR State, BSTR* List)
{
    if (List == nullptr) return E_POINTER;
    return ServiceCallFrame({.text = List}, [&] {
        m_history.RefuseWithout();
        const std::u16string_view state = TextOf(State);
        if (!state.empty() && state != u"pending" && state != u"applied" && state != u"rejected")
            Refuse(E_INVALIDARG, u"State " + Quoted(state) +
                                     u" is none of pending, applied and rejected (nor empty, "
                                     u"for every change set).");
        JsonItems items;
        const auto append = [&](const qmt::CAdoRecord& row) {
            items.Append(ChangeSetJson(row, false));
            return true;
        };
        if (state.empty())
            StreamRows(m_connection, Sql<statements::kChangeSets>(), append);
        else
            StreamRows(m_connection, Sql<statements::kChangeSetsIn>(qmt::Doubled(state)), append);
        *List = JsonToBstr(WithList(Json::object(), items));
        return S_OK;
    });
}

HRESULT CValmorin::ChangeSetShow(LONG Id, BSTR* ChangeSet)
{
    if (ChangeSet == nullptr) return E_POINTER;
    return ServiceCallFrame({.text = ChangeSet}, [&] {
        m_history.RefuseWithout();
        std::optional<Json> shown;
        ForEachRow(m_connection, Sql<statements::kChangeSet>(Id),
                   [&](const qmt::CAdoRecord& row) { shown = ChangeSetJson(row, true); });
        if (!shown) RefuseUnknownChangeSet(Id);
        *ChangeSet = JsonToBstr(DumpJson(*shown));
        return S_OK;
    });
}

// The proposer is read before the transaction, whose opening statement
// names them; the state is read again under the writers' lock, so that of
// two approvals racing the second finds it applied.
HRESULT CValmorin::ChangeSetApprove(BSTR User, LONG Id, BSTR* Revision)
{
    if (Revision == nullptr) return E_POINTER;
    return ServiceCallFrame({.text = Revision}, [&] {
        m_history.RefuseWithout();
        const std::u16string approver = RequireUser(User);
        const StoredChangeSet proposed = ReadChangeSet(m_connection, Id);
        if (SameUser(proposed.proposer, approver))
            Refuse(E_ACCESSDENIED, u"Change set " + Decimal(Id) + u" was proposed by " + Quoted(proposed.proposer) +
                                       u", who cannot approve it: another user must.");
        RequirePending(proposed);
        const TablesChanging changing(
            *this, {proposed.table, CurrentName(m_connection, proposed.tableId), RenamedTo(proposed.changes)});
        WriteTransaction transaction(m_connection, m_history,
                                     WriteTransaction::Approval{proposed.proposer, approver, Id});
        const StoredChangeSet set = ReadChangeSet(m_connection, Id);
        RequirePending(set);
        RequireTableOfItsProposal(m_connection, set);
        ApplyChanges(m_connection, set.proposer, Id, set.tableId, set.table, set.changes, approver);
        CComBSTR revision = OwnRevision(m_connection);
        transaction.commit();
        *Revision = revision.Detach();
        return S_OK;
    });
}

HRESULT CValmorin::ChangeSetReject(BSTR User, LONG Id, BSTR Reason)
{
    return ServiceCallFrame({}, [&] {
        m_history.RefuseWithout();
        const std::u16string decider = RequireUser(User);
        WriteTransaction transaction(m_connection, m_history, decider);
        RequirePending(ReadChangeSet(m_connection, Id));
        m_connection.execute(Sql<statements::kMarkRejected>(qmt::Doubled(decider), qmt::Doubled(TextOf(Reason)), Id),
                             -1);
        transaction.commit();
        return S_OK;
    });
}

HRESULT CValmorin::Revert(BSTR User, BSTR Revision, LONG* Id)
{
    if (Id == nullptr) return E_POINTER;
    *Id = 0;
    return ServiceCallFrame({.truth = Id}, [&] {
        m_history.RefuseWithout();
        const std::u16string user = RequireUser(User);
        const std::optional<std::u16string> revision = RevisionNumber(TextOf(Revision));
        if (!revision)
            Refuse(E_INVALIDARG, u"Revision " + Quoted(TextOf(Revision)) + u" is not a revision (decimal digits).");
        const ProposedSet set = InverseOf(m_connection, *revision);
        const TablesChanging changing(*this, {set.table, RenamedTo(set.changes)});
        WriteTransaction transaction(m_connection, m_history, user);
        const LONG id = Record(m_connection, user, set);
        transaction.commit();
        *Id = id;
        return S_OK;
    });
}
