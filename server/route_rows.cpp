#include "server/route_rows.h"

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

void RequireRow(const Call& call, const std::u16string& table, const std::u16string& input)
{
    RequireTable(call, table);
    if (CallNumber([&](LONG* found) {
            return call.Valmorin().CorrespondanceExists(Text(table).get(), Text(input).get(), found);
        }) == 0)
        Refuse(404, "table \"" + Utf16ToUtf8(table) + "\" has no INPUT \"" + Utf16ToUtf8(input) + "\"", kNotFound);
}

// A row as the listings show it, after a change made by user.
Json RowEntry(const std::u16string& input, const std::u16string& output, const std::u16string& user)
{
    return Json{{"input", Utf16ToUtf8(input)}, {"output", Utf16ToUtf8(output)}, {"lastactionuser", Utf16ToUtf8(user)}};
}

} // namespace

void ListRows(Call& call)
{
    const std::u16string& table = call.at[0];
    RequireTable(call, table);
    const std::u16string contains =
        RequestText(call.request().get_param_value("contains"), "the query parameter \"contains\"");
    const LONG offset = QueryNumber(call, "offset", 0), limit = QueryNumber(call, "limit", 100);
    AnswerJson(call, 200, Utf16ToUtf8(CallText([&](BSTR* list) {
                   return call.Valmorin().CorrespondanceListJson(Text(table).get(), Text(contains).get(), offset, limit,
                                                                 list);
               })));
}

void CreateRow(Call& call)
{
    const std::u16string& table = call.at[0];
    BodyFields fields(ParseBody(call));
    const std::u16string input = fields.Text("input"), output = fields.Text("output");
    fields.NoOthers();
    RequireTable(call, table);
    RequireDirectWrites(call, table);
    LONG exists = 0;
    Checked(call.Valmorin().CorrespondanceExists(Text(table).get(), Text(input).get(), &exists));
    if (exists) Refuse(409, "the INPUT \"" + Utf16ToUtf8(input) + "\" is there already", DB_E_INTEGRITYVIOLATION);
    Checked(call.Valmorin().CorrespondanceCreate(Text(call.user).get(), Text(table).get(), Text(input).get(),
                                                 Text(output).get()));
    AnswerJson(call, 201, RowEntry(input, output, call.user));
}

void ChangeRow(Call& call)
{
    const std::u16string &table = call.at[0], &current = call.at[1];
    BodyFields fields(ParseBody(call));
    const std::u16string input = fields.OptionalText("input").value_or(current);
    const std::u16string output = fields.Text("output");
    fields.NoOthers();
    RequireRow(call, table, current);
    RequireDirectWrites(call, table);
    Checked(call.Valmorin().CorrespondanceUpdate(Text(call.user).get(), Text(table).get(), Text(current).get(),
                                                 Text(input).get(), Text(output).get()));
    AnswerJson(call, 200, RowEntry(input, output, call.user));
}

void DeleteRow(Call& call)
{
    const std::u16string &table = call.at[0], &input = call.at[1];
    RequireRow(call, table, input);
    RequireDirectWrites(call, table);
    Checked(call.Valmorin().CorrespondanceDelete(Text(table).get(), Text(input).get()));
    NoContent(call);
}

// The four-eyes rule applied, as for a table (route_tables.cpp): the
// row's values written again as they are, by the confirming user. The
// OUTPUT the confirming user was shown, when given, must still be the
// row's.
void ConfirmRow(Call& call)
{
    const std::u16string &table = call.at[0], &input = call.at[1];
    BodyFields fields(ParseBody(call));
    const std::optional<std::u16string> seen = fields.OptionalText("output");
    fields.NoOthers();
    RequireRow(call, table, input);
    RequireDirectWrites(call, table);
    if (CallNumber([&](LONG* last) {
            return call.Valmorin().CorrespondanceFourEyesIsLastUser(Text(call.user).get(), Text(table).get(),
                                                                    Text(input).get(), last);
        }))
        Refuse(409, "the last change to the row is your own: another user must confirm it", E_ACCESSDENIED);
    const std::u16string output = CallText([&](BSTR* text) {
        return call.Valmorin().translateDefault(Text(table).get(), Text(input).get(), nullptr, text);
    });
    if (seen && *seen != output) Refuse(409, "the row changed since it was shown; look again", DB_E_INTEGRITYVIOLATION);
    Checked(call.Valmorin().CorrespondanceUpdate(Text(call.user).get(), Text(table).get(), Text(input).get(),
                                                 Text(input).get(), Text(output).get()));
    AnswerJson(call, 200, Json{{"confirmed", true}, {"by", Utf16ToUtf8(call.user)}});
}
