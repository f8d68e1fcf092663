// Which tables need another user's approval for their changes, and the
// server's rules that follow: without accounts nobody can approve, and a
// table that needs approval is changed through change sets only.
#pragma once

#include <string>

struct Call;

// Whether the table's changes need approval: the last 'approval' event of
// its history says so; a store without history has no such table.
bool NeedsApproval(const Call& call, const std::u16string& table);

// Refuses (409) a direct write to a table that needs approval, saying how
// to propose the change instead.
void RequireDirectWrites(const Call& call, const std::u16string& table);

// Refuses (409) what approval needs when the server has no accounts: every
// request is then the same user, and nobody else could approve.
void RequireAccounts(const Call& call);
