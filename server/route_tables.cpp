#include "server/route_tables.h"

#include "server/approval.h"
#include "server/call.h"
#include "server/refusal.h"
#include "server/request_fields.h"

#include "platform/ado/ado.h"
#include "platform/text/utf.h"

#include <optional>
#include <string>

namespace {

using valmorin::text::Utf16ToUtf8;

constexpr char16_t kListSeparator = u'\u00A8';

void AppendItem(std::u16string& list, std::u16string_view item)
{
    if (!list.empty()) list += kListSeparator;
    list += item;
}

std::u16string ColumnName(const Json& name)
{
    if (!name.is_string()) Refuse(400, "a column's name is not a string");
    std::u16string wide = NewName(RequestText(name.get<std::string>(), "a column's name"), "a column's name");
    if (wide.find(kListSeparator) != std::u16string::npos)
        Refuse(400, "a column's name holds \u00a8, which separates the names of a list");
    return wide;
}

// A column of a body: {"name": "...", "input": true|false}.
void AddColumn(const Json& column, std::u16string& names, std::u16string& types)
{
    if (!column.is_object() || !column.contains("name") ||
        (column.contains("input") && !column["input"].is_boolean()) || column.size() > 2 ||
        (column.size() == 2 && !column.contains("input")))
        Refuse(400, "a column is {\"name\": text, \"input\": true or false}");
    AppendItem(names, ColumnName(column["name"]));
    AppendItem(types, column.value("input", false) ? u"1" : u"0");
}

// The table's entry in the JSON listing of every table.
Json TableEntry(const Call& call, const std::u16string& table)
{
    const Json tables =
        Json::parse(Utf16ToUtf8(CallText([&](BSTR* list) { return call.Valmorin().TableListJson(list); })));
    for (const Json& entry : tables.at("list"))
        if (entry.at("name") == Utf16ToUtf8(table)) return entry;
    Refuse(404, "no table is named \"" + Utf16ToUtf8(table) + "\"", kNotFound);
}

} // namespace

void ListTables(Call& call)
{
    AnswerJson(call, 200, Utf16ToUtf8(CallText([&](BSTR* list) { return call.Valmorin().TableListJson(list); })));
}

void CreateTable(Call& call)
{
    BodyFields fields(ParseBody(call));
    const std::u16string name = NewName(fields.Text("name"), "the field \"name\"");
    const std::u16string description = fields.OptionalText("description").value_or(u"");
    std::u16string names, types;
    for (const Json& column : fields.Array("columns")) AddColumn(column, names, types);
    fields.NoOthers();
    LONG exists = 0;
    Checked(call.Valmorin().TableExists(Text(name).get(), &exists));
    if (exists) Refuse(409, "a table is named \"" + Utf16ToUtf8(name) + "\" already", DB_E_INTEGRITYVIOLATION);
    Checked(call.Valmorin().TableCreate(Text(call.user).get(), Text(name).get(), Text(description).get(),
                                        Text(names).get(), Text(types).get()));
    call.response().set_header("Location", "/api/tables/" + httplib::detail::encode_query_param(Utf16ToUtf8(name)));
    AnswerJson(call, 201, TableEntry(call, name));
}

void ShowTable(Call& call)
{
    const std::u16string& name = call.at[0];
    Json table = TableEntry(call, name);
    table["columns"] = Json::parse(Utf16ToUtf8(
        CallText([&](BSTR* list) { return call.Valmorin().TableColumnsJson(Text(name).get(), list); })))["list"];
    table["approval"] = NeedsApproval(call, name);
    AnswerJson(call, 200, table);
}

void ChangeTable(Call& call)
{
    const std::u16string& table = call.at[0];
    BodyFields fields(ParseBody(call));
    const std::optional<std::u16string> newName = fields.OptionalText("name");
    const std::u16string name = newName ? NewName(*newName, "the field \"name\"") : table;
    const std::optional<std::u16string> description = fields.OptionalText("description");
    std::u16string addNames, addTypes, renameIds, renameNames, deleteIds;
    for (const Json& column : fields.Array("add")) AddColumn(column, addNames, addTypes);
    for (const Json& rename : fields.Array("rename")) {
        if (!rename.is_object() || !rename.contains("id") || !rename["id"].is_number_integer() ||
            !rename.contains("name") || rename.size() != 2)
            Refuse(400, "a rename is {\"id\": number, \"name\": text}");
        AppendItem(renameIds, valmorin::text::Widen(std::to_string(rename["id"].get<long long>())));
        AppendItem(renameNames, ColumnName(rename["name"]));
    }
    for (const Json& id : fields.Array("delete")) {
        if (!id.is_number_integer()) Refuse(400, "\"delete\" lists column ids, numbers");
        AppendItem(deleteIds, valmorin::text::Widen(std::to_string(id.get<long long>())));
    }
    fields.NoOthers();
    RequireTable(call, table);
    RequireDirectWrites(call, table);
    CComBSTR describe;
    if (description) describe = Text(*description);
    Checked(call.Valmorin().TableUpdate(Text(call.user).get(), Text(table).get(), Text(name).get(),
                                        description ? describe.get() : nullptr, Text(addNames).get(),
                                        Text(addTypes).get(), Text(renameIds).get(), Text(renameNames).get(),
                                        Text(deleteIds).get()));
    AnswerJson(call, 200, TableEntry(call, name));
}

void DeleteTable(Call& call)
{
    const std::u16string& table = call.at[0];
    RequireTable(call, table);
    RequireDirectWrites(call, table);
    Checked(call.Valmorin().TableDelete(Text(table).get()));
    NoContent(call);
}

// A confirmation is the four-eyes rule applied: refused to whoever made the
// last change; otherwise the confirming user becomes the last one (the
// table's values written again as they are), so that a second confirmation
// needs yet another user.
void ConfirmTable(Call& call)
{
    const std::u16string& table = call.at[0];
    BodyFields(ParseBody(call)).NoOthers();
    RequireTable(call, table);
    RequireDirectWrites(call, table);
    if (CallNumber([&](LONG* last) {
            return call.Valmorin().TableFourEyesIsLastUser(Text(call.user).get(), Text(table).get(), last);
        }))
        Refuse(409, "the last change to the table is your own: another user must confirm it", E_ACCESSDENIED);
    Checked(call.Valmorin().TableUpdate(Text(call.user).get(), Text(table).get(), Text(table).get(), nullptr, nullptr,
                                        nullptr, nullptr, nullptr, nullptr));
    AnswerJson(call, 200, Json{{"confirmed", true}, {"by", Utf16ToUtf8(call.user)}});
}
