#include "server/route_changesets.h"

#include "server/approval.h"
#include "server/call.h"
#include "server/refusal.h"
#include "server/request_fields.h"

#include "platform/text/utf.h"

#include <charconv>

namespace {

using valmorin::text::Utf16ToUtf8;

constexpr std::size_t kLongestId = 20; // digits of the largest id, and a sign

// The {id} of the path; a segment that is no id names no change set.
LONG ChangeSetId(const Call& call)
{
    const std::string text = Utf16ToUtf8(call.at[0]);
    LONG id = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), id);
    if (error != std::errc() || end != text.data() + text.size() || id <= 0)
        Refuse(404, "no change set has the id " + QuotedUpTo(text, kLongestId), kNotFound);
    return id;
}

Json Shown(const Call& call, LONG id)
{
    return Json::parse(Utf16ToUtf8(CallText([&](BSTR* shown) { return call.Valmorin().ChangeSetShow(id, shown); })));
}

} // namespace

LONG ProposeChanges(Call& call, const std::string& changes)
{
    const std::u16string text = RequestText(changes, "the body");
    return CallNumber(
        [&](LONG* id) { return call.Valmorin().ChangeSetPropose(Text(call.user).get(), Text(text).get(), id); });
}

void AnswerProposal(Call& call, int status, LONG id)
{
    call.response().set_header("Location", "/api/changesets/" + std::to_string(id));
    AnswerJson(call, status, Shown(call, id));
}

void ListChangeSets(Call& call)
{
    const std::u16string state = RequestText(call.request().get_param_value("state"), "the query parameter \"state\"");
    AnswerJson(call, 200, Utf16ToUtf8(CallText([&](BSTR* list) {
                   return call.Valmorin().ChangeSetList(Text(state).get(), list);
               })));
}

void ShowChangeSet(Call& call) { AnswerJson(call, 200, Shown(call, ChangeSetId(call))); }

// The body is passed on whole: the component reads the changes, and says
// which one it refuses.
void ProposeChangeSet(Call& call)
{
    const Json body = ParseBody(call);
    if (!body.contains("table") || !body["table"].is_string() || !body.contains("changes") ||
        !body["changes"].is_array())
        Refuse(400, "a change set is {\"table\": text, \"changes\": [...]}");
    RequireAccounts(call);
    AnswerProposal(call, 201, ProposeChanges(call, body.dump()));
}

void ApproveChangeSet(Call& call)
{
    const LONG id = ChangeSetId(call);
    BodyFields(ParseBody(call)).NoOthers();
    RequireAccounts(call);
    const std::u16string revision =
        CallText([&](BSTR* made) { return call.Valmorin().ChangeSetApprove(Text(call.user).get(), id, made); });
    TellRevision(call, revision);
    Json shown = Shown(call, id);
    shown["revision"] = Utf16ToUtf8(revision);
    AnswerJson(call, 200, shown);
}

void RejectChangeSet(Call& call)
{
    const LONG id = ChangeSetId(call);
    BodyFields fields(ParseBody(call));
    const std::u16string reason = fields.Text("reason");
    fields.NoOthers();
    RequireAccounts(call);
    Checked(call.Valmorin().ChangeSetReject(Text(call.user).get(), id, Text(reason).get()));
    AnswerJson(call, 200, Shown(call, id));
}

void RevertRevision(Call& call)
{
    const std::u16string& revision = call.at[0];
    BodyFields(ParseBody(call)).NoOthers();
    RequireAccounts(call);
    AnswerProposal(call, 201, CallNumber([&](LONG* id) {
                       return call.Valmorin().Revert(Text(call.user).get(), Text(revision).get(), id);
                   }));
}
