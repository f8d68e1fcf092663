#include "server/approval.h"
#include "server/authentication.h"
#include "server/call.h"
#include "server/refusal.h"

#include "platform/text/utf.h"

namespace {

bool KeepsHistory(const Call& call)
{
    CComBSTR revision;
    return SUCCEEDED(call.Valmorin().Revision(&revision));
}

} // namespace

// Asked of the table that bears the name now: a table renamed away keeps
// its approval, and one made under its old name has its own.
// One call for every write that asks: the store's history is looked for
// only when the answer is a failure, which a store without one gives.
bool NeedsApproval(const Call& call, const std::u16string& table)
{
    const auto ask = [&](LONG* required) { return call.Valmorin().TableApprovalRequired(Text(table).get(), required); };
    LONG required = 0;
    if (SUCCEEDED(ask(&required))) return required != 0;
    if (!KeepsHistory(call)) return false;
    return CallNumber(ask) != 0; // the failure, raised as this request's
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
