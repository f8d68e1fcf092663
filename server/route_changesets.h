// /api/changesets: changes held apart until another user approves them
// (maker-checker), their decisions, and /api/revisions/{n}/revert, which
// proposes undoing a revision. Approval needs accounts: the proposer is
// the caller, and nobody approves their own change set.
#pragma once

#include "valmorin/com/types.h"

#include <string>

struct Call;

void ListChangeSets(Call& call);   // GET /api/changesets
void ShowChangeSet(Call& call);    // GET /api/changesets/{id}
void ProposeChangeSet(Call& call); // POST /api/changesets
void ApproveChangeSet(Call& call); // POST /api/changesets/{id}/approve
void RejectChangeSet(Call& call);  // POST /api/changesets/{id}/reject
void RevertRevision(Call& call);   // POST /api/revisions/{n}/revert

// Proposes changes (the JSON ChangeSetPropose takes) in the caller's name;
// the change set's id.
LONG ProposeChanges(Call& call, const std::string& changes);
// Answers a change set just proposed: its Location, and it as shown.
void AnswerProposal(Call& call, int status, LONG id);
