#include "server/approval.h"
#include "server/authentication.h"
#include "server/call.h"
#include "server/refusal.h"

#include "platform/text/utf.h"

namespace {

// The history is read newest first a page at a time, each page twice the
// last: a table's approval is usually set near its creation, behind every
// change of its rows since.
constexpr LONG kFirstPage = 64;

bool KeepsHistory(const Call& call)
{
    CComBSTR revision;
    return SUCCEEDED(call.Valmorin().Revision(&revision));
}

} // namespace

bool NeedsApproval(const Call& call, const std::u16string& table)
{
    if (!KeepsHistory(call)) return false;
    for (LONG offset = 0, page = kFirstPage;; offset += page, page *= 2) {
        const Json history = Json::parse(valmorin::text::Utf16ToUtf8(CallText([&](BSTR* list) {
            return call.Valmorin().History(Text(table).get(), Text(u"").get(), offset, page, list);
        })));
        for (const Json& event : history.at("list"))
            if (event.at("kind") == "approval") return event.at("after") == "1";
        if (static_cast<long long>(offset) + page >= history.at("total").get<long long>()) return false;
    }
}

void RequireDirectWrites(const Call& call, const std::u16string& table)
{
    if (NeedsApproval(call, table))
        Refuse(409,
               "table \"" + valmorin::text::Utf16ToUtf8(table) +
                   "\" needs another user's approval for its changes: propose them as a change set "
                   "(POST /api/changesets)",
               E_ACCESSDENIED);
}

void RequireAccounts(const Call& call)
{
    if (!call.authentication.accounts())
        Refuse(409,
               "approval needs --users: without accounts every request is the same user, and nobody else could "
               "approve",
               E_ACCESSDENIED);
}
