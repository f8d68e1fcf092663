#include "server/route_history.h"

#include "server/approval.h"
#include "server/call.h"
#include "server/refusal.h"
#include "server/request_fields.h"
#include "server/route_changesets.h"

#include "platform/text/utf.h"

namespace {

using valmorin::text::Utf16ToUtf8;

bool RequiredField(const Json& body)
{
    if (!body.is_object() || body.size() != 1 || !body.contains("required") || !body["required"].is_boolean())
        Refuse(400, "the body is {\"required\": true or false}");
    return body["required"].get<bool>();
}

// Turning approval off would let the next change skip it: that is itself a
// change another user approves.
Json ApprovalOffChanges(const std::u16string& table)
{
    return Json{{"table", Utf16ToUtf8(table)}, {"changes", Json::array({{{"op", "approval"}, {"required", false}}})}};
}

} // namespace

// A table's history stays readable once it is deleted or renamed: the
// component answers for every table that bore the name.
void ShowHistory(Call& call)
{
    const std::u16string& table = call.at[0];
    const std::u16string input = RequestText(call.request().get_param_value("input"), "the query parameter \"input\"");
    const LONG offset = QueryNumber(call, "offset", 0), limit = QueryNumber(call, "limit", 100);
    AnswerJson(call, 200, Utf16ToUtf8(CallText([&](BSTR* list) {
                   return call.Valmorin().History(Text(table).get(), Text(input).get(), offset, limit, list);
               })));
}

void ShowRevision(Call& call)
{
    const std::u16string revision = CallText([&](BSTR* text) { return call.Valmorin().Revision(text); });
    AnswerJson(call, 200, Json{{"revision", Utf16ToUtf8(revision)}});
}

void SetApproval(Call& call)
{
    const std::u16string& table = call.at[0];
    const bool required = RequiredField(ParseBody(call));
    RequireAccounts(call);
    RequireTable(call, table);
    if (!required && NeedsApproval(call, table))
        return AnswerProposal(call, 202, ProposeChanges(call, ApprovalOffChanges(table).dump()));
    const std::u16string revision = CallText([&](BSTR* made) {
        return call.Valmorin().TableApprovalSet(Text(call.user).get(), Text(table).get(), required ? 1 : 0, made);
    });
    TellRevision(call, revision);
    AnswerJson(call, 200,
               Json{{"table", Utf16ToUtf8(table)}, {"required", required}, {"revision", Utf16ToUtf8(revision)}});
}
