// /api/tables/{name}/csv: a table in and out as CSV, through files of the
// server's own: an upload kept as it arrived, an export sent from its file.
#pragma once

struct Call;

void ExportCsv(Call& call); // GET /api/tables/{name}/csv
void ImportCsv(Call& call); // PUT /api/tables/{name}/csv
