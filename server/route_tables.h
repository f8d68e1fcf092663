// /api/tables and /api/tables/{name}: the translation tables, their
// columns, and the four-eyes confirmation of a table's last change.
#pragma once

struct Call;

void ListTables(Call& call);   // GET /api/tables
void CreateTable(Call& call);  // POST /api/tables
void ShowTable(Call& call);    // GET /api/tables/{name}
void ChangeTable(Call& call);  // PATCH /api/tables/{name}
void DeleteTable(Call& call);  // DELETE /api/tables/{name}
void ConfirmTable(Call& call); // POST /api/tables/{name}/confirm
