// /api/tables/{name}/rows: a table's correspondences (its INPUT -> OUTPUT
// rows), and the four-eyes confirmation of a row's last change.
#pragma once

struct Call;

void ListRows(Call& call);   // GET /api/tables/{name}/rows
void CreateRow(Call& call);  // POST /api/tables/{name}/rows
void ChangeRow(Call& call);  // PUT /api/tables/{name}/rows/{input}
void DeleteRow(Call& call);  // DELETE /api/tables/{name}/rows/{input}
void ConfirmRow(Call& call); // POST /api/tables/{name}/rows/{input}/confirm
