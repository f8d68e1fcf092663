// The history: the changes of a table or of one of its rows, the store's
// current revision, and whether a table's changes need another user's
// approval.
#pragma once

struct Call;

void ShowHistory(Call& call);  // GET /api/tables/{name}/history
void ShowRevision(Call& call); // GET /api/revision
void SetApproval(Call& call);  // PUT /api/tables/{name}/approval
